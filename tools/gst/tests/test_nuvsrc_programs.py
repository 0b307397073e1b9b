"""nuvsrc with programs nobody here wrote: gst-inspect-1.0, gst-launch-1.0,
gst-device-monitor-1.0, OpenCV's GStreamer capture, GObject introspection
with appsink, GStreamer's own TCP elements and payloaders, and a lossless
recording. Frames are compared bit for bit with those the library hands out
for the same simulated scene (through the nuv package, in this process).

Run by ctest with GST_PLUGIN_PATH naming the build's plugin folder and
NUV_LIBRARY / NUVSRC_LIBRARY the build's libnuv_sim.so. A program or module
that is not installed skips its test, naming it. Every wait is bounded by
frame counts and timeouts; another process's readiness is read from its
output, never guessed with a sleep.
"""
import os
import queue
import re
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import nuv
import nuv.sim

WIDTH, HEIGHT = 328, 204
FRAME_BYTES = WIDTH * HEIGHT * 2
SIM = os.environ["NUV_LIBRARY"]
OUTPUT = Path(os.environ.get("NUVSRC_TEST_OUTPUT", "."))
EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "nuvsrc_numpy.py"
# The default world's NUV2 camera at its smallest mode, corrected frames.
SOURCE = f"nuvsrc device=NUV2 library={SIM}"
CAPS = f"video/x-raw,format=GRAY16_LE,width={WIDTH},height={HEIGHT}"


def program(name):
    path = shutil.which(name)
    if path is None:
        pytest.skip(f"{name} is not installed (Debian: gstreamer1.0-tools)")
    return path


def element(name):
    if subprocess.run([program("gst-inspect-1.0"), "--exists", name]).returncode != 0:
        pytest.skip(f"GStreamer element {name} is not installed")


