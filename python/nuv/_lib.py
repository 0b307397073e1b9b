"""Loading the nuv library and declaring its C functions for ctypes.

Every function the package may call is declared once, in the tables below:
name, result type, argument types, exactly as include/nuv.h and
include/nuv_sim.h declare them. Adding a function is one line. Functions are
looked up when first used, so a library that lacks one (an older simulator,
or the real nuv.dll, which has no NuvSim... functions) still loads, and only
a call of the missing function raises MissingFunctionError.

ctypes releases the GIL around every call into a CDLL or WinDLL, so one
Python thread per camera runs its calls in parallel with the others.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import struct
import sys
import threading
from pathlib import Path
from typing import Any, Callable, Optional, Union

from ._errors import LibraryNotFoundError, MissingFunctionError, NuvError

WINDOWS = sys.platform == "win32"

# ---- C types ---------------------------------------------------------------

NuvBool = ctypes.c_ubyte  # one byte: 1 success, 0 failure
c_int_p = ctypes.POINTER(ctypes.c_int)
c_uint8_p = ctypes.POINTER(ctypes.c_ubyte)
c_uint16_p = ctypes.POINTER(ctypes.c_ushort)
c_double_p = ctypes.POINTER(ctypes.c_double)
c_float_p = ctypes.POINTER(ctypes.c_float)
c_int64_p = ctypes.POINTER(ctypes.c_longlong)


class NuvDefectEntry(ctypes.Structure):
    """One entry of a pixel-defect list; 0xFFFF in either field: unused."""

    _fields_ = [("column", ctypes.c_ushort), ("row", ctypes.c_ushort)]


assert ctypes.sizeof(NuvDefectEntry) == 4
NuvDefectEntry_p = ctypes.POINTER(NuvDefectEntry)

_B, _I, _U, _D = NuvBool, ctypes.c_int, ctypes.c_uint, ctypes.c_double
_S, _V = ctypes.c_char_p, ctypes.c_void_p

# ---- include/nuv.h: the 43 exports -----------------------------------------

NUV_FUNCTIONS = (
    ("NuvDLLVersion", _B, (_S, _I)),
    ("NuvGetBufferSize", _I, (_I,)),
    ("NuvGetDevice", _I, (_S, _I)),
    ("NuvGetDeviceWithSerialNo", _I, (_S, _I)),
    ("NuvGetFormat", _B, (_I, _S, _I)),
    ("NuvOpen", _I, (_I, _I, _I, _D, _S)),
    ("NuvReceiveImage", _B, (_I, _V)),
    ("NuvClose", None, (_I,)),
    ("NuvOpenSerialNo", _I, (_S, c_int_p, _I, _I, _D)),
    ("NuvSetLed", _B, (_I, _I)),
    ("NuvGetLed", _B, (_I, c_int_p)),
    ("NuvSetGain", _B, (_I, _I)),
    ("NuvGetGain", _B, (_I, c_int_p)),
    ("NuvSetExposure", _B, (_I, _I)),
    ("NuvGetExposure", _B, (_I, c_int_p)),
    ("NuvSetCameraNo", _B, (_I, _I)),
    ("NuvGetCameraNo", _B, (_I, c_int_p)),
    ("NuvSetColorBar", _B, (_I, _I)),
    ("NuvGetColorBar", _B, (_I, c_int_p)),
    ("NuvCameraRecognition", _B, (_I, c_uint8_p)),
    ("NuvUSBMode", _B, (_I, c_uint8_p)),
    ("NuvGPIODirection", _B, (_I, _I)),
    ("NuvGPIOOutput", _B, (_I, _I)),
    ("NuvGPIOInput", _B, (_I, c_uint8_p)),
    ("NuvTemperature", _B, (_I, _I, c_int_p)),
    ("NuvSetDigitalGain", _B, (_I, _I, _I, _I, _I)),
    ("NuvGetDigitalGain", _B, (_I, c_uint16_p, c_uint16_p, c_uint16_p, c_uint16_p)),
    ("NuvSetShutter", _B, (_I, _I)),
    ("NuvGetShutter", _B, (_I, c_uint16_p)),
    ("NuvSetSerialNo", _B, (_I, _I)),
    ("NuvGetSerialNo", _B, (_I, c_int_p)),
    ("NuvVersion", _B, (_I, _S, _I)),
    ("NuvSetRegister", _B, (_I, _I, _I)),
    ("NuvSetPixelDefect", _B, (_I, _I, _I, NuvDefectEntry_p)),
    ("NuvGetPixelDefect", _B, (_I, _I, _I, NuvDefectEntry_p)),
    ("NuvSetPixelDefectOnOff", _B, (_I, _I)),
    ("NuvGetPixelDefectOnOff", _B, (_I, c_int_p)),
    ("NuvSetShadingCorrection", _B, (_I, _I, _I, c_double_p, c_double_p, c_double_p, c_double_p)),
    ("NuvGetShadingCorrection", _B, (_I, _I, _I, c_double_p, c_double_p, c_double_p, c_double_p)),
    ("NuvSetShadingCorrectionOnOff", _B, (_I, _I)),
    ("NuvGetShadingCorrectionOnOff", _B, (_I, c_int_p)),
    ("NuvSoftRewrite", _B, (_I, _S)),
    ("NuvSoftRewriteState", _I, (_I, c_int_p, c_float_p)),
)

# ---- include/nuv_sim.h: the simulated world's control API ------------------

SIM_FUNCTIONS = (
    # World
    ("NuvSimReset", None, ()),
    ("NuvSimResetDefault", None, ()),
    ("NuvSimAddDevice", _I, (_S, _I)),
    ("NuvSimRemoveDevice", _B, (_I,)),
    ("NuvSimDeviceCount", _I, ()),
    ("NuvSimLiveComObjects", _I, ()),
    ("NuvSimLiveComInits", _I, ()),
    ("NuvSimOpenHandles", _I, ()),
    ("NuvSimComInitialize", _I, (_I,)),
    ("NuvSimComUninitialize", None, ()),
    # Clock
    ("NuvSimUseVirtualClock", None, (_I,)),
    ("NuvSimGetTickCount", _U, ()),
    ("NuvSimSetClock", None, (_U,)),
    ("NuvSimAdvanceClock", None, (_U,)),
    # Control channel
    ("NuvSimAddHidInterface", _I, (_S, _S, _S, _U, _I, _I)),
    ("NuvSimRemoveHidInterface", _B, (_I,)),
    ("NuvSimAttachHidInterface", _B, (_I, _I)),
    ("NuvSimCameraHidInterface", _I, (_I,)),
    ("NuvSimHidInterfaceCount", _I, ()),
    ("NuvSimSetHidReportLengths", _B, (_I, _I, _I)),
    ("NuvSimHidOpenFlags", _I, (_I,)),
    ("NuvSimLiveHidPreparsedData", _I, ()),
    ("NuvSimHidFailWrites", _B, (_I, _I)),
    ("NuvSimHidFailWritesAfter", _B, (_I, _I, _I)),
    ("NuvSimHidDropReplies", _B, (_I, _I, _I)),
    ("NuvSimHidReplyStatus", _B, (_I, _I, _I, _I)),
    ("NuvSimHidReplyMismatched", _B, (_I, _I, _I, _I, _I, _I)),
    ("NuvSimHidReplyLate", _B, (_I, _I, _I, _U)),
    ("NuvSimHidEchoAddress", _B, (_I, _I, _I, _I)),
    ("NuvSimHidCorruptFlashRead", _B, (_I, _I, _I)),
    ("NuvSimHidDropRepliesAfter", _B, (_I, _I, _I, _I)),
    ("NuvSimHidReplyStatusAfter", _B, (_I, _I, _I, _I, _I)),
    ("NuvSimHidEchoAddressAfter", _B, (_I, _I, _I, _I, _I)),
    ("NuvSimHidCorruptFlashReadAfter", _B, (_I, _I, _I, _I)),
    ("NuvSimHidScriptReply", _B, (_I, c_uint8_p, _I)),
    ("NuvSimHidPauseAt", _B, (_I, _I, _I)),
    ("NuvSimHidWaitPaused", _B, (_I, _U)),
    ("NuvSimHidResume", _B, (_I,)),
    ("NuvSimHidClearFaults", _B, (_I,)),
    ("NuvSimHidCommandCount", _I, (_I,)),
    ("NuvSimHidCommandReport", _I, (_I, _I, c_uint8_p, _I)),
    ("NuvSimHidClearCommandLog", _B, (_I,)),
    ("NuvSimFlashPeek", _B, (_I, _U, c_uint8_p, _I)),
    ("NuvSimFlashPoke", _B, (_I, _U, c_uint8_p, _I)),
    ("NuvSimFlashUsedSectors", _I, (_I,)),
    ("NuvSimHidGpio", _B, (_I, c_int_p, c_int_p)),
    ("NuvSimHidSetGpioExternal", _B, (_I, _I)),
    ("NuvSimHidDigitalGains", _B, (_I, c_uint16_p)),
    ("NuvSimHidShutter", _I, (_I,)),
    ("NuvSimHidRegister", _I, (_I, _I)),
    ("NuvSimHidSetTemperature", _B, (_I, _I, _I)),
    ("NuvSimHidSetVersionText", _B, (_I, _S)),
    ("NuvSimHidSetIdentity", _B, (_I, _I, _I)),
    # Memory and threads
    ("NuvSimFailAllocations", None, (_I, _I)),
    ("NuvSimLiveAllocations", _I, ()),
    ("NuvSimFailThreadCreations", None, (_I,)),
    ("NuvSimHoldNewThreads", None, (_I,)),
    # Framework and device-service calls
    ("NuvSimFailCall", _B, (_S, ctypes.c_longlong, _I, _I)),
    ("NuvSimClearCallFaults", None, ()),
    # Video devices
    ("NuvSimAddCamera", _I, (_S, _U, _I)),
    ("NuvSimUnplugCamera", _B, (_I,)),
    ("NuvSimSetInstanceKey", _B, (_I, _S)),
    ("NuvSimGetInstanceKey", _B, (_I, _S, _I)),
    ("NuvSimGetParentInstanceId", _B, (_I, _S, _I)),
    ("NuvSimSetDisplayName", _B, (_I, _S)),
    ("NuvSimSetFriendlyName", _B, (_I, _S)),
    ("NuvSimSetFilterFails", _B, (_I, _I)),
    ("NuvSimClearCapabilities", _B, (_I,)),
    ("NuvSimAddCapability", _I, (_I, _S, _I, _I, _I, ctypes.c_longlong, _I)),
    ("NuvSimSetCapabilitySize", _B, (_I, _I)),
    ("NuvSimGetDeviceFormat", _B, (_I, c_int_p, c_int_p, c_int64_p, c_uint8_p)),
    ("NuvSimSetVideoProperty", _B, (_I, _I, _I, _I, _I, _I)),
    ("NuvSimGetVideoProperty", _B, (_I, _I, c_int_p)),
    ("NuvSimSetFrameSource", _B, (_I, _I)),
    ("NuvSimPushFrame", _B, (_I, _V, _I, _D)),
    ("NuvSimFramesDelivered", ctypes.c_longlong, (_I,)),
    ("NuvSimRunningStreams", _I, (_I,)),
    ("NuvSimSetRunFails", _B, (_I, _I)),
    ("NuvSimFailBuildStep", _B, (_I, _I)),
    ("NuvSimFailBuildStepAfter", _B, (_I, _I, _I)),
    ("NuvSimFailBuildStepNamed", _B, (_S, _I)),
    ("NuvSimClearBuildFaults", None, ()),
    ("NuvSimLiveDeviceInfoSets", _I, ()),
    # Optics
    ("NuvSimSetScene", _B, (_I, _D)),
    ("NuvSimSetLens", _B, (_I, _D, _D, _D, c_double_p)),
    ("NuvSimAddSensorDefect", _B, (_I, _D, _D, _I)),
    ("NuvSimClearSensorDefects", _B, (_I,)),
    ("NuvSimSetNoise", _B, (_I, _D, _U)),
    ("NuvSimSetShotNoise", _B, (_I, _D)),
)

DECLARATIONS = {name: (restype, argtypes) for name, restype, argtypes in NUV_FUNCTIONS + SIM_FUNCTIONS}


class Library:
    """One loaded nuv library (nuv.dll, nuv_sim.dll or libnuv_sim.so).

    Attribute access gives the declared C function: ``lib.NuvGetBufferSize(0)``.
    """

    def __init__(self, path: Union[str, "os.PathLike[str]"], *, stdcall: bool = WINDOWS,
                 encoding: Optional[str] = None) -> None:
        self.path = str(path)
        try:
            # WinDLL exists on Windows only; asking for stdcall elsewhere fails
            # as the missing name.
            loader = getattr(ctypes, "WinDLL") if stdcall else ctypes.CDLL
            self._dll = loader(self.path)
        except OSError as error:
            hint = ""
            if WINDOWS and getattr(error, "winerror", None) == 193:
                bits = struct.calcsize("P") * 8
                hint = (f"; this is a {bits}-bit Python and the DLL is built for another word size "
                        "(nuv.dll is 32-bit: use a 32-bit Python)")
            raise LibraryNotFoundError(f"cannot load the nuv library {self.path}: {error}{hint}") from error
        # Texts the library lists (device names, formats) and takes (format
        # names, serial entries, paths) are in the process's ANSI code page on
        # Windows; the simulated world's ANSI code page is Latin-1.
        self.text_encoding = encoding or ("mbcs" if WINDOWS else "latin-1")
        # Whether the simulated clock runs in virtual time, as far as calls
        # made through this object have set it (a reset restores real time).
        self.virtual_clock = False
        self._lock = threading.Lock()

    def __repr__(self) -> str:
        return f"<nuv library {self.path}>"

    def has(self, name: str) -> bool:
        """True when the library exports the function ``name``."""
        try:
            getattr(self._dll, name)
        except AttributeError:
            return False
        return True

    @property
    def is_simulated(self) -> bool:
        """True for a library with the simulated world's control API."""
        return self.has("NuvSimReset")

    def __getattr__(self, name: str) -> Callable[..., Any]:
        if name.startswith("_"):
            raise AttributeError(name)
        declared = DECLARATIONS.get(name)
        if declared is None:
            raise AttributeError(f"the nuv package declares no function {name!r}")
        try:
            function = getattr(self._dll, name)
        except AttributeError:
            function = _missing_function(name, self.path)
        else:
            function.restype, argtypes = declared
            function.argtypes = list(argtypes)
            function = _CLOCK_TRACKERS.get(name, lambda lib, f: f)(self, function)
        self.__dict__[name] = function
        return function

    # Text conversion for the library's own texts.
    def encode(self, text: str, what: str) -> bytes:
        try:
            return text.encode(self.text_encoding)
        except UnicodeEncodeError as error:
            raise NuvError(f"{what} {text!r} cannot be written in the library's code page "
                           f"({self.text_encoding}): {error}") from error

    def decode(self, data: bytes) -> str:
        return data.decode(self.text_encoding, errors="replace")


