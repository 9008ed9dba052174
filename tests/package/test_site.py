"""What a site's packager and its users check: the .deb under lintian with a man page for
every command that says what the command's --help says, the RPM of the same build under
rpmlint and installed into a scratch root, and an install tree's environment module loaded
with Lmod (and its Tcl twin)."""

import gzip
import io
import os
import re
import shutil
import subprocess
import tarfile
import tempfile
import unittest

from test_package import BUILD_DIR, NAME, SOURCE_DIR, VERSION, package_file, tail

COMMANDS_WITH_HELP = ("bench-run", "bench-report", "bench-compare", "bench-history",
                      "bench-agent", "bench-wrap", "bench-sbatch")
LMOD_INIT = "/usr/share/lmod/lmod/init/bash"


def run(argv, text=True, **kwargs):
    return subprocess.run(argv, capture_output=True, text=text, timeout=300, **kwargs)


def options(text):
    """The long options a --help or a man page names."""
    text = re.sub(r"\\f[BIRP]", " ", text.replace("\\-", "-"))
    return set(re.findall(r"(?<![\w-])--[a-z][a-z-]*", text)) - {"--help"}


def deb_members(deb):
    data = run(["dpkg-deb", "--fsys-tarfile", deb], text=False).stdout
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        return {"/" + m.name.lstrip("./"): (m, tar.extractfile(m).read() if m.isfile() else None)
                for m in tar.getmembers()}


class DebianPackage(unittest.TestCase):
    def test_lintian_clean_and_a_man_page_for_every_command(self):
        deb = package_file()
        found = run(["lintian", "--fail-on", "none", deb])
        tags = [line for line in found.stdout.splitlines() if re.match(r"[EW]: ", line)]
        self.assertEqual(tags, [], found.stdout + found.stderr)

        members = deb_members(deb)
        commands = sorted(os.path.basename(p) for p in members if p.startswith("/usr/bin/")
                          and not members[p][0].isdir())
        self.assertIn("bench-run", commands)
        for command in commands:
            page = members.get(f"/usr/share/man/man1/{command}.1.gz")
            self.assertIsNotNone(page, f"no man page for {command}")
            text = gzip.decompress(page[1]).decode()
            if command in COMMANDS_WITH_HELP:
                # The page is made from what --help shows: the same options.
                tool = os.path.join(SOURCE_DIR, "tools", command)
                subcommands = re.findall(r"^\.SH OPTIONS '\S+ (\S+)'", text, re.M)
                shown = "".join(run([tool, *sub, "--help"]).stdout
                                for sub in [[]] + [[s] for s in subcommands])
                self.assertEqual(options(text), options(shown), command)
        for tool in COMMANDS_WITH_HELP:
            script = members[f"/usr/lib/{NAME}/tools/{tool}"][1]
            self.assertTrue(script.startswith((b"#!/usr/bin/python3\n", b"#!/bin/sh\n")),
                            script[:60])


class RpmPackage(unittest.TestCase):
    def test_rpmlint_and_installed_into_a_scratch_root(self):
        result = run(["cpack", "-G", "RPM"], cwd=BUILD_DIR)
        self.assertEqual(result.returncode, 0, tail(result))
        rpm = next(os.path.join(BUILD_DIR, f) for f in os.listdir(BUILD_DIR)
                   if f.startswith(f"{NAME}-{VERSION}-") and f.endswith(".rpm"))
        lint = run(["rpmlint", "-c", os.path.join(SOURCE_DIR, "packaging", "rpmlint.toml"), rpm])
        errors = [line for line in lint.stdout.splitlines() if ": E: " in line
                  and not line.endswith("E: no-signature")]   # sites sign in their builds
        self.assertEqual(errors, [], lint.stdout)

        # Requirements in RHEL's names: the MPI the programs link, no Debian package names.
        requires = run(["rpm", "-qpR", rpm]).stdout.split("\n")
        self.assertIn("mpich" if NAME.endswith("-mpich") else "openmpi", requires)
        self.assertFalse({"openmpi-bin", "xvfb", "python3-xlib"} & set(requires), requires)

        root = tempfile.mkdtemp(prefix="bench-rpmroot-")
        self.addCleanup(shutil.rmtree, root)
        # No shell in the scratch root for the scripts, and none of the requirements.
        installed = run(["rpm", "--root", root, "--nodeps", "--noscripts", "-i", rpm])
        self.assertEqual(installed.returncode, 0, tail(installed))
        tools = f"/usr/lib/{NAME}/tools"
        for command in ("bench-run", "bench-history", "bench-sbatch"):
            link = os.path.join(root, "usr/bin", command)
            self.assertEqual(os.path.normpath(os.path.join("/usr/bin", os.readlink(link))),
                             f"{tools}/{command}")
            self.assertTrue(os.path.exists(f"{root}/usr/share/man/man1/{command}.1.gz"))
        for program in ("shardfall", "latticeglow"):
            self.assertTrue(os.access(f"{root}/usr/bin/{program}", os.X_OK))
        self.assertTrue(os.path.exists(f"{root}/usr/share/doc/{NAME}/docs/cluster.md"))
        self.assertTrue(os.path.exists(f"{root}/usr/share/bash-completion/completions/bench-run"))
        # The installed tool finds its Python package from where it landed.
        helped = run([f"{root}/usr/bin/bench-run", "--help"])
        self.assertEqual(helped.returncode, 0, tail(helped))


@unittest.skipUnless(os.path.exists(LMOD_INIT), "no Lmod (apt-get install lmod)")
class EnvironmentModule(unittest.TestCase):
    def test_lmod_loads_the_install_tree(self):
        apps = tempfile.mkdtemp(prefix="bench-apps-")
        self.addCleanup(shutil.rmtree, apps)
        prefix = os.path.join(apps, NAME, VERSION)
        installed = run(["cmake", "--install", BUILD_DIR, "--prefix", prefix])
        self.assertEqual(installed.returncode, 0, tail(installed))
        script = ('source %s && module use "$1" && module load %s/%s && command -v bench-run '
                  '&& bench-run --help >/dev/null && man -w bench-run && man -w man '
                  '&& echo "$BENCH_TOOLS"' % (LMOD_INIT, NAME, VERSION))
        for flavour in ("lmod", "modulefiles"):     # Lua, then Tcl
            with self.subTest(flavour):
                result = run(["env", "-i", "HOME=" + apps, "PATH=/usr/bin:/bin", "bash",
                              "--norc", "--noprofile", "-c", script, "bash",
                              os.path.join(prefix, "share", flavour)], cwd=apps)
                self.assertEqual(result.returncode, 0, tail(result))
                command, page, system_page, tools = result.stdout.split()
                self.assertEqual(command, os.path.join(prefix, "bin", "bench-run"))
                self.assertEqual(page, os.path.join(prefix, "share/man/man1/bench-run.1.gz"))
                self.assertFalse(system_page.startswith(prefix))    # the system's pages too
                self.assertTrue(os.access(os.path.join(tools, "bench-run"), os.X_OK))


if __name__ == "__main__":
    unittest.main()
