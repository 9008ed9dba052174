#!/usr/bin/python3
"""Prints the memory a window of shardfall or latticeglow takes, as pre-flight estimates it.

For each program, depth and window count it starts the windows on an Xvfb of its own (1440 +
100 x N pixels square, as bench-run makes it) and follows every process of the run from
/proc while the windows initialise and animate: each window's peak resident memory (VmHWM),
the largest sum of the run's resident memory at one moment (do the windows' peaks coincide?)
and the lowest MemAvailable. Once every window has drawn a frame and animated --seconds more
(a latticeglow window at depth 24 grows for a minute or two beside others: give it 120), it
reads the proportional set size (PSS, /proc/PID/smaps_rollup) of the windows, the console
(rank 0), the launcher and the Xvfb, then ends the windows with Esc. Shared libraries divide
out between windows, so the growth of the run's PSS from the fewest to the most windows is
the memory one more window costs; its peak adds what a window held at its highest beyond
where it is (VmHWM - VmRSS, memory of its own).

    bench/window_memory.py [--build-dir DIR] [--seconds S] [--lp-threads N] [CASE ...]

A CASE is PROGRAM:DEPTH:N[,N...] (default: latticeglow:16:1,4,8 latticeglow:24:1,2
shardfall:16:1,2,4 shardfall:24:1,2,4). latticeglow at depth 30 would draw 2^30 points (tens
of GB of display list): it is refused; estimate it from the figure per point at depth 24.
"""

import argparse
import os
import time

from rig import Launch, server

DEFAULT_CASES = ("latticeglow:16:1,4,8", "latticeglow:24:1,2", "shardfall:16:1,2,4",
                 "shardfall:24:1,2,4")
MB = 1e6
SAMPLE_SECONDS = 0.02


def status_kb(pid, *keys):
    """Fields of /proc/PID/status in kB (0 for a process that has gone)."""
    values = dict.fromkeys(keys, 0)
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                key = line.split(":", 1)[0]
                if key in values:
                    values[key] = int(line.split()[1])
    except OSError:
        pass
    return values


def pss_bytes(pid):
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def mem_available():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no MemAvailable in /proc/meminfo")


def descendants(pid):
    """The processes under pid (the launcher's ranks, MPICH's proxy and its ranks)."""
    found, todo = [], [pid]
    while todo:
        parent = todo.pop()
        try:
            tasks = os.listdir(f"/proc/{parent}/task")
        except OSError:
            continue
        for task in tasks:
            try:
                with open(f"/proc/{parent}/task/{task}/children") as f:
                    children = [int(c) for c in f.read().split()]
            except OSError:
                continue
            found += children
            todo += children
    return found


def rank_of(pid):
    try:
        with open(f"/proc/{pid}/environ", "rb") as f:
            env = dict(item.split(b"=", 1) for item in f.read().split(b"\0") if b"=" in item)
    except OSError:
        return None
    rank = env.get(b"OMPI_COMM_WORLD_RANK", env.get(b"PMI_RANK"))
    return int(rank) if rank is not None else None


class Follower:
    """The processes of one run, sampled until every window has drawn."""

    def __init__(self, run, windows, server_pid):
        self.run, self.windows, self.server_pid = run, windows, server_pid
        self.ranks = {}             # rank -> pid
        self.others = set()         # the launcher and its helpers
        self.peak_sum_rss = 0
        self.lowest_available = mem_available()

    def discover(self):
        launcher = self.run.process.pid
        self.others.add(launcher)
        for pid in descendants(launcher):
            if pid in self.ranks.values():
                continue
            # A process just forked still has the launcher's environment: look again.
            rank = rank_of(pid)
            if rank is None:
                self.others.add(pid)
            else:
                self.others.discard(pid)
                self.ranks[rank] = pid

    def sample(self):
        self.discover()
        pids = list(self.ranks.values()) + list(self.others) + [self.server_pid]
        total = sum(status_kb(pid, "VmRSS")["VmRSS"] for pid in pids) * 1024
        self.peak_sum_rss = max(self.peak_sum_rss, total)
        self.lowest_available = min(self.lowest_available, mem_available())

    def follow(self, seconds):
        def all_drawn():
            self.sample()
            return all(self.run.frames(w) > 0 for w in range(1, self.windows + 1))
        started = time.monotonic()
        while not all_drawn():
            if time.monotonic() - started > 600:
                raise RuntimeError("the windows did not all draw within 600 s")
            time.sleep(SAMPLE_SECONDS)
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.sample()
            time.sleep(SAMPLE_SECONDS)


