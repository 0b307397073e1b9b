"""Tests of the nuv package against the simulated world.

The package is imported from this checkout; the library is the one named by
NUV_LIBRARY or, without it, the native build of this checkout.
"""

import sys
from pathlib import Path

import numpy as np
import pytest

PACKAGE_ROOT = Path(__file__).resolve().parent.parent
REPO = PACKAGE_ROOT.parent
sys.path.insert(0, str(PACKAGE_ROOT))

import nuv  # noqa: E402
from nuv.pytest_plugin import nuv_world  # noqa: E402,F401

#: The small mode keeps frames cheap; the corrections work the same at every size.
SMALL = (328, 204)
NUV_SERIAL = 0x0012ABCD
NUV2_SERIAL = 0x00FF0001


def flat(value, size=SMALL):
    return np.full((size[1], size[0]), value, dtype=np.uint16)


def open_pushed(world, device, position, size=SMALL, first=None, **options):
    """Opens position with one pushed frame waiting, so no frame is generated
    and every later frame is the test's own."""
    world.push_frame(device, flat(100, size) if first is None else first, 0.5)
    return nuv.Camera.open(position, size=size, **options)


@pytest.fixture
def cameras(nuv_world):
    """A world of a "NUV" at position 0 and a "NUV2" at position 1."""
    nuv_device = nuv_world.add_camera("NUV", NUV_SERIAL)
    nuv2_device = nuv_world.add_camera("NUV2", NUV2_SERIAL)
    return nuv_world, nuv_device, nuv2_device


@pytest.fixture
def nuv2(cameras):
    """The "NUV2" camera opened at the small mode with pushed frames:
    (world, device id, camera)."""
    world, _, device = cameras
    with open_pushed(world, device, 1) as cam:
        assert cam.read().sequence == 0  # the frame waiting at open
        yield world, device, cam
