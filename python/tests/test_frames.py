"""Reading frames: new frames only, the caller's array, timeouts, threads."""

import threading

import numpy as np
import pytest

import nuv
from conftest import SMALL, flat, open_pushed


def uncorrected(cam):
    cam.defect_correction = False
    cam.shading_correction = False
    return cam


def test_each_frame_is_handed_out_once_with_its_sequence_and_host_time(nuv2):
    world, device, cam = nuv2
    uncorrected(cam)
    assert cam.try_read() is None
    received = []
    for i in range(1, 4):
        world.push_frame(device, flat(10 * i), 1.0 + i)
        frame = cam.try_read()
        assert frame.shape == (SMALL[1], SMALL[0]) and frame.dtype == np.uint16
        assert (frame == 10 * i).all()
        assert cam.try_read() is None
        received.append(frame)
    assert [f.sequence for f in received] == [1, 2, 3]
    times = [f.timestamp for f in received]
    assert times == sorted(times) and len(set(times)) == 3
    assert not np.shares_memory(received[0], received[1]), "each frame is an array of its own"
    world.push_frame(device, flat(9), 4.0)  # the time of the frame handed out last
    assert cam.try_read() is None


def test_read_into_the_callers_array_without_a_copy(nuv2):
    world, device, cam = nuv2
    uncorrected(cam)
    out = np.zeros((SMALL[1], SMALL[0]), dtype=np.uint16)
    raw = np.arange(out.size, dtype=np.uint16).reshape(out.shape) % 1024
    world.push_frame(device, raw, 2.0)
    frame = cam.read(out=out)
    assert frame.base is out and np.shares_memory(frame, out)
    assert (out == raw).all() and frame.sequence == 1
    out[:] = 5
    assert cam.try_read(out=out) is None and (out == 5).all(), "no new frame leaves the array untouched"


def test_an_unfit_array_is_refused_before_the_library_writes(nuv2):
    world, device, cam = nuv2
    world.push_frame(device, flat(1), 2.0)
    for out, why in [
        (np.zeros((204, 328), dtype=np.int16), "must be a \\(204, 328\\) uint16 array"),
        (np.zeros((328, 204), dtype=np.uint16), "must be a \\(204, 328\\) uint16 array"),
        (np.zeros((204, 656), dtype=np.uint16)[:, ::2], "writeable C-contiguous"),
        ([0] * 10, "must be a numpy array"),
    ]:
        with pytest.raises(nuv.ArgumentError, match=why):
            cam.read(out=out)
    assert cam.read().sequence == 1, "the refused reads consumed nothing"


def test_read_waits_in_virtual_time_and_times_out(nuv2):
    world, device, cam = nuv2
    start = world.tick()
    with pytest.raises(nuv.NuvTimeoutError, match=r"NuvReceiveImage\(handle=1\): no new frame within 0.25 s"):
        cam.read(timeout=0.25)
    assert world.tick() - start == 250


def test_generated_frames_arrive_as_the_virtual_clock_runs(cameras):
    world, _, device = cameras
    with nuv.Camera.open(1, size=SMALL, fps=30) as cam:
        frames = list(cam.frames(count=5))
        assert [f.sequence for f in frames] == [0, 1, 2, 3, 4]
        assert all(f.max() <= 1023 for f in frames)
        before = world.tick()
        cam.read()
        assert 1 <= world.tick() - before <= 40, "one frame interval at 30 frames per second"


def test_two_cameras_read_from_two_threads(nuv_world):
    devices = [nuv_world.add_camera("NUV2", 0x100 + i) for i in range(2)]
    cams = [uncorrected(open_pushed(nuv_world, d, i)) for i, d in enumerate(devices)]
    for cam in cams:
        cam.read()
    errors, seen = [], {0: [], 1: []}
    barrier = threading.Barrier(2)

    def run(index):
        try:
            rng = np.random.default_rng(index)
            barrier.wait()
            for i in range(25):
                raw = rng.integers(0, 1024, (SMALL[1], SMALL[0]), dtype=np.uint16)
                nuv_world.push_frame(devices[index], raw, 1.0 + i)
                frame = cams[index].read(timeout=1.0)
                assert (frame == raw).all(), f"camera {index} frame {i}"
                seen[index].append(frame.sequence)
        except Exception as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    assert seen == {0: list(range(1, 26)), 1: list(range(1, 26))}
    for cam in cams:
        cam.close()


