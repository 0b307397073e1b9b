"""Loading the library and the declarations of its functions."""

import ctypes
import importlib.util
import inspect
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

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


def namedtuple_fields(cls):
    """A stand-in function whose signature carries the named tuple's field types."""
    hints = {}
    for klass in reversed(cls.__mro__):
        hints.update(getattr(klass, "__annotations__", {}))
    parameters = [inspect.Parameter(f, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                                    annotation=hints.get(f, inspect.Parameter.empty)) for f in cls._fields]

    def fields():
        pass

    fields.__signature__ = inspect.Signature(parameters, return_annotation=cls)
    return fields


def public_callables():
    """Every function, method and property of the package's public names."""
    for name in nuv.__all__:
        value = getattr(nuv, name)
        if inspect.isfunction(value):
            yield name, value
        elif inspect.isclass(value) and value.__module__.startswith("nuv"):
            if hasattr(value, "_fields"):  # a named tuple: its fields are typed
                yield name, namedtuple_fields(value)
            for member_name, member in vars(value).items():
                if member_name.startswith("_") and member_name not in ("__init__", "__new__"):
                    continue
                if member_name == "__new__" and hasattr(value, "_fields") and "_raw" not in vars(value):
                    continue
                if isinstance(member, property):
                    yield f"{name}.{member_name}", member.fget
                elif isinstance(member, (classmethod, staticmethod)):
                    yield f"{name}.{member_name}", member.__func__
                elif inspect.isfunction(member):
                    yield f"{name}.{member_name}", member
    for module in (nuv.sim, nuv.correction):
        for name, value in vars(module).items():
            if inspect.isfunction(value) and not name.startswith("_") and value.__module__ == module.__name__:
                yield f"{module.__name__}.{name}", value
    for name, member in vars(nuv.sim.World).items():
        if inspect.isfunction(member) and not name.startswith("_"):
            yield f"World.{name}", member


def test_the_public_api_carries_type_hints():
    assert (PACKAGE_ROOT / "nuv" / "py.typed").exists()
    missing = []
    for name, function in public_callables():
        signature = inspect.signature(function)
        unannotated = [p for p in signature.parameters.values()
                       if p.name not in ("self", "cls") and p.annotation is inspect.Parameter.empty]
        if signature.return_annotation is inspect.Signature.empty or unannotated:
            missing.append(name)
    assert not missing, f"without type hints: {missing}"


def test_a_type_checker_sees_the_hints(tmp_path):
    if shutil.which("mypy") is None:
        pytest.skip("mypy is not installed (Debian: apt-get install mypy)")
    user = tmp_path / "user.py"
    user.write_text(textwrap.dedent("""
        import nuv
        with nuv.Camera.open("NUV2", size=(328, 204)) as cam:
            frame: nuv.Frame = cam.read(timeout=2.0)
            gain: int = cam.gain
            text: str = cam.read()
    """))
    result = subprocess.run(["mypy", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(user)],
                            capture_output=True, text=True, cwd=tmp_path, timeout=300,
                            env=dict(os.environ, MYPYPATH=str(PACKAGE_ROOT)))
    # Only the last line is wrong: a Frame is no str.
    assert result.stdout.count("error:") == 1, result.stdout + result.stderr
    assert 'user.py:6: error: Incompatible types in assignment (expression has type "Frame"' in result.stdout


def test_the_package_installs_offline_into_a_virtual_environment(tmp_path):
    missing = [m for m in ("ensurepip", "setuptools") if importlib.util.find_spec(m) is None]
    if missing:
        pytest.skip(f"{', '.join(missing)} missing: Debian's python3-venv and python3-setuptools install them "
                    "(scripts/deps.sh treats them as optional)")
    # The command of the README, in a folder of its own, from a copy of the
    # package's folder (the build leaves its files beside the sources).
    shutil.copytree(PACKAGE_ROOT, tmp_path / "python", ignore=shutil.ignore_patterns(
        "tests", "examples", "__pycache__", "build", "*.egg-info"))
    command = ("python3 -m venv --system-site-packages V && "
               "V/bin/pip install --no-index --no-build-isolation ./python")
    environment = {k: v for k, v in os.environ.items() if k not in ("NUV_LIBRARY", "PYTHONPATH")}
    environment["PATH"] = f"{Path(sys.executable).parent}:{environment.get('PATH', '')}"
    environment["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    result = subprocess.run(command, shell=True, capture_output=True, text=True, cwd=tmp_path, env=environment,
                            timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    python = tmp_path / "V" / "bin" / "python"
    site = subprocess.run([str(python), "-c", "import nuv, sys; print(nuv.__file__)"], capture_output=True,
                          text=True, cwd=tmp_path, env=environment, timeout=120)
    assert site.returncode == 0, site.stderr
    installed = Path(site.stdout.strip()).parent
    assert installed.is_relative_to(tmp_path / "V") and (installed / "py.typed").exists()
    # The library: NUV_LIBRARY, or nuv.load.
    listing = "print([d.label for d in nuv.devices()])"
    for code, extra in ((f"import nuv; {listing}", {"NUV_LIBRARY": nuv.library().path}),
                        (f"import nuv; nuv.load({nuv.library().path!r}); {listing}", {})):
        run = subprocess.run([str(python), "-c", code], capture_output=True, text=True, cwd=tmp_path,
                             env=dict(environment, **extra), timeout=120)
        assert run.returncode == 0, run.stderr
        assert run.stdout.strip() == "['NUV#1A2B3C01', 'NUV2#1A2B3C02']"
