"""Hostfiles, the placement of windows on hosts, the launch command of each MPI, and what a
host's display and launcher hold."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import toolstest as T
from benchlib.hosts import hostfile as H
from benchlib.hosts import limits, processes
from benchlib.hosts import placement as P
from benchlib.run import preflight


class Hostfiles(unittest.TestCase):
    def test_both_syntaxes_with_comments_and_blank_lines(self):
        openmpi = ("# render nodes\n\nnode1 slots=2\n  node2   # one slot\n"
                   "node3 slots=3 max_slots=4\n")
        mpich = "node1:2\n\n# comment\nnode2\nnode3:3  # trailing\n"
        expected = [H.Host("node1", 2), H.Host("node2", 1), H.Host("node3", 3)]
        self.assertEqual(H.parse_hostfile(openmpi, "openmpi"), expected)
        self.assertEqual(H.parse_hostfile(mpich, "mpich"), expected)
        for flavour in H.FLAVOURS:
            text = H.format_hostfile(expected, flavour)
            self.assertEqual(H.parse_hostfile(text, flavour), expected)

    def test_a_repeated_host_adds_its_slots_where_it_first_appeared(self):
        self.assertEqual(H.parse_hostfile("a:1\nb:1\na:2\n", "mpich"),
                         [H.Host("a", 3), H.Host("b", 1)])

    def test_bad_lines_name_the_line_and_the_expected_syntax(self):
        cases = [("node1:2\n", "openmpi", "line 1"),  # MPICH syntax given to OpenMPI
                 ("node1\nnode2 slots=2\n", "mpich", "line 2"),
                 ("node1 slots=0\n", "openmpi", "at least 1"),
                 ("node1:x\n", "mpich", "whole number"),
                 ("node1 cpus=2\n", "openmpi", "unknown option"),
                 ("# nothing\n\n", "mpich", "no hosts")]
        for text, flavour, message in cases:
            with self.subTest(text=text, flavour=flavour):
                with self.assertRaisesRegex(H.HostfileError, message):
                    H.parse_hostfile(text, flavour)

    def test_unreadable_file_is_a_clear_error(self):
        with self.assertRaisesRegex(H.HostfileError, "cannot read hostfile /nonexistent/hosts"):
            H.read_hostfile("/nonexistent/hosts", "openmpi")


class Placement(unittest.TestCase):
    def test_console_first_then_windows_follow_the_slots(self):
        hosts = [H.Host("a", 2), H.Host("b", 1), H.Host("c", 3)]
        self.assertEqual(H.rank_hosts(hosts, 5), ["a", "a", "b", "c", "c", "c"])
        self.assertEqual(H.windows_by_host(hosts, 4), {"a": [1], "b": [2], "c": [3, 4]})
        one_each = [H.Host("node1"), H.Host("node2"), H.Host("node3")]
        self.assertEqual(H.windows_by_host(one_each, 2), {"node2": [1], "node3": [2]})

    def test_more_windows_than_slots_is_refused(self):
        with self.assertRaisesRegex(H.HostfileError, "3 windows and the console need 4 slots; "
                                    "the hosts give 3"):
            H.rank_hosts([H.Host("a", 2), H.Host("b", 1)], 3)

    def test_slurm_allocation_from_scontrol_and_tasks_per_node(self):
        calls = []

        def scontrol(argv, **kwargs):
            calls.append(argv[1:])
            return subprocess.CompletedProcess(argv, 0, "node1\nnode2\nnode3\nnode4\n", "")
        self.assertEqual(H.slurm_hosts("node[1-4]", "2(x3),1", run=scontrol),
                         [H.Host("node1", 2), H.Host("node2", 2), H.Host("node3", 2),
                          H.Host("node4", 1)])
        self.assertEqual(calls, [["show", "hostnames", "node[1-4]"]])
        with self.assertRaisesRegex(H.HostfileError, "does not match the 4 nodes"):
            H.slurm_hosts("node[1-4]", "1(x3)", run=scontrol)
        with self.assertRaisesRegex(H.HostfileError, "cannot read"):
            H.slurm_tasks_per_node("2(x)")


class LaunchCommands(unittest.TestCase):
    """mpirun and hydra's lines run on the simulated cluster (tests/cluster); srun's here."""
    program = ["/b/latticeglow", "--flag"]

    def test_srun_plugin_follows_the_library_and_kills_on_failure(self):
        for flavour, plugin in (("openmpi", "--mpi=pmix"), ("mpich", "--mpi=pmi2")):
            argv = H.launch_command(flavour, self.program, 3, env={"DISPLAY": ":1"}, slurm=True)
            self.assertEqual(argv[:2], ["srun", plugin])
            self.assertIn("-K", argv)
            self.assertEqual(argv[argv.index("-n") + 1], "3")
            self.assertIn("--export=ALL,DISPLAY=:1", argv)
            self.assertEqual(argv[-2:], self.program)
        with self.assertRaisesRegex(ValueError, "commas"):
            H.launch_command("mpich", self.program, 3, env={"X": "a,b"}, slurm=True)


class AgentChannel(unittest.TestCase):
    """The runner and its agents speak one JSON object a line over TCP, which may arrive in
    pieces or several at once."""

    def test_lines_split_and_joined_and_the_end(self):
        import socket
        from benchlib.hosts.channel import Channel, ChannelClosed
        a, b = socket.socketpair()
        receiver = Channel(b, "the agent on node2")
        self.addCleanup(receiver.close)
        a.sendall(b'{"progress": {"frames": {"1": 2}}}\n{"do')
        self.assertEqual(receiver.receive(), [{"progress": {"frames": {"1": 2}}}])
        self.assertEqual(receiver.receive(), [])
        a.sendall(b'ne": "start"}\n{"done": "end"}\n')
        self.assertEqual(receiver.wait(5), {"done": "start"})
        self.assertEqual(receiver.receive(), [{"done": "end"}])
        # An agent's last word and its end arrive together: the word is not lost.
        a.sendall(b'{"error": "node2: Xvfb did not start"}\n')
        a.close()
        self.assertEqual(receiver.receive(), [{"error": "node2: Xvfb did not start"}])
        with self.assertRaisesRegex(ChannelClosed, "node2 closed the connection"):
            receiver.receive()


class Limits(unittest.TestCase):
    def test_x_clients_of_a_display(self):
        # The resource-id masks Xvfb gives with -maxclients 64, by default (256) and with 2048.
        self.assertEqual([limits.client_limit(m) for m in (0x7fffff, 0x1fffff, 0x3ffff)],
                         [64, 256, 2048])
        preflight.check_clients(54, 64, 10, ":60")
        with self.assertRaisesRegex(preflight.Refusal, "the display :60 admits 64 X clients "
                                    r"\(10 connected now .*55 window\(s\) need one each: run "
                                    "at most 54 window.*leave out --display"):
            preflight.check_clients(55, 64, 10, ":60")
        with self.assertRaisesRegex(preflight.Refusal, "assuming only the server's own and the "
                                    "runner's.*run at most 62"):
            preflight.check_clients(63, 64, None, ":60")
        # A server whose limit of open files is below its client limit: every client takes a
        # file, and one without leaves the window waiting. The tighter of the two is named.
        preflight.check_clients(9, 64, 3, ":60", [20, 11])
        for windows, files, told in ((10, [20, 11], "room for 9 more X client.*limit of open "
                                      r"files is 20 and it has 11 open.*at most 9 window"),
                                     (63, [1024, 12], "admits 64 X clients.*at most 61"),
                                     (63, [60, 12], "room for 48 more")):
            with self.subTest(windows=windows, files=files):
                with self.assertRaisesRegex(preflight.Refusal, told):
                    preflight.check_clients(windows, 64, 3, ":60", files)
        # The runner's own Xvfb: the smallest limit with room beside the windows.
        self.assertEqual([limits.xvfb_max_clients(n) for n in (8, 64, 128, 313)],
                         [64, 128, 256, 512])

    def test_open_files_of_a_local_x_server(self):
        # The process holding the display's socket: its soft limit and the files it has open
        # under it (one inherited numbered above the limit takes no room).
        from benchlib.hosts.xwindows import server_files
        proc = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, proc)
        os.makedirs(os.path.join(proc, "net"))
        with open(os.path.join(proc, "net", "unix"), "w") as f:
            f.write("Num RefCount Protocol Flags Type St Inode Path\n"
                    "0: 00000002 00000000 00010000 0001 01 501 @/tmp/.X11-unix/X71\n"
                    "0: 00000003 00000000 00000000 0001 03 502\n"
                    "0: 00000002 00000000 00010000 0001 01 601 /tmp/.X11-unix/X7\n")
        for pid, files in (("10", {"0": "/dev/null", "3": "socket:[502]"}),
                           ("4242", {"0": "/dev/null", "2": "pipe:[9]", "7": "socket:[501]",
                                     "251": "pipe:[8]"})):
            os.makedirs(os.path.join(proc, pid, "fd"))
            for fd, target in files.items():
                os.symlink(target, os.path.join(proc, pid, "fd", fd))
            with open(os.path.join(proc, pid, "limits"), "w") as f:
                f.write("Max processes    94000    94000    processes\n"
                        "Max open files   20       4096     files\n")
        for display, files in ((":71", [20, 3]), ("unix:71.0", [20, 3]), (":72", None),
                               ("node2:71", None)):
            self.assertEqual(server_files(display, proc), files, display)

    def test_screens_an_xvfb_holds(self):
        # Measured: the largest squares Xvfb makes, and 52640 (512 windows), which it makes
        # with a framebuffer too small for it.
        self.assertEqual([limits.xvfb_holds(side, 16) for side in (32767, 32768, 52640)],
                         [True, False, False])
        self.assertEqual([limits.xvfb_holds(side, 24) for side in (23170, 23171)],
                         [True, False])

    def test_the_shared_table_of_placement_cases(self):
        # The cases the programs' own unit tests check harness/placement.cpp against.
        with open(os.path.join(T.SOURCE_DIR, "tests", "placement_cases.tsv")) as f:
            cases = [list(map(int, line.split())) for line in f
                     if line.strip() and not line.startswith("#")]
        self.assertTrue(cases)
        for window, width, height, x, moved in cases:
            self.assertEqual((P.place(window, width, height), P.moved([window], width, height)),
                             (x, [window] if moved else []), (window, width, height))

    def test_screens_for_the_windows_of_a_host(self):
        # Windows that fit keep their own places, whole: 1440 + 100 x the highest.
        self.assertEqual(P.own_screen(range(1, 4), 24), 1740)
        self.assertEqual(P.own_screen(range(1, 314), 16), 32740)
        self.assertEqual(P.moved(range(1, 314), 32740, 32740), [])
        # One more than that holds: the last window continues the diagonal, the ones before
        # it lie partly off the screen.
        self.assertEqual(P.moved(range(1, 321), 32040, 32040), [320])
        self.assertEqual(P.own_screen(range(1, 321), 16), 32040)
        # 4,095 windows, 128 a host: every host gets a screen that gives each window a place
        # of its own at every depth, whole but for the second host at depth 24 and 30.
        for depth in (16, 24):
            for first in range(1, 4096, 128):
                windows = range(first, min(first + 128, 4096))
                side = P.own_screen(windows, depth)
                self.assertTrue(limits.xvfb_holds(side, depth), (depth, first))
                self.assertEqual(P.suits(windows, side, side, whole=True),
                                 (depth, first) != (24, 129), (depth, first))
                self.assertTrue(P.suits(windows, side, side, whole=False), (depth, first))
        with self.assertRaisesRegex(preflight.Refusal, "328 window.* 1 to 328 cannot each have a "
                                    r"place.* at most 327 window\(s\) on a host, or run across"):
            preflight.check_own_screen(range(1, 329), 16, P.own_screen(range(1, 329), 16))
        with self.assertRaisesRegex(preflight.Refusal, r"at most 231 window\(s\) on a host \(327 "
                                    "at --depth 16\\)"):
            preflight.check_own_screen(range(1, 233), 24, P.own_screen(range(1, 233), 24))
        self.assertEqual(P.span([7, 1, 2, 3, 9, 10]), "1-3, 7, 9-10")

    def test_open_files_of_the_launcher(self):
        # A hard limit of 1024 open files, common as a soft one, holds about 250 windows.
        preflight.check_open_files(4095, None)
        preflight.check_open_files(248, 1024)
        with self.assertRaisesRegex(preflight.Refusal, "249 windows need about 1028 open files "
                                    r"in the launcher .*more than the limit of 1024.*run at "
                                    r"most 248 window\(s\), or raise the hard limit"):
            preflight.check_open_files(249, 1024)


class TaggedProcesses(unittest.TestCase):
    def test_found_and_stopped_by_tag(self):
        tag = "test%d" % os.getpid()
        marked = subprocess.Popen(["sleep", "60"], env=dict(os.environ, TEST_TAG=tag))
        plain = subprocess.Popen(["sleep", "60"])
        self.addCleanup(plain.wait)
        self.addCleanup(plain.kill)
        found = processes.tagged_processes(tag, "TEST_TAG")
        self.assertEqual(found, [marked.pid])
        self.assertEqual(processes.stop_tagged(tag, "TEST_TAG", grace=5), [])
        self.assertEqual(marked.wait(timeout=10), -15)
        self.assertIsNone(plain.poll())


class DisplayFile(unittest.TestCase):
    """Each host's agent tells the run's ranks its display through a file in the host's /tmp,
    where every user may plant names."""

    def test_the_ranks_find_it_by_a_tag_that_nothing_publishes(self):
        from benchlib.hosts.agent import DISPLAY_TAG_VARIABLE, display_file, write_display_file
        from benchlib.run.plan import rank_program
        tag = "t%d" % os.getpid() + os.urandom(8).hex()
        path = display_file(tag)
        write_display_file(path, ":7")
        self.addCleanup(os.unlink, path)
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
        argv = rank_program(["/usr/bin/printenv"], True) + ["DISPLAY"]
        self.assertFalse([a for a in argv if tag in a])  # no command line shows the tag
        shown = subprocess.run(argv, env={DISPLAY_TAG_VARIABLE: tag}, capture_output=True,
                               text=True, timeout=30)
        self.assertEqual(shown.stdout, ":7\n")
        # Without the tag a rank reads no file at all (not one of a predictable name).
        shown = subprocess.run(argv, env={}, capture_output=True, text=True, timeout=30)
        self.assertEqual(shown.stdout.strip(), "")

    def test_a_planted_link_or_fifo_is_neither_followed_nor_waited_on(self):
        # fs.protected_symlinks and fs.protected_fifos are not per namespace, so no test can
        # turn them off; they guard only sticky folders like /tmp, and this folder is none:
        # here links and FIFOs are followed as they would be with both turned off.
        from benchlib.hosts.agent import write_display_file
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        victim = os.path.join(folder, "root-only")
        with open(victim, "w") as f:
            f.write("kept\n")
        os.symlink(victim, os.path.join(folder, "link"))
        os.mkfifo(os.path.join(folder, "fifo"))
        for name in ("link", "fifo"):
            # In a child, so that an open that waits fails the test instead of hanging it.
            child = subprocess.run(
                [sys.executable, "-c", "import sys; sys.path.insert(0, %r)\n"
                 "from benchlib.hosts.agent import write_display_file\n"
                 "try:\n    write_display_file(%r, ':0')\nexcept FileExistsError:\n"
                 "    sys.exit(3)" % (T.TOOLS_DIR, os.path.join(folder, name))],
                timeout=30, capture_output=True, text=True)
            self.assertEqual(child.returncode, 3, child.stderr)
        with open(victim) as f:
            self.assertEqual(f.read(), "kept\n")
        write_display_file(os.path.join(folder, "new"), ":0")  # a name nobody planted


if __name__ == "__main__":
    unittest.main()
