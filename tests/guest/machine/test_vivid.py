"""libnuv against the kernel's own test driver (vivid) as a plain video
device: run inside the throw-away guest, with the device loaded and
NUV_LIBRARY naming libnuv.so."""
import ctypes
import os

import pytest

import nuv


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


@pytest.fixture
def vivid():
    listed = nuv.devices()
    assert [d.name for d in listed] == ["vivid"], listed
    return listed[0]


def test_listing_names_the_device_by_its_card_and_gives_it_no_tag(vivid):
    assert vivid.position == 0
    assert vivid.kind is None and vivid.serial is None
    lib = nuv._lib.library()
    buffer = ctypes.create_string_buffer(256)
    assert lib.NuvGetDeviceWithSerialNo(buffer, len(buffer)) == 1
    assert buffer.value == b"vivid"


def test_formats_come_from_the_devices_own_enumerations(vivid):
    formats = nuv.formats(0)
    assert 0 < len(formats) <= 10
    assert all(f.format == "YUY2" for f in formats)
    # vivid's webcam input offers discrete sizes, each at a list of rates.
    assert {(f.width, f.height) for f in formats} <= {(320, 180), (640, 360), (640, 480), (1280, 720)}
    assert all(f.fps > 0 for f in formats)


def test_a_plain_video_device_opens_for_video_only_streams_and_closes_with_nothing_left(vivid):
    before = open_fds()
    lib = nuv._lib.library()
    with nuv.Camera.open(0, size=(640, 360), fps=30.0, format="YUY2") as cam:
        assert cam.kind is None, "no control channel: NuvOpen returned 1"
        first = cam.read(timeout=10)
        second = cam.read(timeout=10)
        assert first.size == second.size == 640 * 360 * 2
        assert second.timestamp > first.timestamp
        assert lib.NuvGetBufferSize(0) == 640 * 360 * 2
        # Properties are the device's V4L2 controls, within both ranges.
        cam.led = 40
        assert cam.led == 40
        cam.color_bar = 1
        assert cam.color_bar == 1
        # A vendor command needs a control channel this device lacks.
        with pytest.raises(nuv.NuvError):
            cam.temperature(1)
    assert lib.NuvGetBufferSize(0) == 0
    assert open_fds() == before


def test_a_size_the_device_does_not_offer_fails_the_open_cleanly(vivid):
    before = open_fds()
    with pytest.raises(nuv.NuvError):
        nuv.Camera.open(0, size=(642, 360), fps=30.0, format="YUY2")
    assert open_fds() == before