def _missing_function(name, path):
    def missing(*args):
        raise MissingFunctionError(f"{name} is not exported by the loaded library {path} "
                                   "(an older build, or a library without the simulated world)")

    missing.__name__ = name
    return missing


def _track(after):
    """Wraps a clock or reset call so that the Library object knows the clock."""

    def wrap(lib, function):
        def call(*args):
            result = function(*args)
            after(lib, *args)
            return result

        call.__name__ = function.__name__
        return call

    return wrap


def _set_virtual(lib, on):
    lib.virtual_clock = bool(on)


_CLOCK_TRACKERS = {
    "NuvSimUseVirtualClock": _track(_set_virtual),
    "NuvSimReset": _track(lambda lib: _set_virtual(lib, False)),
    "NuvSimResetDefault": _track(lambda lib: _set_virtual(lib, False)),
}

# ---- Finding the library ---------------------------------------------------


def library_names(sim: bool) -> list[str]:
    if WINDOWS:
        return ["nuv_sim.dll"] if sim else ["nuv.dll"]
    if sys.platform == "darwin":
        return ["libnuv_sim.dylib"] if sim else ["libnuv.dylib"]
    return ["libnuv_sim.so"] if sim else ["libnuv.so"]


def candidate_paths(sim: bool) -> list[Path]:
    """Where the package looks for the library, in order: the build tree of the
    source checkout it sits in, then the installed locations."""
    package = Path(__file__).resolve().parent
    checkout = package.parent.parent  # python/nuv -> the repository
    names = library_names(sim)
    if WINDOWS:
        build = ["win32", "win64"] if struct.calcsize("P") == 4 else ["win64", "win32"]
        dirs = [checkout / "build" / b for b in build]
        dirs += [package, package.parent, Path(sys.prefix) / "bin", Path(sys.prefix) / "DLLs"]
    else:
        dirs = [checkout / "build" / "native"]
        # cmake --install puts the package in <prefix>/lib/python3/dist-packages
        # and the library in <prefix>/lib.
        dirs += [package.parents[2], Path(sys.prefix) / "lib", Path("/usr/local/lib"), Path("/usr/lib")]
    return [d / n for d in dirs for n in names]


