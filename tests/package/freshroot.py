"""A fresh Debian root on this machine, for installing a .deb as on a new host.

A mount namespace (held by one process) in which:

- /usr shows only the files of the packages a new Debian host would have after
  `apt-get install ./<file>.deb`, without its recommendations: the priority-required
  packages, the .deb's Depends and Pre-Depends, and what they depend on in turn, as installed
  here. /usr is an overlay of the machine's /usr whose upper layer hides (whiteouts) every
  file of the other installed packages, and /usr/local is empty;
- /var/lib/dpkg is an overlay whose package list holds those packages alone, so dpkg checks
  the .deb's dependencies against them and installs and removes it in the overlay;
- the checkout (and the build tree) is an empty folder.

Nothing leaves the namespace: the overlays' upper layers live on a tmpfs inside it, and all of
it goes with the last process in it. A host of the simulated cluster started from this
namespace (simcluster.Cluster(mount_ns=...)) sees the same /usr.

Run as a script (by FreshRoot, under `unshare --mount`), it builds the namespace, prints one
line of JSON and becomes `sleep`.
"""

import functools
import io
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tarfile
import tempfile
import time

LIFETIME = 1800     # the holder ends by itself after this, also when the test was killed
HIDDEN = ("usr.upper", "usr.work", "dpkg.upper", "dpkg.work")


def skip_reason():
    """Why a fresh root cannot be made here, or None."""
    if os.geteuid() != 0:
        return "not root"
    with open("/proc/self/status") as f:
        caps = int(re.search(r"^CapEff:\s*([0-9a-f]+)$", f.read(), re.M).group(1), 16)
    if not caps & (1 << 21):
        return "root without CAP_SYS_ADMIN"
    with open("/proc/filesystems") as f:
        if not re.search(r"\boverlay$", f.read(), re.M):
            return "no overlay file system in this kernel"
    missing = [t for t in ("unshare", "nsenter", "timeout", "dpkg", "dpkg-deb")
               if shutil.which(t) is None]
    return "missing " + ", ".join(missing) if missing else None


# What a new host would have

def installed_packages():
    """{name: {priority, essential, provides, depends}} of the installed packages."""
    fields = "${Package}\t${Status}\t${Priority}\t${Essential}\t${Provides}\t${Pre-Depends}, ${Depends}\n"
    out = subprocess.run(["dpkg-query", "-W", "-f=" + fields], capture_output=True, text=True,
                         check=True).stdout
    packages = {}
    for line in out.splitlines():
        name, status, priority, essential, provides, depends = line.split("\t")
        if status == "install ok installed":
            packages[name] = {"priority": priority, "essential": essential == "yes",
                              "provides": names(provides), "depends": depends}
    return packages


def names(field):
    """The package names of a Provides field."""
    return [alternatives(group)[0] for group in field.split(",") if group.strip()]


def alternatives(group):
    """'a (>= 1) | b:any' -> ['a', 'b']"""
    return [re.sub(r"[\s(\[].*$", "", a.strip()).split(":")[0] for a in group.split("|")]


def closure(packages, depends):
    """The installed packages that the required ones and `depends` bring, each alternative
    taken by the first installed package that is it or provides it."""
    providers = {}
    for name, info in packages.items():
        for virtual in info["provides"]:
            providers.setdefault(virtual, []).append(name)
    keep = {n for n, p in packages.items() if p["priority"] == "required" or p["essential"]}
    todo = [(n, packages[n]["depends"]) for n in sorted(keep)] + [("the .deb", depends)]
    while todo:
        owner, field = todo.pop()
        for group in field.split(","):
            if not group.strip():
                continue
            choices = [c for a in alternatives(group) for c in
                       ([a] if a in packages else []) + providers.get(a, [])]
            if not choices:
                raise RuntimeError(f"{owner} depends on '{group.strip()}', which is not "
                                   "installed here (sh tools/setup-debian all)")
            if choices[0] not in keep:
                keep.add(choices[0])
                todo.append((choices[0], packages[choices[0]]["depends"]))
    return keep


def package_files(names):
    if not names:
        return set()
    out = subprocess.run(["dpkg-query", "-L", *sorted(names)], capture_output=True,
                         text=True).stdout
    return {real(line) for line in out.splitlines() if line.startswith("/")}


def real(path):
    """A listed path as it lies on disk (/lib/x.so is /usr/lib/x.so on a merged /usr)."""
    return os.path.join(real_folder(os.path.dirname(path)), os.path.basename(path))


@functools.lru_cache(maxsize=None)
def real_folder(folder):
    return os.path.realpath(folder)


def hidden_paths(keep, packages, deb):
    """Files (not folders) under /usr that a new host would not have: those of the packages
    left out, and those the .deb would bring (from an earlier install by hand, say)."""
    shown = package_files(keep)
    hidden = package_files(set(packages) - keep)
    listing = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True,
                             check=True).stdout
    with tarfile.open(fileobj=io.BytesIO(listing)) as tar:
        hidden |= {real("/" + m.name.lstrip("./")) for m in tar.getmembers() if not m.isdir()}
    paths = []
    for path in sorted(hidden - shown):
        if path.startswith("/usr/") and not path.startswith("/usr/local/"):
            try:
                if not stat.S_ISDIR(os.lstat(path).st_mode):
                    paths.append(path)
            except FileNotFoundError:
                pass
    return paths


