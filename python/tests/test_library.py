"""Loading the library and the declarations of its functions."""

import ctypes
import os
import re
import shutil
import subprocess
import sys

import pytest

import nuv
from nuv import _lib
from conftest import PACKAGE_ROOT, REPO

HEADER_TYPES = {
    "void": None, "NuvBool": ctypes.c_ubyte, "int": ctypes.c_int, "unsigned int": ctypes.c_uint,
    "double": ctypes.c_double, "long long": ctypes.c_longlong,
    "char *": ctypes.c_char_p, "void *": ctypes.c_void_p,
    "int *": _lib.c_int_p, "unsigned char *": _lib.c_uint8_p, "unsigned short *": _lib.c_uint16_p,
    "double *": _lib.c_double_p, "float *": _lib.c_float_p, "long long *": _lib.c_int64_p,
    "NuvDefectEntry *": _lib.NuvDefectEntry_p,
}


def header_functions(name):
    """name -> (result type, [argument types]) as the public header declares them."""
    text = (REPO / "include" / name).read_text()
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    found = {}
    for result, function, params in re.findall(
            r"NUV_API\s+([\w ]+?)\s+NUV_CALL\s+(\w+)\s*\(([^)]*)\)", text):
        types = []
        for param in params.split(","):
            param = " ".join(param.replace("const ", "").split())
            if param in ("void", ""):
                continue
            array = re.match(r"(.+?)\s*\w+\[\d+\]$", param)
            if array:
                param_type = array.group(1) + " *"
            else:
                param_type = re.sub(r"\s*\b\w+$", "", param).replace(" *", "*").replace("*", " *").strip()
            types.append(HEADER_TYPES[param_type])
        found[function] = (HEADER_TYPES[result], types)
    return found


@pytest.mark.parametrize("header, table, complete", [
    ("nuv.h", _lib.NUV_FUNCTIONS, True),
    ("nuv_sim.h", _lib.SIM_FUNCTIONS, True),
])
def test_declarations_match_the_public_headers(header, table, complete):
    declared = header_functions(header)
    if header == "nuv.h":
        assert len(declared) == 43
    for name, result, argtypes in table:
        assert name in declared, f"{name} is declared by the package but not in {header}"
        assert (result, list(argtypes)) == declared[name], name
    if complete:
        assert sorted(declared) == sorted(name for name, _, _ in table)


def test_a_missing_function_fails_only_when_called(tmp_path):
    libc = ctypes.util.find_library("c")
    lib = nuv.Library(libc, stdcall=False)
    assert not lib.is_simulated
    with pytest.raises(nuv.MissingFunctionError, match="NuvSimReset is not exported by the loaded library"):
        lib.NuvSimReset()
    with pytest.raises(AttributeError, match="declares no function"):
        lib.NuvNoSuchThing
    with pytest.raises(nuv.NuvError, match="has no simulated world"):
        nuv.sim.World(lib)


def run_python(code, **env):
    environment = {k: v for k, v in os.environ.items() if k != "NUV_LIBRARY"}
    environment.update(env, PYTHONPATH=str(PACKAGE_ROOT), PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=environment,
                          timeout=120)


def test_without_a_library_the_package_imports_and_a_call_names_where_it_looked():
    result = run_python("import nuv\n"
                        "try:\n    nuv.devices()\n"
                        "except nuv.LibraryNotFoundError as e:\n    print('refused:', e)\n",
                        NUV_LIBRARY="/no/such/libnuv_sim.so")
    assert result.returncode == 0, result.stderr
    assert "refused: the nuv library /no/such/libnuv_sim.so does not exist" in result.stdout


def test_the_environment_variable_names_the_library(tmp_path):
    copy = tmp_path / "libnuv_copy.so"
    shutil.copy(_lib.library().path, copy)
    result = run_python("import nuv; print(nuv.library().path)", NUV_LIBRARY=str(copy))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(copy)


def test_the_default_world_is_listed_from_the_build_tree():
    if not (REPO / "build" / "native" / "libnuv_sim.so").exists():
        pytest.skip("no native build in this checkout")
    result = run_python("import nuv; print(nuv.library().path); print(nuv.devices())")
    assert result.returncode == 0, result.stderr
    path, listing = result.stdout.strip().splitlines()
    assert path == str(REPO / "build" / "native" / "libnuv_sim.so")
    assert listing.startswith("[Device(position=0, name='NUV', kind=0, serial='")
    assert "Device(position=1, name='NUV2', kind=1, serial='" in listing


def test_version_text():
    text = nuv.version()
    assert re.fullmatch(r"Version 1\.1\.0\.0\r\nDate : \w{3} [ \d]\d \d{4}\r\nTime : \d\d:\d\d:\d\d", text)
