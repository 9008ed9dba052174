"""The runner's own machine as the fleet of a run on it alone: its windows driven in the
runner's process."""

from ..hosts.agent import HostWindows
from .fleet import PHASES, Fleet


class LocalFleet(Fleet):
    """The runner's own machine, its windows driven in the runner's process."""

    def __init__(self, plan, progress, stack):
        super().__init__(plan, progress, stack)
        self.check = None
        self.host = HostWindows(plan.host_config(plan.hosts[0]), stack, self,
                                lambda _driver: self.check and self.check(self), env=plan.env)

    # The driver's reporter.
    def show(self, phase, state, force=False):
        self.take_state(state, phase)
        self.render(force)

    def say(self, text):
        self.progress.say(text)

    def gather_facts(self):
        self.facts = {self.plan.hosts[0].name: self.host.facts()}
        return self.facts

    def open(self, folder, log_folder, _run_id):
        self.begin_run(folder)
        name = self.plan.hosts[0].name
        self.facts[name].update(self.host.open(log_folder))
        self.host.begin(folder)

    @property
    def launch_display(self):
        return self.host.display

    def launch_env(self):
        """What the launcher adds for the windows: their display, and its cookie."""
        env = self.host.windows_env(self.host.display)
        return {k: env[k] for k in ("DISPLAY", "XAUTHORITY") if k in env}

    @property
    def own_xvfb(self):
        return {self.host.xvfb.pid} if self.host.xvfb else set()

    def command(self, do, _timeout, check, **fields):
        self.order(PHASES[do])
        self.check = check
        return {name: self.host.perform(dict(fields, do=do)) for name in self.facts}

    def tick(self, timeout, check):
        self.check = check
        self.host.driver.tick(timeout)

    def collect(self, failed=False):
        """The windows wrote into the run folder itself: nothing to bring back."""
