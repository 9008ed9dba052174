"""What reaches GL: short runs recorded with apitrace (one window each) and the pow calls of
the lattice build counted in a real run."""

import math
import os
import struct
import unittest

import gltrace
from e2elib import BUILD_DIR, E2ETestCase, Run, wait_for

# The capabilities the set-up leaves enabled: each changes what a frame costs.
ENABLED = {"GL_POINT_SMOOTH", "GL_FOG", "GL_LIGHT0", "GL_LIGHTING", "GL_BLEND", "GL_ALPHA_TEST",
           "GL_AUTO_NORMAL", "GL_COLOR_MATERIAL", "GL_DITHER", "GL_SCISSOR_TEST",
           "GL_STENCIL_TEST", "GL_DEPTH_TEST", "GL_NORMALIZE", "GL_LINE_STIPPLE", "GL_CULL_FACE",
           "GL_POLYGON_STIPPLE"}
CLEAR = "glClear(mask = GL_DEPTH_BUFFER_BIT | GL_ACCUM_BUFFER_BIT | GL_STENCIL_BUFFER_BIT | GL_COLOR_BUFFER_BIT)"
CLEAR_VALUES = ["glClearColor(red = 0, green = 0, blue = 0, alpha = 0)", "glClearDepth(depth = 1)",
                "glClearStencil(s = 0)", "glClearAccum(red = 0, green = 0, blue = 0, alpha = 0)"]


def texts(calls):
    return [repr(call) for call in calls]


