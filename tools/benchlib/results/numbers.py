"""Numbers as the programs print them and as the tools compute with them: one rule each."""

import decimal
import math
from dataclasses import dataclass

import numpy as np


def cxx_double(value):
    """A double the way the programs' C++ streams print it (default format, six digits)."""
    if math.isnan(value):
        return "-nan" if math.copysign(1.0, value) < 0 else "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return "%g" % value


def g(value, digits=6):
    """A figure on the console: six significant digits (a "-" for none)."""
    if value is None:
        return "-"
    if isinstance(value, float) and math.isnan(value):
        return "nan"
    return "%.*g" % (digits, value)


def gib(n):
    """Memory as a machine's is told: binary gigabytes, one decimal ("23.5 GiB")."""
    return "%.1f GiB" % (n / 2 ** 30)


def decimal_bytes(n):
    """A size estimated in decimal units ("734 MB", "1.83 GB"), as memory estimates are."""
    for unit, size in (("TB", 1e12), ("GB", 1e9), ("MB", 1e6)):
        if n >= size:
            return "%.3g %s" % (n / size, unit)
    return "%d bytes" % n


def ieee_divide(a, b):
    """Division as the programs do it: x/0 is infinite, 0/0 the -nan of x86, nan stays nan."""
    if b == 0:
        if a == 0:
            return -math.nan
        return math.nan if math.isnan(a) else math.copysign(math.inf, a)
    return a / b


def safe_sum(values):
    """math.fsum, infinite where the sum of finite values overflows instead of raising."""
    try:
        return math.fsum(values)
    except OverflowError:
        return math.inf


def json_number(value):
    """JSON has no nan or infinity: those are written as the strings "nan", "inf", "-inf"."""
    if value is None:
        return None
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    return value


def frame_time_stats(times):
    """min, median, 95th percentile (nearest rank) and max of the frame times that are not
    negative (a list or an array)."""
    times = np.asarray(times, dtype=float)
    ordered = np.sort(times[times >= 0])
    n = len(ordered)
    if not n:
        return {"min": None, "median": None, "p95": None, "max": None}
    middle = n // 2
    median = float(ordered[middle]) if n % 2 else \
        (float(ordered[middle - 1]) + float(ordered[middle])) / 2
    return {"min": float(ordered[0]), "median": median,
            "p95": float(ordered[max(0, math.ceil(0.95 * n) - 1)]),
            "max": float(ordered[-1])}


def significant_digits(text):
    """How many significant digits a printed finite number carries."""
    mantissa = text.lstrip("-").split("e")[0].replace(".", "").lstrip("0")
    return len(mantissa)


@dataclass(frozen=True)
class Number:
    """A printed double: its value and how far the unrounded value can be from it."""
    text: str
    value: float
    bound: float  # half a unit in the sixth significant digit; 0 for 0, nan and inf

    @staticmethod
    def parse(text):
        value = float(text)
        if value == 0 or not math.isfinite(value):
            return Number(text, value, 0.0)
        exponent = decimal.Decimal(text).adjusted()
        return Number(text, value, 0.5 * 10.0 ** (exponent - 5))
