"""The simulated camera world: build the devices a test needs, drive its
clock, switch faults on, and look inside the virtual cameras.

Every function of include/nuv_sim.h has a method on World; the module-level
functions act on the world of the loaded library (``nuv.sim.add_camera(...)``
is ``nuv.sim.World().add_camera(...)``). Device ids are those the add
functions return; a HID interface (a camera's control channel) is named by
its own id, ``camera_hid(device_id)``.

For pytest, the fixture ``nuv_world`` (nuv.pytest_plugin) gives each test an
empty world on the virtual clock.
"""

import ctypes
from collections import namedtuple

import numpy as np

from . import _lib
from ._errors import NuvError, describe_call

#: Frame sources of a video device.
GENERATED, PUSHED, NO_FRAMES = 0, 1, 2

#: The video property indexes the library uses.
PROPERTY_LED, PROPERTY_COLOR_BAR, PROPERTY_CAMERA_NO, PROPERTY_GAIN, PROPERTY_EXPOSURE = 0, 1, 2, 9, 14

DeviceFormat = namedtuple("DeviceFormat", "width height frame_interval subtype")
DeviceFormat.__doc__ = "The format a device's capture pin was set to (subtype: 16 GUID bytes)."


def _utf8(text):
    return None if text is None else text.encode("utf-8")


