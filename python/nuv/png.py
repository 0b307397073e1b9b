"""16-bit greyscale PNG files of frames, with their significant bits.

Corrected frames hold 10-bit values in 16-bit words. The file stores the
words as they are (no scaling) and says in its sBIT chunk how many bits are
significant, so image programs can scale for display while measurement
programs read the camera's own values. Written with Pillow (Debian's
python3-pil).
"""

import numpy as np

from ._errors import NuvError


def save_png(path, image, significant_bits=10):
    """Writes a (height, width) uint16 image as a 16-bit greyscale PNG."""
    try:
        from PIL import Image, PngImagePlugin
    except ImportError as error:  # pragma: no cover - depends on the machine
        raise NuvError("writing PNG files needs Pillow (Debian: apt-get install python3-pil)") from error
    array = np.asarray(image)
    if array.ndim != 2 or array.dtype != np.uint16:
        raise ValueError(f"a 16-bit PNG needs a (height, width) uint16 array, got {array.dtype} {array.shape}")
    if not 1 <= significant_bits <= 16:
        raise ValueError(f"significant_bits must lie in 1..16, got {significant_bits}")
    if significant_bits < 16 and int(array.max(initial=0)) >> significant_bits:
        raise ValueError(f"the image holds {int(array.max())}, more than {significant_bits} significant bits")
    info = PngImagePlugin.PngInfo()
    info.add(b"sBIT", bytes([significant_bits]))
    picture = Image.fromarray(np.ascontiguousarray(array, dtype="<u2"), mode="I;16")
    picture.save(path, format="PNG", pnginfo=info)
