"""Video properties, vendor commands and the firmware rewrite."""

import pytest

import nuv
from nuv import sim
from conftest import open_pushed


@pytest.fixture
def nuv_cam(cameras):
    """The "NUV" camera opened: (world, device id, HID id, camera)."""
    world, device, _ = cameras
    with open_pushed(world, device, 0) as cam:
        yield world, device, world.camera_hid(device), cam


def test_properties_set_and_get_through_the_camera(nuv_cam):
    world, device, _, cam = nuv_cam
    cam.gain, cam.led, cam.exposure, cam.color_bar = 200, 64, -13, True
    assert (cam.gain, cam.led, cam.exposure, cam.color_bar) == (200, 64, -13, True)
    assert world.video_property(device, sim.PROPERTY_GAIN) == 200
    assert cam.controls["gain"] == nuv.Control("gain", 200, 0, 240)
    assert {name: (c.minimum, c.maximum) for name, c in cam.controls.items()} == {
        "led": (0, 64), "color_bar": (0, 1), "camera_no": (1, 2), "gain": (0, 240), "exposure": (-13, 0)}


def test_a_value_outside_the_range_is_refused_before_the_camera(nuv_cam):
    world, device, _, cam = nuv_cam
    before = cam.controls
    for name, value in [("gain", 241), ("led", -1), ("exposure", 1), ("camera_no", 3), ("color_bar", 2),
                        ("gain", 1.5)]:
        with pytest.raises(nuv.ArgumentError, match=rf"NuvSet\w+\(handle=0, {name}={value!r}\): {name} must be an int"):
            setattr(cam, name, value)
    assert cam.controls == before


def test_the_cameras_own_range_and_unsupported_properties(nuv_cam):
    world, device, _, cam = nuv_cam
    world.set_video_property(device, sim.PROPERTY_GAIN, True, 16, 100, 20)
    with pytest.raises(nuv.NuvError, match=r"NuvSetGain\(handle=0, gain=150\) failed: the camera refused"):
        cam.gain = 150
    assert cam.gain == 20
    world.set_video_property(device, sim.PROPERTY_COLOR_BAR, False, 0, 1, 0)
    with pytest.raises(nuv.NuvError, match=r"NuvGetColorBar\(handle=0\) failed"):
        cam.color_bar
    assert cam.controls["color_bar"].value is None


def test_vendor_commands_reach_the_firmware(nuv_cam):
    world, _, hid, cam = nuv_cam
    cam.digital_gain = (0x1234, 1, 0, 0xFFFF)
    assert world.hid_digital_gains(hid) == (0x1234, 1, 0, 0xFFFF) == cam.digital_gain
    cam.shutter = 65530
    assert world.hid_shutter(hid) == 65530 == cam.shutter
    cam.set_register(0x3012, 0xAB)
    assert world.hid_register(hid, 0x3012) == 0xAB
    world.hid_set_temperature(hid, 2, 250)
    assert cam.temperature(2) == 250
    world.hid_set_version_text(hid, "FW 2.0.7")
    assert cam.firmware_version() == "FW 2.0.7"
    world.hid_set_identity(hid, 0x5A, 3)
    assert (cam.recognition(), cam.usb_mode()) == (0x5A, 3)
    cam.gpio_direction(0x0F)
    cam.gpio_output(0x05)
    assert world.hid_gpio(hid) == (0x0F, 0x05)
    world.hid_set_gpio_external(hid, 0xF0)
    assert cam.gpio_input() & 0xF0 == 0xF0
    cam.serial_number = 0xFEDCBA98
    assert cam.serial_number == 0xFEDCBA98
    assert world.flash_peek(hid, 0x70000, 4) == bytes([0xFE, 0xDC, 0xBA, 0x98])


