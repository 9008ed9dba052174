"""What the docs state that the code also knows (figures, options, the packages' needs, the
tools' layout): read from the docs and checked against the code, so that neither can drift
from the other."""

import argparse
import os
import re
import unittest

import toolstest as T
from benchlib.history import analysis, backend, command as history_command, queue, schema, \
    snapshot, store
from benchlib.hosts import handshake, limits, placement
from benchlib.report import command as report_command, compare
from benchlib.run import command as run_command

DOCS = os.path.join(T.SOURCE_DIR, "docs", "tools.md")
USER_DOCS = ["README.md"] + [os.path.join("docs", name) for name in
                             ("tools.md", "cluster.md", "results.md", "history-server.md")]
PARSERS = {"bench-run": run_command, "bench-report": report_command,
           "bench-history": history_command}
# Options the docs name that belong to other commands: the launchers, srun, Slurm, cmake,
# rpm, PostgreSQL, X and GPU tools, bench-sbatch and the bench/ scripts.
OTHER_COMMANDS_OPTIONS = {
    "--allow-run-as-root", "--oversubscribe", "--export", "--nodelist", "--ntasks-per-node",
    "--overlap", "--preset", "--build", "--target", "--install", "--prefix", "--root",
    "--nodeps", "--noscripts", "--owner", "--pwprompt", "--sync", "--onlyvisible", "--name",
    "--window", "--fb", "--query-gpu", "--format", "--report", "--real"}


def docs_text(path=DOCS):
    with open(path) as f:
        return " ".join(f.read().split())  # lines joined: a figure may break across them


def number(text):
    return float(text.replace(",", ""))


