"""The displays of a host: lists of them, windows dealt over them, the runner's own Xvfb that
only its user can reach, and the GL and GPU facts read from a display."""

import json
import os
import shutil
import signal
import stat
import subprocess
import tempfile
import unittest

import toolstest  # noqa: F401  (puts tools/ on the path)
from e2elib import another_user, wait_for
from benchlib.hosts import displays as D
from benchlib.hosts import gpu as G
from benchlib.hosts import machine
from benchlib.hosts.rendering import rendering_env
from benchlib.hosts.xvfb import Xvfb, XvfbError, x_authority
from benchlib.hosts.xwindows import WindowWatcher, XDisplayError
from benchlib.results.run_json import UNKNOWN_UNDER_WRAP


class DisplayLists(unittest.TestCase):
    def test_screens_and_servers_in_their_order(self):
        self.assertEqual(D.parse_display_list(":0.0,:0.1"), [":0.0", ":0.1"])
        self.assertEqual(D.parse_display_list(" :1 , :0,:2.3"), [":1", ":0", ":2.3"])
        self.assertEqual([D.screen_number(d) for d in (":0", ":0.1", ":10.2", "x")],
                         [0, 1, 2, 0])

    def test_malformed_items_named_in_one_line(self):
        for text, named in ((":0,,:1", ['""']), ("0,:x,:1.y,:2", ['"0"', '":x"', '":1.y"']),
                            (":0.0 :0.1", ['":0.0 :0.1"']), ("", ['""']),
                            # Over TCP, or another host's: not the host's own server.
                            ("localhost:0,127.0.0.1:77,:1", ['"localhost:0"', '"127.0.0.1:77"']),
                            ("unix:0,node2:0", ['"unix:0"', '"node2:0"'])):
            with self.subTest(text=text):
                with self.assertRaises(ValueError) as caught:
                    D.parse_display_list(text)
                message = str(caught.exception)
                self.assertEqual(len(message.splitlines()), 1)
                self.assertIn(", ".join(named) + " (each item", message)
        for text, twice in ((":0,:0.0", ":0 and :0.0"), (":1.1,:0,:1.1", ":1.1 and :1.1")):
            with self.subTest(text=text), self.assertRaisesRegex(ValueError, twice):
                D.parse_display_list(text)

    def test_an_authority_file_that_is_not_one_is_refused_unread(self):
        folder = tempfile.mkdtemp(prefix="test-xauthority-")
        self.addCleanup(shutil.rmtree, folder)
        fifo, huge = os.path.join(folder, "fifo"), os.path.join(folder, "huge")
        os.mkfifo(fifo)  # nobody writes it: reading it would wait for ever
        with open(huge, "wb") as f:
            f.truncate(64 << 20)
        for path, why in (("/dev/zero", "not a regular file"), (fifo, "not a regular file"),
                          (huge, "67108864 bytes")):
            with self.subTest(path=path), x_authority(path):
                with self.assertRaisesRegex(XDisplayError, why):
                    WindowWatcher(":0")

    def test_windows_dealt_in_turn_in_the_host_order(self):
        self.assertEqual(D.deal_windows([4, 2, 7, 9, 3], [":0.0", ":0.1"]),
                         {4: ":0.0", 2: ":0.1", 7: ":0.0", 9: ":0.1", 3: ":0.0"})
        self.assertEqual(D.deal_windows([5], [":0", ":1", ":2"]), {5: ":0"})
        self.assertEqual(D.deal_windows([], [":0"]), {})
        with self.assertRaises(ValueError):
            D.deal_windows([1], [])


GLXINFO_TWO_SCREENS = """name of display: :0.1
display: :0  screen: 0
direct rendering: Yes
OpenGL vendor string: Mesa/X.org
OpenGL renderer string: llvmpipe (LLVM 15.0.6, 256 bits)
OpenGL core profile version string: 4.5 (Core Profile) Mesa 22.3.6
OpenGL version string: 4.5 (Compatibility Profile) Mesa 22.3.6

display: :0  screen: 1
direct rendering: Yes
Memory info (GL_NVX_gpu_memory_info):
    Dedicated video memory: 24576 MB
OpenGL vendor string: NVIDIA Corporation
OpenGL renderer string: NVIDIA GeForce RTX 3090/PCIe/SSE2
OpenGL version string: 4.6.0 NVIDIA 535.104.05
"""