def whiteouts(upper, paths):
    """Hides each path of /usr in the overlay whose upper layer is `upper`; the folders on
    the way get the owner and mode of /usr's."""
    made = {"."}
    for path in paths:
        relative = os.path.relpath(path, "/usr")
        parents = []
        folder = os.path.dirname(relative) or "."
        while folder not in made:
            parents.append(folder)
            folder = os.path.dirname(folder) or "."
        for folder in reversed(parents):
            info = os.stat(os.path.join("/usr", folder))
            os.mkdir(os.path.join(upper, folder), stat.S_IMODE(info.st_mode))
            os.chmod(os.path.join(upper, folder), stat.S_IMODE(info.st_mode))
            os.chown(os.path.join(upper, folder), info.st_uid, info.st_gid)
            made.add(folder)
        os.mknod(os.path.join(upper, relative), stat.S_IFCHR, os.makedev(0, 0))


def status_of(keep):
    """The dpkg status file with the kept packages' entries alone."""
    with open("/var/lib/dpkg/status") as f:
        entries = f.read().strip("\n").split("\n\n")
    kept = [e for e in entries if re.search(r"^Package: (\S+)$", e, re.M).group(1) in keep]
    return "\n\n".join(kept) + "\n"


def overlay(target, upper, work):
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                    f"lowerdir={target},upperdir={upper},workdir={work}", target], check=True)


def build(root, deb, hide):
    """In a fresh mount namespace: everything above, the .deb copied to root/<its name>."""
    started = time.monotonic()
    packages = installed_packages()
    depends = subprocess.run(["dpkg-deb", "-f", deb, "Pre-Depends", "Depends"],
                             capture_output=True, text=True, check=True).stdout
    depends = ", ".join(line.split(":", 1)[1] for line in depends.splitlines() if ":" in line)
    keep = closure(packages, depends)
    paths = hidden_paths(keep, packages, deb)

    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=755", "freshroot", root], check=True)
    for name in HIDDEN + ("work", "home"):
        os.mkdir(os.path.join(root, name))
    shutil.copy(deb, root)
    whiteouts(os.path.join(root, "usr.upper"), paths)
    with open(os.path.join(root, "dpkg.upper", "status"), "w") as f:
        f.write(status_of(keep))
    overlay("/usr", os.path.join(root, "usr.upper"), os.path.join(root, "usr.work"))
    overlay("/var/lib/dpkg", os.path.join(root, "dpkg.upper"), os.path.join(root, "dpkg.work"))
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=755", "local", "/usr/local"], check=True)
    for folder in hide:
        if os.path.isdir(folder):
            subprocess.run(["mount", "-t", "tmpfs", "-o", "ro,mode=755", "hidden", folder],
                           check=True)
    return {"packages": len(keep), "left_out": len(packages) - len(keep),
            "hidden_files": len(paths), "seconds": round(time.monotonic() - started, 2),
            "deb": os.path.join(root, os.path.basename(deb))}


class FreshRoot:
    """The namespace's holder and the commands run in it: start(), then run() or enter() (an
    argv for Popen), then stop(). `root` is a folder of this machine that holds, inside the namespace, the tmpfs
    with the .deb, an empty `work` folder and an empty `home`."""

    def __init__(self, deb, hide=()):
        self.deb = os.path.abspath(deb)
        self.hide = [os.path.realpath(h) for h in hide]
        self.holder = None
        self.root = None

    def start(self, deadline=300):
        self.root = tempfile.mkdtemp(prefix="bench-freshroot-")
        script = os.path.abspath(__file__)
        self.holder = subprocess.Popen(
            ["timeout", str(LIFETIME), "unshare", "--mount", "--propagation", "private",
             sys.executable, script, self.root, self.deb, *self.hide],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
            text=True, start_new_session=True)
        line = self.holder.stdout.readline()
        if not line.startswith("{"):
            self.holder.wait(deadline)
            error = self.holder.stderr.read()
            self.stop()
            raise RuntimeError(f"the fresh root was not made: {error.strip()}") from None
        self.facts = json.loads(line)
        self.pid = self.facts["pid"]
        return self

    def path(self, path):
        """Where a path of the namespace is seen from outside it."""
        return f"/proc/{self.pid}/root{path}"

    def enter(self, argv, cwd="/", timeout=600):
        # env -C: nsenter's --wd looks the folder up outside the namespace.
        return ["timeout", "-k", "5", str(timeout), "nsenter", "-t", str(self.pid), "--mount",
                "--", "env", "-C", cwd] + list(argv)

    def run(self, argv, cwd="/", timeout=600, env=None):
        return subprocess.run(self.enter(argv, cwd, timeout), capture_output=True, text=True,
                              env=env, stdin=subprocess.DEVNULL)

    def stop(self):
        if self.holder is not None:
            if self.holder.poll() is None:
                os.killpg(self.holder.pid, signal.SIGTERM)
            self.holder.wait(30)
            for pipe in (self.holder.stdout, self.holder.stderr):
                pipe.close()
            self.holder = None
        if self.root:
            os.rmdir(self.root)     # empty outside the namespace
            self.root = None


if __name__ == "__main__":
    try:
        facts = build(sys.argv[1], sys.argv[2], sys.argv[3:])
    except (RuntimeError, subprocess.CalledProcessError, OSError) as e:
        sys.exit(str(e))
    facts["pid"] = os.getpid()
    print(json.dumps(facts), flush=True)
    os.execvp("sleep", ["sleep", str(LIFETIME)])
