"""nuv: USB cameras of the NUV family as numpy arrays.

A pure-Python binding (ctypes, no build step) of the nuv library:

    import nuv
    print(nuv.devices())
    with nuv.Camera.open(1, size=(656, 408)) as cam:
        frame = cam.read()          # (408, 656) uint16, corrected, 0..1023

The library is found by an explicit nuv.load(path), else the environment
variable NUV_LIBRARY, else the build tree of this checkout, else the
installed location; on Linux that is the simulated world (libnuv_sim), whose
control API is nuv.sim (imported with the package).

Threads: ctypes releases the GIL around every library call, so one Python
thread per camera reads frames in parallel with the others.
"""

from . import correction, sim
from ._errors import (DeviceGoneError, DeviceNotFoundError, LibraryNotFoundError, MissingFunctionError, NuvError,
                      NuvTimeoutError)
from ._lib import Library, library, load
from .camera import (CONTROLS, FORMATS, MAX_FIRMWARE_IMAGE, ArgumentError, Camera, Control, Device, Format, Frame,
                     Progress, close_all, devices, find_device, formats, shown_percent, version)
from .correction import MODES, Shading
from .png import save_png

__all__ = [
    "ArgumentError", "CONTROLS", "Camera", "Control", "Device", "DeviceGoneError", "DeviceNotFoundError",
    "FORMATS", "Format", "Frame", "Library", "LibraryNotFoundError", "MAX_FIRMWARE_IMAGE", "MODES",
    "MissingFunctionError", "NuvError", "NuvTimeoutError", "Progress", "Shading", "close_all", "correction",
    "devices", "find_device", "formats", "library", "load", "save_png", "shown_percent", "sim", "version",
]
