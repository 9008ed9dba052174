"""Frame times held by a display's refresh.

A driver that syncs to the refresh (vblank) shows a frame at the next refresh of the
display: every frame time is then a whole number k of refresh intervals T, however fast the
GPU drew it. The refresh clock is precise, so such frame times sit on k x T far more tightly
than the jitter of a renderer that is not held.

The rule, per window:
- candidate rates: the common refresh rates RATES (24-360 Hz, 59.94 included), T = 1/rate;
- a frame lies on the grid of T when, with k its nearest whole number of intervals
  (1 <= k <= MAX_INTERVALS), it is within TOLERANCE (0.5 %) of k x T;
- a rate fits when at least MIN_FRAMES frames were drawn, at least SHARE (80 %) of them lie
  on its grid, and those centre on it: the median of their offsets from k x T is within
  CENTRE (0.15 %; real modes run a little off their nominal rate, e.g. 59.95 for 60).
  Frames of a renderer that is not held spread over their jitter: a few per cent around a
  mean that happens to be near k x T puts well under 80 % within 0.5 % of it;
- of the rates that fit, the lowest (the longest interval that explains the frames: frames
  on a 60 Hz grid also lie on those of 120 Hz and 240 Hz), and of rates within 1 % of that
  one (59.94 and 60), the one the frames centre on best.
A window that draws every frame in the same time to within a fraction of a per cent, at a
multiple of a refresh interval, cannot be told apart from one held by the refresh: the note
says that sync may be on, and the run does not fail for it.
"""

import numpy as np

RATES = (24, 25, 30, 48, 50, 59.94, 60, 72, 75, 85, 90, 100, 120, 144, 165, 180, 200, 240,
         300, 360)
MAX_INTERVALS = 8
TOLERANCE = 0.005
SHARE = 0.8
MIN_FRAMES = 8
CENTRE = 0.0015
NEIGHBOURS = 0.01


def _fit(times, rate):
    """The median offset of the frames on the grid of 1/rate when the rate fits, else None.
    Arrays of the window's length only, one rate at a time: a window of millions of frames
    costs no more memory than its frames."""
    intervals = times * rate
    k = np.rint(intervals)
    near = (k >= 1) & (k <= MAX_INTERVALS)
    offsets = intervals[near] / k[near] - 1
    offsets = offsets[np.abs(offsets) <= TOLERANCE]
    if len(offsets) < SHARE * len(times):
        return None
    centre = float(np.median(offsets))
    return abs(centre) if abs(centre) <= CENTRE else None


def refresh_rate(frame_times):
    """The refresh rate (Hz, one of RATES) the frame times (seconds) follow, or None."""
    times = np.asarray(frame_times, dtype=float)
    times = times[np.isfinite(times) & (times > 0)]
    if len(times) < MIN_FRAMES:
        return None
    fits = {rate: centre for rate in RATES
            if (centre := _fit(times, rate)) is not None}
    if not fits:
        return None
    lowest = min(fits)
    near = [rate for rate in fits if rate <= lowest * (1 + NEIGHBOURS)]
    return min(near, key=fits.get)


def refresh_note(frame_times):
    """The note for a window whose frame times follow a refresh, or None."""
    rate = refresh_rate(frame_times)
    if rate is None:
        return None
    return "frame times follow a %g Hz refresh: sync to the display may be on" % rate
