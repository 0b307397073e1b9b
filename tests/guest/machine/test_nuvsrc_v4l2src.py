"""nuvsrc over libnuv.so beside GStreamer's own v4l2src, one after the
other on the same video node of the virtual camera (uvcvideo and usbhid on
the project's gadget). Run inside the throw-away guest with NUVSRC_VIDEO
naming the camera's capture node, GST_PLUGIN_PATH the build's plugin folder
and NUV_LIBRARY libnuv.so (for the camera's stored correction data)."""
import os
import subprocess
from pathlib import Path

import numpy as np

import nuv
from nuv import correction

SERIAL = "1A2B3C04"
WIDTH, HEIGHT = 328, 204
FRAME_BYTES = WIDTH * HEIGHT * 2
NODE = os.environ["NUVSRC_VIDEO"]


def launch(description, timeout=120):
    args = ["gst-launch-1.0", "-q", *description.split()]
    done = subprocess.run(args, capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"{description}\n{done.stdout}\n{done.stderr}"


def frames_of(path, count):
    data = Path(path).read_bytes()
    assert len(data) == count * FRAME_BYTES, f"{path}: {len(data)} bytes, not {count} frames"
    return [np.frombuffer(data[i:i + FRAME_BYTES], "<u2").reshape(HEIGHT, WIDTH)
            for i in range(0, len(data), FRAME_BYTES)]


def test_both_deliver_and_nuvsrcs_frames_are_the_correction_of_v4l2srcs_raw_frames(tmp_path):
    raw_path, corrected_path = tmp_path / "v4l2src.raw", tmp_path / "nuvsrc.raw"
    launch(f"v4l2src device={NODE} num-buffers=5 ! video/x-raw,format=YUY2,width={WIDTH},height={HEIGHT} ! "
           f"filesink location={raw_path}")
    launch(f"nuvsrc real=true device={SERIAL} num-buffers=5 ! "
           f"video/x-raw,format=GRAY16_LE,width={WIDTH},height={HEIGHT} ! filesink location={corrected_path}")
    raw, corrected = frames_of(raw_path, 5), frames_of(corrected_path, 5)
    with nuv.Camera.open(serial="NUV2#" + SERIAL, size=(WIDTH, HEIGHT), fps=30.0) as camera:
        defects, shading = camera.get_defects(), camera.get_shading()
    expected = correction.correct(raw[-1], defects, shading)
    # The first words carry each frame's counter; the rest of the scene is
    # the same in every frame.
    for i, frame in enumerate(corrected):
        assert (frame[1:] == expected[1:]).all(), f"nuvsrc frame {i} differs from the corrected v4l2src frame"
    assert not (expected[1:] == raw[-1][1:]).all(), "the stored data changes the frame"
    assert len({f[0, :4].tobytes() for f in corrected}) == 5, "five distinct frames"
