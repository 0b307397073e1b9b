"""Cameras as numpy arrays: devices, formats, and the Camera object."""

from __future__ import annotations

import ctypes
import operator
import os
import re
import threading
import time
import weakref
from typing import Any, Iterator, Mapping, NamedTuple, Optional, Sequence, Union

import numpy as np

from . import _lib
from ._errors import DeviceGoneError, DeviceNotFoundError, NuvError, NuvTimeoutError, describe_call
from .correction import MODE_OF_SIZE, MODES, UNUSED, Shading, shading as make_shading

PathLike = Union[str, "os.PathLike[str]"]

#: Format names NuvOpen accepts (case-sensitive).
FORMATS = ("YUY2", "MJPG", "H264", "IYUV", "RGB24", "RGB32", "I420", "RGB555")

#: The largest firmware image a camera takes: its flash below the parameter
#: block (sector 7, from 0x70000), which an image reaching it would erase.
MAX_FIRMWARE_IMAGE = 0x70000 - 1

#: Camera kinds: 0 for a device named "NUV", 1 for "NUV2".
KINDS = {"NUV": 0, "NUV2": 1}



class Device(NamedTuple):
    """A video-capture device: its position (what Camera.open takes), its
    name, its camera kind (0 "NUV", 1 "NUV2", None for any other device) and
    the serial text of a camera's control interface (None when it has none)."""

    position: int
    name: str
    kind: Optional[int]
    serial: Optional[str]

    @property
    def label(self) -> str:
        """"NUV2#1A2B3C02" for a camera with a serial, else the name."""
        return f"{self.name}#{self.serial}" if self.serial else self.name


class Format(NamedTuple):
    """A stream format a device offers: size, fastest frame rate, format name."""

    width: int
    height: int
    fps: float
    format: str


class Control(NamedTuple):
    """A video property: its current value (None when the camera does not answer) and range."""

    name: str
    value: Optional[int]
    minimum: int
    maximum: int


class _ProgressFields(NamedTuple):
    state: int
    percent: float
    elapsed: int


class Progress(_ProgressFields):
    """One report of a firmware rewrite: state (3 started, 1 writing, 2
    verifying, 0 done), percent (0..100 as people read it: writing up to 50,
    verifying up to 100) and whole seconds elapsed. ``raw`` is the library's
    own value, which ends each phase a little above 50 and 100 when the
    image is not a whole number of 56-byte chunks; it is not part of the
    tuple."""

    _raw: float

    def __new__(cls, state: int, percent: float, elapsed: int, raw: Optional[float] = None) -> "Progress":
        progress = super().__new__(cls, state, percent, elapsed)
        progress._raw = float(percent if raw is None else raw)
        return progress

    @property
    def raw(self) -> float:
        """The library's own percent (may end a phase a little above 50 or 100)."""
        return getattr(self, "_raw", self.percent)

    @classmethod
    def of(cls, state: int, raw: float, elapsed: int) -> "Progress":
        """The report of the library's state, raw percent and elapsed time."""
        return cls(state, shown_percent(state, raw), elapsed, raw)

    def __repr__(self) -> str:
        return f"Progress(state={self.state}, percent={self.percent!r}, elapsed={self.elapsed}, raw={self.raw!r})"


def shown_percent(state: int, raw: float) -> float:
    """The rewrite's progress as people read it, 0..100: the library moves in
    whole 56-byte chunks, so its value ends the write phase a little above 50
    and the verify phase a little above 100 for an image that is not a whole
    number of chunks. Done is 100."""
    if state == 0:
        return 100.0
    limit = 50.0 if state in (1, 3) else 100.0
    return max(0.0, min(float(raw), limit))

# name: (export suffix, minimum, maximum); the exports' own ranges.
CONTROLS = {
    "led": ("Led", 0, 64),
    "color_bar": ("ColorBar", 0, 1),
    "camera_no": ("CameraNo", 1, 2),
    "gain": ("Gain", 0, 240),
    "exposure": ("Exposure", -13, 0),
}

_SERIAL_ENTRY = re.compile(r"^(NUV2?)#([0-9A-Fa-f]{8})$")
_SERIAL_DIGITS = re.compile(r"^[0-9A-Fa-f]{8}$")


def _fail(name: str, args: Sequence[tuple[str, Any]], why: str = "") -> NuvError:
    return NuvError(f"{describe_call(name, args)} failed" + (f": {why}" if why else ""))


def _argument(name: str, args: Sequence[tuple[str, Any]], why: str) -> "ArgumentError":
    return ArgumentError(f"{describe_call(name, args)}: {why}")


class ArgumentError(NuvError, ValueError):
    """An argument the package refuses before it calls the library."""


# ---- Library-wide calls ----------------------------------------------------


def version() -> str:
    """The library's version text ("Version 1.1.0.0\\r\\nDate : ...")."""
    lib = _lib.library()
    buffer = ctypes.create_string_buffer(256)
    if not lib.NuvDLLVersion(buffer, len(buffer)):
        raise _fail("NuvDLLVersion", [("size", len(buffer))])
    return lib.decode(buffer.value)


