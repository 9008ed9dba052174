"""Whether a window's picture is the one its frame must show, within what two correct GLs
differ in (rasterisation rules, point smoothing, fog and lighting precision).

Both pictures are reduced to a grid of blocks (BLOCK pixels a side) before anything is
compared, so that a point or an edge a pixel away counts for nothing:
- a block is drawn when at least 4 of its pixels are not background (the clear colour is
  black): smoothed points cover a few pixels each, unsmoothed ones one, and both draw the same
  blocks;
- coverage: the blocks drawn, over the reference's; below EMPTY the picture is empty;
- overlap: the blocks both draw, over the blocks either draws (1 when the same blocks are
  drawn; a turned or shifted picture loses it);
- colour: per block that both draw on, the mean colour of the drawn pixels, compared in
  CIELAB (CIE76 distance, about 2.3 for a just noticeable difference); the 90th percentile
  over those blocks, weighted by their drawn pixels.
The thresholds are in docs/tools.md with how they were found.
"""

from dataclasses import dataclass, asdict

import numpy

BLOCK = 16
BACKGROUND = 0.01   # a channel above this is drawn (the clear colour is 0)
DRAWN_BLOCK = 4     # pixels drawn that make a block drawn


@dataclass(frozen=True)
class Tolerance:
    empty: float = 0.1            # coverage below which a picture is empty
    coverage: float = 0.2         # coverage may differ from 1 by this much
    overlap: float = 0.8          # overlap at least this
    colour: float = 8.0           # 90th percentile colour distance at most this

    @classmethod
    def parse(cls, text):
        """"coverage=0.3,colour=15" (any of the fields); raises ValueError with a message."""
        values = {}
        names = {f for f in cls.__dataclass_fields__}
        for item in filter(None, (part.strip() for part in text.split(","))):
            name, _, value = item.partition("=")
            name = name.strip()
            if name not in names:
                raise ValueError("unknown picture tolerance %r (known: %s)"
                                 % (name, ", ".join(sorted(names))))
            try:
                number = float(value)
            except ValueError:
                raise ValueError("picture tolerance %s=%r is not a number" % (name, value)) \
                    from None
            if not 0 <= number < 1e6:
                raise ValueError("picture tolerance %s=%s is out of range" % (name, value))
            values[name] = number
        return cls(**values)

    def as_dict(self):
        return asdict(self)


def _blocks(rgb):
    """(summed colour of drawn pixels per block, drawn pixels per block) on the grid of
    BLOCK-pixel blocks (a ragged edge is cut). Sums go row by row first: numpy is slow at
    reducing short inner axes."""
    h, w = (rgb.shape[0] // BLOCK) * BLOCK, (rgb.shape[1] // BLOCK) * BLOCK
    rgb = rgb[:h, :w]
    drawn = numpy.maximum(numpy.maximum(rgb[..., 0], rgb[..., 1]), rgb[..., 2]) > BACKGROUND
    kept = rgb * drawn[..., None]
    rows, columns = h // BLOCK, w // BLOCK
    count = drawn.reshape(rows, BLOCK, w).sum(axis=1).reshape(rows, columns, BLOCK).sum(axis=2)
    colour = kept.reshape(rows, BLOCK, w * 3).sum(axis=1).reshape(
        rows, columns, BLOCK, 3).sum(axis=2)
    return colour.astype(numpy.float64), count.astype(numpy.float64)


def lab(rgb):
    """CIELAB of sRGB colours (D65), arrays of ... x 3."""
    linear = numpy.where(rgb <= 0.04045, rgb / 12.92, ((rgb + 0.055) / 1.055) ** 2.4)
    xyz = linear @ numpy.array([[0.4124, 0.2126, 0.0193], [0.3576, 0.7152, 0.1192],
                                [0.1805, 0.0722, 0.9505]])
    xyz = xyz / numpy.array([0.95047, 1.0, 1.08883])
    f = numpy.where(xyz > (6 / 29) ** 3, numpy.cbrt(xyz), xyz / (3 * (6 / 29) ** 2) + 4 / 29)
    return numpy.stack([116 * f[..., 1] - 16, 500 * (f[..., 0] - f[..., 1]),
                        200 * (f[..., 1] - f[..., 2])], axis=-1)


def measure(picture, reference):
    """The figures of the module's text, for pictures of one size."""
    if picture.shape != reference.shape:
        raise ValueError("the pictures differ in size: %s and %s"
                         % (picture.shape[:2], reference.shape[:2]))
    colour_p, count_p = _blocks(picture)
    colour_r, count_r = _blocks(reference)
    drawn_p, drawn_r = count_p >= DRAWN_BLOCK, count_r >= DRAWN_BLOCK
    both = drawn_p & drawn_r
    colour = 0.0
    if both.any():
        mean_p = colour_p[both] / count_p[both][:, None]
        mean_r = colour_r[both] / count_r[both][:, None]
        distance = numpy.linalg.norm(lab(mean_p) - lab(mean_r), axis=1)
        weight = numpy.minimum(count_p[both], count_r[both]).astype(numpy.float64)
        order = numpy.argsort(distance)
        cumulative = numpy.cumsum(weight[order])
        colour = float(distance[order][numpy.searchsorted(cumulative, 0.9 * cumulative[-1])])
    either = (drawn_p | drawn_r).sum()
    return {"drawn": round(float(drawn_p.mean()), 4),
            "coverage": round(float(drawn_p.sum() / drawn_r.sum()), 4) if drawn_r.any()
            else None,
            "overlap": round(float(both.sum() / either), 4) if either else 1.0,
            "colour": round(colour, 2)}


def judge(figures, tolerance):
    """What is wrong with a picture, in words (empty when nothing is): figures from
    measure()."""
    t = tolerance
    coverage = figures["coverage"]
    if coverage is not None and coverage < t.empty:
        return ["the picture is empty (it covers %.0f%% of the reference's area)"
                % (100 * coverage)]
    wrong = []
    if coverage is not None and abs(coverage - 1) > t.coverage:
        wrong.append("it covers %.0f%% of the reference's area" % (100 * coverage))
    if figures["overlap"] < t.overlap:
        wrong.append("its shapes lie elsewhere than the reference's (overlap %.2f, at least "
                     "%.2f expected)" % (figures["overlap"], t.overlap))
    if figures["colour"] > t.colour:
        wrong.append("its colours differ from the reference (distance %.1f, at most %.1f)"
                     % (figures["colour"], t.colour))
    return wrong


def difference(picture, reference):
    """A picture of where two differ: the absolute difference, brightened to be seen."""
    return numpy.clip(numpy.abs(picture - reference) * 4.0, 0.0, 1.0)
