"""Frame times held by a display's refresh.

A driver that syncs to the refresh (vblank) shows a frame at a refresh of the display: every
frame time is then a whole number k of refresh intervals T, however fast the GPU drew it,
less or more a constant of the way it is timed (frames may measure a little short of k x T).
The refresh clock is precise, so such frames gather in tight clusters a whole number of
intervals apart. One cluster alone says nothing: a renderer that is not held and draws
every frame in the same time makes one too, at whatever time its work takes. So the rule
asks for frames on at least two multiples of one interval, the mark of a held window that
now and then misses a refresh:

- the frames are sorted and cut where neighbours differ by more than GAP (0.3 %); a cluster
  counts when it spans at most 2 x TOLERANCE (1 %) and holds at least MIN_CLUSTER frames
  (3) and CLUSTER_SHARE (5 %) of them;
- the clusters that count hold at least SHARE (80 %) of the frames (a few slow frames, start
  and hiccups, are let through), and there are at least two;
- an interval T fits when the gap between the two fastest clusters is m x T (m = 1 to
  MAX_INTERVALS) and every cluster's centre is k x T - d, k a whole number of intervals from
  1 to MAX_INTERVALS, d the same for all to within TOLERANCE (0.5 %) of the frame and at most
  SHORT (5 %) of an interval short or TOLERANCE long; 1/T within 20 to 600 Hz;
- the longest T that fits is the refresh (frames on a 60 Hz grid also lie on 120 Hz's) when
  a common rate (COMMON, 23.976 to 540 Hz) lies within NEIGHBOURS (1 %) of 1/T; of several
  (59.94 and 60), the one whose grid the clusters sit on best names it.

It cannot tell a window whose every frame took one interval (or the same k) from a steady
renderer, and so does not note it; nor a renderer that alternates between two steady frame
times that happen to lie whole intervals apart from one held by a refresh. The note says
that sync may be on; the run does not fail for it.
"""

import numpy as np

COMMON = (23.976, 24, 25, 29.97, 30, 48, 50, 56, 59.94, 60, 70, 72, 75, 85, 90, 100, 119.88,
          120, 144, 165, 170, 175, 180, 200, 240, 280, 300, 360, 480, 500, 540)
MIN_RATE, MAX_RATE = 20.0, 600.0
MAX_INTERVALS = 8
GAP = 0.003
TOLERANCE = 0.005
SHORT = 0.05
MIN_CLUSTER = 3
CLUSTER_SHARE = 0.05
SHARE = 0.8
MIN_FRAMES = 8
NEIGHBOURS = 0.01
EXACT = 0.002   # frames this close to k x T are timed at it


def _clusters(times):
    """[(centre, frames)] of the tight clusters of the sorted frame times."""
    ordered = np.sort(times)
    cuts = np.nonzero(ordered[1:] / ordered[:-1] - 1 > GAP)[0] + 1
    found = []
    for part in np.split(ordered, cuts):
        if len(part) >= max(MIN_CLUSTER, CLUSTER_SHARE * len(times)) and \
                part[-1] / part[0] - 1 <= 2 * TOLERANCE:
            found.append((float(np.median(part)), len(part)))
    return found


def _interval(centres):
    """The longest refresh interval the cluster centres (ascending) lie on, or None."""
    centres = np.asarray(centres)
    for m in range(1, MAX_INTERVALS):
        interval = (centres[1] - centres[0]) / m
        if not 1 / MAX_RATE <= interval <= 1 / MIN_RATE:
            continue
        k = np.rint(centres / interval + SHORT)
        if k[0] < 1 or k[-1] > MAX_INTERVALS:
            continue
        short = k * interval - centres
        if np.ptp(short) <= TOLERANCE * centres[0] and \
                -TOLERANCE * centres[0] <= np.median(short) <= SHORT * interval:
            return interval
    return None


def refresh_rate(frame_times):
    """The refresh rate (Hz) the frame times (seconds) follow, or None."""
    times = np.asarray(frame_times, dtype=float)
    times = times[np.isfinite(times) & (times > 0)]
    if len(times) < MIN_FRAMES:
        return None
    clusters = _clusters(times)
    if len(clusters) < 2 or sum(n for _c, n in clusters) < SHARE * len(times):
        return None
    centres = np.array([c for c, _n in clusters])
    interval = _interval(centres)
    if interval is None:
        return None
    near = [r for r in COMMON if abs(r * interval - 1) <= NEIGHBOURS]
    if not near:
        return None
    # Of close rates (59.94 and 60): frames timed at k x T, the one whose grid they sit on
    # best; frames timed short, the one nearest the clusters' spacing.
    frames = np.array([n for _c, n in clusters])
    k = np.rint(centres / interval + SHORT)
    if abs(np.median(k * interval - centres)) > EXACT * interval:
        return min(near, key=lambda r: abs(r * interval - 1))
    return min(near, key=lambda r: float(np.sum(frames * np.abs(centres * r / k - 1))))


def refresh_note(frame_times):
    """The note for a window whose frame times follow a refresh, or None."""
    rate = refresh_rate(frame_times)
    if rate is None:
        return None
    return "frame times follow a %g Hz refresh: sync to the display may be on" % rate
