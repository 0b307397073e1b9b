"""Corrected frames equal the same computation done in numpy, bit for bit."""

import math

import numpy as np
import pytest

import nuv
from nuv import correction
from conftest import SMALL, open_pushed

UNUSED = correction.UNUSED


def raw_frame(rng, size, high=1300):
    """Random words, some above the 10-bit range so that clamping shows."""
    raw = rng.integers(0, high, (size[1], size[0]), dtype=np.uint16)
    raw[0, :8] = [0, 1, 1023, 1024, 4000, 65535, 2, 3]
    return raw


def expect_corrected(world, device, cam, raw, sample_time):
    world.push_frame(device, raw, sample_time)
    received = cam.read()
    expected = correction.correct(raw, cam.get_defects(), cam.get_shading())
    assert received.dtype == np.uint16 and received.shape == expected.shape
    difference = np.argwhere(received != expected)
    assert len(difference) == 0, f"{len(difference)} words differ, first at (row, column) {difference[:3].tolist()}"
    return received


def test_the_stored_correction_data_as_the_camera_delivers_it(nuv2):
    world, device, cam = nuv2
    defects = cam.get_defects()
    assert ((defects != UNUSED).all(axis=1)).sum() > 0, "the camera's stored list has entries"
    received = expect_corrected(world, device, cam, raw_frame(np.random.default_rng(3), SMALL), 1.0)
    assert received.max() <= 1023