def _system_library(sim: bool) -> Optional[str]:
    """The library as the system's loader knows it (ldconfig), or None."""
    if WINDOWS:
        return None
    return ctypes.util.find_library(library_names(sim)[0].replace("lib", "", 1).split(".")[0])


_loaded: Optional[Library] = None
_load_lock = threading.Lock()


def load(path: Union[str, "os.PathLike[str]", None] = None, *, sim: Optional[bool] = None,
         encoding: Optional[str] = None) -> Library:
    """Loads the nuv library and makes it the one the package uses.

    ``path``: an explicit library file. Without it the environment variable
    NUV_LIBRARY names the file; without that the package looks in the build
    tree of its checkout and then in the installed locations. ``sim``: on
    Linux the simulated world (libnuv_sim) unless False; on Windows the real
    nuv.dll unless True. ``encoding``: the code page of the library's texts
    (default: the process code page on Windows, Latin-1 elsewhere).
    """
    global _loaded
    if sim is None:
        sim = not WINDOWS
    tried = []
    if path is None:
        path = os.environ.get("NUV_LIBRARY") or None
        if path is not None:
            tried.append(f"{path} (NUV_LIBRARY)")
    if path is not None:
        if not Path(path).exists() and ("/" in str(path) or os.sep in str(path)):
            raise LibraryNotFoundError(f"the nuv library {path} does not exist")
        library = Library(path, encoding=encoding)
    else:
        candidates = candidate_paths(sim)
        found = next((p for p in candidates if p.exists()), None) or _system_library(sim)
        if found is None:
            tried += [str(p) for p in candidates]
            raise LibraryNotFoundError(
                "no nuv library found; looked for " + ", ".join(tried)
                + ". Build it (cmake --build build/native --target nuv_sim), "
                "or name it with nuv.load(path) or the environment variable NUV_LIBRARY")
        library = Library(found, encoding=encoding)
    with _load_lock:
        _loaded = library
    return library


def library() -> Library:
    """The library the package uses, loaded on first use (see load())."""
    current = _loaded
    if current is not None:
        return current
    with _load_lock:
        if _loaded is not None:
            return _loaded
    return load()