class TracedRun(E2ETestCase):
    """Runs a program with one rank under apitrace, steps it, then ends every window with Esc,
    as a user would. The traced process must still leave a complete trace: the tests check
    its frames up to the last step."""

    def traced_run(self, program, processes, traced_rank, depth=24):
        display = self.start_xvfb(depth=depth)
        # The wrapper runs in the run's working directory, so a relative trace name lands there.
        run = Run(self, program, processes, display=display, wrap_rank=traced_rank,
                  wrapper=["apitrace", "trace", "--api", "gl", "-o", "window.trace"])
        return run, os.path.join(run.workdir, "window.trace")

    def step_and_stop(self, run, window, steps, processes):
        wid = run.wait_window(window)
        run.key(wid, "p")
        wait_for(lambda: run.initialised(window), "initialisation")
        start = run.wait_quiet(window)
        for n in range(steps):
            self.assertEqual(run.step(window, wid), start + n + 1)
        run.key(wid, "Escape")
        for other in range(1, processes):
            if other != window:
                run.key(run.wait_window(other), "Escape")
        self.assertEqual(run.wait_exit(), 0, run.stderr())

    def check_setup(self, calls, face_modes, front_face):
        """The state the set-up leaves before the scene is built, once every call has taken
        effect: what is enabled, each face's mode, the front face, blending, the draw buffer."""
        start = next(i for i, c in enumerate(calls) if c.name == "glShadeModel")
        setup = calls[start:next(i for i, c in enumerate(calls) if c.name == "glNewList")]
        enabled = set()
        for c in (c for c in setup if c.name in ("glEnable", "glDisable")):
            (enabled.add if c.name == "glEnable" else enabled.discard)(c.arg("cap"))
        self.assertEqual(enabled, ENABLED)
        self.assertEqual({c.arg("array") for c in setup if c.name == "glEnableClientState"},
                         {"GL_COLOR_ARRAY", "GL_NORMAL_ARRAY", "GL_VERTEX_ARRAY"})
        modes = {}  # each call overrides the faces it names: the last one for a face counts
        for c in (c for c in setup if c.name == "glPolygonMode"):
            modes.update({face: c.arg("mode") for face in ("GL_FRONT", "GL_BACK")
                          if c.arg("face") in (face, "GL_FRONT_AND_BACK")})
        self.assertEqual(modes, face_modes)
        fronts = ["GL_CCW"] + [c.arg("mode") for c in setup if c.name == "glFrontFace"]
        self.assertEqual(fronts[-1], front_face)  # GL starts counter-clockwise
        self.assertIn("glBlendFunc(sfactor = GL_SRC_ALPHA, dfactor = GL_ONE_MINUS_SRC_ALPHA)",
                      texts(setup))
        self.assertIn("glDrawBuffer(mode = GL_FRONT_AND_BACK)", texts(setup))

    def check_frame(self, frame, a, clear_first, scene_calls, bits, pops):
        """One frame at angle step a, the hud's characters removed."""
        calls, characters = gltrace.without_bitmap_characters(frame)
        # The frame proper starts at its clear; reshape and context calls may come before it.
        first = "glClear" if clear_first else "glClearColor"
        calls = calls[next(i for i, c in enumerate(calls) if c.name == first):]
        self.assertGreater(characters, 100)
        t, s, c = math.atan(a), math.sin(a), math.cos(a)
        f = gltrace.f32
        clear = [CLEAR] + CLEAR_VALUES if clear_first else CLEAR_VALUES + [CLEAR]
        head = texts(calls[:len(clear) + 5])
        self.assertEqual(head, clear + [
            "glPushMatrix()", "glPushClientAttrib(mask = GL_CLIENT_ALL_ATTRIB_BITS)",
            "glScaled(x = 1, y = 1, z = 1)", f"glRotated(angle = {a + 45}, x = 1, y = 1, z = 1)",
            "glTranslated(x = -0.5, y = -0.5, z = -0.5)"])
        lighting = calls[len(clear) + 5:len(clear) + 5 + 16]
        expected = [
            ("glLightfv", "GL_POSITION", [t, s, c, 1]),
            ("glLightfv", "GL_SPOT_DIRECTION", [t, s, c]),
            ("glLightfv", "GL_AMBIENT", [c / 2, s / 2, t / 2, 1]),
            ("glLightfv", "GL_DIFFUSE", [t / 2, s / 2, c / 2, 1]),
            ("glMaterialfv", "GL_SPECULAR", [t / 2, s / 2, c / 2, 1]),
            ("glMaterialf", "GL_SHININESS", [a % 64]),
            ("glMaterialfv", "GL_AMBIENT", [c / 2, s / 2, t / 2, 1]),
            ("glMaterialfv", "GL_DIFFUSE", [t / 2, s / 2, c / 2, 1]),
            ("glMaterialfv", "GL_EMISSION", [s / 2, t / 2, c / 2, 1]),
            ("glLightModelfv", "GL_LIGHT_MODEL_AMBIENT", [c / 2, s / 2, t / 2, 1]),
            ("glLightModeli", "GL_LIGHT_MODEL_LOCAL_VIEWER", [1]),
            ("glLightModeli", "GL_LIGHT_MODEL_TWO_SIDE", [1]),
            ("glLogicOp", None, None),
            ("glLightf", "GL_CONSTANT_ATTENUATION", [c]),
            ("glLightf", "GL_LINEAR_ATTENUATION", [s]),
            ("glLightf", "GL_QUADRATIC_ATTENUATION", [c]),
        ]
        for call, (name, pname, values) in zip(lighting, expected):
            self.assertEqual(call.name, name, call)
            if pname is None:
                self.assertEqual(call.arg("opcode"), "GL_XOR")
                continue
            self.assertEqual(call.arg("pname"), pname)
            key = "params" if "params" in call.args else "param"
            got = call.numbers(key)
            self.assertEqual(len(got), len(values), call)
            for g, v in zip(got, values):
                self.assertAlmostEqual(g, f(v), delta=abs(f(v)) * 1e-6 + 1e-7, msg=repr(call))
        if lighting[0].name == "glLightfv":
            for call in lighting[:4]:
                self.assertEqual(call.arg("light"), "GL_LIGHT0")

        rest = calls[len(clear) + 5 + 16:]
        self.assertEqual(texts(rest[:len(scene_calls)]), scene_calls)
        overlay = rest[len(scene_calls):]
        colour = [f((1 / 2 ** b) * a) for b in bits]
        raster = [f"glRasterPos2i(x = 10, y = {90 - 18 * n})" for n in range(6)]
        self.assertEqual(texts(overlay[:8]), [
            "glDisable(cap = GL_LIGHTING)", "glDisable(cap = GL_DEPTH_TEST)",
            "glMatrixMode(mode = GL_PROJECTION)", "glPushMatrix()", "glLoadIdentity()",
            "glOrtho(left = 0, right = 1440, bottom = 0, top = 1440, zNear = -1, zFar = 1)",
            "glMatrixMode(mode = GL_MODELVIEW)", "glPushMatrix()"])
        self.assertEqual(overlay[8].name, "glLoadIdentity")
        self.assertEqual(overlay[9].name, "glColor3f")
        self.assertEqual([gltrace.to_float(overlay[9].arg(k)) for k in ("red", "green", "blue")],
                         colour)
        self.assertEqual(texts(overlay[10:16]), raster)
        self.assertEqual(texts(overlay[16:]), [
            "glMatrixMode(mode = GL_PROJECTION)", "glPopMatrix()",
            "glMatrixMode(mode = GL_MODELVIEW)", "glPopMatrix()",
            "glColor4f(red = 1, green = 1, blue = 1, alpha = 1)",
            "glEnable(cap = GL_DEPTH_TEST)", "glEnable(cap = GL_LIGHTING)"]
            + ["glPopClientAttrib()", "glPopMatrix()"] * pops
            + ["glFlush()", overlay[-1].__repr__()])
        self.assertEqual(overlay[-1].name, "glXSwapBuffers")

    @staticmethod
    def frame_at(frames, a):
        """The first frame drawn at angle step a (found by its rotation)."""
        for frame in frames:
            for call in frame:
                if call.name == "glRotated" and float(call.arg("angle")) == a + 45:
                    return frame
        raise AssertionError(f"no frame at angle step {a}")