class DocumentedFigures(unittest.TestCase):
    def setUp(self):
        self.text = docs_text()

    def find(self, pattern):
        match = re.search(pattern, self.text)
        self.assertTrue(match, "docs/tools.md no longer says %r" % pattern)
        return match.groups()

    def test_windows_a_screen_holds_and_the_largest_screens(self):
        at16, at24 = self.find(r"one screen holds at most P windows: ([\d,]+) at depth 16, "
                               r"([\d,]+) at depth 24 or 30")
        self.assertEqual((number(at16), number(at24)),
                         (placement.most_windows(16), placement.most_windows(24)))
        side16, side24 = self.find(r"The largest square is ([\d,]+) at depth 16 \(2 bytes a "
                                   r"pixel\) and ([\d,]+) at depth 24")
        self.assertEqual((number(side16), number(side24)),
                         (placement.largest_side(16), placement.largest_side(24)))
        own16, own24 = self.find(r"up to window ([\d,]+) at depth 16, ([\d,]+) at depth 24 or 30")
        for depth, highest in ((16, own16), (24, own24)):
            highest = int(number(highest))
            self.assertTrue(limits.xvfb_holds(placement.own_places_screen(highest), depth))
            self.assertFalse(limits.xvfb_holds(placement.own_places_screen(highest + 1), depth))

    def test_the_place_of_a_window_that_does_not_fit(self):
        window, own, side, drawn = self.find(
            r"Window (\d+)'s place \((\d+), \d+\) does not fit the (\d+) x \d+ screen: it is "
            r"drawn at \((\d+), \d+\)")
        window, side = int(window), int(side)
        self.assertEqual(int(own), placement.STEP * window)
        self.assertEqual(int(drawn), placement.place(window, side, side))
        places = self.find(r"\((\d+) places fit there")[0]
        self.assertEqual(int(places), placement.places_that_fit(side, side))

    def test_the_window_limit_is_the_programs_own(self):
        with open(os.path.join(T.SOURCE_DIR, "harness", "state.hpp")) as f:
            tables = re.search(r"MaxWindows = (\d+);", f.read())
        self.assertEqual(int(tables.group(1)), limits.MAX_RANKS)

    def test_the_x_clients_of_the_own_xvfb(self):
        limit, fewest = self.find(r"spare: (\d+) from ([\d,]+) windows on")
        fewest = int(number(fewest))
        self.assertEqual(limits.xvfb_max_clients(fewest), int(limit))
        self.assertLess(limits.xvfb_max_clients(fewest - 1), int(limit))

    def test_memory_and_open_files_of_a_window(self):
        (process,) = self.find(r"Every window process: about ([\d,]+) MB beside its scene")
        self.assertEqual(number(process) * 1e6, limits.WINDOW_PROCESS_BYTES)
        (point,) = self.find(r"latticeglow: about ([\d,]+) bytes per point")
        self.assertEqual(number(point), limits.LATTICE_BYTES_PER_POINT)
        (launch,) = self.find(r"The launcher and the console: about ([\d,]+) MB on a host")
        self.assertEqual(number(launch) * 1e6, limits.LAUNCH_BYTES)
        own, each = self.find(r"refuses more windows than ([\d,]+) \+ ([\d,]+) a window allows")
        self.assertEqual((number(own), number(each)),
                         (limits.LAUNCHER_FILES, limits.LAUNCHER_FILES_PER_WINDOW))

    def test_the_history_s_bounds(self):
        self.assertEqual(number(self.find(r"`check --last` takes 1 to ([\d,]+)")[0]),
                         history_command.MAX_COUNT)
        self.assertEqual(number(self.find(r"waits up to (\d+) s for the other")[0]),
                         store.BUSY_TIMEOUT)
        self.assertEqual(number(self.find(r"reading stops after (\d+) s")[0]),
                         snapshot.READ_BOUND)
        (fewest,) = self.find(r"With fewer than (\w+) such runs")
        self.assertEqual(fewest, {5: "five"}.get(analysis.MIN_EARLIER))
        (newest,) = self.find(r"Version (\d+) adds to `runs` `flagged`")
        self.assertEqual(int(newest), schema.CURRENT_VERSION,
                         "docs/tools.md's schema versions end before the newest")

    def test_shardfall_s_scene_buffer(self):
        with open(os.path.join(T.SOURCE_DIR, "shardfall", "scene_fill.hpp")) as f:
            elements = int(re.search(r"SceneBufferElements = ([\d']+);", f.read())
                           .group(1).replace("'", ""))
        self.assertEqual(elements * 8, limits.SHARDFALL_WINDOW_BYTES)
        (doubles,) = re.search(r"one buffer of ([\d,]+) doubles",
                               docs_text(os.path.join(T.SOURCE_DIR, "README.md"))).groups()
        self.assertEqual(number(doubles), elements)
        (in_bytes,) = self.find(r"shardfall: ([\d,]+) bytes per window process")
        self.assertEqual(number(in_bytes), limits.SHARDFALL_WINDOW_BYTES)
        with open(os.path.join(T.SOURCE_DIR, "shardfall", "draw_count.hpp")) as f:
            per_step = int(re.search(r"IndicesPerStep = (\d+);", f.read()).group(1))
        (step,) = self.find(r"a frame costs ~[\d.]+ s per ([\d,]+) indices")
        self.assertEqual(number(step), per_step)
        (most,) = self.find(r"from window index × angle step > ([\d,]+) on")
        self.assertEqual(number(most), limits.SHARDFALL_WINDOW_BYTES // per_step)

    def test_the_tests_each_comparison_uses(self):
        # The name of each test (before its explanation in brackets) is in the docs.
        for used in (compare.PAIRED, compare.UNPAIRED, compare.REPEATS):
            name = re.split(r" of | \(", used)[0].replace("paired ", "")
            with self.subTest(test=name):
                self.assertTrue(name in self.text, "docs/tools.md does not name %r" % name)


class DocumentedBounds(unittest.TestCase):
    """The bounds docs/cluster.md and docs/history-server.md state for the agents' door and
    a history server."""

    def find(self, name, pattern):
        match = re.search(pattern, docs_text(os.path.join(T.SOURCE_DIR, "docs", name)))
        self.assertTrue(match, "docs/%s no longer says %r" % (name, pattern))
        return match.groups()

    def test_the_agents_door(self):
        proof, room, noted = self.find(
            "cluster.md", r"the run's proof within (\d+) s.*?at most (\d+) connections.*?The "
            r"first (\w+) connections turned away get a note each")
        self.assertEqual(float(proof), handshake.HELLO_TIMEOUT)
        self.assertEqual(int(room), handshake.ROOM)
        self.assertEqual(noted, {3: "three"}.get(handshake.NOTED))

    def test_a_server_that_is_away(self):
        connect, statement, answer, whole = self.find(
            "history-server.md", r"(\d+) s to connect; `statement_timeout` and `lock_timeout` "
            r"of (\d+) s.*?(\d+) s for any one answer and (\d+) s for the whole")
        self.assertEqual((float(connect), float(statement) * 1000, float(answer), float(whole)),
                         (backend.CONNECT_TIMEOUT, backend.STATEMENT_TIMEOUT_MS,
                          backend.ANSWER_BOUND, store.RECORD_BOUND))
        (said,) = self.find("history-server.md",
                            r"What the server says is cut to (\d+) characters")
        self.assertEqual(int(said), backend.MESSAGE_LIMIT)
        (record,) = self.find("history-server.md", r"larger than (\d+) MB")
        self.assertEqual(int(record) << 20, queue.RECORD_LIMIT)


class DocumentedPackages(unittest.TestCase):
    def test_the_rpm_table_names_every_requirement(self):
        """docs/cluster.md's table of what the packages need, against its home in
        packaging/package.cmake (Debian's name | the RHEL family's)."""
        with open(os.path.join(T.SOURCE_DIR, "packaging", "package.cmake")) as f:
            needs = re.search(r"set\(bench_needs\n(.*?)\)\n", f.read(), re.S).group(1)
        pairs = [p.split("|") for p in re.findall(r'"([^"$]+\|[^"$]+)"', needs)]
        with open(os.path.join(T.SOURCE_DIR, "docs", "cluster.md")) as f:
            table = [line for line in f if line.startswith("| ")]
        for deb, rpm in pairs:
            with self.subTest(package=deb):
                rows = [r for r in table if rpm in r]
                self.assertTrue(rows, "docs/cluster.md's table lacks %s" % rpm)
                if deb != "-" and deb != "python3":
                    self.assertTrue(any(re.search(r"(%s|-%s)\b" % (re.escape(deb), re.escape(
                        deb.split("-", 1)[-1])), r) for r in rows),
                        "docs/cluster.md's table lacks %s beside %s" % (deb, rpm))


class DocumentedLayout(unittest.TestCase):
    def test_every_part_of_benchlib_is_named(self):
        text = docs_text().split("## How the tools are built", 1)[1]
        package = os.path.join(T.TOOLS_DIR, "benchlib")
        for name in sorted(os.listdir(package)):
            if os.path.isfile(os.path.join(package, name, "__init__.py")):
                with self.subTest(part=name):
                    self.assertIn("`%s/`" % name, text, "docs/tools.md's layout lacks %s/" % name)


def parser_options(parser):
    """Every --option of the parser and of its sub-commands."""
    found = set()
    for action in parser._actions:
        found.update(o for o in action.option_strings if o.startswith("--"))
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                found |= parser_options(sub)
    return found


class DocumentedOptions(unittest.TestCase):
    """Every option of bench-run, bench-report and bench-history is documented, and every
    option the docs name is one of theirs (or another command's, listed above)."""

    def setUp(self):
        text = ""
        for name in USER_DOCS:
            with open(os.path.join(T.SOURCE_DIR, name)) as f:
                text += f.read()
        self.named = set(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", text))
        self.options = {tool: parser_options(module.build_parser())
                        for tool, module in PARSERS.items()}

    def test_every_option_is_documented(self):
        for tool, options in self.options.items():
            with self.subTest(tool=tool):
                self.assertEqual(sorted(options - self.named), [],
                                 "options of %s that no doc names" % tool)

    def test_the_docs_name_only_options_that_exist(self):
        known = set().union(*self.options.values()) | OTHER_COMMANDS_OPTIONS
        self.assertEqual(sorted(self.named - known), [], "options the docs name that no "
                         "command has (a renamed option, or another command's: list it)")


if __name__ == "__main__":
    unittest.main()
