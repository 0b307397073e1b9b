#!/usr/bin/python3
"""Frames of a nuv camera as numpy arrays, through GStreamer's appsink and
GObject introspection (Debian: python3-gst-1.0, python3-numpy).

    /usr/bin/python3 nuvsrc_numpy.py [--device NUV2] [--frames 10] [--size 1280x720]

Each frame is a (height, width) uint16 array of the camera's corrected
10-bit values (0..1023), the values the library hands out. Without an
installed plugin, GST_PLUGIN_PATH names the folder of libgstnuv.so
(build/native/gst); NUVSRC_LIBRARY (or nuvsrc's library property) chooses
the library: the simulated world unless told otherwise.
"""
import argparse
import sys

import gi
import numpy as np

gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
from gi.repository import Gst, GstApp  # noqa: E402,F401  (GstApp: appsink's own calls)


class PipelineError(RuntimeError):
    pass


def frames(device="NUV2", count=10, width=1280, height=720):
    """Yields (frame, pts in ns, frame number) for count frames."""
    Gst.init(None)
    pipeline = Gst.Pipeline.new("nuvsrc-numpy")
    source = Gst.ElementFactory.make("nuvsrc")
    if source is None:
        raise PipelineError("no element nuvsrc: install the plugin, or set GST_PLUGIN_PATH to the folder of "
                            "libgstnuv.so")
    source.set_property("device", device)
    caps = Gst.ElementFactory.make("capsfilter")
    caps.set_property("caps", Gst.Caps.from_string(
        f"video/x-raw, format=GRAY16_LE, width={width}, height={height}"))
    # A bounded queue that keeps the newest frames: a slow consumer never
    # holds the camera up.
    sink = Gst.ElementFactory.make("appsink")
    sink.set_property("max-buffers", 2)
    sink.set_property("drop", True)
    sink.set_property("sync", False)
    for element in (source, caps, sink):
        pipeline.add(element)
    source.link(caps)
    caps.link(sink)
    pipeline.set_state(Gst.State.PLAYING)
    try:
        for _ in range(count):
            sample = sink.try_pull_sample(10 * Gst.SECOND)
            if sample is None:
                raise PipelineError(_failure(pipeline) or "no frame within 10 s")
            buffer = sample.get_buffer()
            ok, info = buffer.map(Gst.MapFlags.READ)
            if not ok:
                raise PipelineError("a buffer could not be read")
            try:
                frame = np.frombuffer(info.data, dtype="<u2").reshape(height, width).copy()
            finally:
                buffer.unmap(info)
            yield frame, buffer.pts, buffer.offset
    finally:
        pipeline.set_state(Gst.State.NULL)


def _failure(pipeline):
    message = pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR)
    if message is None:
        return None
    error, _ = message.parse_error()
    return error.message


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--device", default="NUV2", help="position, serial or name, as nuvctl -d takes it")
    parser.add_argument("--frames", type=int, default=10)
    parser.add_argument("--size", default="1280x720", help="WxH: 1280x720, 656x408 or 328x204")
    args = parser.parse_args()
    try:
        width, height = (int(v) for v in args.size.lower().split("x"))
    except ValueError:
        parser.error(f"--size expects WxH, e.g. 1280x720, got {args.size!r}")
    try:
        for frame, pts, number in frames(args.device, args.frames, width, height):
            print(f"frame {number}: {frame.shape[1]}x{frame.shape[0]} {frame.dtype}, values {frame.min()}..{frame.max()}, "
                  f"mean {frame.mean():.1f}, at {pts / 1e9:.3f} s", flush=True)
    except PipelineError as error:
        print(f"nuvsrc_numpy: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