def _device_list(lib: _lib.Library, name: str) -> list[str]:
    """The names of a device list; grows the buffer until the list fits."""
    function = getattr(lib, name)
    size = 1024
    while True:
        buffer = ctypes.create_string_buffer(size)
        count = function(buffer, size)
        if count >= 0:
            break
        if size >= 1 << 22:
            raise _fail(name, [("size", size)], "the list does not fit even this buffer")
        size *= 8
    if count == 0:
        return []
    names = lib.decode(buffer.value).split(",")
    if len(names) != count:
        raise _fail(name, [("size", size)], f"it counted {count} devices but listed {len(names)}: {names!r}")
    return names


def devices() -> list[Device]:
    """The video-capture devices, in position order, as Device tuples."""
    lib = _lib.library()
    for _ in range(3):
        names = _device_list(lib, "NuvGetDevice")
        entries = _device_list(lib, "NuvGetDeviceWithSerialNo")
        if len(names) == len(entries):
            break
    else:
        raise NuvError("the device list keeps changing between NuvGetDevice and NuvGetDeviceWithSerialNo")
    found = []
    for position, (name, entry) in enumerate(zip(names, entries)):
        kind = KINDS.get(name)
        serial = None
        if kind is not None and entry.startswith(name + "#"):
            serial = entry[len(name) + 1:]
        found.append(Device(position, name, kind, serial))
    return found


def formats(position: int) -> list[Format]:
    """The stream formats of the device at position (0..9), as Format tuples."""
    lib = _lib.library()
    try:
        position = operator.index(position)
    except TypeError:
        raise _argument("NuvGetFormat", [("position", position)], "the position must be an int in 0..9") from None
    if not 0 <= position <= 9:
        raise _argument("NuvGetFormat", [("position", position)], "the position must be an int in 0..9")
    buffer = ctypes.create_string_buffer(4096)  # ten formats of at most 256 characters
    if not lib.NuvGetFormat(position, buffer, len(buffer)):
        listed = len(devices())
        why = (f"there are {listed} devices" if position >= listed
               else "the device could not be enumerated")
        raise _fail("NuvGetFormat", [("position", position)], why)
    fields = lib.decode(buffer.value).split(",")
    result = []
    for i in range(0, len(fields) - 4, 5):
        _, width, height, fps, name = fields[i:i + 5]
        result.append(Format(int(width), int(height), float(fps), name))
    return result


_DIGITS = re.compile(r"^[0-9]+$")


def find_device(selector: Union[int, str]) -> Device:
    """The device a selector names, as nuvctl's -d takes it: a position (an
    int, or its digits), a serial ("NUV2#1A2B3C02" or "1A2B3C02", any case)
    or a name that only one device has ("NUV2"). Raises DeviceNotFoundError
    naming the devices there are."""
    listed = devices()

    def described(found: Sequence[Device]) -> str:
        return "; ".join(f"{d.position}: {d.label}" for d in found) or "no devices"

    if isinstance(selector, bool) or not isinstance(selector, (int, str, np.integer)):
        raise ArgumentError(f"a device is a position, a serial or a name, not {selector!r}")
    text = str(selector).strip()
    if not isinstance(selector, str) or _DIGITS.match(text):
        position = int(text)
        for device in listed:
            if device.position == position:
                return device
        raise DeviceNotFoundError(f"no device at position {position}; the devices are: {described(listed)}")
    wanted = text.upper()
    matches = [d for d in listed if d.serial and wanted in (d.label.upper(), d.serial.upper())]
    if not matches:
        matches = [d for d in listed if d.name == text]
    if len(matches) == 1:
        return matches[0]
    if not matches:
        raise DeviceNotFoundError(f"no device matches {text!r}; the devices are: {described(listed)}")
    raise DeviceNotFoundError(f"{text!r} matches {len(matches)} devices; choose one by position or serial: "
                              f"{described(matches)}")


# ---- Frames ----------------------------------------------------------------


class Frame(np.ndarray):
    """A received frame: a numpy array with the host time it was received
    (``timestamp``, time.monotonic() seconds) and its ``sequence`` number
    (0 for the first frame a Camera object handed out, then 1, 2, ...)."""

    timestamp: Optional[float] = None
    sequence: Optional[int] = None

    def __array_wrap__(self, obj: np.ndarray, context: Any = None, *args: Any) -> Any:
        # A reduction (mean, max, sum, std, ...) is a number about the frame,
        # not a frame: it comes back as a plain numpy scalar, or a plain array
        # for a reduction along an axis. Element-wise results stay frames.
        if obj.ndim == 0:
            return obj[()]
        if context is None and obj.shape != self.shape:
            return obj.view(np.ndarray)
        return super().__array_wrap__(obj, context, *args)

    def __array_finalize__(self, obj: Optional[np.ndarray]) -> None:
        if obj is not None:
            self.timestamp = getattr(obj, "timestamp", None)
            self.sequence = getattr(obj, "sequence", None)


_open_cameras: "weakref.WeakSet[Camera]" = weakref.WeakSet()
# Reentrant: a collection that runs Camera.__del__ may start while this
# thread holds the lock.
_open_lock = threading.RLock()


def close_all() -> None:
    """Closes every Camera this process opened and has not closed."""
    with _open_lock:
        cameras = list(_open_cameras)
    for camera in cameras:
        camera.close()


