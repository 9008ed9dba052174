"""report.html: one self-contained page with the run's table and plots (or two runs side by
side), read as a browser reads it. InBrowser loads pages in headless Chromium (Debian's
chromium, installed by tools/setup-debian) with no network to reach."""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import unittest
from html.parser import HTMLParser

import toolstest as T
from benchlib.report import html_report
from benchlib.report.summary import summary_data
from benchlib.results.runs import collect_files, load_runs
from test_compare import write_run

FIXTURE = os.path.join(T.HERE, "fixtures", "openmpi-latticeglow-seconds")
# Attributes through which a page could fetch something.
FETCHING = {"src", "href", "xlink:href", "srcset", "action", "data", "poster", "background"}


class Dom(HTMLParser):
    """The elements, table rows (class, cell texts) and text of an HTML document."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.elements, self.rows, self.texts = [], [], []
        self._cell = None
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.elements.append((tag, attrs))
        if tag == "tr":
            self.rows.append((attrs.get("class"), []))
        elif tag in ("td", "th") and self.rows:
            self.rows[-1][1].append("")
            self._cell = self.rows[-1][1]

    def handle_endtag(self, tag):
        if tag in ("td", "th", "tr"):
            self._cell = None

    def handle_data(self, data):
        self.texts.append(data)
        if self._cell is not None:
            self._cell[-1] += data

    def tags(self, name):
        return [attrs for tag, attrs in self.elements if tag == name]

    def rows_of(self, css):
        return [cells for c, cells in self.rows if c == css]

    def foreign_references(self):
        """Every attribute value that would fetch something from outside the page."""
        return [(tag, name, value) for tag, attrs in self.elements
                for name, value in attrs.items()
                if (name in FETCHING and value and not value.startswith(("#", "data:")))
                or name.startswith("on") or "url(" in (value or "").replace("url(#", "")]


class PageCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="bench-html-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def report(self, *args, status=0):
        proc = T.run_tool(T.BENCH_REPORT, *args, timeout=120)
        self.assertEqual(proc.returncode, status, proc.stdout + proc.stderr)
        return proc

    def page(self, folder):
        with open(os.path.join(folder, "report.html"), encoding="utf-8") as f:
            return Dom(f.read())


class HtmlPage(PageCase):
    def write_two_hosts(self, folder):
        for w, host in ((1, "n1"), (2, "n2"), (3, "n2")):
            T.write_lines(folder, T.results_name("latticeglow", w, processor=host),
                          T.latticeglow_lines(w, [0.5, 0.25 * w], 1000, processor=host))

    def test_the_page_holds_the_console_table_and_the_plots_inline(self):
        self.write_two_hosts(self.dir)
        proc = self.report(self.dir)
        self.assertIn(os.path.join(self.dir, "report.html"), proc.stdout)
        page = self.page(self.dir)
        # The same rows as the console's table, cell for cell (the page writes figures in
        # fixed notation with thousands separators); the host rows add the host's verdict
        # (two hosts: it cannot be decided).
        console = [line.split() for line in proc.stdout.splitlines()
                   if line.split()[:1] and line.split()[0] in ("1", "2", "3", "host", "total")]
        console[3:5] = [row + ["cannot decide"] for row in console[3:5]]
        shown = [[c for c in cells if c] for css in ("window", "host", "total")
                 for cells in page.rows_of(css)]
        self.assertEqual([len(row) for row in shown], [len(row) for row in console])
        for page_row, console_row in zip(shown, console):
            for on_page, on_console in zip(page_row, console_row):
                if on_console[0].isdigit():
                    self.assertAlmostEqual(float(on_page.replace(",", "")), float(on_console),
                                           delta=1e-5 * float(on_console))
                else:
                    self.assertEqual(on_page, on_console)
        self.assertIn("2,666.67", shown[0])
        self.assertEqual([len(page.rows_of(c)) for c in ("window", "host", "total")], [3, 2, 1])
        head = page.rows[0][1]
        self.assertEqual(head[:3], ["Window", "Host", "Initialisation (s)"])
        self.assertEqual(len(set(head)), len(head))
        self.assertIn("PASS", page.texts)  # the verdict on top
        svgs = page.tags("svg")
        self.assertEqual(len(svgs), 2)
        self.assertGreater(len(page.tags("path")), 50)  # the plots are drawn, not empty boxes
        self.assertEqual(page.foreign_references(), [])
        self.assertEqual(page.tags("script") + page.tags("img") + page.tags("link"), [])

    def test_no_plots_leaves_them_out_of_the_page_and_says_so(self):
        self.write_two_hosts(self.dir)
        self.report("--no-plots", self.dir)
        page = self.page(self.dir)
        self.assertEqual(page.tags("svg"), [])
        self.assertIn(html_report.NO_PLOTS, page.texts)

    def test_comparison_page_beside_comparison_json(self):
        a, b = os.path.join(self.dir, "a"), os.path.join(self.dir, "b")
        write_run(a, seed=1)
        write_run(b, seed=2, slowdown=1.2)
        proc = self.report(a, b, "--fail-above", "10", status=1)
        self.assertIn(os.path.join(b, "report.html"), proc.stdout)
        with open(os.path.join(b, "comparison.json")) as f:
            data = json.load(f)
        page = self.page(b)
        rows = page.rows_of("window") + page.rows_of("total")
        self.assertEqual([r[:2] for r in rows], [["1", "NODE7"], ["2", "NODE7"], ["total", ""]])
        self.assertEqual(page.tags("div")[0].get("class"), "banner fail")
        self.assertEqual([r[-1] for r in rows],
                         [row["verdict"] for row in data["windows"] + [data["total"]]])
        self.assertEqual(len(page.rows_of("measure")), 3 * 3)  # median, p95, init
        self.assertEqual(len(page.tags("svg")), 1)
        self.assertEqual(page.foreign_references(), [])
        self.report(a, b, "--no-plots")
        self.assertEqual(self.page(b).tags("svg"), [])

    def test_host_verdicts_and_repeats_appear_only_when_the_summary_has_them(self):
        self.write_two_hosts(self.dir)
        runs, failures = load_runs(collect_files([self.dir]))
        self.assertEqual(failures, [])
        run = runs[0]
        data = summary_data(run)
        plain = Dom(html_report.run_page(run, data, None))
        headings = [t for t in plain.texts if t in ("Host verdicts", "Repeats and their spread")]
        self.assertEqual(headings, [])
        self.assertEqual(len(plain.rows_of("window")[0]), 12)
        data["host_verdicts"] = [{"host": "n2", "verdict": "<b>slower</b>",
                                  "rate_vs_median_host_percent": -12.5}]
        data["repeats"] = [{"repeat": 1, "headline_rate": 2000.0},
                           {"repeat": 2, "headline_rate": 2100.0, "spread": {"range": "5%"}}]
        page = Dom(html_report.run_page(run, data, None))
        for heading in ("Host verdicts", "Repeats and their spread"):
            self.assertIn(heading, page.texts)
        hosts = {cells[1]: cells for cells in page.rows_of("host")}
        self.assertEqual((hosts["n1"][-1], hosts["n2"][-1]), ("", "<b>slower</b>"))
        self.assertEqual(page.tags("b"), [])
        for text in ("-12.5 %", "2,100", "5%"):
            self.assertIn(text, page.texts)

    def test_a_gpu_node_names_its_gpu_displays_and_rendering(self):
        write_gpu_run(self.dir)
        proc = self.report("--no-plots", self.dir)
        context = [line.strip() for line in proc.stdout.splitlines()[:6]]
        for line in ("GPUs: NVIDIA RTX A6000 at 0000:17:00.0 (48.0 GiB); NVIDIA RTX A6000 at "
                     "0000:65:00.0 (48.0 GiB); driver nvidia 550.90.07",
                     "rendering: __GL_SYNC_TO_VBLANK=0, vblank_mode=0",
                     "each window under: apitrace trace -o trace-{window}.trace"):
            self.assertIn(line, context)
        page = self.page(self.dir)
        self.assertIn(["gpu1", ":0.1", "1920x1200x24", "NVIDIA RTX A6000/PCIe/SSE2",
                       "4.6.0 NVIDIA 550.90.07", "NVIDIA Corporation"],
                      [cells for _css, cells in page.rows])
        self.assertEqual([(cells[1], cells[2]) for cells in page.rows_of("display")],
                         [("gpu1", ":0.0"), ("gpu1", ":0.1")])
        self.assertIn(context[2], page.texts)


def write_gpu_run(folder):
    """A run of 4 windows on one host with two GPUs, a display each."""
    for w in range(1, 5):
        T.write_lines(folder, T.results_name("latticeglow", w, processor="gpu1"),
                      T.latticeglow_lines(w, [0.004 * (1 + 0.01 * i) for i in range(10)],
                                          65536, processor="gpu1"))
    gpus = [{"source": "nvidia-smi", "name": "NVIDIA RTX A6000", "driver_version": "550.90.07",
             "bus_id": bus, "memory_bytes": 48 * 2 ** 30}
            for bus in ("0000:17:00.0", "0000:65:00.0")]
    displays = [{"name": name, "screen": {"width": 1920, "height": 1200, "depth": 24},
                 "gl_renderer": "NVIDIA RTX A6000/PCIe/SSE2",
                 "gl_version": "4.6.0 NVIDIA 550.90.07", "gl_vendor": "NVIDIA Corporation",
                 "glx": {"vendor": "NVIDIA Corporation", "driver": None}}
                for name in (":0.0", ":0.1")]
    env = {"vblank_mode": "0", "__GL_SYNC_TO_VBLANK": "0"}
    with open(os.path.join(folder, "run.json"), "w") as f:
        json.dump({"program": "latticeglow", "status": "ok", "windows": 4, "vsync": False,
                   "wrap": "apitrace trace -o trace-{window}.trace", "rendering_env": env,
                   "window_displays": {str(w): (":0.0", ":0.1")[(w - 1) % 2]
                                       for w in range(1, 5)},
                   "context": {"host": "gpu1", "gl_renderer": displays[0]["gl_renderer"]},
                   "hosts": [{"name": "gpu1", "gpus": gpus, "displays": displays,
                              "rendering_env": env}]}, f)


def _chromium_command():
    chromium = shutil.which("chromium")
    if chromium is None:
        return None
    # An empty network namespace when one can be made; names resolve to nothing either way.
    jail = ["unshare", "-n"] if subprocess.run(["unshare", "-n", "true"],
                                               capture_output=True).returncode == 0 else []
    return jail + [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                   "--no-first-run", "--disable-background-networking",
                   "--disable-component-update", "--disable-sync",
                   "--host-resolver-rules=MAP * ~NOTFOUND"]


def chromium(command, *args, timeout=300):
    """Runs Chromium on a fresh profile in a session of its own; whatever it started is
    ended with it."""
    profile = tempfile.mkdtemp(prefix="bench-chromium-")
    proc = subprocess.Popen(command + ["--user-data-dir=" + profile] + list(args),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        out, err = proc.communicate(timeout=timeout)
        return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)
    finally:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
        shutil.rmtree(profile, ignore_errors=True)


class InBrowser(PageCase):
    @classmethod
    def setUpClass(cls):
        cls.command = _chromium_command()
        if cls.command is None:
            raise unittest.SkipTest("chromium is not installed (tools/setup-debian installs it)")
        probe = chromium(cls.command, "--dump-dom", "data:text/html,<p>probe</p>")
        if probe.returncode != 0 or "probe" not in probe.stdout:
            raise unittest.SkipTest("chromium cannot run here: %s" % (
                probe.stderr.strip().splitlines() or ["status %d" % probe.returncode])[-1])

    def dom(self, folder):
        proc = chromium(self.command, "--dump-dom",
                        "file://" + os.path.join(folder, "report.html"))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return Dom(proc.stdout)

    def test_a_real_run_renders_whole_with_no_network(self):
        run = os.path.join(self.dir, "run")
        shutil.copytree(FIXTURE, run)
        self.report(run)
        page = self.dom(run)
        self.assertEqual([cells[:2] for cells in page.rows_of("window")],
                         [["1", "vm"], ["2", "vm"]])
        self.assertEqual(len(page.rows_of("total")), 1)
        self.assertEqual(len(page.tags("svg")), 2)
        self.assertEqual(page.foreign_references(), [])
        # The verdict opens the page; the busy machine (load 6.58 on 2 cores) is said.
        self.assertEqual([a.get("class") for a in page.tags("div")][:1], ["banner pass"])
        self.assertIn("PASS", page.texts[:page.texts.index("Run")])
        self.assertTrue(any("load average reached 6.58 on 2 cores" in t for t in page.texts))

        shot = os.path.join(self.dir, "page.png")
        proc = chromium(self.command, "--window-size=1200,1600", "--screenshot=" + shot,
                        "file://" + os.path.join(run, "report.html"))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        from matplotlib.image import imread
        pixels = imread(shot)[..., :3] * 255
        self.assertEqual(pixels.shape[:2], (1600, 1200))
        self.assertGreater((pixels < 240).any(axis=-1).mean(), 0.02, "a blank page")
        # Both windows' lines are drawn: matplotlib's first two colours.
        for colour in ((31, 119, 180), (255, 127, 14)):
            near = (abs(pixels - colour) < 40).all(axis=-1).sum()
            self.assertGreater(near, 200, "colour %s of the plots" % (colour,))

    def test_displays_gpus_and_a_window_held_by_the_refresh(self):
        from test_slow_hosts import write_displays_run
        write_displays_run(self.dir)
        T.write_lines(self.dir, T.results_name("latticeglow", 1, processor="node2"),
                      T.latticeglow_lines(1, ([1 / 60] * 4 + [2 / 60]) * 3, 65536,
                                          processor="node2"))
        path = os.path.join(self.dir, "run.json")
        with open(path) as f:
            record = json.load(f)
        for h in record["hosts"]:
            h["gpus"] = [{"source": "drm", "card": "card%d" % i, "vendor_id": "0x10de",
                          "device_id": "0x2204", "driver": "nvidia",
                          "driver_version": "550.90.07", "bus_id": "0000:%02x:00.0" % (i + 1)}
                         for i in range(2)]
        with open(path, "w") as f:
            json.dump(record, f)
        self.report("--fail-slow-host", "10", self.dir, status=1)
        page = self.dom(self.dir)
        self.assertEqual([(cells[1], cells[2], cells[-1]) for cells in page.rows_of("display")],
                         [("node2", ":0.0", "fine"), ("node2", ":0.1", "fine"),
                          ("node3", ":0.0", "fine"), ("node3", ":0.1", "SLOWER")])
        text = "".join(page.texts)
        for shown in ("window 1: frame times follow a 60 Hz refresh: sync to the display may "
                      "be on", "SLOW DISPLAY beyond 10%: node3 :0.1",
                      "GPUs of node2, node3: 10de:2204 at 0000:01:00.0; 10de:2204 at "
                      "0000:02:00.0; driver nvidia 550.90.07"):
            self.assertIn(shown, text)
        self.assertEqual(page.foreign_references(), [])
        shot = os.path.join(self.dir, "page.png")
        proc = chromium(self.command, "--window-size=1200,1400", "--screenshot=" + shot,
                        "file://" + os.path.join(self.dir, "report.html"))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        from matplotlib.image import imread
        pixels = imread(shot)[..., :3] * 255
        # The banner of a failed run is drawn in its red border at the top.
        self.assertGreater((abs(pixels[:300] - (187, 0, 0)) < 30).all(axis=-1).sum(), 500)

    def test_hostile_names_show_as_text(self):
        host = "<img src=x onerror=alert(1)>"  # no '/': it is in the files' names too
        for w in (1, 2):
            T.write_lines(self.dir, T.results_name("latticeglow", w, processor=host),
                          T.latticeglow_lines(w, [0.5, 0.25], 1000, processor=host,
                                              summary=w == 1))
        with open(os.path.join(self.dir, "run.json"), "w") as f:
            json.dump({"program": "latticeglow", "status": "failed",
                       "error": "<script>alert(2)</script>",
                       "context": {"host": "<script>alert(3)</script>",
                                   "cpu_model": "--><svg onload=alert(4)>",
                                   "gl_renderer": "llvmpipe \u202e\x1b[31m"}}, f)
        self.report(self.dir, status=1)  # the run failed
        page = self.dom(self.dir)
        self.assertEqual([tag for tag, _attrs in page.elements if tag in ("script", "img")], [])
        self.assertEqual(page.foreign_references(), [])
        self.assertEqual(len(page.tags("svg")), 2)  # the plots' own, no other
        self.assertEqual([cells[1] for cells in page.rows_of("window")], [host, host])
        text = "".join(page.texts)
        for shown in ("<script>alert(2)</script>", "<script>alert(3)</script>, --><svg "
                      "onload=alert(4)>", "window 2 (results_latticeglow_windows @ 2 of %s"
                      % host):
            self.assertIn(shown, text)
        # A right-to-left override would turn the trusted figures after it around.
        self.assertIn("llvmpipe \\u202e\\x1b[31m", text)
        self.assertNotIn("\u202e", text)


if __name__ == "__main__":
    unittest.main()
