"""The library's frame corrections, done in numpy.

The same arithmetic as the library applies to every corrected frame, in the
same order of operations and in double precision, so the results are equal
bit for bit: a raw frame corrected here equals the frame the library hands
out with the same defect list and shading set. Useful to correct raw frames
recorded earlier, to try correction data before writing it to a camera, and
to check a camera's output.
"""

from __future__ import annotations

from typing import Any, Iterable, NamedTuple, Optional

import numpy as np

#: Image sizes (width, height) by mode index.
MODES = {0: (1280, 720), 1: (656, 408), 2: (328, 204)}

#: Mode index by image size (width, height).
MODE_OF_SIZE = {size: mode for mode, size in MODES.items()}

#: Marks an unused defect entry (in either field).
UNUSED = 0xFFFF

class Shading(NamedTuple):
    """A shading set: the optical centre (cx, cy) and, for each of the four
    sites of the 2 x 2 pixel pattern, the coefficients of gain = k2*r*r +
    k1*r + k0."""

    centre: tuple[float, ...]
    k2: tuple[float, ...]
    k1: tuple[float, ...]
    k0: tuple[float, ...]


def shading(centre: Iterable[float], k2: Iterable[float], k1: Iterable[float], k0: Iterable[float]) -> Shading:
    """A Shading of plain floats, checked for its shape."""
    point = tuple(float(v) for v in centre)
    if len(point) != 2:
        raise ValueError(f"a shading centre is (cx, cy), got {len(point)} values")
    sites = []
    for name, values in (("k2", k2), ("k1", k1), ("k0", k0)):
        site = tuple(float(v) for v in values)
        if len(site) != 4:
            raise ValueError(f"{name} needs one coefficient for each of the four sites, got {len(site)}")
        sites.append(site)
    return Shading(point, *sites)


def _site_index(height: int, width: int) -> np.ndarray:
    """Site of each pixel: 0 even row/odd column, 1 even/even, 2 odd/odd, 3 odd/even."""
    rows = np.arange(height)[:, None] % 2
    columns = np.arange(width)[None, :] % 2
    return 2 * rows + (1 - columns)


def gain_map(set_: Any, width: int, height: int) -> Optional[np.ndarray]:
    """The gain of every pixel, a (height, width) float64 array, or None when a
    coefficient is a NaN or an infinity (the library then corrects nothing)."""
    set_ = shading(*set_)
    k2, k1, k0 = (np.asarray(v, dtype=np.float64) for v in (set_.k2, set_.k1, set_.k0))
    if not (np.isfinite(k2).all() and np.isfinite(k1).all() and np.isfinite(k0).all()):
        return None
    cx, cy = set_.centre
    dy = cy - np.arange(height, dtype=np.float64)[:, None]
    dx = cx - np.arange(width, dtype=np.float64)[None, :]
    r = np.sqrt(dx * dx + dy * dy)
    site = _site_index(height, width)
    K2, K1, K0 = k2[site], k1[site], k0[site]
    return ((K2 * r) * r + K1 * r) + K0


def correct_defects(image: np.ndarray, defects: Any) -> np.ndarray:
    """A copy of image (a (height, width) uint16 array) with each listed pixel
    replaced by the pixel two columns and two rows away towards the centre.

    Entries are applied in list order, so a listed pixel that is the source of
    a later one passes on its corrected value. Entries outside the image
    (unused ones included) are skipped.
    """
    out = np.array(image, dtype=np.uint16, copy=True)
    height, width = out.shape
    half_w, half_h = width // 2, height // 2
    for column, row in np.asarray(defects, dtype=np.int64).reshape(-1, 2):
        if column >= width or row >= height:
            continue
        source_column = column + 2 if column < half_w else column - 2
        source_row = row + 2 if row < half_h else row - 2
        out[row, column] = out[source_row, source_column]
    return out


def correct_shading(image: np.ndarray, gains: np.ndarray) -> np.ndarray:
    """image times its gain map, truncated to 0..1023: a product of 1024 or
    more, or of -1 or less, gives 1023; a NaN gives 0."""
    product = np.asarray(image, dtype=np.float64) * gains
    out = np.zeros(product.shape, dtype=np.uint16)
    with np.errstate(invalid="ignore"):
        saturated = (product >= 1024.0) | (product <= -1.0)
        inside = ~saturated & ~np.isnan(product)
    out[saturated] = 1023
    out[inside] = np.trunc(product[inside]).astype(np.uint16)
    return out


def correct(raw: np.ndarray, defects: Any = None, shading_set: Any = None) -> np.ndarray:
    """A raw (height, width) frame as the library corrects it: defects first
    (when a list is given), then shading (when a set is given and all its
    coefficients are finite)."""
    image = np.asarray(raw, dtype=np.uint16)
    if defects is not None:
        image = correct_defects(image, defects)
    if shading_set is not None:
        gains = gain_map(shading_set, image.shape[1], image.shape[0])
        if gains is not None:
            image = correct_shading(image, gains)
    return np.array(image, dtype=np.uint16, copy=True)


def spread(image: np.ndarray) -> float:
    """How even a frame is: (standard deviation / mean) of its pixel values."""
    values = np.asarray(image, dtype=np.float64)
    mean = values.mean()
    return float(values.std() / mean) if mean else float("inf")
