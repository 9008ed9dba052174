"""The programs under the faults, load and input of real use: killed processes, an
unwritable, full, removed or very deep working directory, many windows at once, stray keys
and buttons, runs that collide in one directory, too little memory. Nothing may be lost or
hang."""

import glob
import os
import re
import shutil
import signal
import subprocess
import tempfile
import unittest

from e2elib import (MPIEXEC, L, E2ETestCase, Run, TITLES, count_lines, parse_results_file,
                    program_path, wait_for)

# Every line a run may write to the console, whichever process wrote it.
REPORT_LINES = [L.INIT_LINE, L.RESULTS_SAVED, L.RESULTS_INCOMPLETE, L.RESULTS_NOT_CREATED] + [
    line for p in L.PROGRAMS.values() for line in p.frame_lines + p.summary_lines]
CONSOLE_LINE = re.compile("|".join([
    r"^$",
    *(re.escape(p.title_line) for p in L.PROGRAMS.values()),
    r"^Interactive OpenGL benchmark: .*$", r"^For Support: .*$",
    r"^Press Key .*$", r"^Initializing \. \. \.$",
    *(line.regex() for line in REPORT_LINES),
]))


class Faults(E2ETestCase):
    def check_whole_blocks(self, run, program, window, path=None):
        """Only whole lines, every one as the layout says (the strict parser), every frame
        block complete except possibly the last; returns the complete frame blocks."""
        path = path or run.results_file(window)
        with open(path, "rb") as f:
            self.assertTrue(f.read().endswith(b"\n"), f"{path} ends inside a line")
        parsed = parse_results_file(path)
        self.assertIs(parsed.program, L.PROGRAMS[program])
        return len(parsed.frames)

    def animate_until(self, run, windows, frames):
        for w in windows:
            run.wait_window(w)
        for w in windows:
            wait_for(lambda: run.frame_count(w) >= frames, f"{frames} frames from window {w}")

    def test_a_window_killed_mid_run(self):
        run = Run(self, "latticeglow", 3, display=self.start_xvfb(depth=16))
        self.animate_until(run, (1, 2), 5)
        os.kill(wait_for(lambda: run.rank_pid(1), "window 1's process"), signal.SIGKILL)
        self.assertNotEqual(run.wait_exit(timeout=60), 0)
        for w in (1, 2):
            self.assertGreaterEqual(self.check_whole_blocks(run, "latticeglow", w), 4)

    def test_the_launcher_interrupted(self):
        run = Run(self, "latticeglow", 3, display=self.start_xvfb(depth=16))
        self.animate_until(run, (1, 2), 5)
        run.process.send_signal(signal.SIGINT)  # what Ctrl-C in the launcher's terminal sends
        run.wait_exit(timeout=60)
        wait_for(lambda: run.rank_pid(1) is None and run.rank_pid(2) is None,
                 "the windows to end", timeout=60)
        for w in (1, 2):
            self.assertGreaterEqual(self.check_whole_blocks(run, "latticeglow", w), 4)

    def test_unwritable_working_directory(self):
        # Root ignores permissions: run as nobody in a directory only root may write.
        folder = tempfile.mkdtemp(prefix="e2e-readonly-")
        os.chmod(folder, 0o755)
        self.addCleanup(shutil.rmtree, folder, True)
        # The build tree may sit where nobody cannot reach it (under /root, say): run a copy.
        bin_folder = tempfile.mkdtemp(prefix="e2e-bin-")
        self.addCleanup(shutil.rmtree, bin_folder, True)
        os.chmod(bin_folder, 0o755)
        program = shutil.copy2(program_path("latticeglow"), bin_folder)
        display = self.start_xvfb(depth=16)
        command = ["runuser", "-u", "nobody", "--", "env", "HOME=/tmp",
                   os.environ.get("E2E_MPIEXEC", "mpiexec"), "-n", "3", program]
        run = Run(self, "latticeglow", 3, display=display, workdir=folder, raw_command=command,
                  launcher_user="nobody")
        windows = {w: run.wait_window(w) for w in (1, 2)}
        for wid in windows.values():
            run.key(wid, "p")
        wait_for(lambda: count_lines(run.stdout(), L.INIT_LINE) == 2, "both windows to start")
        for wid in windows.values():
            run.key(wid, "c")
        wait_for(lambda: count_lines(run.stdout(), L.LATTICEGLOW.frame_rate_line) >= 2,
                 "a report from each window")
        for wid in windows.values():
            run.key(wid, "Escape")
        self.assertEqual(run.wait_exit(), 0, run.stderr())
        self.assertEqual(run.results_files(), [])
        console = run.stdout()
        self.assertEqual(count_lines(console, L.SUMMARY_TIME), 2)
        for w in (1, 2):
            first, second = L.LATTICEGLOW.frame_lines[:2]
            self.assertRegex(console, "\n%s\n%s\n" % (first.regex(False, window=w),
                                                      second.regex(False)))
        self.assertEqual(console.count("The results file was not created: "), 2)
        warnings = [line for line in run.stderr().split("\n") if "cannot create the results file" in line]
        self.assertEqual(len(warnings), 2, run.stderr())
        for w, line in zip((1, 2), sorted(warnings)):
            self.assertRegex(line, rf'^latticeglow: window {w}: cannot create the results file '
                                   rf'"{re.escape(L.LATTICEGLOW.results_prefix)}{w} of .+\.txt" in '
                                   rf'{re.escape(folder)}: Permission denied; the reports go to '
                                   rf'the console only$')

    def run_in(self, folder, workdir):
        """latticeglow with one window working in `workdir`, its console kept in `folder`."""
        command = ["sh", "-c", 'cd "$1" && shift && exec "$@"', "sh", workdir, MPIEXEC, "-n",
                   "2", program_path("latticeglow")]
        return Run(self, "latticeglow", 2, display=self.start_xvfb(depth=16), workdir=folder,
                   raw_command=command)

    def test_a_full_disk_is_not_reported_as_success(self):
        folder = tempfile.mkdtemp(prefix="e2e-full-")
        self.addCleanup(shutil.rmtree, folder, True)
        disk = os.path.join(folder, "disk")
        os.mkdir(disk)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", disk],
                                 capture_output=True, text=True)
        if mounted.returncode != 0:
            self.skipTest(f"cannot mount a tmpfs here: {mounted.stderr.strip()}")
        self.addCleanup(subprocess.run, ["umount", "-l", disk], check=False)
        filler = os.path.join(disk, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(fd, b"x" * 4096) > 0:
                pass
        except OSError:
            pass  # full
        finally:
            os.close(fd)
        # One page left, which the results file fills while the window animates: the line
        # that crosses its end is written in part before the disk is full.
        os.truncate(filler, os.path.getsize(filler) - 4096)
        run = self.run_in(folder, disk)
        wid = run.wait_window(1)
        run.key(wid, "r")
        wait_for(lambda: "writing the results file" in run.stderr(), "the disk to fill")
        rate_line = L.LATTICEGLOW.frame_rate_line
        reported = count_lines(run.stdout(), rate_line)
        wait_for(lambda: count_lines(run.stdout(), rate_line) > reported, "a report after that")
        run.key(wid, "Escape")
        self.assertEqual(run.wait_exit(), 0, run.stderr())

        console = run.stdout()
        self.assertNotIn("Results have been saved", console)
        ends = [line for line in console.split("\n") if line.startswith("The results file")]
        self.assertEqual(len(ends), 1, console)
        self.assertRegex(ends[0], rf"^The results file is incomplete: {re.escape(disk)}/"
                                  r"results_latticeglow_windows @ 1 of .+\.txt \(first failed "
                                  r"write: No space left on device\); the console holds the "
                                  r"full reports\.$")
        failures = [line for line in run.stderr().split("\n") if "writing the results file" in line]
        self.assertEqual(len(failures), 1, run.stderr())
        self.assertRegex(failures[0], r'^latticeglow: window 1: writing the results file '
                                      r'"results_latticeglow_windows @ 1 of .+\.txt" failed: No '
                                      r'space left on device; the console keeps every report$')
        files = glob.glob(os.path.join(glob.escape(disk), L.LATTICEGLOW.results_glob))
        self.assertEqual(len(files), 1)
        for path in files:  # each ends with a line end; nothing written after the failure
            frames = self.check_whole_blocks(run, "latticeglow", 1, path=path)
            self.assertLess(frames, count_lines(console, rate_line))

    def test_a_results_folder_removed_during_the_run(self):
        folder = tempfile.mkdtemp(prefix="e2e-removed-")
        self.addCleanup(shutil.rmtree, folder, True)
        results = os.path.join(folder, "results")
        os.mkdir(results)
        run = self.run_in(folder, results)
        wid = run.wait_window(1)
        run.key(wid, "p")
        wait_for(lambda: count_lines(run.stdout(), L.INIT_LINE) == 1, "initialisation")
        shutil.rmtree(results)
        run.key(wid, "Escape")
        self.assertEqual(run.wait_exit(), 0, run.stderr())
        ends = [line for line in run.stdout().split("\n")
                if line.startswith(("The results file", "Results have been saved"))]
        self.assertEqual(len(ends), 1, run.stdout())
        self.assertRegex(ends[0], rf"^The results file was removed during the run: "
                                  rf"{re.escape(results)}/results_latticeglow_windows @ 1 of "
                                  r".+\.txt; the console holds the full reports\.$")

    def test_working_directory_deeper_than_the_results_path(self):
        folder = tempfile.mkdtemp(prefix="e2e-deep-")
        self.addCleanup(shutil.rmtree, folder, True)
        deep = folder
        while len(deep) < 2200:
            deep = os.path.join(deep, "d" * 200)
        os.makedirs(deep)
        run = Run(self, "latticeglow", 2, display=self.start_xvfb(depth=16), workdir=deep)
        wid = run.wait_window(1)
        run.key(wid, "p")
        run.step(1, wid)
        run.key(wid, "Escape")
        self.assertEqual(run.wait_exit(), 0, run.stderr())
        self.assertIsNotNone(run.results_file(1))
        self.check_whole_blocks(run, "latticeglow", 1)
        prefix = "Results have been saved in a file and you can find it at: "
        messages = [line for line in run.stdout().split("\n") if line.startswith(prefix)]
        self.assertEqual(len(messages), 1)
        path = messages[0][len(prefix):]
        self.assertEqual(len(path), 2047)  # cut to its buffer, never beyond
        self.assertTrue(path.startswith(deep[:2047]))

    def test_eight_windows_at_once(self):
        """The harness's reports under load, with the cheaper program (the console lines and
        the blocks are the harness's, the same in both)."""
        program, depth = "latticeglow", 16
        windows = range(1, 9)
        run = Run(self, program, 9, display=self.start_xvfb(width=2300, height=2300, depth=depth))
        ids = {}
        for w in windows:
            ids[w] = run.wait_window(w, timeout=300)
            run.key(ids[w], "p")
        for w in windows:
            wait_for(lambda: run.initialised(w),
                     f"window {w} to start", timeout=300)
        for w in windows:
            start = run.wait_quiet(w)
            self.assertEqual(run.step(w, ids[w]), start + 1)
        for w in windows:
            run.key(ids[w], "Escape")
        self.assertEqual(run.wait_exit(timeout=300), 0, run.stderr())
        for w in windows:
            frames = self.check_whole_blocks(run, program, w)
            lines = run.results_lines(w)
            self.assertRegex(lines[-5], L.SUMMARY_TIME.regex(window=w))
            self.assertGreaterEqual(frames, 1)
        console = run.stdout().split("\n")
        for line in console:
            self.assertRegex(line, CONSOLE_LINE)
        self.assertEqual(count_lines("\n".join(console), L.SUMMARY_TIME), 8)

    def test_other_keys_and_buttons_do_nothing(self):
        run = Run(self, "latticeglow", 2, display=self.start_xvfb(depth=16))
        wid = run.wait_window(1)
        run.key(wid, "p")
        wait_for(lambda: run.initialised(1), "initialisation")
        start = run.wait_quiet(1)
        keys = ["F1", "F12", "Left", "Up", "Home", "Insert", "eacute", "udiaeresis", "Shift_L",
                "Control_L", "Alt_L", "shift+F5", "ctrl+x", "space", "Return", "BackSpace",
                "Tab", "a", "z", "1", "Delete", "KP_Enter", "ssharp", "yen"]
        for key in keys:
            run.key(wid, key)
        for button in (2, 4, 5):
            run.click(wid, 20, 30, button)
        for button in (1, 2, 3):
            run.xdotool("mouseup", "--window", wid, str(button), check=False)
        self.assertEqual(run.wait_quiet(1, quiet_for=3), start, "a stray key or button drew")
        self.assertEqual(run.step(1, wid), start + 1)
        run.key(wid, "Escape")
        run.key(wid, "Escape")
        self.assertEqual(run.wait_exit(), 0, run.stderr())
        self.assertEqual(count_lines(run.stdout(), L.SUMMARY_TIME), 1)
        self.check_whole_blocks(run, "latticeglow", 1)
        self.assertEqual(run.frame_count(1), start + 1)

    def test_two_runs_in_one_directory_in_the_same_second(self):
        title = "^" + re.escape(TITLES["latticeglow"].format(1)) + "$"
        for _ in range(3):
            folder = tempfile.mkdtemp(prefix="e2e-twice-")
            self.addCleanup(shutil.rmtree, folder, True)
            display = self.start_xvfb(depth=16)
            runs = [Run(self, "latticeglow", 2, display=display, workdir=folder)
                    for _ in range(2)]
            # Both runs have a window 1 on this display.
            ids = wait_for(lambda: (lambda found: found if len(found) == 2 else None)(
                runs[0].xdotool("search", "--onlyvisible", "--name", title,
                                check=False).stdout.split()), "both windows")
            wait_for(lambda: len(runs[0].results_files()) == 2, "both results files")
            wait_for(lambda: all(count_lines(run.stdout(), L.INIT_LINE) for run in runs),
                     "both windows to start")
            for wid in ids:
                runs[0].key(wid, "Escape")
            for run in runs:
                self.assertEqual(run.wait_exit(), 0, run.stderr())
            names = sorted(os.path.basename(p) for p in runs[0].results_files())
            self.assertEqual(len(names), 2)
            for name in names:
                with open(os.path.join(folder, name)) as f:
                    text = f.read()
                self.assertEqual(count_lines(text, L.INIT_LINE), 1, name)
                self.assertEqual(count_lines(text, L.SUMMARY_TIME), 1, name)
            stems = [re.sub(r"(-\d+)?\.txt$", "", name) for name in names]
            if stems[0] == stems[1]:
                self.assertEqual(set(names), {stems[0] + ".txt", stems[0] + "-2.txt"})
                notes = "".join(run.stderr() for run in runs)
                self.assertIn(f'exists; writing to "{stems[0]}-2.txt" instead', notes)
                return
        self.skipTest("the two runs never started within one second")

    def test_a_lattice_the_gl_cannot_hold(self):
        # (shardfall without memory for its buffer: test_workload_reports.)
        # latticeglow's depth-24 list does not fit: what the GL does then is its business,
        # but the run must end rather than hang.
        limit = 'ulimit -v 700000 && exec "$0" "$@"'
        run = Run(self, "latticeglow", 2, display=self.start_xvfb(depth=24),
                  command=["sh", "-c", limit, program_path("latticeglow")])
        ended_or_started = wait_for(
            lambda: run.process.poll() is not None or count_lines(run.stdout(), L.INIT_LINE),
            "the window to fail or to start", timeout=300)
        self.assertTrue(ended_or_started)
        if run.process.poll() is None:
            run.key(run.wait_window(1), "Escape")
        run.wait_exit(timeout=120)
        wait_for(lambda: run.rank_pid(1) is None, "the window process to end", timeout=60)


if __name__ == "__main__":
    unittest.main()
