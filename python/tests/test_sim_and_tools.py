"""The pytest fixture for people's own tests, the simulated world's API, the
PNG writer and the example script."""

import os
import re
import struct
import subprocess
import sys
import textwrap
import zlib

import numpy as np
import pytest
from PIL import Image

import nuv
from conftest import PACKAGE_ROOT, SMALL

sys.path.insert(0, str(PACKAGE_ROOT / "examples"))
import grab  # noqa: E402


def test_the_fixture_isolates_each_test_of_a_users_suite(tmp_path):
    (tmp_path / "conftest.py").write_text('pytest_plugins = ["nuv.pytest_plugin"]\n')
    (tmp_path / "test_user.py").write_text(textwrap.dedent("""
        import nuv

        def test_leaves_a_camera_open(nuv_world):
            nuv_world.add_camera("NUV2", 0x42)
            nuv_world.push_frame(1, bytes(328 * 204 * 2), 0.5)
            nuv.Camera.open(0, size=(328, 204))  # never closed
            nuv_world.fail_build_step("Run", -1)  # never cleared

        def test_starts_empty_on_the_virtual_clock(nuv_world):
            assert nuv.devices() == []
            assert nuv_world.virtual_clock
            assert all(count == 0 for count in nuv_world.held().values())
            start = nuv_world.tick()
            nuv_world.advance_clock(3_600_000)
            assert nuv_world.tick() - start == 3_600_000
            nuv_world.add_camera("NUV", 7)
            with nuv.Camera.open(0, size=(328, 204)) as cam:  # no build fault left over
                assert cam.read().shape == (204, 328)

        def test_the_application_world_is_back_afterwards():
            assert [d.name for d in nuv.devices()] == ["NUV", "NUV2"]
    """))
    environment = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT), NUV_LIBRARY=nuv.library().path,
                       PYTHONDONTWRITEBYTECODE="1")
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(tmp_path)],
                            capture_output=True, text=True, env=environment, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "3 passed" in result.stdout


def test_the_world_records_what_the_library_sends(nuv2):
    world, device, cam = nuv2
    hid = world.camera_hid(device)
    world.hid_clear_command_log(hid)
    cam.shutter = 0x1234
    log = world.hid_command_log(hid)
    assert len(log) == 1 and log[0][0] == 0  # report ID 0, then the command block
    assert log[0][2] == 0x32 and log[0][3:5] == bytes([0x12, 0x34])
    world.flash_poke(hid, 0x100000, b"\x01\x02\x03")
    assert world.flash_peek(hid, 0x100000, 3) == b"\x01\x02\x03"
    assert world.device_format(device)[:3] == (SMALL[0], SMALL[1], 333333)
    with pytest.raises(nuv.NuvError, match=r"NuvSimPushFrame\(deviceId=99, length=4, sampleTime=1.0\) failed"):
        world.push_frame(99, b"\0\0\0\0", 1.0)
    assert nuv.sim.device_count() == 2, "module-level functions act on the same world"


