"""A display's pixels as colours: numpy arrays of height x width x 3 floats in [0, 1]."""

import io

import numpy

from PIL import Image


def to_rgb(pixels, masks):
    """The colours of pixels read from a display (one integer a pixel) with the red, green
    and blue masks of their visual, each channel scaled to [0, 1] whatever its bits."""
    channels = []
    for mask in masks:
        shift = (mask & -mask).bit_length() - 1
        top = mask >> shift
        channels.append(((pixels >> shift) & top).astype(numpy.float32) / top)
    return numpy.stack(channels, axis=-1)


def save_png(path, rgb):
    """Writes colours as an 8-bit PNG (quick compression: the pictures are mostly black)."""
    Image.fromarray(to_bytes(rgb), "RGB").save(path, compress_level=1)


def to_bytes(rgb):
    return numpy.clip(numpy.rint(rgb * 255.0), 0, 255).astype(numpy.uint8)


def load_png(path):
    with Image.open(path) as image:
        return numpy.asarray(image.convert("RGB"), dtype=numpy.float32) / 255.0


def thumbnail(rgb, side):
    """A small copy (side pixels on its longer edge), as PNG bytes."""
    image = Image.fromarray(to_bytes(rgb), "RGB")
    image.thumbnail((side, side), Image.LANCZOS)
    out = io.BytesIO()
    image.save(out, "PNG")
    return out.getvalue()