NVIDIA_SMI = """NVIDIA GeForce RTX 3090, 535.104.05, 00000000:3B:00.0, 24576 MiB
NVIDIA A100-SXM4-40GB, 535.104.05, 00000001:AF:00.0, [N/A]
"""


class GpuFacts(unittest.TestCase):
    def test_gl_facts_of_the_screen_a_display_names(self):
        mesa = machine.parse_glxinfo(GLXINFO_TWO_SCREENS, 0)
        self.assertEqual((mesa["vendor"], mesa["direct_rendering"]), ("Mesa/X.org", "Yes"))
        nvidia = machine.parse_glxinfo(GLXINFO_TWO_SCREENS, 1)
        self.assertEqual((nvidia["renderer"], nvidia["version"]),
                         ("NVIDIA GeForce RTX 3090/PCIe/SSE2", "4.6.0 NVIDIA 535.104.05"))
        self.assertEqual(machine.parse_glxinfo("Error: unable to open display :9\n", 0),
                         dict.fromkeys(mesa))

    def test_nvidia_smi_answer(self):
        self.assertEqual(G.parse_nvidia_smi(NVIDIA_SMI + "\n"), [
            {"source": "nvidia-smi", "name": "NVIDIA GeForce RTX 3090",
             "driver_version": "535.104.05", "bus_id": "0000:3b:00.0",
             "memory_bytes": 24576 * 2**20},
            {"source": "nvidia-smi", "name": "NVIDIA A100-SXM4-40GB",
             "driver_version": "535.104.05", "bus_id": "0001:af:00.0", "memory_bytes": None}])
        self.assertEqual(G.parse_nvidia_smi(
            "NVIDIA-SMI has failed because it couldn't communicate with the NVIDIA driver. "
            "Make sure that the latest NVIDIA driver is installed and running.\n"), [])

    def drm_tree(self):
        """A /sys with two PCI cards (one driver telling its version), a card without a
        PCI device, and a connector and a render node that are not cards."""
        root = tempfile.mkdtemp(prefix="test-sys-")
        self.addCleanup(shutil.rmtree, root)
        drm = os.path.join(root, "class", "drm")
        os.makedirs(drm)
        for card, bus, vendor, device, driver in (
                ("card10", "0000:b1:00.0", "0x10de", "0x2204", "nvidia"),
                ("card2", "0000:00:02.0", "0x8086", "0x46a6", "i915"),
                ("card3", "vkms", None, None, None)):
            folder = os.path.join(root, "devices", "pci0000:00", bus)
            os.makedirs(os.path.join(folder, "drm", card))
            os.symlink(os.path.relpath(os.path.join(folder, "drm", card), drm),
                       os.path.join(drm, card))
            os.symlink("../../../" + bus, os.path.join(folder, "drm", card, "device"))
            for name, value in (("vendor", vendor), ("device", device)):
                if value:
                    with open(os.path.join(folder, name), "w") as f:
                        f.write(value + "\n")
            if driver:
                os.makedirs(os.path.join(root, "bus", "pci", "drivers", driver))
                os.symlink(os.path.join(root, "bus", "pci", "drivers", driver),
                           os.path.join(folder, "driver"))
        os.makedirs(os.path.join(root, "module", "nvidia"))
        with open(os.path.join(root, "module", "nvidia", "version"), "w") as f:
            f.write("535.104.05\n")
        for other in ("card2-HDMI-A-1", "renderD128", "version"):
            os.mkdir(os.path.join(drm, other))
        return root

    def test_drm_cards_from_a_sys_tree(self):
        self.assertEqual(G.drm_gpus(self.drm_tree()), [
            {"source": "drm", "card": "card2", "vendor_id": "0x8086", "device_id": "0x46a6",
             "driver": "i915", "driver_version": None, "bus_id": "0000:00:02.0"},
            {"source": "drm", "card": "card3", "vendor_id": None, "device_id": None,
             "driver": None, "driver_version": None, "bus_id": "vkms"},
            {"source": "drm", "card": "card10", "vendor_id": "0x10de", "device_id": "0x2204",
             "driver": "nvidia", "driver_version": "535.104.05", "bus_id": "0000:b1:00.0"}])
        self.assertEqual(G.drm_gpus("/nonexistent"), [])

    def test_nvidia_smi_first_the_cards_when_it_fails_or_hangs(self):
        root = self.drm_tree()
        bin_dir = os.path.join(root, "bin")
        os.mkdir(bin_dir)
        fake = os.path.join(bin_dir, "nvidia-smi")
        env = {"PATH": bin_dir + ":/usr/bin:/bin"}
        cards = G.drm_gpus(root)
        for script, expected in (
                ('[ "$*" = "%s" ] && cat <<EOF\n%sEOF\n' % (" ".join(G.NVIDIA_SMI_QUERY),
                                                          NVIDIA_SMI),
                 G.parse_nvidia_smi(NVIDIA_SMI)),
                ("echo 'No devices were found'; exit 6\n", cards),
                ("exec sleep 600\n", cards),  # a driver that never answers
                # One that never stops talking: its answer past the cap is not used.
                ("yes 'NVIDIA X, 1, 00000000:01:00.0, 1 MiB' | head -n 3000000\n", cards)):
            with self.subTest(script=script):
                with open(fake, "w") as f:
                    f.write("#!/bin/sh\n" + script)
                os.chmod(fake, 0o755)
                self.assertEqual(G.gpus(env, root), expected)
        os.unlink(fake)
        self.assertEqual(G.gpus(env, root), cards)

    def test_rendering_environment_of_the_windows(self):
        user = {"LP_NUM_THREADS": "2", "DRI_PRIME": "1", "__NV_PRIME_RENDER_OFFLOAD": "1",
                "__GLX_VENDOR_LIBRARY_NAME": "nvidia", "vblank_mode": "3", "HOME": "/root",
                "MESA_LOADER_DRIVER_OVERRIDE": "zink"}
        passed = {k: v for k, v in user.items() if k not in ("HOME", "vblank_mode")}
        self.assertEqual(rendering_env(user, vsync=False),
                         dict(passed, vblank_mode="0", __GL_SYNC_TO_VBLANK="0"))
        self.assertEqual(rendering_env(user, vsync=True), dict(passed, vblank_mode="3"))
        self.assertEqual(rendering_env({}, vsync=True), {})