def test_written_defects_and_shading_at_the_middle_mode(cameras):
    world, _, device = cameras
    size = correction.MODES[1]
    rng = np.random.default_rng(5)
    with open_pushed(world, device, 1, size=size) as cam:
        cam.read()
        width, height = size
        # A chain: (10, 10) takes (12, 12), which is listed after it and passes
        # its raw value; (14, 14) takes (12, 12) after its correction. Corners,
        # the centre on both sides, and unused or half-unused entries.
        cam.defects = [(10, 10), (12, 12), (14, 14), (0, 0), (width - 1, height - 1), (width // 2 - 1, height // 2 - 1),
                       (width // 2, height // 2), (UNUSED, 5), (5, UNUSED)]
        cam.shading = nuv.Shading((300.25, 180.5), (2e-5, -1e-5, 3e-5, 0.0), (1e-3, -2e-3, 0.0, 5e-4),
                                  (1.2, 0.9, 1.0, -0.001))
        for step in range(3):
            expect_corrected(world, device, cam, raw_frame(rng, size), 1.0 + step)


def test_the_largest_mode_with_the_stored_data(cameras):
    world, _, device = cameras
    with open_pushed(world, device, 1, size=correction.MODES[0]) as cam:
        cam.read()
        expect_corrected(world, device, cam, raw_frame(np.random.default_rng(7), correction.MODES[0]), 1.0)


def test_the_camera_number_selects_the_data(nuv2):
    world, device, cam = nuv2
    second = nuv.Shading((10.0, 20.0), (0.0,) * 4, (0.0,) * 4, (0.5, 0.25, 2.0, 1.0))
    cam.set_shading(second, camera_no=2)
    cam.set_defects([(3, 3)], camera_no=2)
    raw = raw_frame(np.random.default_rng(11), SMALL, high=1024)
    first = expect_corrected(world, device, cam, raw, 1.0)
    cam.camera_no = 2
    assert world.video_property(device, nuv.sim.PROPERTY_CAMERA_NO) == 2
    now = expect_corrected(world, device, cam, raw, 2.0)
    assert (now != first).any()
    # Sites: even row and odd column 0.5, even/even 0.25, odd/odd 2.0; the
    # defect at (3, 3) takes (5, 5) and then its own gain.
    assert now[2, 5] == int(raw[2, 5]) // 2 and now[2, 4] == int(raw[2, 4]) // 4
    assert now[3, 3] == min(int(raw[5, 5]) * 2, 1023)


def test_the_switches_turn_each_step_off(nuv2):
    world, device, cam = nuv2
    raw = raw_frame(np.random.default_rng(13), SMALL)
    defects, shading = cam.defects, cam.shading
    cam.shading_correction = False
    assert (cam.defect_correction, cam.shading_correction) == (True, False)
    world.push_frame(device, raw, 1.0)
    assert (cam.read() == correction.correct(raw, defects, None)).all()
    cam.defect_correction = False
    world.push_frame(device, raw, 2.0)
    assert (cam.read() == raw).all(), "both off: the sample's words unchanged, above 1023 too"
    cam.shading_correction = True
    world.push_frame(device, raw, 3.0)
    assert (cam.read() == correction.correct(raw, None, shading)).all()


def test_a_nan_coefficient_switches_shading_off_for_that_camera_number(nuv2):
    world, device, cam = nuv2
    broken = cam.shading._replace(k1=(0.0, math.nan, 0.0, 0.0))
    cam.shading = broken
    assert math.isnan(cam.shading.k1[1])
    assert correction.gain_map(broken, *SMALL) is None
    raw = raw_frame(np.random.default_rng(17), SMALL, high=1024)
    world.push_frame(device, raw, 1.0)
    assert (cam.read() == correction.correct_defects(raw, cam.defects)).all()


def test_shading_clamps_and_truncates_as_the_camera_does():
    raw = np.array([[1, 3, 500, 1023, 1024, 65535]], dtype=np.uint16)
    assert correction.correct_shading(raw, np.full(raw.shape, 0.5)).tolist() == [[0, 1, 250, 511, 512, 1023]]
    assert correction.correct_shading(raw, np.full(raw.shape, -0.5)).tolist() == [[0, 1023, 1023, 1023, 1023, 1023]]
    assert correction.correct_shading(raw, np.full(raw.shape, np.nan)).tolist() == [[0] * 6]
    gains = correction.gain_map(nuv.Shading((640, 360), (1e-6,) * 4, (0.0,) * 4, (1.0,) * 4), 1280, 720)
    assert gains[0, 0] == pytest.approx(1.5392) and gains[360, 640] == 1.0
    assert correction.correct_shading(np.full((720, 1280), 500, np.uint16), gains)[0, 0] == 769


def test_defect_and_shading_sets_round_trip_and_bad_lists_are_refused(nuv2):
    world, _, cam = nuv2
    hid = world.camera_hid(cam.handle + 1)
    cam.set_defects([(1, 2), (327, 203)], camera_no=1, mode=0)
    stored = cam.get_defects(camera_no=1, mode=0)
    assert stored.shape == (20, 2) and stored.dtype == np.uint16
    assert stored[:2].tolist() == [[1, 2], [327, 203]] and (stored[2:] == UNUSED).all()
    value = nuv.Shading((1.5, 2.5), (1.0, 2.0, 3.0, 4.0), (5.0, 6.0, 7.0, 8.0), (9.0, 10.0, 11.0, 12.0))
    cam.set_shading(dict(value._asdict()), camera_no=2, mode=0)
    assert cam.get_shading(camera_no=2, mode=0) == value
    commands = world.hid_command_count(hid)
    with pytest.raises(nuv.ArgumentError, match=r"NuvSetPixelDefect\(handle=1, cameraNo=1, mode=2\): entry "
                                                r"\[328, 0\] lies outside the 328x204 image of mode 2"):
        cam.set_defects([(0, 0), (328, 0)])
    with pytest.raises(nuv.ArgumentError, match="up to 20"):
        cam.set_defects(np.zeros((21, 2), dtype=int))
    with pytest.raises(nuv.ArgumentError, match=r"cameraNo must be an int in 1..2"):
        cam.get_defects(camera_no=3)
    assert world.hid_command_count(hid) == commands, "nothing refused reached the camera"


def test_a_nuv_camera_refuses_corrections_by_name(cameras):
    world, device, _ = cameras
    with open_pushed(world, device, 0) as cam:
        with pytest.raises(nuv.NuvError, match=r"NuvSetShadingCorrectionOnOff\(handle=0, on=False\) failed: "
                                               r"a \"NUV\" camera \(kind 0\) has no correction switches"):
            cam.shading_correction = False
        with pytest.raises(nuv.NuvError, match=r"NuvGetPixelDefect\(handle=0, cameraNo=1, mode=2\) failed: "
                                               r"corrections need a \"NUV2\" camera"):
            cam.get_defects()


def test_a_write_the_camera_does_not_acknowledge_keeps_the_old_list(nuv2):
    world, device, cam = nuv2
    before = cam.defects
    world.hid_reply_status(world.camera_hid(device), command=0x20, count=1, status=1)
    with pytest.raises(nuv.NuvError, match=r"NuvSetPixelDefect\(handle=1, cameraNo=1, mode=2, entries=.*must "
                                           r"acknowledge the erase and every write"):
        cam.defects = [(5, 5)]
    assert (cam.defects == before).all()