class World:
    """The simulated world of a loaded nuv_sim library."""

    def __init__(self, library=None):
        self.lib = library if library is not None else _lib.library()
        if not self.lib.is_simulated:
            raise NuvError(f"the loaded library {self.lib.path} has no simulated world (no NuvSimReset); "
                           "load libnuv_sim / nuv_sim.dll with nuv.load(path)")

    def _call(self, call, *args, **named):
        """Calls the function call with args; a 0 result raises, naming the call."""
        result = getattr(self.lib, call)(*args)
        if not result:
            shown = list(named.items()) or [(f"arg{i}", a) for i, a in enumerate(args)]
            raise NuvError(f"{describe_call(call, shown)} failed (no such device or interface, "
                           "or a value it does not take)")
        return result

    def _id(self, call, result, **named):
        if result <= 0:
            raise NuvError(f"{describe_call(call, list(named.items()))} failed (result {result})")
        return result

    # ---- World ----

    def reset(self):
        """Empties the world: no devices, real-time clock, no faults."""
        self.lib.NuvSimReset()

    def reset_default(self):
        """Restores the world an application meets: "NUV" at position 0 and
        "NUV2" at position 1, real-time clock."""
        self.lib.NuvSimResetDefault()

    def add_device(self, name, plug_and_play=True):
        """Adds a bare video device (a webcam); returns its device id."""
        return self._id("NuvSimAddDevice", self.lib.NuvSimAddDevice(_utf8(name), int(plug_and_play)), name=name)

    def add_camera(self, name="NUV2", serial=0x00FF0001, plug_and_play=True):
        """Adds one of the library's cameras ("NUV" or "NUV2") with its control
        interface holding the serial number; returns its device id."""
        result = self.lib.NuvSimAddCamera(_utf8(name), int(serial) & 0xFFFFFFFF, int(plug_and_play))
        return self._id("NuvSimAddCamera", result, name=name, serial=serial)

    def remove_device(self, device_id):
        self._call("NuvSimRemoveDevice", device_id, deviceId=device_id)

    def unplug_camera(self, device_id):
        """Unplugs a device and its control interface."""
        self._call("NuvSimUnplugCamera", device_id, deviceId=device_id)

    def device_count(self):
        return self.lib.NuvSimDeviceCount()

    def held(self):
        """What the library holds in the simulated OS and framework: every
        count is 0 whenever no camera is open."""
        lib = self.lib
        return {
            "com_objects": lib.NuvSimLiveComObjects(),
            "com_inits": lib.NuvSimLiveComInits(),
            "handles": lib.NuvSimOpenHandles(),
            "allocations": lib.NuvSimLiveAllocations(),
            "device_info_sets": lib.NuvSimLiveDeviceInfoSets(),
            "hid_preparsed_data": lib.NuvSimLiveHidPreparsedData(),
        }

    # ---- Clock ----

    def use_virtual_clock(self, on=True):
        """Virtual time: sleeps and timed waits of the library return at once
        and advance the clock; Camera.read advances it instead of sleeping."""
        self.lib.NuvSimUseVirtualClock(1 if on else 0)

    @property
    def virtual_clock(self):
        return self.lib.virtual_clock

    def tick(self):
        """The tick count in milliseconds, as the library sees it."""
        return self.lib.NuvSimGetTickCount()

    def set_clock(self, ms):
        self.lib.NuvSimSetClock(int(ms) & 0xFFFFFFFF)

    def advance_clock(self, ms):
        """Moves the virtual clock on; running graphs deliver the frames due."""
        self.lib.NuvSimAdvanceClock(int(ms))

    # ---- Video devices ----

    def set_frame_source(self, device_id, source):
        """GENERATED (frames at the frame rate), PUSHED (only pushed frames) or NO_FRAMES."""
        self._call("NuvSimSetFrameSource", device_id, source, deviceId=device_id, source=source)

    def push_frame(self, device_id, data, sample_time):
        """Hands one sample to the device's running graph (a numpy array or
        bytes; a (height, width) uint16 array is a frame of library words) and
        switches the device to pushed frames. Returns once the grabber had it."""
        if isinstance(data, np.ndarray):
            array = np.ascontiguousarray(data)
            if array.dtype.byteorder == ">":
                array = array.astype(array.dtype.newbyteorder("<"))
        else:
            try:
                array = np.frombuffer(memoryview(data), dtype=np.uint8)
            except TypeError:
                raise TypeError(f"push_frame takes a numpy array or bytes, not {type(data).__name__}") from None
        pointer = array.ctypes.data if array.nbytes else None
        self._call("NuvSimPushFrame", device_id, pointer, array.nbytes, float(sample_time),
                   deviceId=device_id, length=array.nbytes, sampleTime=sample_time)

    def frames_delivered(self, device_id):
        return self.lib.NuvSimFramesDelivered(device_id)

    def running_streams(self, device_id):
        return self.lib.NuvSimRunningStreams(device_id)

    def set_instance_key(self, device_id, key):
        self._call("NuvSimSetInstanceKey", device_id, _utf8(key), deviceId=device_id, key=key)

    def instance_key(self, device_id):
        buffer = ctypes.create_string_buffer(256)
        self._call("NuvSimGetInstanceKey", device_id, buffer, len(buffer), deviceId=device_id)
        return buffer.value.decode("utf-8")

    def parent_instance_id(self, device_id):
        buffer = ctypes.create_string_buffer(512)
        self._call("NuvSimGetParentInstanceId", device_id, buffer, len(buffer), deviceId=device_id)
        return buffer.value.decode("utf-8")

    def set_display_name(self, device_id, name):
        self._call("NuvSimSetDisplayName", device_id, _utf8(name), deviceId=device_id, displayName=name)

    def set_friendly_name(self, device_id, name):
        """Renames the device; None removes its name."""
        self._call("NuvSimSetFriendlyName", device_id, _utf8(name), deviceId=device_id, friendlyName=name)

    def set_filter_fails(self, device_id, fails=True):
        self._call("NuvSimSetFilterFails", device_id, int(fails), deviceId=device_id, fails=fails)

    def clear_capabilities(self, device_id):
        self._call("NuvSimClearCapabilities", device_id, deviceId=device_id)

    def add_capability(self, device_id, subtype, width, height, bit_count=16, frame_interval=333333,
                       format_type=0):
        """Adds a stream capability ("YUY2", "MJPG", ..., or a four-character
        code); returns the number of capabilities now offered."""
        result = self.lib.NuvSimAddCapability(device_id, _utf8(subtype), width, height, bit_count,
                                              frame_interval, format_type)
        if result < 0:
            raise NuvError(describe_call("NuvSimAddCapability", [("deviceId", device_id), ("subtype", subtype),
                                                                 ("width", width), ("height", height)])
                           + " failed")
        return result

    def set_capability_size(self, device_id, size):
        self._call("NuvSimSetCapabilitySize", device_id, size, deviceId=device_id, bytes=size)

    def device_format(self, device_id):
        """The format the capture pin was set to, or None when never set."""
        width, height, interval = ctypes.c_int(), ctypes.c_int(), ctypes.c_longlong()
        subtype = (ctypes.c_ubyte * 16)()
        if not self.lib.NuvSimGetDeviceFormat(device_id, ctypes.byref(width), ctypes.byref(height),
                                              ctypes.byref(interval), subtype):
            return None
        return DeviceFormat(width.value, height.value, interval.value, bytes(subtype))

    def set_video_property(self, device_id, index, supported=True, minimum=0, maximum=0, value=0):
        self._call("NuvSimSetVideoProperty", device_id, index, int(supported), minimum, maximum, value,
                   deviceId=device_id, index=index)

    def video_property(self, device_id, index):
        """The current value of video property index (0..16) of the device."""
        value = ctypes.c_int()
        self._call("NuvSimGetVideoProperty", device_id, index, ctypes.byref(value), deviceId=device_id,
                   index=index)
        return value.value

    def set_run_fails(self, device_id, fails=True):
        self._call("NuvSimSetRunFails", device_id, int(fails), deviceId=device_id, fails=fails)

    def fail_build_step(self, step, times=1):
        """Fails a step of the capture-graph build, by status number or name
        ("Run", "FirstFrame", ...), the next times calls (-1: until cleared)."""
        if isinstance(step, str):
            self._call("NuvSimFailBuildStepNamed", step.encode("ascii"), times, name=step, times=times)
        else:
            self._call("NuvSimFailBuildStep", step, times, status=step, times=times)

    def clear_build_faults(self):
        self.lib.NuvSimClearBuildFaults()

    # ---- Control interfaces (HID) ----

    def camera_hid(self, device_id):
        """The id of the device's control interface (0: it has none)."""
        return self.lib.NuvSimCameraHidInterface(device_id)

    def add_hid_interface(self, path, parent_instance_id, serial_string, serial_number,
                          input_length=0, output_length=0):
        result = self.lib.NuvSimAddHidInterface(_utf8(path), _utf8(parent_instance_id), _utf8(serial_string),
                                                int(serial_number) & 0xFFFFFFFF, input_length, output_length)
        return self._id("NuvSimAddHidInterface", result, path=path)

    def remove_hid_interface(self, hid):
        self._call("NuvSimRemoveHidInterface", hid, hid=hid)

    def attach_hid_interface(self, device_id, hid):
        self._call("NuvSimAttachHidInterface", device_id, hid, deviceId=device_id, hid=hid)

    def hid_interface_count(self):
        return self.lib.NuvSimHidInterfaceCount()

    def set_hid_report_lengths(self, hid, input_length, output_length):
        self._call("NuvSimSetHidReportLengths", hid, input_length, output_length, hid=hid)

    def hid_open_flags(self, hid):
        return self.lib.NuvSimHidOpenFlags(hid)

    # Faults: command is a command code 0x00..0xFF or -1 for any; each acts on
    # the next count matching commands (after the first skip pass) and then
    # switches itself off.

    def hid_fail_writes(self, hid, count=1):
        self._call("NuvSimHidFailWrites", hid, count, hid=hid, count=count)

    def hid_drop_replies(self, hid, command=-1, count=1, skip=0):
        if skip:
            self._call("NuvSimHidDropRepliesAfter", hid, command, skip, count, hid=hid, command=command,
                       skip=skip, count=count)
        else:
            self._call("NuvSimHidDropReplies", hid, command, count, hid=hid, command=command, count=count)

    def hid_reply_status(self, hid, command=-1, count=1, status=1, skip=0):
        if skip:
            self._call("NuvSimHidReplyStatusAfter", hid, command, skip, count, status, hid=hid, command=command,
                       skip=skip, count=count, status=status)
        else:
            self._call("NuvSimHidReplyStatus", hid, command, count, status, hid=hid, command=command,
                       count=count, status=status)

    def hid_reply_mismatched(self, hid, command=-1, count=1, sequence_delta=1, code_delta=0, then_answer=True):
        self._call("NuvSimHidReplyMismatched", hid, command, count, sequence_delta, code_delta, int(then_answer),
                   hid=hid, command=command, count=count)

    def hid_reply_late(self, hid, command=-1, count=1, delay_ms=6000):
        self._call("NuvSimHidReplyLate", hid, command, count, delay_ms, hid=hid, command=command, count=count,
                   delayMs=delay_ms)

    def hid_echo_address(self, hid, command, count=1, address_delta=56):
        self._call("NuvSimHidEchoAddress", hid, command, count, address_delta, hid=hid, command=command,
                   count=count)

    def hid_corrupt_flash_read(self, hid, count=1, data_byte=0, skip=0):
        if skip:
            self._call("NuvSimHidCorruptFlashReadAfter", hid, skip, count, data_byte, hid=hid, skip=skip,
                       count=count, dataByte=data_byte)
        else:
            self._call("NuvSimHidCorruptFlashRead", hid, count, data_byte, hid=hid, count=count,
                       dataByte=data_byte)

    def hid_clear_faults(self, hid):
        self._call("NuvSimHidClearFaults", hid, hid=hid)

    # Observation of the firmware behind an interface.

    def hid_command_count(self, hid):
        return self.lib.NuvSimHidCommandCount(hid)

    def hid_command_log(self, hid):
        """The command reports the firmware received, oldest first, each raw
        (report ID first) as bytes."""
        reports = []
        buffer = (ctypes.c_ubyte * 1024)()
        for index in range(self.hid_command_count(hid)):
            length = self.lib.NuvSimHidCommandReport(hid, index, buffer, len(buffer))
            if length < 0:
                break
            reports.append(bytes(buffer[:min(length, len(buffer))]))
        return reports

    def hid_clear_command_log(self, hid):
        self._call("NuvSimHidClearCommandLog", hid, hid=hid)

    def flash_peek(self, hid, address, size):
        data = (ctypes.c_ubyte * size)()
        self._call("NuvSimFlashPeek", hid, address, data, size, hid=hid, address=address, size=size)
        return bytes(data)

    def flash_poke(self, hid, address, data):
        data = bytes(data)
        buffer = (ctypes.c_ubyte * len(data)).from_buffer_copy(data)
        self._call("NuvSimFlashPoke", hid, address, buffer, len(data), hid=hid, address=address, size=len(data))

    def flash_used_sectors(self, hid):
        return self.lib.NuvSimFlashUsedSectors(hid)

    def hid_gpio(self, hid):
        """(direction bits, output latch) of the firmware's GPIO port."""
        direction, output = ctypes.c_int(), ctypes.c_int()
        self._call("NuvSimHidGpio", hid, ctypes.byref(direction), ctypes.byref(output), hid=hid)
        return direction.value, output.value

    def hid_set_gpio_external(self, hid, levels):
        self._call("NuvSimHidSetGpioExternal", hid, levels, hid=hid, levels=levels)

    def hid_digital_gains(self, hid):
        gains = (ctypes.c_ushort * 4)()
        self._call("NuvSimHidDigitalGains", hid, gains, hid=hid)
        return tuple(gains)

    def hid_shutter(self, hid):
        return self.lib.NuvSimHidShutter(hid)

    def hid_register(self, hid, address):
        """The value last written to a sensor register, -1 when none was."""
        return self.lib.NuvSimHidRegister(hid, address)

    def hid_set_temperature(self, hid, selector, value):
        self._call("NuvSimHidSetTemperature", hid, selector, value, hid=hid, selector=selector, value=value)

    def hid_set_version_text(self, hid, text):
        self._call("NuvSimHidSetVersionText", hid, _utf8(text), hid=hid, text=text)

    def hid_set_identity(self, hid, recognition, usb_mode):
        self._call("NuvSimHidSetIdentity", hid, recognition, usb_mode, hid=hid, recognition=recognition,
                   usbMode=usb_mode)

    # ---- Memory and threads ----

    def fail_allocations(self, skip=0, count=1):
        """After skip large allocations pass, the next count fail; (0, 0) stops."""
        self.lib.NuvSimFailAllocations(skip, count)

    def fail_thread_creations(self, count=1):
        self.lib.NuvSimFailThreadCreations(count)

    def hold_new_threads(self, on=True):
        self.lib.NuvSimHoldNewThreads(1 if on else 0)

    # ---- For test fixtures ----

    def close_cameras(self):
        """Closes every camera the process opened: the Camera objects still
        open, and any handle opened through the C functions directly."""
        from .camera import close_all
        close_all()
        for handle in range(max(10, self.device_count() + 1)):
            self.lib.NuvClose(handle)


def __getattr__(name):
    """nuv.sim.add_camera(...) and friends: World methods on the loaded library."""
    if name.startswith("_") or not hasattr(World, name):
        raise AttributeError(f"module 'nuv.sim' has no attribute {name!r}")
    return getattr(World(), name)