def x_client(display, env, user=None):
    """(status, stderr) of xdpyinfo on the display, as another user when one is named."""
    command = (["runuser", "-u", user, "--"] if user else []) + ["xdpyinfo", "-display", display]
    proc = subprocess.run(command, env=env, cwd="/", capture_output=True, text=True, timeout=60)
    return proc.returncode, proc.stderr


class OwnXvfb(unittest.TestCase):
    """Starts Xvfb: run under flock /tmp/bench-e2e.lock (CTest's display lock)."""

    def private_tempdir(self):
        """Makes this test's own folder where the Xvfb keeps its cookie."""
        folder = tempfile.mkdtemp(prefix="test-xauth-")
        self.addCleanup(shutil.rmtree, folder, True)
        self.addCleanup(setattr, tempfile, "tempdir", tempfile.tempdir)
        tempfile.tempdir = folder
        return folder

    def stranger(self):
        return another_user(self, "bxs")

    def test_only_the_cookie_opens_its_screens(self):
        folder = self.private_tempdir()
        os.chmod(folder, 0o711)  # only the cookie's own folder keeps the stranger out
        stranger = self.stranger()
        server = Xvfb(320, 240, 16, screens=2)
        self.addCleanup(server.stop)
        number = server.display
        self.assertEqual(server.displays, [number + ".0", number + ".1"])
        cookie_folder = os.path.dirname(server.xauthority)
        self.assertEqual(os.path.dirname(cookie_folder), folder)
        self.assertEqual(stat.S_IMODE(os.stat(cookie_folder).st_mode), 0o700)
        with_cookie = dict(os.environ, **server.client_env)
        for display in server.displays:
            status, err = x_client(display, with_cookie)
            self.assertEqual(status, 0, err)
            self.assertIn("llvmpipe", machine.glx_info(with_cookie, display)["renderer"])
            with x_authority(server.xauthority), WindowWatcher(display) as watcher:
                self.assertEqual(watcher.screen_size(), server.screen)
        # Read through a window's wrapper: what it renders with, or unknown; never a guess.
        wrapped = machine.glx_info(with_cookie, number, "env GALLIUM_DRIVER=softpipe", 1)
        self.assertEqual(wrapped["renderer"], "softpipe")
        silent = machine.glx_info(with_cookie, number, "true", 1)
        self.assertEqual((silent["renderer"], silent["version"]), (UNKNOWN_UNDER_WRAP,) * 2)
        self.assertIn("--wrap 'true'", silent["error"])

        # Without the cookie: another file; the stranger told where ours is, or not.
        empty = os.path.join(folder, "empty")
        open(empty, "w").close()
        self.assertNotEqual(x_client(number, dict(os.environ, XAUTHORITY=empty))[0], 0)
        refused = machine.glx_info(dict(os.environ, XAUTHORITY=empty), number)
        self.assertIsNone(refused["renderer"])
        self.assertIn("unable to open display", refused["error"])
        for env in (with_cookie, {"PATH": os.environ["PATH"]}):
            status, err = x_client(number, env, user=stranger)
            self.assertNotEqual(status, 0, "another user opened the display")
            self.assertIn("unable to open display", err)
        # The stranger holding a copy of the cookie gets in: the refusals came from the cookie.
        theirs = tempfile.mkdtemp(dir=folder)
        shutil.copy(server.xauthority, os.path.join(theirs, "cookie"))
        for path in (theirs, os.path.join(theirs, "cookie")):
            shutil.chown(path, stranger)
        status, err = x_client(number, dict(with_cookie, XAUTHORITY=theirs + "/cookie"), stranger)
        self.assertEqual(status, 0, err)

        server.stop()
        self.assertFalse(os.path.exists(cookie_folder))
        self.assertIsNotNone(server.process.poll())
        server.stop()

    def test_another_user_cannot_reach_a_runs_display(self):
        stranger = self.stranger()
        out = os.path.join(self.private_tempdir(), "run")
        run = subprocess.Popen([toolstest.BENCH_RUN, "latticeglow", "2", "--seconds", "4",
                                "--depth", "16", "--no-history", "--build-dir",
                                toolstest.BUILD_DIR, "--out", out],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               start_new_session=True)
        self.addCleanup(lambda: run.poll() is None and (os.killpg(run.pid, signal.SIGTERM),
                                                        run.wait()))

        def display():
            try:
                with open(os.path.join(out, "run.json")) as f:
                    info = json.load(f)
            except (OSError, ValueError):
                return None
            return info["status"] == "running" and (info.get("display") or {}).get("name")
        name = wait_for(display, "the run's display in run.json", timeout=120)
        for env in (dict(os.environ, XAUTHORITY="/nonexistent"), {"PATH": os.environ["PATH"]}):
            status, err = x_client(name, env, user=stranger)
            self.assertNotEqual(status, 0, "another user opened the run's display")
            self.assertIn("unable to open display", err)
        output = run.communicate(timeout=300)[0]
        self.assertEqual(run.returncode, 0, output)
        with open(os.path.join(out, "run.json")) as f:
            self.assertEqual(json.load(f)["status"], "ok")

    def test_a_start_that_fails_leaves_no_cookie(self):
        folder = self.private_tempdir()
        with Xvfb(64, 64, 24) as first:
            with self.assertRaisesRegex(XvfbError, "did not start"):
                Xvfb(64, 64, 24, number=int(first.display[1:]), timeout=10)
            self.assertEqual(os.listdir(folder), [os.path.basename(first.folder)])
        self.assertEqual(os.listdir(folder), [])


if __name__ == "__main__":
    unittest.main()
