"""The tools' package stays a house with one-way stairs: no module imports one that imports it
back, and the roles build on each other in one direction only."""

import ast
import os
import re
import subprocess
import sys
import unittest

import toolstest as T

PACKAGE = os.path.join(T.TOOLS_DIR, "benchlib")
# What each role may build on (besides itself).
ALLOWED = {"results": set(), "hosts": {"results"}, "run": {"results", "hosts", "history"},
           "report": {"results"}, "history": {"results"}}
# The Debian package of each module the tools import beyond the standard library.
DEBIAN_PACKAGES = {"numpy": "python3-numpy", "matplotlib": "python3-matplotlib",
                   "jinja2": "python3-jinja2", "jsonschema": "python3-jsonschema",
                   "psutil": "python3-psutil", "Xlib": "python3-xlib", "scipy": "python3-scipy",
                   "psycopg": "python3-psycopg", "markupsafe": "python3-markupsafe",
                   "argcomplete": "python3-argcomplete"}


def modules():
    """{dotted name: path} of every module of the package."""
    found = {}
    for folder, _dirs, files in os.walk(PACKAGE):
        for name in files:
            if name.endswith(".py"):
                path = os.path.join(folder, name)
                parts = os.path.relpath(path, T.TOOLS_DIR)[:-3].split(os.sep)
                if parts[-1] == "__init__":
                    parts.pop()
                found[".".join(parts)] = path
    return found


def imports_of(name, path, known):
    """The package's modules that a module imports, wherever in it the import stands."""
    package = name if path.endswith("__init__.py") else name.rpartition(".")[0]
    found = set()
    with open(path) as f:
        tree = ast.parse(f.read(), path)
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found.update(a.name for a in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = package
            for _ in range(node.level - 1):
                base = base.rpartition(".")[0]
            base = ".".join(x for x in (base if node.level else "", node.module or "") if x)
            for alias in node.names:
                found.add(base + "." + alias.name if base + "." + alias.name in known else base)
    return {m for m in found if m in known and m != name}


class ImportGraph(unittest.TestCase):
    def setUp(self):
        self.known = modules()
        self.graph = {name: imports_of(name, path, self.known)
                      for name, path in self.known.items()}

    def test_no_module_imports_one_that_imports_it_back(self):
        def reaches(start, goal):
            seen, todo = set(), [start]
            while todo:
                for nxt in self.graph[todo.pop()]:
                    if nxt == goal:
                        return True
                    if nxt not in seen:
                        seen.add(nxt)
                        todo.append(nxt)
            return False
        circles = sorted(n for n in self.graph if reaches(n, n))
        self.assertEqual(circles, [], "modules on an import circle")

    def test_roles_build_one_way(self):
        for name, imported in self.graph.items():
            role = name.split(".")[1] if "." in name else None
            for other in imported:
                other_role = other.split(".")[1] if "." in other else None
                if role in ALLOWED and other_role in ALLOWED and other_role != role:
                    self.assertIn(other_role, ALLOWED[role], "%s imports %s" % (name, other))

    def test_every_package_the_tools_import_is_one_ci_installs(self):
        """What the tools import beyond the standard library is installed by
        `tools/setup-debian ci`, the role the docs' CI recipes use."""
        with open(os.path.join(T.SOURCE_DIR, "tools", "setup-debian")) as f:
            script = f.read()
        roles = dict(re.findall(r'^(\w+)="([^"]*)"', script, re.M))
        installed = set((roles["demo"] + " " + roles["ci"]).split())
        imported = set()
        for path in self.known.values():
            with open(path) as f:
                tree = ast.parse(f.read(), path)
            for node in ast.walk(tree):
                if isinstance(node, ast.Import):
                    imported.update(a.name.split(".")[0] for a in node.names)
                elif isinstance(node, ast.ImportFrom) and node.level == 0:
                    imported.add(node.module.split(".")[0])
        for module in sorted(imported - set(sys.stdlib_module_names) - {"benchlib"}):
            with self.subTest(module=module):
                self.assertIn(module, DEBIAN_PACKAGES, "which Debian package has %s?" % module)
                self.assertIn(DEBIAN_PACKAGES[module], installed)

    def test_every_module_imports_from_anywhere(self):
        code = "import importlib, sys\nfor m in sys.argv[1:]: importlib.import_module(m)"
        proc = subprocess.run([sys.executable, "-c", code] + sorted(self.known), cwd="/",
                              env=dict(os.environ, PYTHONPATH=T.TOOLS_DIR),
                              capture_output=True, text=True, timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)


if __name__ == "__main__":
    unittest.main()