def test_vendor_command_failures_name_the_call(cameras):
    world, nuv_device, nuv2_device = cameras
    with open_pushed(world, nuv2_device, 1) as cam:
        with pytest.raises(nuv.NuvError, match=r"NuvGPIOInput\(handle=1\) failed: GPIO needs a \"NUV\" camera"):
            cam.gpio_input()
        hid = world.camera_hid(nuv2_device)
        world.hid_reply_status(hid, command=0x33, count=1, status=2)
        with pytest.raises(nuv.NuvError, match=r"NuvGetShutter\(handle=1\) failed: .*error status"):
            cam.shutter
        commands = world.hid_command_count(hid)
        for refused in (lambda: setattr(cam, "shutter", 0), lambda: setattr(cam, "shutter", 0x10001),
                        lambda: cam.temperature(3), lambda: cam.set_register(0x10000, 1)):
            with pytest.raises(nuv.ArgumentError):
                refused()
        assert world.hid_command_count(hid) == commands


def test_firmware_rewrite_reports_progress_to_the_end(nuv_cam, tmp_path):
    world, _, hid, cam = nuv_cam
    image = bytes((i * 7 + 3) & 0xFF for i in range(112))
    path = tmp_path / "firmware.bin"
    path.write_bytes(image)
    reports = list(cam.rewrite_firmware(path))
    assert reports[-1].state == 0 and reports[-1].percent == 100.0
    percents = [r.percent for r in reports]
    assert percents == sorted(percents)
    assert {r.state for r in reports} <= {3, 1, 2, 0}
    assert world.flash_peek(hid, 0, 112) == image
    again = list(cam.rewrite_firmware(path))
    assert again[-1] == nuv.Progress(0, 100.0, again[-1].elapsed), "the finished job was released"


def test_progress_shows_0_to_100_and_keeps_the_librarys_own_value(nuv_cam, tmp_path):
    # 100 bytes are two chunks of 56: the library's value ends the write
    # phase at 56 and the verify phase at 106.
    _, _, _, cam = nuv_cam
    path = tmp_path / "firmware.bin"
    path.write_bytes(bytes(range(100)))
    reports = list(cam.rewrite_firmware(path))
    assert all(0.0 <= r.percent <= 100.0 for r in reports)
    assert all(r.percent <= 50.0 for r in reports if r.state == 1)
    assert max(r.raw for r in reports) == pytest.approx(106.0)
    assert reports[-1].state == 0 and reports[-1].percent == 100.0
    assert [r.percent for r in reports] == sorted(r.percent for r in reports)
    state, percent, elapsed = reports[-1]
    assert (state, percent) == (0, 100.0), "still a tuple of three"
    assert nuv.shown_percent(2, 100.59) == 100.0 and nuv.shown_percent(1, 50.4) == 50.0
    assert nuv.shown_percent(2, 75.0) == 75.0


def test_firmware_rewrite_failures(nuv_cam, tmp_path):
    world, _, hid, cam = nuv_cam
    with pytest.raises(FileNotFoundError, match="no-such.bin"):
        cam.rewrite_firmware(tmp_path / "no-such.bin")
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    with pytest.raises(nuv.ArgumentError, match="the firmware image is empty"):
        cam.rewrite_firmware(empty)
    large = tmp_path / "large.bin"
    large.write_bytes(bytes(0x70000))
    with pytest.raises(nuv.ArgumentError, match="is 458752 bytes; the camera takes at most 458751"):
        cam.rewrite_firmware(large)
    with pytest.raises(IsADirectoryError):
        cam.rewrite_firmware(tmp_path)
    path = tmp_path / "firmware.bin"
    path.write_bytes(bytes(200))
    world.hid_reply_status(hid, command=0x20, count=6, status=1, skip=1)
    with pytest.raises(nuv.NuvError, match=r"firmware rewrite of camera 0 failed at 14\.0% .*returned -1"):
        for _ in cam.rewrite_firmware(path):
            pass
    world.hid_reply_status(hid, command=0x22, count=1, status=1)
    with pytest.raises(nuv.NuvError, match=r"NuvSoftRewrite\(handle=0, path='.*firmware.bin'\) failed: .*erase"):
        cam.rewrite_firmware(path)


def test_leaving_a_rewrite_early_still_releases_the_job(nuv_cam, tmp_path):
    world, _, hid, cam = nuv_cam
    path = tmp_path / "firmware.bin"
    path.write_bytes(bytes(range(256)) * 4)
    progress = cam.rewrite_firmware(path)
    next(progress)
    progress.close()  # waits for the job's end and releases it
    assert [r.state for r in cam.rewrite_firmware(path)][-1] == 0, "a new job could start"
