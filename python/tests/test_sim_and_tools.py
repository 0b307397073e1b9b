"""The pytest fixture for people's own tests, the simulated world's API, the
PNG writer and the example script."""

import os
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


def test_png_files_keep_the_words_and_say_ten_bits_are_significant(tmp_path):
    image = (np.arange(24 * 16, dtype=np.uint16).reshape(16, 24) * 2) % 1024
    path = tmp_path / "frame.png"
    nuv.save_png(path, image)
    chunks = png_chunks(path.read_bytes())
    kinds = [kind for kind, _ in chunks]
    width, height, depth, colour = struct.unpack(">IIBB", chunks[0][1][:10])
    assert (width, height, depth, colour) == (24, 16, 16, 0)
    assert dict(chunks)[b"sBIT"] == b"\x0a" and kinds.index(b"sBIT") < kinds.index(b"IDAT")
    assert (np.asarray(Image.open(path)) == image).all()
    image[3, 4] = 1024
    with pytest.raises(ValueError, match="holds 1024, more than 10 significant bits"):
        nuv.save_png(path, image)
    with pytest.raises(ValueError, match="uint16"):
        nuv.save_png(path, image.astype(np.int32))


def test_the_example_grabs_compares_and_saves(cameras, tmp_path, capsys):
    world, _, _ = cameras
    path = tmp_path / "out.png"
    assert grab.main(["--size", "328x204", "--frames", "3", "--png", str(path)]) == 0
    out = capsys.readouterr().out
    assert "NUV2 at position 1, serial 00FF0001, 328x204" in out
    assert "spread raw " in out and f"saved frame 5 to {path}" in out
    saved = np.asarray(Image.open(path))
    assert saved.shape == (204, 328) and saved.max() <= 1023
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
