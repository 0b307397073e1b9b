"""Exceptions of the nuv package.

The C library reports a failure only through its result (0, -1, or a false
one-byte boolean) and keeps no error text, so every message here is built by
the package: it names the call, what was passed, and what is known about why.
"""

from __future__ import annotations

from typing import Any, Iterable, Tuple


class NuvError(Exception):
    """A call into the nuv library failed, or the package refused a request."""


class LibraryNotFoundError(NuvError, OSError):
    """No library could be loaded: names every place that was tried."""


class MissingFunctionError(NuvError, AttributeError):
    """The loaded library does not export a function the package declares.

    The package still imports and every other function works; only the call
    of the missing one raises this.
    """


class NuvTimeoutError(NuvError, TimeoutError):
    """No new frame (or no final state of a job) arrived within the timeout."""


class DeviceNotFoundError(NuvError, LookupError):
    """No device matches a position, serial or name; names the devices there are."""


class DeviceGoneError(NuvError, ConnectionError):
    """The camera was unplugged (it is no longer listed): no frame will come.

    Raised instead of NuvTimeoutError by Camera.read, so that "gone" can be
    told apart from "no new frame yet"."""


def describe_call(name: str, args: Iterable[Tuple[str, Any]]) -> str:
    """``NuvSetGain(handle=1, gain=300)``: the call as the message shows it."""
    parts = []
    for key, value in args:
        parts.append(f"{key}={value!r}")
    return f"{name}({', '.join(parts)})"
