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

from __future__ import annotations

import ctypes
from typing import Any, NamedTuple, Optional, Sequence, Union

import numpy as np

from . import _lib
from ._errors import NuvError, describe_call

#: Frame sources of a video device.
GENERATED, PUSHED, NO_FRAMES = 0, 1, 2

#: The video property indexes the library uses.
PROPERTY_LED, PROPERTY_COLOR_BAR, PROPERTY_CAMERA_NO, PROPERTY_GAIN, PROPERTY_EXPOSURE = 0, 1, 2, 9, 14



class DeviceFormat(NamedTuple):
    """The format a device's capture pin was set to (subtype: 16 GUID bytes)."""

    width: int
    height: int
    frame_interval: int
    subtype: bytes


def _utf8(text: Optional[str]) -> Optional[bytes]:
    return None if text is None else text.encode("utf-8")


class World:
    """The simulated world of a loaded nuv_sim library."""

    def __init__(self, library: Optional[_lib.Library] = None) -> None:
        self.lib = library if library is not None else _lib.library()
        if not self.lib.is_simulated:
            raise NuvError(f"the loaded library {self.lib.path} has no simulated world (no NuvSimReset); "
                           "load libnuv_sim / nuv_sim.dll with nuv.load(path)")

    def _call(self, call: str, *args: Any, **named: Any) -> Any:
        """Calls the function call with args; a 0 result raises, naming the call."""
        result = getattr(self.lib, call)(*args)
        if not result:
            shown = list(named.items()) or [(f"arg{i}", a) for i, a in enumerate(args)]
            raise NuvError(f"{describe_call(call, shown)} failed (no such device or interface, "
                           "or a value it does not take)")
        return result

    def _id(self, call: str, result: int, **named: Any) -> int:
        if result <= 0:
            raise NuvError(f"{describe_call(call, list(named.items()))} failed (result {result})")
        return result

    # ---- World ----

    def reset(self) -> None:
        """Empties the world: no devices, real-time clock, no faults."""
        self.lib.NuvSimReset()

    def reset_default(self) -> None:
        """Restores the world an application meets: "NUV" at position 0 and
        "NUV2" at position 1, real-time clock."""
        self.lib.NuvSimResetDefault()

    def add_device(self, name: str, plug_and_play: bool = True) -> int:
        """Adds a bare video device (a webcam); returns its device id."""
        return self._id("NuvSimAddDevice", self.lib.NuvSimAddDevice(_utf8(name), int(plug_and_play)), name=name)

    def add_camera(self, name: str = "NUV2", serial: int = 0x00FF0001, plug_and_play: bool = True) -> int:
        """Adds one of the library's cameras ("NUV" or "NUV2") with its control
        interface holding the serial number; returns its device id."""
        result = self.lib.NuvSimAddCamera(_utf8(name), int(serial) & 0xFFFFFFFF, int(plug_and_play))
        return self._id("NuvSimAddCamera", result, name=name, serial=serial)

    def remove_device(self, device_id: int) -> None:
        self._call("NuvSimRemoveDevice", device_id, deviceId=device_id)

    def unplug_camera(self, device_id: int) -> None:
        """Unplugs a device and its control interface."""
        self._call("NuvSimUnplugCamera", device_id, deviceId=device_id)

    def device_count(self) -> int:
        return self.lib.NuvSimDeviceCount()

    def held(self) -> dict[str, int]:
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

    def com_initialize(self, apartment_threaded: bool = False) -> int:
        """Initialises COM on the calling thread as an application does before
        it calls the library; returns the HRESULT (0 S_OK, 1 S_FALSE, or
        RPC_E_CHANGED_MODE). Balance each success with com_uninitialize()."""
        return self.lib.NuvSimComInitialize(1 if apartment_threaded else 0)

    def com_uninitialize(self) -> None:
        self.lib.NuvSimComUninitialize()

    # ---- Clock ----

    def use_virtual_clock(self, on: bool = True) -> None:
        """Virtual time: sleeps and timed waits of the library return at once
        and advance the clock; Camera.read advances it instead of sleeping."""
        self.lib.NuvSimUseVirtualClock(1 if on else 0)

    @property
    def virtual_clock(self) -> bool:
        return self.lib.virtual_clock

    def tick(self) -> int:
        """The tick count in milliseconds, as the library sees it."""
        return self.lib.NuvSimGetTickCount()

    def set_clock(self, ms: int) -> None:
        self.lib.NuvSimSetClock(int(ms) & 0xFFFFFFFF)

    def advance_clock(self, ms: int) -> None:
        """Moves the virtual clock on; running graphs deliver the frames due."""
        self.lib.NuvSimAdvanceClock(int(ms))

    # ---- Video devices ----

    def set_frame_source(self, device_id: int, source: int) -> None:
        """GENERATED (frames at the frame rate), PUSHED (only pushed frames) or NO_FRAMES."""
        self._call("NuvSimSetFrameSource", device_id, source, deviceId=device_id, source=source)

    def push_frame(self, device_id: int, data: Union[np.ndarray, bytes, bytearray, memoryview],
                   sample_time: float) -> None:
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

    def frames_delivered(self, device_id: int) -> int:
        return self.lib.NuvSimFramesDelivered(device_id)

    def running_streams(self, device_id: int) -> int:
        return self.lib.NuvSimRunningStreams(device_id)

    def set_instance_key(self, device_id: int, key: str) -> None:
        self._call("NuvSimSetInstanceKey", device_id, _utf8(key), deviceId=device_id, key=key)

    def instance_key(self, device_id: int) -> str:
        buffer = ctypes.create_string_buffer(256)
        self._call("NuvSimGetInstanceKey", device_id, buffer, len(buffer), deviceId=device_id)
        return buffer.value.decode("utf-8")

    def parent_instance_id(self, device_id: int) -> str:
        buffer = ctypes.create_string_buffer(512)
        self._call("NuvSimGetParentInstanceId", device_id, buffer, len(buffer), deviceId=device_id)
        return buffer.value.decode("utf-8")

    def set_display_name(self, device_id: int, name: Optional[str]) -> None:
        self._call("NuvSimSetDisplayName", device_id, _utf8(name), deviceId=device_id, displayName=name)

    def set_friendly_name(self, device_id: int, name: Optional[str]) -> None:
        """Renames the device; None removes its name."""
        self._call("NuvSimSetFriendlyName", device_id, _utf8(name), deviceId=device_id, friendlyName=name)

    def set_filter_fails(self, device_id: int, fails: bool = True) -> None:
        self._call("NuvSimSetFilterFails", device_id, int(fails), deviceId=device_id, fails=fails)

    def clear_capabilities(self, device_id: int) -> None:
        self._call("NuvSimClearCapabilities", device_id, deviceId=device_id)

    def add_capability(self, device_id: int, subtype: str, width: int, height: int, bit_count: int = 16,
                       frame_interval: int = 333333, format_type: int = 0) -> int:
        """Adds a stream capability ("YUY2", "MJPG", ..., or a four-character
        code); returns the number of capabilities now offered."""
        result = self.lib.NuvSimAddCapability(device_id, _utf8(subtype), width, height, bit_count,
                                              frame_interval, format_type)
        if result < 0:
            raise NuvError(describe_call("NuvSimAddCapability", [("deviceId", device_id), ("subtype", subtype),
                                                                 ("width", width), ("height", height)])
                           + " failed")
        return result

    def set_capability_size(self, device_id: int, size: int) -> None:
        self._call("NuvSimSetCapabilitySize", device_id, size, deviceId=device_id, bytes=size)

    def device_format(self, device_id: int) -> Optional[DeviceFormat]:
        """The format the capture pin was set to, or None when never set."""
        width, height, interval = ctypes.c_int(), ctypes.c_int(), ctypes.c_longlong()
        subtype = (ctypes.c_ubyte * 16)()
        if not self.lib.NuvSimGetDeviceFormat(device_id, ctypes.byref(width), ctypes.byref(height),
                                              ctypes.byref(interval), subtype):
            return None
        return DeviceFormat(width.value, height.value, interval.value, bytes(subtype))

    def set_video_property(self, device_id: int, index: int, supported: bool = True, minimum: int = 0,
                           maximum: int = 0, value: int = 0) -> None:
        self._call("NuvSimSetVideoProperty", device_id, index, int(supported), minimum, maximum, value,
                   deviceId=device_id, index=index)

    def video_property(self, device_id: int, index: int) -> int:
        """The current value of video property index (0..16) of the device."""
        value = ctypes.c_int()
        self._call("NuvSimGetVideoProperty", device_id, index, ctypes.byref(value), deviceId=device_id,
                   index=index)
        return value.value

    def set_run_fails(self, device_id: int, fails: bool = True) -> None:
        self._call("NuvSimSetRunFails", device_id, int(fails), deviceId=device_id, fails=fails)

    def fail_build_step(self, step: Union[int, str], times: int = 1, skip: int = 0) -> None:
        """Fails a step of the capture-graph build, by status number or name
        ("Run", "FirstFrame", ...), the next times calls (-1: until cleared),
        after the first skip calls of it pass (a status number only)."""
        if isinstance(step, str):
            if skip:
                raise NuvError("fail_build_step: skip needs the step's status number, not its name")
            self._call("NuvSimFailBuildStepNamed", step.encode("ascii"), times, name=step, times=times)
        elif skip:
            self._call("NuvSimFailBuildStepAfter", step, skip, times, status=step, skip=skip, times=times)
        else:
            self._call("NuvSimFailBuildStep", step, times, status=step, times=times)

    def clear_build_faults(self) -> None:
        self.lib.NuvSimClearBuildFaults()

    def fail_call(self, name: str, argument: int = -1, skip: int = 0, count: int = 1) -> None:
        """Fails a call of the simulated OS by name ("CreateFileA",
        "HidP_GetCaps", "GetStreamCaps", "Stop", ...): of the calls whose
        argument matches (-1: any) the first skip pass and the next count fail
        (-1: all until cleared)."""
        self._call("NuvSimFailCall", name.encode("ascii"), argument, skip, count, name=name, argument=argument,
                   skip=skip, count=count)

    def clear_call_faults(self) -> None:
        self.lib.NuvSimClearCallFaults()

    # ---- Optics and the sensor ----
    # The sensor's own view of the world, independent of the correction data
    # stored in the camera. The sensor's controls (LED, gain, exposure,
    # colour bar, shutter, digital gains) shape every generated frame; see
    # the README.

    def set_scene(self, device_id: int, level: float) -> None:
        """Flat light of this 10-bit level (0 dark, at most 1023) through the
        device's optics; a level below 0 goes back to frames shaped by the
        stored correction data."""
        self._call("NuvSimSetScene", device_id, float(level), deviceId=device_id, level=level)

    def set_lens(self, device_id: int, centre: Sequence[float] = (0.5, 0.5), strength: float = 0.0,
                 site_factors: Optional[Sequence[float]] = None) -> None:
        """Lens fall-off: relative light site_factors[site] / (1 + strength *
        (r / half diagonal)^2) around centre (fractions of the frame)."""
        cx, cy = (float(v) for v in centre)
        factors = None
        if site_factors is not None:
            values = [float(v) for v in site_factors]
            if len(values) != 4:
                raise NuvError(f"set_lens: site_factors must be 4 numbers, got {len(values)}")
            factors = (ctypes.c_double * 4)(*values)
        self._call("NuvSimSetLens", device_id, cx, cy, float(strength), factors, deviceId=device_id,
                   centre=(cx, cy), strength=strength, siteFactors=site_factors)

    def add_sensor_defect(self, device_id: int, fx: float, fy: float, value: int) -> None:
        """A sensor pixel stuck at value (0..1023) at fractional position
        (fx, fy), 0 <= f < 1: column floor(fx * width), row floor(fy * height)."""
        self._call("NuvSimAddSensorDefect", device_id, float(fx), float(fy), int(value), deviceId=device_id,
                   fx=fx, fy=fy, value=value)

    def clear_sensor_defects(self, device_id: int) -> None:
        self._call("NuvSimClearSensorDefects", device_id, deviceId=device_id)

    def set_noise(self, device_id: int, sigma: float, seed: int = 1) -> None:
        """Gaussian read noise of sigma counts (0: none); frame n of a seed
        always carries the same noise."""
        self._call("NuvSimSetNoise", device_id, float(sigma), int(seed) & 0xFFFFFFFF, deviceId=device_id,
                   sigma=sigma, seed=seed)

    def set_shot_noise(self, device_id: int, electrons_per_count: float) -> None:
        """Shot noise that grows with the signal: electrons collected per count
        of light at the reference exposure and unity gain (0: none)."""
        self._call("NuvSimSetShotNoise", device_id, float(electrons_per_count), deviceId=device_id,
                   electronsPerCount=electrons_per_count)

    # ---- Control interfaces (HID) ----

    def camera_hid(self, device_id: int) -> int:
        """The id of the device's control interface (0: it has none)."""
        return self.lib.NuvSimCameraHidInterface(device_id)

    def add_hid_interface(self, path: str, parent_instance_id: str, serial_string: str, serial_number: int,
                          input_length: int = 0, output_length: int = 0) -> int:
        result = self.lib.NuvSimAddHidInterface(_utf8(path), _utf8(parent_instance_id), _utf8(serial_string),
                                                int(serial_number) & 0xFFFFFFFF, input_length, output_length)
        return self._id("NuvSimAddHidInterface", result, path=path)

    def remove_hid_interface(self, hid: int) -> None:
        self._call("NuvSimRemoveHidInterface", hid, hid=hid)

    def attach_hid_interface(self, device_id: int, hid: int) -> None:
        self._call("NuvSimAttachHidInterface", device_id, hid, deviceId=device_id, hid=hid)

    def hid_interface_count(self) -> int:
        return self.lib.NuvSimHidInterfaceCount()

    def set_hid_report_lengths(self, hid: int, input_length: int, output_length: int) -> None:
        self._call("NuvSimSetHidReportLengths", hid, input_length, output_length, hid=hid)

    def hid_open_flags(self, hid: int) -> int:
        return self.lib.NuvSimHidOpenFlags(hid)

    # Faults: command is a command code 0x00..0xFF or -1 for any; each acts on
    # the next count matching commands (after the first skip pass) and then
    # switches itself off.

    def hid_fail_writes(self, hid: int, count: int = 1, skip: int = 0) -> None:
        if skip:
            self._call("NuvSimHidFailWritesAfter", hid, skip, count, hid=hid, skip=skip, count=count)
        else:
            self._call("NuvSimHidFailWrites", hid, count, hid=hid, count=count)

    def hid_drop_replies(self, hid: int, command: int = -1, count: int = 1, skip: int = 0) -> None:
        if skip:
            self._call("NuvSimHidDropRepliesAfter", hid, command, skip, count, hid=hid, command=command,
                       skip=skip, count=count)
        else:
            self._call("NuvSimHidDropReplies", hid, command, count, hid=hid, command=command, count=count)

    def hid_reply_status(self, hid: int, command: int = -1, count: int = 1, status: int = 1, skip: int = 0) -> None:
        if skip:
            self._call("NuvSimHidReplyStatusAfter", hid, command, skip, count, status, hid=hid, command=command,
                       skip=skip, count=count, status=status)
        else:
            self._call("NuvSimHidReplyStatus", hid, command, count, status, hid=hid, command=command,
                       count=count, status=status)

    def hid_reply_mismatched(self, hid: int, command: int = -1, count: int = 1, sequence_delta: int = 1,
                             code_delta: int = 0, then_answer: bool = True) -> None:
        self._call("NuvSimHidReplyMismatched", hid, command, count, sequence_delta, code_delta, int(then_answer),
                   hid=hid, command=command, count=count)

    def hid_reply_late(self, hid: int, command: int = -1, count: int = 1, delay_ms: int = 6000) -> None:
        self._call("NuvSimHidReplyLate", hid, command, count, delay_ms, hid=hid, command=command, count=count,
                   delayMs=delay_ms)

    def hid_echo_address(self, hid: int, command: int, count: int = 1, address_delta: int = 56,
                         skip: int = 0) -> None:
        if skip:
            self._call("NuvSimHidEchoAddressAfter", hid, command, skip, count, address_delta, hid=hid,
                       command=command, skip=skip, count=count)
        else:
            self._call("NuvSimHidEchoAddress", hid, command, count, address_delta, hid=hid, command=command,
                       count=count)

    def hid_corrupt_flash_read(self, hid: int, count: int = 1, data_byte: int = 0, skip: int = 0) -> None:
        if skip:
            self._call("NuvSimHidCorruptFlashReadAfter", hid, skip, count, data_byte, hid=hid, skip=skip,
                       count=count, dataByte=data_byte)
        else:
            self._call("NuvSimHidCorruptFlashRead", hid, count, data_byte, hid=hid, count=count,
                       dataByte=data_byte)

    def hid_script_reply(self, hid: int, report: bytes) -> None:
        """Queues one reply report, any bytes: the next command is answered
        with exactly these instead of the firmware's reply."""
        data = bytes(report)
        buffer = (ctypes.c_ubyte * max(1, len(data))).from_buffer_copy(data.ljust(1, b"\0"))
        self._call("NuvSimHidScriptReply", hid, buffer, len(data), hid=hid, length=len(data))

    def hid_pause_at(self, hid: int, command: int = -1, skip: int = 0) -> None:
        """Holds the writer of the (skip + 1)-th command with this code inside
        its write until hid_resume()."""
        self._call("NuvSimHidPauseAt", hid, command, skip, hid=hid, command=command, skip=skip)

    def hid_wait_paused(self, hid: int, timeout_ms: int = 60000) -> bool:
        """Waits (in real time, at most timeout_ms) until a writer is held;
        True when one is."""
        return bool(self.lib.NuvSimHidWaitPaused(hid, int(timeout_ms)))

    def hid_resume(self, hid: int) -> None:
        self._call("NuvSimHidResume", hid, hid=hid)

    def hid_clear_faults(self, hid: int) -> None:
        self._call("NuvSimHidClearFaults", hid, hid=hid)

    # Observation of the firmware behind an interface.

    def hid_command_count(self, hid: int) -> int:
        return self.lib.NuvSimHidCommandCount(hid)

    def hid_command_log(self, hid: int) -> list[bytes]:
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

    def hid_clear_command_log(self, hid: int) -> None:
        self._call("NuvSimHidClearCommandLog", hid, hid=hid)

    def flash_peek(self, hid: int, address: int, size: int) -> bytes:
        data = (ctypes.c_ubyte * size)()
        self._call("NuvSimFlashPeek", hid, address, data, size, hid=hid, address=address, size=size)
        return bytes(data)

    def flash_poke(self, hid: int, address: int, data: bytes) -> None:
        data = bytes(data)
        buffer = (ctypes.c_ubyte * len(data)).from_buffer_copy(data)
        self._call("NuvSimFlashPoke", hid, address, buffer, len(data), hid=hid, address=address, size=len(data))

    def flash_used_sectors(self, hid: int) -> int:
        return self.lib.NuvSimFlashUsedSectors(hid)

    def hid_gpio(self, hid: int) -> tuple[int, int]:
        """(direction bits, output latch) of the firmware's GPIO port."""
        direction, output = ctypes.c_int(), ctypes.c_int()
        self._call("NuvSimHidGpio", hid, ctypes.byref(direction), ctypes.byref(output), hid=hid)
        return direction.value, output.value

    def hid_set_gpio_external(self, hid: int, levels: int) -> None:
        self._call("NuvSimHidSetGpioExternal", hid, levels, hid=hid, levels=levels)

    def hid_digital_gains(self, hid: int) -> tuple[int, ...]:
        gains = (ctypes.c_ushort * 4)()
        self._call("NuvSimHidDigitalGains", hid, gains, hid=hid)
        return tuple(gains)

    def hid_shutter(self, hid: int) -> int:
        return self.lib.NuvSimHidShutter(hid)

    def hid_register(self, hid: int, address: int) -> int:
        """The value last written to a sensor register, -1 when none was."""
        return self.lib.NuvSimHidRegister(hid, address)

    def hid_set_temperature(self, hid: int, selector: int, value: int) -> None:
        self._call("NuvSimHidSetTemperature", hid, selector, value, hid=hid, selector=selector, value=value)

    def hid_set_version_text(self, hid: int, text: str) -> None:
        self._call("NuvSimHidSetVersionText", hid, _utf8(text), hid=hid, text=text)

    def hid_set_identity(self, hid: int, recognition: int, usb_mode: int) -> None:
        self._call("NuvSimHidSetIdentity", hid, recognition, usb_mode, hid=hid, recognition=recognition,
                   usbMode=usb_mode)

    # ---- Memory and threads ----

    def fail_allocations(self, skip: int = 0, count: int = 1) -> None:
        """After skip large allocations pass, the next count fail; (0, 0) stops."""
        self.lib.NuvSimFailAllocations(skip, count)

    def live_allocations(self) -> int:
        return self.lib.NuvSimLiveAllocations()

    def fail_thread_creations(self, count: int = 1) -> None:
        self.lib.NuvSimFailThreadCreations(count)

    def hold_new_threads(self, on: bool = True) -> None:
        self.lib.NuvSimHoldNewThreads(1 if on else 0)

    # ---- For test fixtures ----

    def close_cameras(self) -> None:
        """Closes every camera the process opened: the Camera objects still
        open, and any handle opened through the C functions directly."""
        from .camera import close_all
        close_all()
        for handle in range(max(10, self.device_count() + 1)):
            self.lib.NuvClose(handle)


def __getattr__(name: str) -> Any:
    """nuv.sim.add_camera(...) and friends: World methods on the loaded library."""
    if name.startswith("_") or not hasattr(World, name):
        raise AttributeError(f"module 'nuv.sim' has no attribute {name!r}")
    return getattr(World(), name)
