#!/usr/bin/python3
"""Reads a PNG that nuvctl wrote (on Windows, through the OS's imaging
component) as other programs read it, with Pillow, and checks what the
capture promises: 16-bit grey, an sBIT chunk of 10 before the image data,
every sample a 10-bit value widened by bit replication, the frame counter's
dark words at the top left, and then the scene's level.

    check_png.py FILE WIDTH HEIGHT LEVEL
"""

import struct
import sys
import zlib

import numpy as np
from PIL import Image


def chunks(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise SystemExit("not a PNG file")
    position, found = 8, []
    while position < len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        body = data[position + 8:position + 8 + length]
        crc = struct.unpack(">I", data[position + 8 + length:position + 12 + length])[0]
        if zlib.crc32(kind + body) != crc:
            raise SystemExit(f"chunk {kind!r}: bad CRC")
        found.append((kind, body))
        position += 12 + length
    return found


def main(path, width, height, level):
    data = open(path, "rb").read()
    found = chunks(data)
    kinds = [kind for kind, _ in found]
    w, h, depth, colour = struct.unpack(">IIBB", found[0][1][:10])
    if (w, h, depth, colour) != (width, height, 16, 0):
        raise SystemExit(f"header {w}x{h}, depth {depth}, colour type {colour}: not {width}x{height} 16-bit grey")
    if b"sBIT" not in kinds or dict(found)[b"sBIT"] != b"\x0a" or kinds.index(b"sBIT") > kinds.index(b"IDAT"):
        raise SystemExit(f"no sBIT chunk of 10 before the image data: {kinds}")
    samples = np.asarray(Image.open(path)).astype(np.uint32)
    values = samples >> 6
    if not (samples == (values << 6) | (values >> 4)).all():
        raise SystemExit("samples are not 10-bit values widened by bit replication")
    flat = values.reshape(-1)
    if not (flat[:4] < 256).all() or not (flat[4:] == level).all():
        raise SystemExit(f"expected the frame counter, then {level} everywhere: {flat[:8]} ... "
                         f"{np.unique(flat[4:])[:8]}")
    print(f"{path}: {width}x{height} 16-bit grey, sBIT 10, values {level}, counter {flat[:4].tolist()}")


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]))