class LatticeglowCalls(TracedRun):
    def test_setup_lattice_list_and_frames(self):
        run, trace = self.traced_run("latticeglow", 2, 1, depth=16)
        self.step_and_stop(run, 1, 2, processes=2)
        calls = gltrace.dump(trace)

        bits = [int(c.arg("params").strip("&")) for c in calls if c.name == "glGetIntegerv"][:3]
        self.assertEqual(bits, [5, 6, 5])
        self.check_setup(calls, {"GL_FRONT": "GL_POINT", "GL_BACK": "GL_POINT"}, "GL_CW")

        new_lists = [i for i, c in enumerate(calls) if c.name == "glNewList"]
        end_lists = [i for i, c in enumerate(calls) if c.name == "glEndList"]
        self.assertEqual((len(new_lists), len(end_lists)), (1, 1))
        listed = calls[new_lists[0] + 1:end_lists[0]]
        self.assertEqual(texts(listed[:3]), ["glPushMatrix()",
                                             "glPushClientAttrib(mask = GL_CLIENT_ALL_ATTRIB_BITS)",
                                             "glBegin(mode = GL_POINTS)"])
        self.assertEqual(texts(listed[-3:]), ["glEnd()", "glPopClientAttrib()", "glPopMatrix()"])
        points = listed[3:-3]
        self.assertEqual(len(points), 3 * 65536)
        self.assertEqual([c.name for c in points[:3]] * 65536, [c.name for c in points])

        def triple(call, keys):
            return [gltrace.to_float(call.arg(k)) for k in keys]
        normal, colour, vertex = ("nx", "ny", "nz"), ("red", "green", "blue"), ("x", "y", "z")
        self.assertTrue(all(math.isnan(v) for v in triple(points[0], normal)))
        self.assertEqual(triple(points[1], colour), [0, 0, 0])
        self.assertEqual(triple(points[2], vertex), [0, 0, 0])
        self.assertEqual(triple(points[5], vertex), [0, 0, 1 / 32])
        self.assertEqual(triple(points[8], vertex), [0, 0, 2 / 32])
        self.assertEqual(triple(points[-1], vertex), [31 / 32, 63 / 64, 31 / 32])
        self.assertEqual(triple(points[-2], colour), [31 / 32, 63 / 64, 31 / 32])

        drawn = gltrace.frames(calls[end_lists[0]:])
        for frame in drawn:
            self.assertEqual(sum(1 for c in frame if c.name == "glCallList"), 1)
        scene = ["glPushMatrix()", "glPushClientAttrib(mask = GL_CLIENT_ALL_ATTRIB_BITS)",
                 "glCallList(list = 1)"]
        for a in (0, 1, 2):
            self.check_frame(self.frame_at(drawn, a), a, True, scene, bits, pops=2)

    def test_lattice_build_calls_pow_nine_times_a_point(self):
        counter = os.path.join(BUILD_DIR, "tests", "e2e", "libpow_counter.so")
        display = self.start_xvfb(depth=16)
        run = Run(self, "latticeglow", 2, display=display, wrap_rank=1,
                  wrapper=["env", f"LD_PRELOAD={counter}", "POW_COUNT_FILE=pow.count"])
        wid = run.wait_window(1)
        run.key(wid, "p")
        wait_for(lambda: run.initialised(1), "initialisation")
        run.key(wid, "Escape")
        self.assertEqual(run.wait_exit(), 0)
        with open(os.path.join(run.workdir, "pow.count"), "rb") as f:
            count = int.from_bytes(f.read(8), "little")
        r, g, b = 32, 64, 32
        # Nine per point; the loop tests that end the k and j loops and the i loop's tests.
        build = 9 * r * g * b + r * g + r * (g + 1) + (r + 1)
        self.assertEqual(build, 593985)
        # Each frame drawn adds the overlay colour's three (Esc may come before the first);
        # each reported frame the vertex count's six (rate and total).
        frames = run.frame_count(1)
        extra = count - build - 6 * frames
        self.assertGreaterEqual(extra, 0, count)
        self.assertEqual(extra % 3, 0, count)
        self.assertLess(extra, 3 * 50, count)


