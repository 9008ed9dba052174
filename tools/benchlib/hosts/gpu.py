"""The GPUs of a host as their driver names them: NVIDIA's nvidia-smi where it is installed,
else the kernel's DRM devices. Neither being there (llvmpipe, a container) gives no GPUs;
nothing here waits long or fails."""

import csv
import os
import re
import shutil

from .processes import run_bounded

NVIDIA_SMI_QUERY = ["--query-gpu=name,driver_version,pci.bus_id,memory.total",
                    "--format=csv,noheader"]
NVIDIA_SMI_TIMEOUT = 2.0
NVIDIA_SMI_LIMIT = 64 << 10  # bytes of its answer: a line of about 80 a GPU
_BUS_ID = re.compile(r"([0-9a-fA-F]{1,8}):([0-9a-fA-F]{2}):([0-9a-fA-F]{2})\.([0-7])")
_MEMORY = re.compile(r"(\d+)\s*MiB")
_CARD = re.compile(r"card(\d+)")


def bus_id(text):
    """A PCI address the way sysfs writes it ("0000:01:00.0"); nvidia-smi writes the domain
    with 8 digits and in capitals. Other text comes back as it is."""
    m = _BUS_ID.fullmatch(text.strip())
    if not m:
        return text.strip()
    return "%04x:%s:%s.%s" % (int(m.group(1), 16), m.group(2).lower(), m.group(3).lower(),
                              m.group(4))


def _known(value):
    value = value.strip()
    return None if not value or value.startswith("[") else value  # "[N/A]", "[Not Supported]"


def parse_nvidia_smi(text):
    """[{source, name, driver_version, bus_id, memory_bytes}] from nvidia-smi's CSV answer to
    NVIDIA_SMI_QUERY; lines that are not four fields (a message instead) are left out."""
    gpus = []
    for row in csv.reader(text.splitlines(), skipinitialspace=True):
        if len(row) != 4:
            continue
        name, driver, bus, memory = map(_known, row)
        mib = _MEMORY.fullmatch(memory or "")
        gpus.append({"source": "nvidia-smi", "name": name, "driver_version": driver,
                     "bus_id": bus_id(bus) if bus else None,
                     "memory_bytes": int(mib.group(1)) * 2**20 if mib else None})
    return gpus


def _read(path):
    try:
        with open(path) as f:
            return f.read().strip() or None
    except (OSError, UnicodeDecodeError):
        return None


def _link_name(path):
    try:
        return os.path.basename(os.readlink(path))
    except OSError:
        return None


def drm_gpus(sys_root="/sys"):
    """[{source, card, vendor_id, device_id, driver, driver_version, bus_id}] of the DRM
    cards under sys_root/class/drm, in card order; a fact the tree does not hold is None."""
    drm = os.path.join(sys_root, "class", "drm")
    try:
        cards = sorted((int(m.group(1)), m.group(0)) for m in map(_CARD.fullmatch,
                                                                 os.listdir(drm)) if m)
    except OSError:
        return []
    gpus = []
    for _, card in cards:
        device = os.path.join(drm, card, "device")
        driver = _link_name(os.path.join(device, "driver"))
        gpus.append({"source": "drm", "card": card,
                     "vendor_id": _read(os.path.join(device, "vendor")),
                     "device_id": _read(os.path.join(device, "device")),
                     "driver": driver,
                     "driver_version": driver and _read(os.path.join(sys_root, "module",
                                                                     driver, "version")),
                     "bus_id": _link_name(device)})
    return gpus


def gpus(environ=None, sys_root="/sys"):
    """The host's GPUs: nvidia-smi's list when it answers within NVIDIA_SMI_TIMEOUT and
    NVIDIA_SMI_LIMIT bytes, else the DRM cards; [] when there are neither."""
    path = shutil.which("nvidia-smi", path=(environ or os.environ).get("PATH"))
    if path:
        proc, _failure = run_bounded([path] + NVIDIA_SMI_QUERY, env=environ,
                                     timeout=NVIDIA_SMI_TIMEOUT, limit=NVIDIA_SMI_LIMIT)
        found = parse_nvidia_smi(proc.stdout) if proc and proc.returncode == 0 else []
        if found:
            return found
        # A driver that does not answer, or not in bounds: the kernel's view names the cards.
    return drm_gpus(sys_root)
