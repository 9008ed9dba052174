"""The GPUs of a host as run.json's hosts list them (from nvidia-smi or the kernel's DRM
devices), in words: which GPU (its name, else its PCI vendor:device id), where (its bus id:
which GPU of the node) and under which driver."""

from .numbers import gib


def _pci_id(value):
    return value[2:] if isinstance(value, str) and value.startswith("0x") else value


def gpu_text(gpu):
    """One GPU: "NVIDIA A100-SXM4-40GB at 0000:01:00.0 (40.0 GiB)", "1002:73bf at
    0000:03:00.0"."""
    if gpu.get("name"):
        what = gpu["name"]
    elif gpu.get("vendor_id") or gpu.get("device_id"):
        what = "%s:%s" % (_pci_id(gpu.get("vendor_id")) or "?",
                          _pci_id(gpu.get("device_id")) or "?")
    else:
        what = gpu.get("card") or "a GPU"
    if gpu.get("bus_id"):
        what += " at %s" % gpu["bus_id"]
    if isinstance(gpu.get("memory_bytes"), int):
        what += " (%s)" % gib(gpu["memory_bytes"])
    return what


def driver_text(gpu):
    """The driver of one GPU and its version ("nvidia 535.54.03", "amdgpu"), or None."""
    driver = "nvidia" if gpu.get("source") == "nvidia-smi" else gpu.get("driver")
    version = gpu.get("driver_version")
    return " ".join(x for x in (driver, version) if x) or None


def gpu_driver(gpus):
    """The drivers of a host's GPUs, each once, or None when none is known: what tells
    two runs on the same GPUs with different drivers apart."""
    drivers = sorted({d for d in map(driver_text, gpus or []) if d})
    return ", ".join(drivers) or None


def gpus_text(gpus):
    """A host's GPUs, one after the other, or None when it lists none."""
    return "; ".join(map(gpu_text, gpus)) if gpus else None


def run_gpu_driver(context):
    """gpu_driver of every GPU of a run's hosts (a run's context), or None."""
    return gpu_driver([g for h in context.get("hosts") or [] for g in h.get("gpus") or []])