def test_a_raw_format_gives_the_frames_bytes(cameras):
    world, _, device = cameras
    world.add_capability(device, "MJPG", *SMALL, 16, 333333)
    world.push_frame(device, bytes(100), 0.5)
    with nuv.Camera.open(1, size=SMALL, format="MJPG") as cam:
        uncorrected(cam)
        assert not cam.corrected
        cam.read()
        sample = bytes(range(200)) * 30
        world.push_frame(device, sample, 1.0)
        frame = cam.read()
        assert frame.dtype == np.uint8 and frame.tobytes() == sample
        assert cam.buffer_size() == len(sample)


def test_a_short_sample_is_reported_not_handed_out_as_an_image(nuv2):
    world, device, cam = nuv2
    world.push_frame(device, bytes(100), 1.0)
    with pytest.raises(nuv.NuvError, match=r"NuvReceiveImage\(handle=1\) handed out a frame of 100 bytes, "
                                           r"not a 328x204 image of 16-bit words \(133824 bytes\)"):
        cam.read()
    world.push_frame(device, flat(3), 2.0)
    assert cam.read().sequence == 1


def test_reductions_of_a_frame_are_plain_numbers(nuv2):
    world, device, cam = nuv2
    uncorrected(cam)
    world.push_frame(device, flat(300), 1.0)
    frame = cam.read()
    assert isinstance(frame, nuv.Frame) and frame.sequence == 1
    for value in (frame.mean(), frame.max(), frame.min(), frame.sum(), frame.std(), np.mean(frame),
                  np.median(frame)):
        assert not isinstance(value, np.ndarray), type(value)
        assert isinstance(value, np.generic), type(value)
    assert frame.mean() == 300.0 and frame.max() == 300 and frame.max().dtype == np.uint16
    assert f"{frame.mean():.1f}" == "300.0"
    column_means = frame.mean(axis=0)
    assert type(column_means) is np.ndarray and column_means.shape == (SMALL[0],)
    assert isinstance(frame[1:3], nuv.Frame) and frame[1:3].sequence == 1, "a part of the frame is still it"
    assert isinstance(frame + 1, nuv.Frame)


def test_an_unplugged_camera_is_told_apart_from_a_slow_one(cameras):
    world, nuv_device, device = cameras
    with nuv.Camera.open("NUV2", size=SMALL) as cam:
        cam.read()
        world.set_frame_source(device, nuv.sim.NO_FRAMES)
        with pytest.raises(nuv.NuvTimeoutError) as slow:
            cam.read(timeout=0.2)
        assert not isinstance(slow.value, nuv.DeviceGoneError)
        world.unplug_camera(device)
        with pytest.raises(nuv.DeviceGoneError, match=r"NuvReceiveImage\(handle=1\): no new frame within 0.2 s, "
                                                      r"and the camera is gone: NUV2#00FF0001 is no longer listed"):
            cam.read(timeout=0.2)
    with nuv.Camera.open(0, size=SMALL) as cam:
        cam.read()
        world.unplug_camera(nuv_device)
        with pytest.raises(nuv.DeviceGoneError, match="NUV#0012ABCD is no longer listed"):
            cam.read(timeout=0.2)


def test_an_unplugged_video_device_is_gone_as_well(nuv_world):
    webcam = nuv_world.add_device("Webcam")
    nuv_world.clear_capabilities(webcam)
    nuv_world.add_capability(webcam, "YUY2", 64, 48)
    with nuv.Camera.open(0, size=(64, 48)) as cam:
        cam.read()
        nuv_world.unplug_camera(webcam)
        with pytest.raises(nuv.DeviceGoneError, match="no 'Webcam' is listed at position 0 any more"):
            cam.read(timeout=0.2)
