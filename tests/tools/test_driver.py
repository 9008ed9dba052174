"""The window driver's phases against windows that misbehave, with a stand-in for the X
display that writes the results files as the windows would (no X, no MPI)."""

import os
import shutil
import subprocess
import uuid
import tempfile
import time
import types
import unittest

import toolstest as T
from benchlib.hosts import processes, window_processes
from benchlib.hosts.driver import DriveError, Timeouts, WindowDriver
from benchlib.hosts.xwindows import XDisplayError
from benchlib.results import layout as L

PROGRAM = L.LATTICEGLOW


class FakeWindows:
    """Windows appear on the first poll (still initialising: their title comes before their
    initialisation line), then answer keys by writing their results files. `fault` makes
    every window misbehave in one way."""

    display_name = ":fake"

    def __init__(self, folder, windows, fault=None, side=1740):
        self.on_named = None
        self.on_destroyed = None
        self.side = side  # of the square screen; windows at (100 w, 100 w)
        self.raised = []
        self.animating = False
        self.windows = windows
        self.fault = fault
        self.paths = {w: os.path.join(folder, T.results_name(PROGRAM.name, w, "node7"))
                      for w in windows}
        self.frames = {w: 0 for w in windows}
        self.shown = False

    def write(self, w, lines):
        with open(self.paths[w], "a") as f:
            f.write("".join(line + "\n" for line in lines))

    def draw(self, w):
        self.frames[w] += 1
        values = dict(window=w, host="node7", seconds=0.01, angle_rate=100.0, rate=6553600.0)
        self.write(w, [line.format(**values) for line in PROGRAM.frame_lines] + [""])

    def poll(self, timeout):
        time.sleep(min(timeout, 0.01))
        if not self.shown:
            self.shown = True
            for w in self.windows:
                self.write(w, [PROGRAM.title_line] + [""] * PROGRAM.title_blank_lines)
                self.on_named(w, PROGRAM.window_title(w))
                self.write(w, [L.INIT_LINE.format(window=w, host="node7", seconds=0.2), "", ""])
        if self.fault == "display lost" and self.animating:
            raise XDisplayError("lost the connection", self.display_name)
        if self.fault == "ignores pause" or self.animating:
            for w in self.windows:
                self.draw(w)

    def send_key(self, window_id, key):
        self.send_keys([window_id], key)

    def send_keys(self, window_ids, key):
        for w in window_ids:
            if key == "r" and self.fault != "never drawn":
                self.animating = True
            if key == "c" and self.fault == "destroyed" and w == 2:
                self.on_destroyed(w)  # another client's XDestroyWindow: no summary, no frame
            elif key == "c" and self.fault != "stalls":
                for _ in range(2 if self.fault == "draws twice" else 1):
                    self.draw(w)
            elif key == "Escape" and self.fault != "no summary":
                n = self.frames[w]
                values = dict(window=w, seconds=0.01 * n, angle_rate=100.0, rate=6553600.0)
                self.write(w, [line.format(**values) for line in PROGRAM.summary_lines] + [""])

    def stacking_order(self):
        return list(self.windows)

    def display_of(self, _window_id):
        return self.display_name

    def window_info(self, window_id):
        return {"x": 100 * window_id, "y": 100 * window_id, "width": 1440, "height": 1440}

    def screen_size(self):
        return {"width": self.side, "height": self.side, "depth": 24}

    def raise_windows(self, window_ids):
        self.raised = list(window_ids)