class Camera:
    """An open camera. Open it with Camera.open(...), use it as a context
    manager, or close() it.

    One thread per camera: the library runs calls on different cameras in
    parallel (ctypes releases the GIL around every call), while calls on one
    Camera object belong to one thread at a time.
    """

    def __init__(self, lib: _lib.Library, handle: int, status: int, name: str, size: tuple[int, int], fps: float,
                 format: str, device: Optional[Device] = None) -> None:
        self._lib = lib
        self.handle = handle
        #: The device name, and the camera kind: 0 "NUV", 1 "NUV2", None.
        self.name = name
        self.kind = KINDS.get(name) if status == 0 else None
        self.width, self.height = size
        self.fps = fps
        self.format = format
        #: Mode index 0..2 of the opened size; None for a video-only device.
        self.mode = MODE_OF_SIZE.get((self.width, self.height)) if self.kind is not None else None
        #: The device as it was listed when the camera was opened.
        self.device = device
        self._closed = False
        self._sequence = 0
        self._scratch: Optional[np.ndarray] = None
        with _open_lock:
            _open_cameras.add(self)

    # ---- Opening and closing ----

    @classmethod
    def open(cls, position: Union[int, str, None] = None, *, serial: Union[int, str, None] = None,
             size: Sequence[int] = (1280, 720), fps: float = 30.0, format: str = "YUY2") -> "Camera":
        """Opens a camera by device position or by serial number.

        position: a device position, or any selector nuvctl's -d takes (see
        find_device): "1", "NUV2#00FF0001", "00FF0001", or a name only one
        device has ("NUV2"); the device found is opened at its position.
        serial: "NUV2#00FF0001" as devices() lists it, or the eight
        hexadecimal digits alone, or the number: the library's own open by
        serial number, which always uses "YUY2". A camera of the library
        ("NUV", "NUV2") opens at 1280x720, 656x408 or 328x204 only.
        """
        lib = _lib.library()
        if (position is None) == (serial is None):
            raise ArgumentError("Camera.open needs a position or a serial number (one of them)")
        width, height = cls._check_size(size)
        fps = float(fps)
        if not fps >= 0.0:
            raise ArgumentError(f"Camera.open: fps must be 0 (the last used rate) or positive, got {fps}")
        if format not in FORMATS:
            raise ArgumentError(f"Camera.open: format {format!r} is not one of {', '.join(FORMATS)} "
                                "(names are case-sensitive)")
        if serial is not None:
            return cls._open_serial(lib, serial, width, height, fps, format)
        device = None
        if isinstance(position, str):
            device = find_device(position)
            position = device.position
        if position is None:  # only with a serial, handled above
            raise ArgumentError("Camera.open needs a position or a serial number")
        try:
            position = operator.index(position)
        except TypeError:
            raise ArgumentError("Camera.open: position must be a device position (an int >= 0) or a serial "
                                f"or name (a str), got {position!r}") from None
        if position < 0:
            raise ArgumentError(f"Camera.open: position must be a device position (an int >= 0), got {position!r}")
        call = [("position", position), ("width", width), ("height", height), ("frameRate", fps),
                ("formatName", format)]
        status = lib.NuvOpen(position, width, height, fps, lib.encode(format, "format name"))
        if status not in (0, 1):
            raise _fail("NuvOpen", call, f"result {status}; " + cls._why_not_opened(position, width, height))
        if device is None:
            device = next((d for d in devices() if d.position == position), None)
        name = device.name if device is not None else ""
        return cls(lib, position, status, name, (width, height), fps, format, device)

    @classmethod
    def _open_serial(cls, lib: _lib.Library, serial: Union[int, str], width: int, height: int, fps: float,
                     format: str) -> "Camera":
        if format != "YUY2":
            raise ArgumentError(f"Camera.open by serial number opens in YUY2 only, not {format!r}")
        entry = cls._serial_entry(serial)
        handle = ctypes.c_int(-1)
        call = [("serial", entry), ("width", width), ("height", height), ("frameRate", fps)]
        status = lib.NuvOpenSerialNo(lib.encode(entry, "serial"), ctypes.byref(handle), width, height, fps)
        if status != 0:
            listed = devices()
            match = [d for d in listed if d.serial is not None and f"{d.name}#{d.serial}" == entry]
            if not match:
                known = ", ".join(f"{d.name}#{d.serial}" for d in listed if d.serial) or "none"
                why = f"no device lists that serial (cameras with serials: {known})"
            else:
                why = (f"the camera at position {match[0].position} did not open or did not confirm its serial "
                       "number; " + cls._why_not_opened(match[0].position, width, height))
            raise _fail("NuvOpenSerialNo", call, f"result {status}; {why}")
        name = entry.split("#", 1)[0]
        device = next((d for d in devices() if d.position == handle.value), None)
        return cls(lib, handle.value, 0, name, (width, height), fps, format, device)

    @staticmethod
    def _serial_entry(serial: Union[int, str]) -> str:
        if isinstance(serial, int):
            if not 0 <= serial <= 0xFFFFFFFF:
                raise ArgumentError(f"Camera.open: serial number {serial} is not a 32-bit number")
            serial = f"{serial:08X}"
        if not isinstance(serial, str):
            raise ArgumentError(f"Camera.open: serial must be a text or a number, got {serial!r}")
        match = _SERIAL_ENTRY.match(serial)
        if match:
            return f"{match.group(1)}#{match.group(2).upper()}"
        if _SERIAL_DIGITS.match(serial):
            digits = serial.upper()
            for device in devices():
                if device.serial == digits:
                    return f"{device.name}#{digits}"
            raise NuvError(f"Camera.open: no device lists the serial number {digits}")
        raise ArgumentError(f"Camera.open: serial {serial!r} is neither \"NUV#XXXXXXXX\", \"NUV2#XXXXXXXX\" "
                            "nor eight hexadecimal digits")

    @staticmethod
    def _check_size(size: Sequence[int]) -> tuple[int, int]:
        try:
            width, height = (int(v) for v in size)
        except (TypeError, ValueError):
            raise ArgumentError(f"Camera.open: size must be (width, height), got {size!r}") from None
        if width <= 0 or height <= 0:
            raise ArgumentError(f"Camera.open: size must be positive, got {size!r}")
        return width, height

    @staticmethod
    def _why_not_opened(position: int, width: int, height: int) -> str:
        listed = devices()
        if position >= len(listed):
            return f"there is no device at position {position} ({len(listed)} devices listed)"
        device = listed[position]
        with _open_lock:
            if any(c.handle == position and not c._closed for c in _open_cameras):
                return f"the camera at position {position} is already open"
        if device.kind is not None and (width, height) not in MODE_OF_SIZE:
            sizes = ", ".join(f"{w}x{h}" for w, h in MODES.values())
            return f"{device.name!r} opens only at {sizes}"
        return (f"the device {device.name!r} did not start streaming at that size, rate and format, "
                "its control channel was not found, or it is open already")

    def close(self) -> None:
        """Switches the LED off and closes the camera; closing twice does nothing."""
        if self._closed:
            return
        self._closed = True
        self._lib.NuvClose(self.handle)
        with _open_lock:
            _open_cameras.discard(self)

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # interpreter shutdown: ctypes may be gone already
            pass

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return (f"<nuv.Camera {state} handle={self.handle} name={self.name!r} "
                f"{self.width}x{self.height} {self.format}>")

    def _check_open(self, what: str) -> None:
        if self._closed:
            raise NuvError(f"{what}: camera {self.handle} is closed")

    # ---- Frames ----

    @property
    def corrected(self) -> bool:
        """True when frames are (height, width) uint16 images: a camera of the
        library opened in "YUY2", whose words the library corrects."""
        return self.kind is not None and self.format == "YUY2" and self.mode is not None

    def buffer_size(self) -> int:
        """Byte length of the camera's most recent frame (0: none, or not streaming)."""
        self._check_open("NuvGetBufferSize")
        return self._lib.NuvGetBufferSize(self.handle)

    def _frame_bytes_limit(self) -> int:
        # The library writes the frame's bytes, and while a correction is on
        # also width x height words: a buffer covers both.
        return self.width * self.height * 4

    def try_read(self, out: Optional[np.ndarray] = None) -> Optional[Frame]:
        """The camera's newest frame if it was not handed out yet, else None
        (out, when given, is then left untouched). Never waits."""
        self._check_open("NuvReceiveImage")
        size = self._lib.NuvGetBufferSize(self.handle)
        if self.corrected:
            words = self.width * self.height
            if size > 2 * words:
                raise NuvError(f"NuvGetBufferSize(handle={self.handle}) reports a frame of {size} bytes, "
                               f"more than a {self.width}x{self.height} image of 16-bit words")
            if out is None:
                if self._scratch is None:
                    self._scratch = np.empty((self.height, self.width), dtype=np.uint16)
                target = self._scratch
            else:
                target = self._check_out(out, (self.height, self.width), np.uint16)
        else:
            needed = max(size, self.width * self.height * 2 if self.kind is not None else 0)
            if out is None:
                if self._scratch is None or self._scratch.nbytes < max(needed, self._frame_bytes_limit()):
                    self._scratch = np.empty(max(2 * needed, self._frame_bytes_limit()), dtype=np.uint8)
                target = self._scratch
            else:
                target = self._check_out(out, None, np.uint8)
                if target.nbytes < needed:
                    raise ArgumentError(f"NuvReceiveImage(handle={self.handle}): out holds {target.nbytes} bytes, "
                                        f"the frame needs {needed}")
        if not self._lib.NuvReceiveImage(self.handle, target.ctypes.data):
            return None
        timestamp = time.monotonic()
        # The frame received is the newest: its length is what the library
        # reports now (a compressed format varies from frame to frame).
        length = self._lib.NuvGetBufferSize(self.handle)
        if self.corrected:
            if length != target.nbytes:
                raise NuvError(f"NuvReceiveImage(handle={self.handle}) handed out a frame of {length} bytes, "
                               f"not a {self.width}x{self.height} image of 16-bit words ({target.nbytes} bytes)")
            frame = target.view(Frame)
            if out is None:
                self._scratch = None  # the caller owns it now
        elif out is None:
            frame = target[:min(length, target.nbytes)].copy().view(Frame)  # the scratch stays for the next
        else:
            frame = target[:min(length, target.nbytes)].view(Frame)
        frame.timestamp = timestamp
        frame.sequence = self._sequence
        self._sequence += 1
        return frame

    def _check_out(self, out: Any, shape: Optional[tuple[int, int]], dtype: Any) -> np.ndarray:
        if not isinstance(out, np.ndarray):
            raise ArgumentError(f"out must be a numpy array, got {type(out).__name__}")
        if out.dtype != dtype or (shape is not None and out.shape != shape) or (shape is None and out.ndim != 1):
            want = f"{shape} {np.dtype(dtype).name}" if shape is not None else f"1-dimensional {np.dtype(dtype).name}"
            raise ArgumentError(f"out must be a {want} array for this camera, got {out.shape} {out.dtype}")
        if not out.flags.c_contiguous or not out.flags.writeable:
            raise ArgumentError("out must be a writeable C-contiguous array (the library writes into it directly)")
        return out

    def read(self, timeout: float = 1.0, out: Optional[np.ndarray] = None) -> Frame:
        """Waits for the camera's next new frame, at most timeout seconds.

        Corrected frames are (height, width) uint16 arrays; other frames are
        uint8 arrays of the frame's bytes. With out the frame is written into
        that array (no copy) and a view of it is returned. In the simulated
        world on its virtual clock the wait advances the clock instead of
        sleeping, so timeout is then virtual time.

        Raises NuvTimeoutError when no new frame came in time, and
        DeviceGoneError instead when the camera is no longer there
        (unplugged): then no frame will ever come.
        """
        timeout = float(timeout)
        lib = self._lib
        if lib.virtual_clock:
            start = lib.NuvSimGetTickCount()
            limit = int(timeout * 1000)
            step = 5
            while True:
                frame = self.try_read(out)
                if frame is not None:
                    return frame
                waited = (lib.NuvSimGetTickCount() - start) & 0xFFFFFFFF
                if waited >= limit:
                    break
                lib.NuvSimAdvanceClock(min(step, limit - waited))
        else:
            deadline = time.monotonic() + timeout
            while True:
                frame = self.try_read(out)
                if frame is not None:
                    return frame
                if time.monotonic() >= deadline:
                    break
                time.sleep(0.002)
        gone = self._gone()
        if gone:
            raise DeviceGoneError(f"NuvReceiveImage(handle={self.handle}): no new frame within {timeout} s, and "
                                  f"the camera is gone: {gone} (unplugged?); close it and open it again once it "
                                  "is back")
        raise NuvTimeoutError(f"NuvReceiveImage(handle={self.handle}): no new frame within {timeout} s")

    def _gone(self) -> str:
        """Why the camera is no longer there, or "" while it is listed: a
        camera with a serial anywhere under that serial, another device at
        its position under its name."""
        device = self.device
        if device is None:
            return ""
        try:
            listed = devices()
        except NuvError:
            return ""
        if device.serial:
            if any(d.serial == device.serial and d.name == device.name for d in listed):
                return ""
            return f"{device.label} is no longer listed"
        if any(d.position == device.position and d.name == device.name for d in listed):
            return ""
        return f"no {device.name!r} is listed at position {device.position} any more"

    def frames(self, count: Optional[int] = None, timeout: float = 1.0) -> Iterator[Frame]:
        """Yields new frames (each a new array), count of them or without end."""
        n = 0
        while count is None or n < count:
            yield self.read(timeout)
            n += 1

    # ---- Video properties ----

    def _get_control(self, name: str) -> int:
        suffix, _, _ = CONTROLS[name]
        call = f"NuvGet{suffix}"
        self._check_open(call)
        value = ctypes.c_int()
        if not getattr(self._lib, call)(self.handle, ctypes.byref(value)):
            raise _fail(call, [("handle", self.handle)],
                        "the camera is not streaming or did not report this property when it was opened")
        return value.value

    def _set_control(self, name: str, value: int) -> None:
        suffix, low, high = CONTROLS[name]
        call = f"NuvSet{suffix}"
        self._check_open(call)
        args = [("handle", self.handle), (name, value)]
        if isinstance(value, bool):
            value = int(value)
        if not isinstance(value, (int, np.integer)) or not low <= value <= high:
            raise _argument(call, args, f"{name} must be an int in {low}..{high}")
        if not getattr(self._lib, call)(self.handle, int(value)):
            raise _fail(call, args, "the camera refused the value (outside its own range), is not streaming, "
                                    "or does not support the property")

    @property
    def led(self) -> int:
        """LED level 0..64 (on the simulated sensor: 4 counts of offset per level)."""
        return self._get_control("led")

    @led.setter
    def led(self, value: int) -> None:
        self._set_control("led", value)

    @property
    def color_bar(self) -> bool:
        """Colour-bar test pattern."""
        return bool(self._get_control("color_bar"))

    @color_bar.setter
    def color_bar(self, on: bool) -> None:
        self._set_control("color_bar", on)

    @property
    def camera_no(self) -> int:
        """Camera number 1 or 2; selects the correction data applied to frames."""
        return self._get_control("camera_no")

    @camera_no.setter
    def camera_no(self, value: int) -> None:
        self._set_control("camera_no", value)

    @property
    def gain(self) -> int:
        """Gain 0..240 (on the simulated sensor: the signal times 1 + gain / 16)."""
        return self._get_control("gain")

    @gain.setter
    def gain(self, value: int) -> None:
        self._set_control("gain", value)

    @property
    def exposure(self) -> int:
        """Exposure -13..0, the log2 of the exposure time in seconds."""
        return self._get_control("exposure")

    @exposure.setter
    def exposure(self, value: int) -> None:
        self._set_control("exposure", value)

    @property
    def controls(self) -> dict[str, Control]:
        """Every video property with its value and range, by name; the value is
        None for a property the camera does not answer."""
        result = {}
        for name, (_, low, high) in CONTROLS.items():
            try:
                value = self._get_control(name)
            except NuvError:
                value = None
            result[name] = Control(name, value, low, high)
        return result

    # ---- Vendor commands ----

    def _command(self, call: str, args: list[tuple[str, Any]], *c_args: Any, why: Optional[str] = None) -> None:
        self._check_open(call)
        if not getattr(self._lib, call)(self.handle, *c_args):
            reason = why or ("the camera has no control channel, did not answer within 5 s, "
                             "or answered with an error status")
            raise _fail(call, [("handle", self.handle)] + args, reason)

    def _byte_command(self, call: str, why: Optional[str] = None) -> int:
        value = ctypes.c_ubyte()
        self._command(call, [], ctypes.byref(value), why=why)
        return value.value

    @staticmethod
    def _check_range(call: str, args: list[tuple[str, Any]], name: str, value: Any, low: int, high: int) -> int:
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or not low <= value <= high:
            raise _argument(call, args, f"{name} must be an int in {low}..{high}")
        return int(value)

    def recognition(self) -> int:
        """The camera's recognition byte."""
        return self._byte_command("NuvCameraRecognition")

    def usb_mode(self) -> int:
        """The camera's USB mode byte."""
        return self._byte_command("NuvUSBMode")

    _GPIO_WHY = "GPIO needs a \"NUV\" camera (kind 0) with its control channel, answering without error"

    def gpio_direction(self, bits: int) -> None:
        """Sets the GPIO port's direction bits (1 = output); "NUV" cameras only."""
        args = [("direction", bits)]
        self._command("NuvGPIODirection", args,
                      self._check_range("NuvGPIODirection", args, "direction", bits, 0, 255), why=self._GPIO_WHY)

    def gpio_output(self, bits: int) -> None:
        """Sets the GPIO port's output latch; "NUV" cameras only."""
        args = [("value", bits)]
        self._command("NuvGPIOOutput", args,
                      self._check_range("NuvGPIOOutput", args, "value", bits, 0, 255), why=self._GPIO_WHY)

    def gpio_input(self) -> int:
        """The GPIO port's input levels; "NUV" cameras only."""
        return self._byte_command("NuvGPIOInput", why=self._GPIO_WHY)

    def temperature(self, selector: int = 1) -> int:
        """Temperature of sensor 1 or 2, 0..255."""
        args = [("selector", selector)]
        self._check_range("NuvTemperature", args, "selector", selector, 1, 2)
        value = ctypes.c_int()
        self._command("NuvTemperature", args, int(selector), ctypes.byref(value))
        return value.value

    @property
    def digital_gain(self) -> tuple[int, int, int, int]:
        """The four 16-bit digital gains, as a tuple."""
        gains = [ctypes.c_ushort() for _ in range(4)]
        self._command("NuvGetDigitalGain", [], *(ctypes.byref(g) for g in gains))
        return gains[0].value, gains[1].value, gains[2].value, gains[3].value

    @digital_gain.setter
    def digital_gain(self, gains: Sequence[int]) -> None:
        gains = tuple(gains)
        args = [("gains", gains)]
        if len(gains) != 4:
            raise _argument("NuvSetDigitalGain", args, "four gains are needed")
        values = [self._check_range("NuvSetDigitalGain", args, "each gain", g, 0, 0xFFFF) for g in gains]
        self._command("NuvSetDigitalGain", args, *values)

    @property
    def shutter(self) -> int:
        """The shutter value, 1..65530."""
        value = ctypes.c_ushort()
        self._command("NuvGetShutter", [], ctypes.byref(value))
        return value.value

    @shutter.setter
    def shutter(self, value: int) -> None:
        args = [("shutter", value)]
        self._command("NuvSetShutter", args, self._check_range("NuvSetShutter", args, "shutter", value, 1, 65530))

    @property
    def serial_number(self) -> int:
        """The serial number stored in the camera (a 32-bit number). Setting it
        rewrites the camera's parameter block."""
        value = ctypes.c_int()
        self._command("NuvGetSerialNo", [], ctypes.byref(value))
        return value.value & 0xFFFFFFFF

    @serial_number.setter
    def serial_number(self, value: int) -> None:
        args = [("serialNo", value)]
        number = self._check_range("NuvSetSerialNo", args, "serialNo", value, 0, 0xFFFFFFFF)
        signed = number - (1 << 32) if number >= 1 << 31 else number
        self._command("NuvSetSerialNo", args, signed)

    def firmware_version(self) -> str:
        """The camera firmware's version text."""
        buffer = ctypes.create_string_buffer(64)
        self._command("NuvVersion", [("size", len(buffer))], buffer, len(buffer))
        return self._lib.decode(buffer.value)

    def set_register(self, address: int, value: int) -> None:
        """Writes the byte value to the sensor register address (16 bits)."""
        args = [("address", address), ("value", value)]
        self._command("NuvSetRegister", args,
                      self._check_range("NuvSetRegister", args, "address", address, 0, 0xFFFF),
                      self._check_range("NuvSetRegister", args, "value", value, 0, 0xFF))

    # ---- Corrections ----

    _CORRECTION_WHY = ("corrections need a \"NUV2\" camera (kind 1) with its control channel "
                       "and parameter block")

    def _correction_target(self, call: str, camera_no: Optional[int],
                           mode: Optional[int]) -> tuple[int, int, list[tuple[str, Any]]]:
        self._check_open(call)
        if camera_no is None:
            camera_no = self.camera_no
        if mode is None:
            if self.mode is None:
                raise _argument(call, [("handle", self.handle)],
                                "this camera has no mode index; name the mode (0..2)")
            mode = self.mode
        args = [("handle", self.handle), ("cameraNo", camera_no), ("mode", mode)]
        self._check_range(call, args, "cameraNo", camera_no, 1, 2)
        self._check_range(call, args, "mode", mode, 0, 2)
        return int(camera_no), int(mode), args

    def get_defects(self, camera_no: Optional[int] = None, mode: Optional[int] = None) -> np.ndarray:
        """The pixel-defect list of a camera number and mode (by default the
        camera's current ones) as a (20, 2) uint16 array of (column, row);
        0xFFFF marks unused entries."""
        camera_no, mode, args = self._correction_target("NuvGetPixelDefect", camera_no, mode)
        entries = np.zeros((20, 2), dtype=np.uint16)
        pointer = entries.ctypes.data_as(_lib.NuvDefectEntry_p)
        if not self._lib.NuvGetPixelDefect(self.handle, camera_no, mode, pointer):
            raise _fail("NuvGetPixelDefect", args, self._CORRECTION_WHY)
        return entries

    def set_defects(self, entries: Any, camera_no: Optional[int] = None, mode: Optional[int] = None) -> None:
        """Stores a pixel-defect list in the camera: up to 20 (column, row)
        pairs, each inside the mode's image or 0xFFFF; missing entries are
        stored as unused."""
        camera_no, mode, args = self._correction_target("NuvSetPixelDefect", camera_no, mode)
        array = np.asarray(entries)
        if array.size == 0:
            array = array.reshape(0, 2)
        if array.ndim != 2 or array.shape[1] != 2 or array.shape[0] > 20:
            raise _argument("NuvSetPixelDefect", args, f"entries must be up to 20 (column, row) pairs, "
                                                       f"got shape {array.shape}")
        if not np.issubdtype(array.dtype, np.integer):
            raise _argument("NuvSetPixelDefect", args, f"entries must be integers, got {array.dtype}")
        width, height = MODES[mode]
        columns, rows = array[:, 0].astype(np.int64), array[:, 1].astype(np.int64)
        bad = (((columns < 0) | (columns >= width)) & (columns != UNUSED)) | \
              (((rows < 0) | (rows >= height)) & (rows != UNUSED))
        if bad.any():
            first = array[np.argmax(bad)].tolist()
            raise _argument("NuvSetPixelDefect", args,
                            f"entry {first} lies outside the {width}x{height} image of mode {mode} "
                            "(and is not 0xFFFF)")
        full = np.full((20, 2), UNUSED, dtype=np.uint16)
        full[:len(array)] = array
        pointer = full.ctypes.data_as(_lib.NuvDefectEntry_p)
        if not self._lib.NuvSetPixelDefect(self.handle, camera_no, mode, pointer):
            raise _fail("NuvSetPixelDefect", args + [("entries", full.tolist())],
                        self._CORRECTION_WHY + ", which must acknowledge the erase and every write")

    def get_shading(self, camera_no: Optional[int] = None, mode: Optional[int] = None) -> Shading:
        """The shading set of a camera number and mode (by default the camera's
        current ones) as a Shading(centre, k2, k1, k0) of plain floats."""
        camera_no, mode, args = self._correction_target("NuvGetShadingCorrection", camera_no, mode)
        arrays = [(ctypes.c_double * n)() for n in (2, 4, 4, 4)]
        if not self._lib.NuvGetShadingCorrection(self.handle, camera_no, mode, *arrays):
            raise _fail("NuvGetShadingCorrection", args, self._CORRECTION_WHY)
        return Shading(*(tuple(a) for a in arrays))

    def set_shading(self, value: Union[Shading, Mapping[str, Any], Sequence[Any]], camera_no: Optional[int] = None,
                    mode: Optional[int] = None) -> None:
        """Stores a shading set (a Shading, or centre/k2/k1/k0 as a mapping) in
        the camera; the set of the opened mode takes effect from the next frame."""
        camera_no, mode, args = self._correction_target("NuvSetShadingCorrection", camera_no, mode)
        try:
            if isinstance(value, dict):
                value = make_shading(value["centre"], value["k2"], value["k1"], value["k0"])
            else:
                value = make_shading(*value)
        except (KeyError, TypeError, ValueError) as error:
            raise _argument("NuvSetShadingCorrection", args, f"not a shading set: {error}") from None
        arrays = [(ctypes.c_double * len(v))(*v) for v in value]
        if not self._lib.NuvSetShadingCorrection(self.handle, camera_no, mode, *arrays):
            raise _fail("NuvSetShadingCorrection", args + [("shading", value)],
                        self._CORRECTION_WHY + ", which must acknowledge the erase and every write")

    @property
    def defects(self) -> np.ndarray:
        """The defect list of the current camera number and opened mode."""
        return self.get_defects()

    @defects.setter
    def defects(self, entries: Any) -> None:
        self.set_defects(entries)

    @property
    def shading(self) -> Shading:
        """The shading set of the current camera number and opened mode."""
        return self.get_shading()

    @shading.setter
    def shading(self, value: Union[Shading, Mapping[str, Any], Sequence[Any]]) -> None:
        self.set_shading(value)

    def _switch(self, call: str) -> bool:
        self._check_open(call)
        value = ctypes.c_int()
        if not getattr(self._lib, call)(self.handle, ctypes.byref(value)):
            raise _fail(call, [("handle", self.handle)], self._SWITCH_WHY)
        return bool(value.value)

    def _set_switch(self, call: str, on: bool) -> None:
        self._check_open(call)
        if not getattr(self._lib, call)(self.handle, 1 if on else 0):
            raise _fail(call, [("handle", self.handle), ("on", bool(on))], self._SWITCH_WHY)

    _SWITCH_WHY = "a \"NUV\" camera (kind 0) has no correction switches"

    @property
    def defect_correction(self) -> bool:
        """Pixel-defect correction of received frames on or off."""
        return self._switch("NuvGetPixelDefectOnOff")

    @defect_correction.setter
    def defect_correction(self, on: bool) -> None:
        self._set_switch("NuvSetPixelDefectOnOff", on)

    @property
    def shading_correction(self) -> bool:
        """Shading correction of received frames on or off."""
        return self._switch("NuvGetShadingCorrectionOnOff")

    @shading_correction.setter
    def shading_correction(self, on: bool) -> None:
        self._set_switch("NuvSetShadingCorrectionOnOff", on)

    # ---- Firmware ----

    def rewrite_firmware(self, path: PathLike, poll_interval: float = 0.1) -> Iterator[Progress]:
        """Writes the firmware image at path to the camera's flash and verifies
        it, yielding Progress(state, percent, elapsed) whenever it changes
        (percent 0..100; Progress.raw is the library's own value); ends after
        the report of state 0 (done), raises NuvError when the job fails. The
        job cannot be cancelled: leaving the loop early waits for the job to
        end. In the simulated world on its virtual clock nothing sleeps in
        real time."""
        call = "NuvSoftRewrite"
        self._check_open(call)
        path = os.fspath(path)
        args = [("handle", self.handle), ("path", path)]
        with open(path, "rb") as image:  # a missing or unreadable file raises here, naming it
            size = image.seek(0, os.SEEK_END)
        if size == 0:
            raise _argument(call, args, "the firmware image is empty")
        if size > MAX_FIRMWARE_IMAGE:
            raise _argument(call, args, f"the firmware image is {size} bytes; the camera takes at most "
                                        f"{MAX_FIRMWARE_IMAGE} (its flash below the parameter block at 0x70000, "
                                        "which holds the serial number and the correction data)")
        encoded = self._lib.encode(path, "path") if _lib.WINDOWS else os.fsencode(path)
        if not self._lib.NuvSoftRewrite(self.handle, encoded):
            raise _fail(call, args, "the camera has no control channel, a rewrite job is running already, "
                                    "the image is too large, or the camera refused the erase")
        return self._rewrite_progress(float(poll_interval))

    def _rewrite_progress(self, poll_interval: float) -> Iterator[Progress]:
        lib = self._lib
        elapsed, percent = ctypes.c_int(), ctypes.c_float()
        last = None
        finished = False
        try:
            while True:
                state = lib.NuvSoftRewriteState(self.handle, ctypes.byref(elapsed), ctypes.byref(percent))
                progress = Progress.of(state, float(percent.value), elapsed.value)
                if state == -1:
                    finished = True
                    raise NuvError(f"firmware rewrite of camera {self.handle} failed at {progress.percent:.1f}% "
                                   f"after {progress.elapsed} s (a chunk was not written or did not read back "
                                   "equal six times in a row): NuvSoftRewriteState returned -1")
                if progress != last:
                    last = progress
                    if state == 0:
                        finished = True
                    yield progress
                if state == 0:
                    finished = True
                    return
                _pause(lib, poll_interval)
        finally:
            # The job's resources are released by the query that sees its
            # final state: a caller that stops early still gets it released.
            while not finished:
                state = lib.NuvSoftRewriteState(self.handle, ctypes.byref(elapsed), ctypes.byref(percent))
                finished = state in (0, -1)
                if not finished:
                    _pause(lib, poll_interval)


def _pause(lib: _lib.Library, seconds: float) -> None:
    """Between two polls of a job that runs on the library's own thread: in
    virtual time only give the processor away (the worker's waits do not
    need the clock moved), in real time sleep."""
    if lib.virtual_clock:
        if hasattr(os, "sched_yield"):
            os.sched_yield()
        else:
            time.sleep(0)
    else:
        time.sleep(seconds)
