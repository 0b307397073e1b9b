"""16-bit greyscale PNG files of frames, with their significant bits.

Corrected frames hold 10-bit values in 16-bit words. A PNG whose sBIT chunk
says n bits are significant stores each sample scaled to the full 16 bits,
so the file is written the way nuvctl writes it: every value widened by bit
replication (for 10 bits ``v << 6 | v >> 4``, so 1023 becomes 65535) with an
sBIT chunk of 10. Viewers show the picture at full range; a reader that
honours sBIT, or ``sample >> 6``, gives back the camera's values. Written
with Pillow (Debian's python3-pil).
"""

from __future__ import annotations

import os
from typing import Union

import numpy as np

from ._errors import NuvError

PathLike = Union[str, "os.PathLike[str]"]


def widen(image: np.ndarray, significant_bits: int = 10) -> np.ndarray:
    """The samples of an image of significant_bits-bit values scaled to 16
    bits by bit replication: the value's bits repeated below themselves, so
    0 stays 0 and the largest value becomes 65535."""
    values: np.ndarray = np.asarray(image).astype(np.uint32)
    wide: np.ndarray = np.zeros_like(values)
    shift = 16 - significant_bits
    while shift > -significant_bits:
        wide |= (values << shift) if shift >= 0 else (values >> -shift)
        shift -= significant_bits
    return wide.astype(np.uint16)


def save_png(path: PathLike, image: np.ndarray, significant_bits: int = 10) -> None:
    """Writes a (height, width) uint16 image of significant_bits-bit values as
    a 16-bit greyscale PNG, scaled to 16 bits by bit replication and marked
    with sBIT (``value = sample >> (16 - significant_bits)``)."""
    try:
        from PIL import Image, PngImagePlugin
    except ImportError as error:  # pragma: no cover - depends on the machine
        raise NuvError("writing PNG files needs Pillow (Debian: apt-get install python3-pil)") from error
    array = np.asarray(image)
    if array.ndim != 2 or array.dtype != np.uint16:
        raise ValueError(f"a 16-bit PNG needs a (height, width) uint16 array, got {array.dtype} {array.shape}")
    if not 1 <= significant_bits <= 16:
        raise ValueError(f"significant_bits must lie in 1..16, got {significant_bits}")
    if significant_bits < 16 and int(array.max(initial=0)) >> significant_bits:
        raise ValueError(f"the image holds {int(array.max())}, more than {significant_bits} significant bits")
    info = PngImagePlugin.PngInfo()
    info.add(b"sBIT", bytes([significant_bits]))
    samples = widen(array, significant_bits)
    picture = Image.fromarray(np.ascontiguousarray(samples, dtype="<u2"), mode="I;16")
    picture.save(os.fspath(path), format="PNG", pnginfo=info)
