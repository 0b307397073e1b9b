"""libnuv against a virtual camera on a virtual USB bus: uvcvideo and usbhid
bound to the two interfaces of one USB device whose device side is the
project's gadget program (the simulator's frames and firmware). Run inside
the throw-away guest with the camera plugged in, NUV_LIBRARY naming
libnuv.so and NUV_GUEST_UNPLUG a command that removes the camera."""
import ctypes
import os
import subprocess
import tempfile

import numpy as np
import pytest

import nuv
from nuv import correction

SERIAL = "1A2B3C04"
ENTRY = "NUV2#" + SERIAL
WIDTH, HEIGHT = 328, 204


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


def serial_list():
    lib = nuv._lib.library()
    buffer = ctypes.create_string_buffer(1024)
    count = lib.NuvGetDeviceWithSerialNo(buffer, len(buffer))
    return count, buffer.value.decode("latin-1")


@pytest.fixture
def camera():
    before = open_fds()
    with nuv.Camera.open(serial=ENTRY, size=(WIDTH, HEIGHT), fps=30.0) as cam:
        yield cam
    assert open_fds() == before, "close left a descriptor open"


def test_the_camera_is_listed_with_its_serial_through_the_kernels_drivers():
    count, text = serial_list()
    assert ENTRY in text.split(","), text
    [camera] = [d for d in nuv.devices() if d.name == "NUV2"]
    assert camera.kind == 1 and camera.serial == SERIAL


def test_open_by_serial_reads_the_parameter_block(camera):
    assert camera.kind == 1
    assert camera.serial_number == 0x1A2B3C04, "bytes 0..3 of the block, read in 21 chunks at open"
    defects = camera.get_defects()
    used = defects[defects[:, 0] != 0xFFFF]
    assert 3 <= len(used) <= 6
    assert (used[:, 0] < WIDTH).all() and (used[:, 1] < HEIGHT).all()
    shading = camera.get_shading()
    assert all(np.isfinite(shading.k2 + shading.k1 + shading.k0))


def test_frames_come_out_corrected_as_the_same_correction_of_the_raw_frame(camera):
    camera.defect_correction = camera.shading_correction = False
    raw = np.array(camera.read(timeout=10))
    camera.defect_correction = camera.shading_correction = True
    corrected = np.array(camera.read(timeout=10))
    assert raw.shape == corrected.shape == (HEIGHT, WIDTH)
    expected = correction.correct(raw, camera.get_defects(), camera.get_shading())
    # The first words carry each frame's counter; the rest of the scene is
    # the same in every frame.
    assert (corrected[1:] == expected[1:]).all()
    assert not (corrected[1:] == raw[1:]).all(), "the stored data changes the frame"


def test_vendor_commands_reach_the_firmware(camera):
    assert camera.recognition() == 0x5A
    assert camera.temperature(1) == 41 and camera.temperature(2) == 37
    camera.shutter = 1234
    assert camera.shutter == 1234
    camera.digital_gain = (0x0101, 0x0202, 0x0303, 0x0404)
    assert tuple(camera.digital_gain) == (0x0101, 0x0202, 0x0303, 0x0404)
    assert camera.firmware_version().startswith("NUV FW")


def test_a_firmware_rewrite_writes_and_verifies_the_image(camera):
    # Some 400 chunks: the rewrite outlasts several of the progress polls
    # (0.1 s apart) however quickly the camera answers.
    image = bytes((i * 7 + 3) & 0xFF for i in range(56 * 400 + 17))
    with tempfile.NamedTemporaryFile(suffix=".bin", delete=False) as file:
        file.write(image)
    try:
        states = [state for state, percent, elapsed in camera.rewrite_firmware(file.name)]
    finally:
        os.unlink(file.name)
    assert states[-1] == 0, states
    assert 1 in states or 2 in states


def test_unplugging_makes_calls_fail_cleanly_and_close_leaves_nothing_open():
    before = open_fds()
    cam = nuv.Camera.open(serial=ENTRY, size=(WIDTH, HEIGHT), fps=30.0)
    cam.read(timeout=10)
    subprocess.run(os.environ["NUV_GUEST_UNPLUG"], shell=True, check=True, timeout=60)
    with pytest.raises(nuv.NuvError):
        cam.temperature(1)
    with pytest.raises(nuv.NuvError):
        for _ in range(5):
            cam.read(timeout=2)
    cam.close()
    assert open_fds() == before
    count, text = serial_list()
    assert ENTRY not in text