def launch(*description, timeout=60):
    """Runs gst-launch-1.0 to its end; its output, or a failure naming it."""
    args = [program("gst-launch-1.0"), "-q", *" ".join(description).split()]
    done = subprocess.run(args, capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"{' '.join(args)}\n{done.stdout}\n{done.stderr}"
    return done


def frames_of(path):
    data = Path(path).read_bytes()
    assert data and len(data) % FRAME_BYTES == 0, f"{path}: {len(data)} bytes is no whole number of frames"
    return [data[i:i + FRAME_BYTES] for i in range(0, len(data), FRAME_BYTES)]


@pytest.fixture
def default_world():
    """The world an application meets (NUV at 0, NUV2 at 1), restored after."""
    world = nuv.sim.World()
    world.close_cameras()
    world.reset_default()
    yield world
    world.close_cameras()
    world.reset_default()


def library_frames(world, count=20, corrected=True):
    """The default world's NUV2 frames as the library hands them out, on the
    virtual clock: one per frame interval from the stream's first."""
    world.use_virtual_clock(True)
    try:
        with nuv.Camera.open(1, size=(WIDTH, HEIGHT), fps=30.0) as cam:
            cam.defect_correction = cam.shading_correction = corrected
            return [cam.read(timeout=5).tobytes() for _ in range(count)]
    finally:
        world.use_virtual_clock(False)


def assert_frames_are_the_librarys(frames, library):
    """Every frame is one the library hands out (the frame counter in the
    first words tells the frames apart), each at most once, in order."""
    known = {frame: i for i, frame in enumerate(library)}
    at = [known.get(bytes(frame), -1) for frame in frames]
    assert -1 not in at, f"frames {[i for i, a in enumerate(at) if a < 0]} are none the library hands out"
    assert at == sorted(at) and len(set(at)) == len(at), f"frames out of order or repeated: library frames {at}"


# ---- the element as GStreamer's own tools see it --------------------------

def test_gst_inspect_shows_the_element_its_properties_and_ranges_without_a_warning():
    done = subprocess.run([program("gst-inspect-1.0"), "nuvsrc"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stderr == "", done.stderr
    text = done.stdout
    for expected in ("Source/Video", "GRAY16_LE", "value-bits", "device", "full-scale", "defect-correction",
                     "shading-correction", "Integer. Range: 0 - 240", "Integer. Range: -13 - 0",
                     "Integer. Range: 1 - 65530", "changeable in NULL, READY, PAUSED or PLAYING state"):
        assert expected in text, expected
    plugin = subprocess.run([program("gst-inspect-1.0"), "nuv"], capture_output=True, text=True, timeout=60)
    assert plugin.returncode == 0 and "nuvdeviceprovider" in plugin.stdout and plugin.stderr == ""


def test_gst_launch_writes_frames_bit_identical_to_the_librarys(default_world, tmp_path):
    out = tmp_path / "frames.raw"
    launch(SOURCE, "num-buffers=8 !", CAPS, "! filesink", f"location={out}")
    frames = frames_of(out)
    assert len(frames) == 8
    assert_frames_are_the_librarys(frames, library_frames(default_world, 40))
    assert max(np.frombuffer(frames[0], "<u2")) <= 1023, "the camera's 10-bit values"


def test_gst_device_monitor_lists_the_cameras_with_a_launch_line():
    done = subprocess.run([program("gst-device-monitor-1.0"), "Video/Source"], capture_output=True, text=True,
                          timeout=60, env={**os.environ, "NUVSRC_LIBRARY": SIM})
    assert done.returncode == 0, done.stderr
    for camera in ("NUV#1A2B3C01", "NUV2#1A2B3C02"):
        assert f"name  : {camera}" in done.stdout, done.stdout
        assert f"gst-launch-1.0 nuvsrc device={camera.split('#')[1]} ! ..." in done.stdout, done.stdout
    assert "format=GRAY16_LE, value-bits=10, width=1280, height=720, framerate=30/1" in done.stdout


def test_the_display_pipeline_shows_a_picture_at_full_scale(tmp_path):
    element("pngenc")
    from PIL import Image  # Debian: python3-pil, as the nuv package's PNG writing

    pictures = {}
    for name, properties in (("10_bit", "full-scale=false"), ("full_scale", "full-scale=true"),
                             ("full_scale_uncorrected", "full-scale=true defect-correction=false "
                                                        "shading-correction=false")):
        png = OUTPUT / f"nuvsrc_display_{name}.png"
        launch(SOURCE, properties, "num-buffers=1 !", CAPS, "! videoconvert ! video/x-raw,format=RGB !",
               "pngenc ! filesink", f"location={png}")
        with Image.open(png) as image:
            assert image.size == (WIDTH, HEIGHT)
            pictures[name] = np.asarray(image.convert("L")).astype(float)
    # The camera's 10-bit values read as 16-bit grey are near black; widened
    # they show the scene: the simulated NUV2's corrected frame is an even
    # grey (about 640 of 1023), its raw frame darkens towards the corners.
    assert pictures["10_bit"].mean() < 8
    assert 140 < pictures["full_scale"].mean() < 180
    raw = pictures["full_scale_uncorrected"]
    corner, centre = raw[4:24, 4:24].mean(), raw[92:112, 154:174].mean()
    assert corner < 0.9 * centre, (corner, centre)


# ---- OpenCV and GObject introspection, in this process ---------------------

def test_opencv_reads_16_bit_frames_equal_to_the_librarys(default_world):
    cv2 = pytest.importorskip("cv2", reason="python3-opencv is not installed")
    capture = cv2.VideoCapture(f"{SOURCE} ! {CAPS} ! appsink max-buffers=4 drop=true", cv2.CAP_GSTREAMER)
    assert capture.isOpened(), "OpenCV could not start the pipeline"
    frames = []
    try:
        for _ in range(6):
            ok, frame = capture.read()
            assert ok, "OpenCV read no frame"
            assert frame.dtype == np.uint16 and frame.shape == (HEIGHT, WIDTH)
            frames.append(frame.astype("<u2").tobytes())
    finally:
        capture.release()
    assert_frames_are_the_librarys(frames, library_frames(default_world, 60))


@pytest.fixture
def gst():
    gi = pytest.importorskip("gi", reason="python3-gi is not installed")
    try:
        gi.require_version("Gst", "1.0")
        gi.require_version("GstApp", "1.0")
    except ValueError as error:
        pytest.skip(f"GStreamer's introspection data is not installed (python3-gst-1.0): {error}")
    from gi.repository import Gst, GstApp  # noqa: F401

    Gst.init(None)
    return Gst


def test_gi_appsink_gives_numpy_frames_equal_to_the_librarys_and_never_stalls(gst, tmp_path):
    """On the virtual clock: each frame comes when the test moves the clock."""
    world = nuv.sim.World()
    world.close_cameras()
    world.reset()
    world.use_virtual_clock(True)
    try:
        camera = world.add_camera("NUV2", serial=0x1A2B3C20)
        assert world.lib.NuvSimSetScene(camera, 400.0) == 1
        assert world.lib.NuvSimSetNoise(camera, 25.0, 3) == 1  # every frame differs
        pipeline = gst.parse_launch(f"nuvsrc library={SIM} device=0 ! {CAPS} ! appsink name=sink sync=false")
        sink = pipeline.get_by_name("sink")
        pipeline.set_state(gst.State.PLAYING)
        frames = []
        try:
            for i in range(20):
                if i > 0:
                    world.advance_clock(34)  # one frame at 30 per second
                sample = sink.try_pull_sample(30 * gst.SECOND)
                assert sample is not None, f"no frame {i}: the pipeline stalled"
                buffer = sample.get_buffer()
                ok, info = buffer.map(gst.MapFlags.READ)
                assert ok
                frames.append(np.frombuffer(info.data, "<u2").reshape(HEIGHT, WIDTH).copy())
                buffer.unmap(info)
        finally:
            pipeline.set_state(gst.State.NULL)
        with nuv.Camera.open(0, size=(WIDTH, HEIGHT), fps=30.0) as cam:
            library = [cam.read(timeout=5).tobytes() for _ in range(40)]
        assert_frames_are_the_librarys([f.tobytes() for f in frames], library)
        assert len({f.tobytes() for f in frames}) == 20
    finally:
        world.close_cameras()
        world.reset_default()


def test_the_numpy_example_prints_frames_and_names_a_failure():
    done = subprocess.run([sys.executable, str(EXAMPLE), "--frames", "3", "--size", f"{WIDTH}x{HEIGHT}"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 3 and all(re.match(r"frame \d+: 328x204 uint16, values \d+\.\.\d+", l) for l in lines), lines
    bad = subprocess.run([sys.executable, str(EXAMPLE), "--device", "NUV7"], capture_output=True, text=True,
                         timeout=60)
    assert bad.returncode == 1
    assert 'nuvsrc_numpy: no device matches "NUV7"; the devices are:' in bad.stderr, bad.stderr


# ---- to another process: over TCP, and through a file ----------------------

def read_lines(stream, lines):
    for line in stream:
        lines.put(line)
    lines.put(None)


def test_frames_sent_over_tcp_to_another_process_arrive_bit_identical(tmp_path):
    for name in ("rtpgstpay", "rtpstreampay", "tcpserversink"):
        element(name)
    sent, received = tmp_path / "sent.raw", tmp_path / "received.raw"
    # The camera's side, as the README has it, on the loopback address; a
    # copy of what it sends goes to a file. Port 0: the system picks one,
    # and gst-launch -v says which.
    sender = subprocess.Popen(
        [program("gst-launch-1.0"), "-v", *f"{SOURCE} num-buffers=40 ! {CAPS} ! tee name=t ! queue ! "
         "rtpgstpay config-interval=1 mtu=60000 ! rtpstreampay ! tcpserversink host=127.0.0.1 port=0 "
         f"t. ! queue ! filesink location={sent}".split()],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines = queue.Queue()
    threading.Thread(target=read_lines, args=(sender.stdout, lines), daemon=True).start()
    output, port = [], None
    try:
        while port is None:
            line = lines.get(timeout=60)
            assert line is not None, "the sender ended before it listened:\n" + "".join(output)
            output.append(line)
            match = re.search(r"tcpserversink0: current-port = (\d+)", line)
            port = int(match.group(1)) if match else None
        # The viewer's side.
        launch(f"tcpclientsrc host=127.0.0.1 port={port} !",
               "application/x-rtp-stream,media=application,clock-rate=90000,encoding-name=X-GST !",
               "rtpstreamdepay ! rtpgstdepay !", CAPS, "! filesink", f"location={received}")
        assert sender.wait(timeout=60) == 0, "".join(output)
    finally:
        sender.kill()
        sender.wait()
    sent_frames, received_frames = frames_of(sent), frames_of(received)
    assert len(sent_frames) == 40
    # The viewer connects while the camera opens; on a busy machine it may
    # join a little late, never midway through a frame.
    assert len(received_frames) >= 20
    assert received_frames == sent_frames[-len(received_frames):]


def test_a_lossless_recording_reads_back_bit_identical(tmp_path):
    for name in ("avenc_ffv1", "avdec_ffv1", "matroskamux", "matroskademux"):
        element(name)
    direct, recording, back = tmp_path / "direct.raw", tmp_path / "recording.mkv", tmp_path / "back.raw"
    launch(SOURCE, "num-buffers=10 !", CAPS, "! tee name=t ! queue ! avenc_ffv1 ! matroskamux ! filesink",
           f"location={recording} t. ! queue ! filesink location={direct}")
    launch(f"filesrc location={recording} ! matroskademux ! avdec_ffv1 !", CAPS, "! filesink", f"location={back}")
    assert frames_of(back) == frames_of(direct)
    assert len(frames_of(back)) == 10
    assert recording.stat().st_size < 10 * FRAME_BYTES, "FFV1 compresses"
