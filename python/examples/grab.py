#!/usr/bin/python3
"""Opens a camera, grabs frames, shows how even they are with and without the
corrections, and saves the last corrected frame as a 16-bit PNG.

    python3 python/examples/grab.py                     # the first "NUV2" camera
    python3 python/examples/grab.py --serial NUV2#00FF0001 --frames 20 --png frame.png

Spread is the standard deviation of a frame's pixel values over their mean:
shading correction flattens the lens fall-off, so the corrected spread is
the smaller one on an evenly lit scene. On the simulated world (Linux, or
NUV_LIBRARY naming nuv_sim) it runs without a camera.
"""

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # the package beside this folder

import numpy as np  # noqa: E402

import nuv  # noqa: E402
from nuv.correction import spread  # noqa: E402


def choose(args):
    if args.serial is not None:
        return {"serial": args.serial}
    if args.position is not None:
        return {"position": args.position}
    cameras = [d for d in nuv.devices() if d.kind == 1]
    if not cameras:
        raise nuv.NuvError(f"no \"NUV2\" camera attached (devices: {nuv.devices()})")
    return {"position": cameras[0].position}


def grab(cam, count, progress):
    """count frames, averaged in float64."""
    total = None
    for i, frame in enumerate(cam.frames(count, timeout=5.0)):
        total = frame.astype(np.float64) if total is None else total + frame
        if progress:
            print(f"\r  frame {i + 1}/{count}", end="", file=sys.stderr, flush=True)
    if progress:
        print(file=sys.stderr)
    return total / count, frame


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--position", type=int, help="device position (default: the first NUV2 camera)")
    parser.add_argument("--serial", help="serial entry, e.g. NUV2#00FF0001")
    parser.add_argument("--size", default="656x408", help="1280x720, 656x408 or 328x204")
    parser.add_argument("--frames", type=int, default=10, help="frames to grab for each measurement")
    parser.add_argument("--png", type=Path, default=Path("frame.png"), help="where to save the last frame")
    args = parser.parse_args(argv)
    progress = sys.stderr.isatty()
    try:
        width, height = (int(v) for v in args.size.lower().split("x"))
        if args.frames < 1:
            raise ValueError("--frames must be at least 1")
    except ValueError as error:
        parser.error(f"bad --size or --frames: {error}")
    try:
        with nuv.Camera.open(size=(width, height), **choose(args)) as cam:
            print(f"{cam.name} at position {cam.handle}, serial {cam.serial_number:08X}, {width}x{height}")
            cam.defect_correction = cam.shading_correction = False
            raw, _ = grab(cam, args.frames, progress)
            cam.defect_correction = cam.shading_correction = True
            corrected, last = grab(cam, args.frames, progress)
            print(f"spread raw {spread(raw):.4f}  corrected {spread(corrected):.4f}  "
                  f"(mean {raw.mean():.1f} -> {corrected.mean():.1f})")
            nuv.save_png(args.png, last, significant_bits=10)
            print(f"saved frame {last.sequence} to {args.png} (16-bit, 10 significant bits)")
    except (nuv.NuvError, OSError) as error:
        print(f"grab: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
