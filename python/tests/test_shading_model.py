"""nuv.correction's own copy of the shading model (the 2x2 site rule and the
gain formula) is the library's: frames the library shades with a set equal,
bit for bit, what numpy computes from the same set."""

import numpy as np
import pytest

import nuv
from nuv import correction
from conftest import SMALL, open_pushed


def every_ten_bit_value(size, shift):
    """A frame in which every pixel sees a different word from one call to
    the next and every 10-bit value occurs, plus a few larger words."""
    width, height = size
    words = (np.arange(width * height, dtype=np.int64) * 7 + shift) % 1024
    frame = words.reshape(height, width).astype(np.uint16)
    frame[-1, -6:] = [1024, 1500, 4095, 32768, 65534, 65535]
    return frame


def test_the_site_of_every_pixel_is_the_librarys(nuv2):
    world, device, cam = nuv2
    cam.defect_correction = False
    # Gains 1..4 by site: the word 100 comes out as 100 times its site + 1.
    cam.shading = nuv.Shading((0.0, 0.0), (0.0,) * 4, (0.0,) * 4, (1.0, 2.0, 3.0, 4.0))
    width, height = SMALL
    world.push_frame(device, np.full((height, width), 100, np.uint16), 1.0)
    sites = cam.read().astype(np.int64) // 100 - 1
    assert (sites == correction._site_index(height, width)).all()
    assert sites[:2, :2].tolist() == [[1, 0], [3, 2]], "even row: even column 1, odd 0; odd row: 3, 2"


def random_sets(rng):
    """Sets of every kind the library meets: a lens's gains, a strong fall-off,
    gains right at integers, negative and tiny gains, a centre off the image."""
    sets = []
    for _ in range(2):
        sets.append(nuv.Shading(tuple(rng.uniform(-50, 400, 2)), tuple(rng.uniform(0, 3e-6, 4)),
                                tuple(rng.uniform(-2e-5, 2e-5, 4)), tuple(rng.uniform(0.9, 1.1, 4))))
    sets.append(nuv.Shading(tuple(rng.uniform(100, 200, 2)), tuple(rng.uniform(1e-4, 3e-4, 4)),
                            tuple(rng.uniform(-1e-3, 1e-3, 4)), tuple(rng.uniform(0.5, 1.5, 4))))
    sets.append(nuv.Shading((0.0, 0.0), (0.0,) * 4, (0.0,) * 4, (1.0, 0.5, 2.0, 1.0 + 2.0 ** -40)))
    sets.append(nuv.Shading(tuple(rng.uniform(0, 300, 2)), tuple(rng.uniform(-1e-5, 1e-5, 4)),
                            tuple(rng.uniform(-1e-3, 1e-3, 4)), tuple(rng.uniform(-0.2, 0.2, 4))))
    sets.append(nuv.Shading((-1e4, 3e4), tuple(rng.uniform(0, 1e-12, 4)), (0.0,) * 4, (1e-9, 3e-6, 0.0, 7.0)))
    # A centre 1e14 pixels away, and terms of about 1e11 that cancel to gains
    # near 1: summed or multiplied in another order than the formula's, the
    # gains differ in their last bits, and that moves hundreds of words across
    # an integer (the two sets catch different orders).
    far = -1e14
    sets.append(nuv.Shading((far, 100.0), (1e-28, 1.1e-28, 0.9e-28, 1.05e-28), (1e-3,) * 4,
                            (-1e11, -1e11 - 0.1, -1e11 + 0.05, -1e11 + 0.2)))
    sets.append(nuv.Shading((far, 100.0), (1e-17,) * 4, (3.3e-15, 2.9e-15, 3.7e-15, 3.1e-15),
                            (-1e11 + 0.5, -1e11 + 0.4, -1e11 + 0.6, -1e11 + 0.55)))
    return sets


@pytest.mark.parametrize("mode", [2, 1, 0])
def test_random_sets_shade_as_numpy_computes_them(cameras, mode):
    world, _, device = cameras
    size = correction.MODES[mode]
    rng = np.random.default_rng(100 + mode)
    with open_pushed(world, device, 1, size=size) as cam:
        cam.read()
        cam.defect_correction = False
        for number, set_ in enumerate(random_sets(rng)):
            cam.shading = set_
            gains = correction.gain_map(cam.shading, *size)
            for step in range(2):
                raw = every_ten_bit_value(size, 5 * step + number)
                world.push_frame(device, raw, 1.0 + 2 * number + step)
                received = cam.read()
                expected = correction.correct_shading(raw, gains)
                differ = np.argwhere(received != expected)
                assert len(differ) == 0, (f"set {number}: {len(differ)} words differ, first at (row, column) "
                                          f"{differ[:3].tolist()}")
