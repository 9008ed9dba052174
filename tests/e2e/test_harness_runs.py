"""Runs both programs as users do: the launcher with several processes under Xvfb, keys and
clicks through xdotool, then the console and the results files checked line by line."""

import os
import unittest

from e2elib import L, E2ETestCase, Run, count_lines, wait_for

BANNER_TITLES = {name: p.title_line for name, p in L.PROGRAMS.items()}
PAUSE_LINES = {
    "shardfall": "Press Key P or Press Mouse Right button to Pause.",
    "latticeglow": "Press Key P or Press Mouse Right button for Pause.",
}
EXIT_LINES = {"shardfall": "Press Key Esc to Exit.", "latticeglow": "Press Key Esc for exit."}


class ProgramRuns:
    """What differs by program (the banner, the results file's lines); subclasses set
    `program`."""

    program = None

    def check_results_file(self, run, window, frames, finished):
        program = L.PROGRAMS[self.program]
        parsed = run.parsed(window)
        self.assertEqual((parsed.program, parsed.window, len(parsed.frames)),
                         (program, window, frames))
        self.assertEqual(parsed.summary is not None, finished)
        # Nothing more: title, its empty lines, the initialisation line and two empty lines,
        # the frame blocks with their empty line, and the summary with its empty line.
        expected = 1 + program.title_blank_lines + 3 + frames * (len(program.frame_lines) + 1)
        expected += 4 if finished else 0
        self.assertEqual(len(run.results_lines(window)), expected + 1)  # + after the last \n
        self.assertEqual(run.results_lines(window)[-1], "")

    def test_single_process_prints_the_banner_only(self):
        run = Run(self, self.program, 1, display=self.start_xvfb(depth=self.depth))
        self.assertEqual(run.wait_exit(), 0)
        lines = run.stdout().split("\n")
        expected_head = ["", BANNER_TITLES[self.program]]
        self.assertEqual(lines[:2], expected_head)
        self.assertTrue(lines[3].startswith("For Support: "))
        tail = ["", "", "", "", "Press Key R or Press Mouse Left button to Animate.",
                "Press Key C to Animate Manually.", PAUSE_LINES[self.program],
                EXIT_LINES[self.program], "", "", "Initializing . . ."]
        if self.program == "latticeglow":
            tail.append("")
        self.assertEqual(lines[4:-1], tail)
        self.assertEqual(lines[-1], "")
        self.assertEqual(run.results_files(), [])



