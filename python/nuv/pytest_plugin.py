"""A pytest fixture for testing camera code against the simulated world.

Enable it in a conftest.py with ``pytest_plugins = ["nuv.pytest_plugin"]``
(or ``from nuv.pytest_plugin import nuv_world``). Each test that asks for
``nuv_world`` starts with every camera closed, an empty world and the virtual
clock, so it runs the same on any machine and never sleeps in real time:

    def test_my_capture(nuv_world):
        device = nuv_world.add_camera("NUV2", serial=0x1234)
        with nuv.Camera.open(0, size=(328, 204)) as cam:
            frame = cam.read()

Afterwards the cameras the test left open are closed and the world an
application meets is back (two cameras, real-time clock).
"""

from __future__ import annotations

from typing import Iterator

import pytest

from .sim import World


@pytest.fixture
def nuv_world() -> Iterator[World]:
    """An empty simulated world on the virtual clock (a nuv.sim.World)."""
    world = World()
    world.close_cameras()
    world.clear_build_faults()
    world.reset()
    world.use_virtual_clock(True)
    try:
        yield world
    finally:
        world.close_cameras()
        world.clear_build_faults()
        world.reset_default()
