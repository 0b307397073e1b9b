"""The package's own table of camera modes against the library's.

Python cannot read the library's C++ table, so the library is asked through
its calls: what a camera offers, and which entries it accepts in a defect
list of each mode index (only those inside that mode's image).
"""

import nuv
from nuv import _lib
from nuv.correction import MODE_OF_SIZE, MODES, UNUSED
from conftest import NUV2_SERIAL, open_pushed


def defect_list(column, row):
    entries = (_lib.NuvDefectEntry * 20)()
    for entry in entries:
        entry.column = entry.row = UNUSED
    entries[0].column, entries[0].row = column, row
    return entries


def test_the_modes_are_the_library_s(nuv_world):
    device = nuv_world.add_camera("NUV2", NUV2_SERIAL)
    # The simulated camera offers the library's modes, at two rates each.
    assert {(f.width, f.height) for f in nuv.formats(0)} == set(MODES.values())
    assert sorted(MODES) == list(range(len(MODES)))
    assert MODE_OF_SIZE == {size: mode for mode, size in MODES.items()}

    lib = _lib.library()

    def accepted(handle, mode, column, row):
        return lib.NuvSetPixelDefect(handle, 1, mode, defect_list(column, row)) == 1

    with open_pushed(nuv_world, device, 0) as cam:
        for mode, (width, height) in MODES.items():
            assert accepted(cam.handle, mode, width - 1, height - 1), f"mode {mode} is at least {width}x{height}"
            assert not accepted(cam.handle, mode, width, 0), f"mode {mode} is {width} wide"
            assert not accepted(cam.handle, mode, 0, height), f"mode {mode} is {height} high"
        assert not accepted(cam.handle, len(MODES), 0, 0), "the library knows no further mode"