def measure(build_dir, program, depth, windows, env, seconds):
    side = 1440 + 100 * windows
    with server(depth=depth, size=side) as xvfb:
        name, server_pid = xvfb.display, xvfb.pid
        time.sleep(1.0)
        server_before = pss_bytes(server_pid)
        available_before = mem_available()
        with Launch(build_dir, program, windows + 1, name, env=env) as run:
            follower = Follower(run, windows, server_pid)
            follower.follow(seconds)
            window_pids = [follower.ranks[w] for w in range(1, windows + 1)]
            status = [status_kb(pid, "VmRSS", "VmHWM") for pid in window_pids]
            figures = {
                "windows_pss": sum(pss_bytes(pid) for pid in window_pids),
                "window_rss": sum(s["VmRSS"] for s in status) * 1024 / windows,
                "window_hwm": sum(s["VmHWM"] for s in status) * 1024 / windows,
                "window_hwm_max": max(s["VmHWM"] for s in status) * 1024,
                "sum_hwm": sum(s["VmHWM"] for s in status) * 1024,
                "console_pss": pss_bytes(follower.ranks[0]),
                "launcher_pss": sum(pss_bytes(pid) for pid in follower.others),
                "server_growth": pss_bytes(server_pid) - server_before,
                "peak_sum_rss": follower.peak_sum_rss,
                "drop_steady": available_before - mem_available(),
                "drop_peak": available_before - follower.lowest_available,
            }
            for wid in [run.window(w) for w in range(1, windows + 1)]:
                run.key(wid, "Escape")
            run.wait()
    figures["total_pss"] = (figures["windows_pss"] + figures["console_pss"]
                            + figures["launcher_pss"] + figures["server_growth"])
    return figures


def parse_case(text):
    try:
        program, depth, counts = text.split(":")
        counts = sorted({int(n) for n in counts.split(",")})
        if program not in ("shardfall", "latticeglow") or not counts or counts[0] < 1:
            raise ValueError
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: expected PROGRAM:DEPTH:N[,N...]") from None
    if program == "latticeglow" and int(depth) > 24:
        raise argparse.ArgumentTypeError(f"{text}: a lattice of 2^{depth} points does not fit "
                                         "here; estimate it from depth 24")
    return program, int(depth), counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir")
    parser.add_argument("--seconds", type=float, default=3,
                        help="how long the windows animate after each has drawn a frame")
    parser.add_argument("--lp-threads", type=int,
                        help="LP_NUM_THREADS for the windows (default: llvmpipe's own)")
    parser.add_argument("cases", nargs="*", type=parse_case)
    args = parser.parse_args()
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    build_dir = os.path.abspath(args.build_dir or os.path.join(root, "build", "default"))
    env = {"LP_NUM_THREADS": str(args.lp_threads)} if args.lp_threads else {}
    cases = args.cases or [parse_case(c) for c in DEFAULT_CASES]
    print(f"build {build_dir}, LP_NUM_THREADS {args.lp_threads or 'unset'}; MB = 10^6 bytes")
    print(f"{'program':<12}{'depth':>5}{'N':>4} {'PSS/win':>8} {'RSS/win':>8} "
          f"{'HWM/win':>8} {'HWM max':>8} {'peakΣRSS':>9} {'ΣHWM':>8} {'rank 0':>7} "
          f"{'launch':>7} {'Xvfb+':>7} {'avail-':>7} {'peak-':>7}")
    for program, depth, counts in cases:
        rows = []
        for n in counts:
            f = measure(build_dir, program, depth, n, env, args.seconds)
            rows.append((n, f))
            print(f"{program:<12}{depth:>5}{n:>4} {f['windows_pss'] / n / MB:>8.1f} "
                  f"{f['window_rss'] / MB:>8.1f} {f['window_hwm'] / MB:>8.1f} "
                  f"{f['window_hwm_max'] / MB:>8.1f} {f['peak_sum_rss'] / MB:>9.1f} "
                  f"{f['sum_hwm'] / MB:>8.1f} {f['console_pss'] / MB:>7.1f} "
                  f"{f['launcher_pss'] / MB:>7.1f} {f['server_growth'] / MB:>7.1f} "
                  f"{f['drop_steady'] / MB:>7.0f} {f['drop_peak'] / MB:>7.0f}", flush=True)
        (n0, f0), (n1, f1) = rows[0], rows[-1]
        if n1 > n0:
            marginal = (f1["total_pss"] - f0["total_pss"]) / (n1 - n0)
            windows_only = (f1["windows_pss"] - f0["windows_pss"]) / (n1 - n0)
            transient = (f1["window_hwm"] - f1["window_rss"])
            fixed = f0["total_pss"] - n0 * marginal
            fell = (f1["drop_peak"] - f0["drop_peak"]) / (n1 - n0)
            print(f"  {program} depth {depth}, {n0} to {n1} windows: one more window "
                  f"{marginal / MB:.1f} MB of PSS ({windows_only / MB:.1f} MB in its own "
                  f"process), {(marginal + transient) / MB:.1f} MB at its peak (+"
                  f"{transient / MB:.1f} MB held earlier beyond its last state); the run "
                  f"besides {fixed / MB:.1f} MB; MemAvailable fell {fell / MB:.1f} MB more")


if __name__ == "__main__":
    main()