class DriverPhases(unittest.TestCase):
    def drive(self, fault=None, frames=2, seconds=None, windows=(1, 2), side=1740):
        """Through every phase: stepped `frames` each, or animated for `seconds`."""
        folder = tempfile.mkdtemp(prefix="bench-driver-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        self.fake = FakeWindows(folder, list(windows), fault, side)
        quiet = types.SimpleNamespace(show=lambda *_a, **_k: None, say=lambda _text: None)
        driver = WindowDriver(self.fake, PROGRAM, folder, list(windows), quiet,
                              Timeouts(appear=5.0, stall=0.3))
        driver.wait_for_windows()
        driver.wait_for_initialisation()
        driver.settle()
        if seconds is None:
            driver.step_frames(frames)
        else:
            self.first = driver.start_animation()
            driver.animate_for(seconds)
        driver.end_windows()
        return driver

    def test_windows_that_behave_are_stepped_and_ended(self):
        driver = self.drive()
        self.assertEqual({w: driver.frames(w) for w in (1, 2)}, {1: 2, 2: 2})
        self.assertTrue(all(driver.followers[w].summary for w in (1, 2)))
        self.assertEqual(self.fake.raised, [])  # whole on the screen: left as they are

    def test_animation_counts_from_every_window_drawing(self):
        driver = self.drive(seconds=0.2)
        self.assertEqual(sorted(self.first), [1, 2])
        self.assertTrue(all(driver.frames(w) >= 2 for w in (1, 2)))

    def test_windows_partly_off_the_screen_are_stacked_by_place(self):
        self.drive(windows=(3, 1, 2), side=1640)
        self.assertEqual(self.fake.raised, [1, 2, 3])

    def test_each_way_a_window_can_fail_ends_the_phase_with_its_reason(self):
        for fault, reason in (
                ("draws twice", "window 1 reported 2 frames for one step (c); it is not paused"),
                ("ignores pause", "window(s) 1, 2 kept reporting frames after p (pause)"),
                ("stalls", "window 1 did not report frame 1 within 0.3 s of being stepped"),
                ("no summary", "window 1 did not write a summary within 0.3 s of Escape"),
                ("never drawn", "window(s) 1, 2 drew no frame within 0.3 s of being told to "
                 "animate (r); initialisation took 0.2 s, 0.2 s"),
                ("destroyed", "window(s) 2 ended"),
                ("display lost", "window(s) 1, 2 ended")):
            with self.subTest(fault=fault):
                started = time.monotonic()
                with self.assertRaises(DriveError) as caught:
                    self.drive(fault, seconds=1 if fault in ("never drawn", "display lost")
                               else None)
                self.assertIn(reason, str(caught.exception))
                self.assertLess(time.monotonic() - started, 30)
                if fault in ("destroyed", "display lost"):  # at once, not after a stall
                    self.assertIn("went away" if fault == "display lost" else "destroyed",
                                  str(caught.exception))
                    self.assertIn(":fake", str(caught.exception))


class ProcessesOfWindows(unittest.TestCase):
    """Windows awaited whose processes (found by the run's tag and rank) are gone."""

    def rank(self, token, rank):
        proc = subprocess.Popen(["sleep", "60"], env=dict(
            os.environ, OMPI_COMM_WORLD_RANK=str(rank), **{processes.TAG_VARIABLE: token}))
        self.addCleanup(lambda: (proc.kill(), proc.wait()))
        return proc

    def test_a_process_that_ended_or_never_came_fails_the_wait_naming_the_wrapper(self):
        for patch in (("EVERY", 0.0), ("GRACE", 0.5)):
            self.addCleanup(setattr, window_processes, patch[0],
                            getattr(window_processes, patch[0]))
            setattr(window_processes, patch[0], patch[1])
        driver = types.SimpleNamespace(phase="waiting for windows", windows=[1, 2, 3],
                                       ids={3: 77})
        token = uuid.uuid4().hex
        watch = window_processes.WindowProcesses(token, wrap="true")
        self.rank(token, 0)  # the console, which runs until the end
        first, second = self.rank(token, 1), self.rank(token, 2)
        watch.check(driver)  # all there
        second.kill()
        second.wait()
        with self.assertRaisesRegex(DriveError, r"window\(s\) 2 on .* --wrap 'true'"):
            watch.check(driver)
        # Window 1 never seen: counted missing only once the host's ranks have had time.
        first.kill()
        first.wait()
        late = window_processes.WindowProcesses(token)
        driver.windows = [1, 3]
        late.check(driver)
        self.assertTrue(T.wait_until(lambda: self.raises(late, driver), 10))

    def raises(self, watch, driver):
        try:
            watch.check(driver)
        except DriveError:
            return True
        return False


if __name__ == "__main__":
    unittest.main()