class ShardfallCalls(TracedRun):
    def test_arrays_list_and_draw_counts(self):
        run, trace = self.traced_run("shardfall", 3, 2)
        self.step_and_stop(run, 2, 2, processes=3)
        calls = gltrace.dump(trace)

        self.check_setup(calls, {"GL_FRONT": "GL_FILL", "GL_BACK": "GL_LINE"}, "GL_CCW")

        new_lists = [i for i, c in enumerate(calls) if c.name == "glNewList"]
        end_lists = [i for i, c in enumerate(calls) if c.name == "glEndList"]
        self.assertEqual((len(new_lists), len(end_lists)), (1, 1))
        self.assertEqual(texts(calls[new_lists[0] + 1:end_lists[0]]), [
            "glPushMatrix()", "glPushClientAttrib(mask = GL_CLIENT_ALL_ATTRIB_BITS)",
            "glPopClientAttrib()", "glPopMatrix()"])

        drawn = gltrace.frames(calls[end_lists[0]:])
        for a in (0, 1, 2):
            frame = self.frame_at(drawn, a)
            draws = [c for c in frame if c.name == "glDrawElements"]
            self.assertEqual(len(draws), 1)
            self.assertEqual(draws[0].arg("mode"), "GL_TRIANGLES")
            self.assertEqual(draws[0].arg("type"), "GL_UNSIGNED_BYTE")
            self.assertEqual(int(draws[0].arg("count")), 3600 * 2 * a)
            if a > 0:
                # Client arrays are recorded just before the draw that reads them.
                pointers = {c.name: c for c in frame if c.name.endswith("Pointer")}
                self.assertEqual(set(pointers), {"glColorPointer", "glVertexPointer",
                                                 "glNormalPointer"})
                for call in pointers.values():
                    self.assertEqual(call.arg("type"), "GL_DOUBLE")
                    self.assertEqual(call.arg("stride"), "0")
                self.assertEqual(pointers["glColorPointer"].arg("size"), "3")
                self.assertEqual(pointers["glVertexPointer"].arg("size"), "3")
                # All three arrays and the index list read the same memory: the scene buffer.
                numbers = [c.number for c in pointers.values()] + [draws[0].number]
                folder = os.path.join(run.workdir, f"blobs-{a}")
                os.mkdir(folder)
                data = gltrace.blobs(trace, min(numbers), max(numbers), folder)
                arrays = [data[c.number] for c in pointers.values()]
                indices = data[draws[0].number]
                self.assertEqual(len(indices), 3600 * 2 * a)
                self.assertEqual(arrays[0], arrays[1])
                self.assertEqual(arrays[0], arrays[2])
                self.assertEqual(arrays[0][:min(len(arrays[0]), len(indices))],
                                 indices[:min(len(arrays[0]), len(indices))])
                first = struct.unpack("<4d", arrays[0][:32])
                self.assertEqual(first[0], 0.0)
                for got, want in zip(first[1:], (2.15198, -1.07755, 0.121004)):
                    self.assertAlmostEqual(got, want, places=5)
            scene = ["glCallList(list = 1)", draws[0].__repr__()]
            self.check_frame([c for c in frame if not c.name.endswith("Pointer")], a, False,
                             scene, [8, 8, 8], pops=1)


if __name__ == "__main__":
    unittest.main()