class HarnessBehaviours(ProgramRuns):
    """Keys, mouse, closing and a missing display: the harness's, the same in both programs,
    so run with one of them."""

    def start_paused(self):
        """Three processes; each window paused as soon as it appears."""
        display = self.start_xvfb(depth=self.depth)
        run = Run(self, self.program, 3, display=display)
        w1 = run.wait_window(1)
        run.key(w1, "p")
        w2 = run.wait_window(2)
        run.key(w2, "p")
        for window in (1, 2):
            wait_for(lambda: run.initialised(window), f"window {window}'s initialisation")
        return display, run, w1, w2

    def test_three_processes_keys_mouse_and_escape(self):
        _, run, w1, w2 = self.start_paused()

        self.assertEqual(run.geometry(w1), (100, 100, 1440, 1440))
        self.assertEqual(run.geometry(w2), (200, 200, 1440, 1440))
        names = sorted(os.path.basename(f) for f in run.results_files())
        self.assertEqual(len(names), 2, names)
        for window, name in zip((1, 2), names):
            parsed = L.parse_results_name(name)
            self.assertIsNotNone(parsed, name)
            self.assertEqual((parsed.program, parsed.window), (self.program, window))

        # Paused (a frame or two may have been reported before P arrived): every C gives
        # exactly one report.
        start = run.wait_quiet(1)
        for expected in (1, 2, 3):
            self.assertEqual(run.step(1, w1), start + expected)
        self.assertEqual(run.wait_quiet(1), start + 3)

        # R animates; a right click pauses; a left click animates again.
        run.key(w1, "r")
        wait_for(lambda: run.frame_count(1) >= start + 4, "frames after R")
        run.click(w1, 20, 30, 3)
        paused_at = run.wait_quiet(1)
        self.assertEqual(run.step(1, w1), paused_at + 1)
        run.click(w1, 20, 30, 1)
        wait_for(lambda: run.frame_count(1) >= paused_at + 2, "frames after a left click")
        run.key(w1, "p")
        frames_1 = run.wait_quiet(1)

        # Window 2 was paused all along; one step there.
        start_2 = run.wait_quiet(2)
        self.assertEqual(run.step(2, w2), start_2 + 1)

        # Esc ends window 1: summary in both sinks, window off the screen, window 2 goes on.
        run.key(w1, "Escape")
        wait_for(lambda: count_lines(run.stdout(), L.SUMMARY_TIME), "window 1's summary")
        wait_for(lambda: run.visible_window(1) is None, "window 1 to leave the screen")
        self.assertIsNone(run.process.poll())
        # Window 2 redraws (and reports) when window 1 stops covering it.
        frames_2 = run.wait_quiet(2) + 1
        self.assertEqual(run.step(2, w2), frames_2)
        self.check_results_file(run, 1, frames_1, finished=True)

        run.key(w2, "Escape")
        self.assertEqual(run.wait_exit(), 0)
        self.check_results_file(run, 2, frames_2, finished=True)

        console = run.stdout()
        for window in (1, 2):
            path = os.path.join(run.workdir, os.path.basename(run.results_file(window)))
            self.assertIn(L.RESULTS_SAVED.format(path=path) + "\n", console)
            # Processes interleave on the console line by line, so only the line itself.
            lines = console.split("\n")
            self.assertTrue(any((L.SUMMARY_TIME.match(t) or {}).get("window") == str(window)
                                for t in lines), window)
            self.assertTrue(any((L.INIT_LINE.match(t) or {}).get("window") == str(window)
                                for t in lines), window)
        self.assertEqual(console.count(BANNER_TITLES[self.program]), 1)

    def test_closing_one_window_ends_only_that_process(self):
        from Xlib import X, display as xdisplay, protocol

        display, run, w1, w2 = self.start_paused()
        frames_1 = run.wait_quiet(1) + 1
        run.step(1, w1)

        # What a window manager sends when the user clicks the close button.
        connection = xdisplay.Display(display)
        window = connection.create_resource_object("window", int(w1))
        protocols = connection.intern_atom("WM_PROTOCOLS")
        delete = connection.intern_atom("WM_DELETE_WINDOW")
        event = protocol.event.ClientMessage(window=window, client_type=protocols,
                                             data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        window.send_event(event, event_mask=0)
        connection.sync()  # a round trip: the server has handled the event before we go
        connection.close()

        wait_for(lambda: run.visible_window(1) is None, "window 1 to close")
        wait_for(lambda: count_lines(run.stdout(), L.RESULTS_SAVED), "window 1's results path")
        self.check_results_file(run, 1, frames_1, finished=True)
        self.assertIsNone(run.process.poll(), "closing one window ended the run")
        frames_2 = run.wait_quiet(2) + 1
        self.assertEqual(run.step(2, w2), frames_2)
        run.key(w2, "Escape")
        self.assertEqual(run.wait_exit(), 0)
        self.check_results_file(run, 2, frames_2, finished=True)
        self.assertEqual(count_lines(run.stdout(), L.SUMMARY_TIME), 2)

    def test_without_a_display_the_run_fails_promptly(self):
        for display, named in ((None, "DISPLAY is not set"), (":987", '":987"')):
            with self.subTest(display=display):
                run = Run(self, self.program, 3, display=display)
                status = run.wait_exit(timeout=60)
                self.assertNotEqual(status, 0)
                errors = [line for line in run.stderr().split("\n")
                          if line.startswith(f"{self.program}: window ")]
                self.assertTrue(errors, run.stderr())
                for line in errors:
                    self.assertIn("cannot open the X display", line)
                    self.assertIn(named, line)


class ShardfallRuns(ProgramRuns, E2ETestCase):
    program = "shardfall"
    depth = 24


class LatticeglowRuns(HarnessBehaviours, E2ETestCase):
    program = "latticeglow"
    depth = 16  # 65,536 points: a 16.7 M-point lattice costs seconds a frame here

    def test_a_window_whose_place_is_off_the_screen_continues_the_diagonal(self):
        # A 600 x 600 screen has the places 0 to 500: window 6 goes to the top, where it is
        # seen (and so drawn) beside the others; the rest keep their own places.
        run = Run(self, self.program, 7,
                  display=self.start_xvfb(width=600, height=600, depth=self.depth))
        for window in range(1, 7):
            self.assertEqual(run.geometry(run.wait_window(window)),
                             (100 * (window % 6),) * 2 + (1440, 1440))
        wait_for(lambda: run.frame_count(6) > 0, "window 6 to draw")
        moved = [line for line in run.stderr().split("\n") if "does not fit" in line]
        self.assertEqual(moved, ["Window 6's place (600, 600) does not fit the 600 x 600 "
                                 "screen: it is drawn at (0, 0)."])


if __name__ == "__main__":
    unittest.main()
