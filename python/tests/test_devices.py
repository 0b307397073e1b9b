"""Listing devices and formats, opening and closing cameras."""

import numpy as np
import pytest

import nuv
from conftest import NUV2_SERIAL, NUV_SERIAL, SMALL, flat, open_pushed


def test_devices_list_positions_kinds_and_serials(nuv_world):
    nuv_world.add_camera("NUV", NUV_SERIAL)
    nuv_world.add_device("Software source", plug_and_play=False)  # takes no position
    nuv_world.add_device("Left,Right")
    nuv_world.add_camera("NUV2", NUV2_SERIAL)
    nuv_world.add_device("NUV")  # named like a camera, but without a control interface
    assert nuv.devices() == [
        nuv.Device(0, "NUV", 0, "0012ABCD"),
        nuv.Device(1, "Left-Right", None, None),
        nuv.Device(2, "NUV2", 1, "00FF0001"),
        nuv.Device(3, "NUV", 0, None),
    ]
    for device in range(1, 6):
        nuv_world.remove_device(device)
    assert nuv.devices() == []


def test_formats_of_a_device(nuv_world):
    device = nuv_world.add_device("Webcam")
    nuv_world.clear_capabilities(device)
    nuv_world.add_capability(device, "YUY2", 640, 480, 16, 333333)
    nuv_world.add_capability(device, "MJPG", 1920, 1080, 24, 166667)
    assert nuv.formats(0) == [nuv.Format(640, 480, 30.00003, "YUY2"), nuv.Format(1920, 1080, 59.99988, "MJPG")]
    with pytest.raises(nuv.NuvError, match=r"NuvGetFormat\(position=1\) failed: there are 1 devices"):
        nuv.formats(1)
    with pytest.raises(nuv.ArgumentError, match="position must be an int in 0..9"):
        nuv.formats(10)


def test_a_camera_is_a_context_manager_that_leaves_nothing_held(cameras):
    world, _, device = cameras
    with open_pushed(world, device, 1) as cam:
        assert (cam.name, cam.kind, cam.mode, cam.corrected) == ("NUV2", 1, 2, True)
        assert world.running_streams(device) == 1
    assert cam.closed
    assert world.running_streams(device) == 0
    assert all(count == 0 for count in world.held().values()), world.held()
    with pytest.raises(nuv.NuvError, match="NuvReceiveImage: camera 1 is closed"):
        cam.try_read()
    cam.close()  # a second close does nothing


def test_open_by_serial_entry_digits_or_number(cameras):
    world, _, device = cameras
    for i, serial in enumerate(["NUV2#00FF0001", "NUV2#00ff0001", "00ff0001", NUV2_SERIAL]):
        world.push_frame(device, flat(7), 0.5 + i)
        with nuv.Camera.open(serial=serial, size=SMALL) as cam:
            assert (cam.handle, cam.name, cam.kind) == (1, "NUV2", 1), serial
            assert cam.serial_number == NUV2_SERIAL


def test_open_by_name_or_serial_as_nuvctl_selects(cameras):
    world, _, device = cameras
    for i, selector in enumerate(["NUV2", "00FF0001", "nuv2#00ff0001", "NUV2#00FF0001", "1"]):
        world.push_frame(device, flat(7), 0.5 + i)
        with nuv.Camera.open(selector, size=SMALL) as cam:
            assert (cam.handle, cam.name, cam.kind) == (1, "NUV2", 1), selector
            assert cam.device == nuv.Device(1, "NUV2", 1, "00FF0001")
            assert cam.read().shape == (SMALL[1], SMALL[0])
    assert nuv.find_device(0).label == "NUV#0012ABCD"
    devices = r"the devices are: 0: NUV#0012ABCD; 1: NUV2#00FF0001"
    with pytest.raises(nuv.DeviceNotFoundError, match="no device matches 'NUV3'; " + devices):
        nuv.Camera.open("NUV3", size=SMALL)
    with pytest.raises(nuv.DeviceNotFoundError, match="no device at position 7; " + devices):
        nuv.Camera.open("7", size=SMALL)
    world.add_camera("NUV2", 0x00FF0002)
    with pytest.raises(nuv.DeviceNotFoundError, match=r"'NUV2' matches 2 devices; choose one by position or "
                                                      r"serial: 1: NUV2#00FF0001; 2: NUV2#00FF0002"):
        nuv.Camera.open("NUV2", size=SMALL)
    with pytest.raises(nuv.ArgumentError, match="position, a serial or a name"):
        nuv.find_device(1.5)
    assert world.running_streams(device) == 0, "nothing was opened by the refused selectors"


def test_open_by_an_unknown_serial_names_the_serials_there_are(cameras):
    with pytest.raises(nuv.NuvError, match=r"NuvOpenSerialNo\(serial='NUV2#00FF0002'.*no device lists that serial "
                                           r"\(cameras with serials: NUV#0012ABCD, NUV2#00FF0001\)"):
        nuv.Camera.open(serial="NUV2#00FF0002", size=SMALL)
    with pytest.raises(nuv.ArgumentError, match="neither"):
        nuv.Camera.open(serial="NUV3#00FF0001")


def test_failed_opens_say_why(cameras):
    world, nuv_device, _ = cameras
    with pytest.raises(nuv.ArgumentError, match="format 'yuy2' is not one of YUY2, .*case-sensitive"):
        nuv.Camera.open(0, size=SMALL, format="yuy2")
    assert world.device_format(nuv_device) is None, "a refused format name reaches no device"
    with pytest.raises(nuv.NuvError, match=r"NuvOpen\(position=5, .*there is no device at position 5 "
                                           r"\(2 devices listed\)"):
        nuv.Camera.open(5, size=SMALL)
    with pytest.raises(nuv.NuvError, match=r"NuvOpen\(position=0, width=640, height=480, .*'NUV' opens only at "
                                           r"1280x720, 656x408, 328x204"):
        nuv.Camera.open(0, size=(640, 480))
    with open_pushed(world, nuv_device, 0):
        with pytest.raises(nuv.NuvError, match="the camera at position 0 is already open"):
            nuv.Camera.open(0, size=SMALL)
        assert world.running_streams(nuv_device) == 1


def test_a_plain_video_device_gives_bytes_and_no_vendor_commands(nuv_world):
    webcam = nuv_world.add_device("Webcam")
    with open_pushed(nuv_world, webcam, 0) as cam:
        assert (cam.kind, cam.mode, cam.corrected) == (None, None, False)
        data = bytes(range(256)) * 10
        nuv_world.push_frame(webcam, data, 1.0)
        frame = cam.read()
        assert frame.dtype == np.uint8 and frame.tobytes() == data
        with pytest.raises(nuv.NuvError, match=r"NuvGetShutter\(handle=0\) failed: the camera has no control "
                                               r"channel"):
            cam.shutter