def png_chunks(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    position, chunks = 8, []
    while position < len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        body = data[position + 8:position + 8 + length]
        crc = struct.unpack(">I", data[position + 8 + length:position + 12 + length])[0]
        assert zlib.crc32(kind + body) == crc
        chunks.append((kind, body))
        position += 12 + length
    return chunks


def test_png_files_scale_the_words_to_16_bits_and_say_ten_bits_are_significant(tmp_path):
    image = (np.arange(24 * 16, dtype=np.uint16).reshape(16, 24) * 3) % 1024
    image[0, 0], image[0, 1] = 1023, 0
    path = tmp_path / "frame.png"
    nuv.save_png(path, image)
    chunks = png_chunks(path.read_bytes())
    kinds = [kind for kind, _ in chunks]
    width, height, depth, colour = struct.unpack(">IIBB", chunks[0][1][:10])
    assert (width, height, depth, colour) == (24, 16, 16, 0)
    assert dict(chunks)[b"sBIT"] == b"\x0a" and kinds.index(b"sBIT") < kinds.index(b"IDAT")
    # Samples fill the 16 bits (a viewer shows the full range) by bit
    # replication, as nuvctl writes them; a shift of 6 gives the values back.
    samples = np.asarray(Image.open(path)).astype(np.uint32)
    assert ((samples >> 6) == image).all()
    assert (samples == ((image.astype(np.uint32) << 6) | (image >> 4))).all()
    assert samples[0, 0] == 65535 and samples[0, 1] == 0
    image[3, 4] = 1024
    with pytest.raises(ValueError, match="holds 1024, more than 10 significant bits"):
        nuv.save_png(path, image)
    with pytest.raises(ValueError, match="uint16"):
        nuv.save_png(path, image.astype(np.int32))
    assert nuv.png.widen(np.array([1, 7]), 3).tolist() == [0x2492, 0xFFFF], "any width replicates"


def test_the_example_grabs_compares_and_saves(cameras, tmp_path, capsys):
    world, _, _ = cameras
    path = tmp_path / "out.png"
    assert grab.main(["--size", "328x204", "--frames", "3", "--png", str(path)]) == 0
    out = capsys.readouterr().out
    assert "NUV2 at position 1, serial 00FF0001, 328x204" in out
    assert "spread raw " in out and f"saved frame 5 to {path}" in out
    saved = np.asarray(Image.open(path)).astype(np.uint32)
    assert saved.shape == (204, 328)
    values = saved >> 6
    assert 600 <= np.median(values) <= 680, "the corrected frame of an evenly lit scene, about 640"
    assert (saved == (values << 6) | (values >> 4)).all()
    assert grab.main(["--position", "0", "--size", "328x204", "--png", str(path)]) == 1
    assert "grab: NuvSetPixelDefectOnOff(handle=0, on=False) failed" in capsys.readouterr().err


def test_the_readmes_example_runs(cameras, capsys):
    readme = (PACKAGE_ROOT.parent / "README.md").read_text()
    code = readme.split("```python\n", 1)[1].split("```", 1)[0]
    assert len(code.strip().splitlines()) == 5
    exec(compile(code, "README.md", "exec"), {})
    listing, shape = capsys.readouterr().out.splitlines()
    assert listing == ("[Device(position=0, name='NUV', kind=0, serial='0012ABCD'), "
                       "Device(position=1, name='NUV2', kind=1, serial='00FF0001')]")
    assert shape.startswith("(408, 656) ") and shape.split()[3] == "0"


def test_import_nuv_brings_the_simulated_world_along():
    code = "import nuv; print(nuv.sim.World().device_count(), nuv.sim.device_count())"
    environment = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT), NUV_LIBRARY=nuv.library().path,
                       PYTHONDONTWRITEBYTECODE="1")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=environment,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["2", "2"]


def test_the_world_has_a_method_for_every_simulator_call():
    header = (PACKAGE_ROOT.parent / "include" / "nuv_sim.h").read_text()
    calls = set(re.findall(r"NUV_CALL (NuvSim\w+)\(", header))
    source = (PACKAGE_ROOT / "nuv" / "sim.py").read_text()
    assert calls and calls <= set(re.findall(r"(NuvSim\w+)", source))


def test_the_optics_and_the_sensor_through_the_world(nuv_world):
    device = nuv_world.add_camera("NUV2", 0x42)
    nuv_world.set_scene(device, 400)
    nuv_world.set_lens(device, (0.5, 0.5), 1.0, (1.0, 0.5, 1.0, 1.0))
    nuv_world.add_sensor_defect(device, 0.25, 0.5, 1023)
    with nuv.Camera.open(0, size=SMALL) as cam:
        cam.defect_correction = cam.shading_correction = False
        cam.read()
        frame = cam.read()
        assert frame[102, 164] == 200 and frame[102, 165] == 400, "site 1 at half, site 0 whole"
        assert frame[102, 82] == 1023 and frame[0, 327] < 300, "the stuck pixel; the fall-off"
        nuv_world.clear_sensor_defects(device)
        nuv_world.set_lens(device, (0.5, 0.5), 0.0)
        cam.gain = 16  # twice the signal
        cam.read()
        assert (cam.read()[1:] == 800).all()
        cam.gain = 0
        nuv_world.set_noise(device, 1.0, 3)
        nuv_world.set_shot_noise(device, 2.0)
        cam.read()
        noisy = cam.read()[1:].astype(float)
        assert 13.0 < noisy.std() < 15.5, "sqrt(1 + 400 / 2) counts"
    with pytest.raises(nuv.NuvError, match=r"NuvSimSetShotNoise\(deviceId=1, electronsPerCount=-1\) failed"):
        nuv_world.set_shot_noise(device, -1)
    with pytest.raises(nuv.NuvError, match="site_factors must be 4 numbers"):
        nuv_world.set_lens(device, (0.5, 0.5), 0.0, (1.0,))


def test_the_readmes_sensor_example_passes(nuv_world):
    readme = (PACKAGE_ROOT.parent / "README.md").read_text()
    code = readme.split("```python\n")[2].split("```", 1)[0]
    namespace = {"nuv": nuv}
    exec(compile(code, "README.md", "exec"), namespace)
    [test] = [f for name, f in namespace.items() if name.startswith("test_")]
    test(nuv_world)


def test_the_readme_documents_the_frame_counter_where_captures_are():
    readme = (PACKAGE_ROOT.parent / "README.md").read_text()
    capture = readme.split("- `capture`:", 1)[1].split("\n- ", 1)[0]
    assert "frame counter" in capture and "first" in capture and "four words" in capture
    assert "dark pixels at the top left" in " ".join(capture.split())
