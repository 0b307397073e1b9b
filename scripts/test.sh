#!/usr/bin/env bash
# Builds and runs every test: natively, natively under AddressSanitizer and
# UndefinedBehaviorSanitizer, natively under ThreadSanitizer, and the Windows
# builds (export tables, and the Windows programs under Wine), and last the
# kernel's own video and HID drivers in a throw-away guest (scripts/guest/).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh all
jobs=$(nproc)

step() { printf '\n=== %s\n' "$*"; }

step "native"
cmake -S . -B build/native -DNUV_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j"$jobs"
ctest --no-tests=error --test-dir build/native --output-on-failure -j"$jobs"
# (nuvctl's tests run above: its GoogleTest cases and the viewer in headless
# Chromium, whose screenshot stays in build/native/tools/nuvctl/tests/.)

step "Python package (python/tests against the native build)"
# Debian's interpreter, which sees Debian's numpy and pytest; pytest exits 5
# when it collects no test, which fails this script like any failure.
NUV_LIBRARY="$PWD/build/native/libnuv_sim.so" PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 -m pytest -p no:cacheprovider -q python/tests

step "native, AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -DNUV_WERROR=ON -DCMAKE_BUILD_TYPE=Debug -DNUV_SANITIZE=address,undefined \
  -DNUV_BUILD_BENCH=OFF -DNUV_BUILD_TOOLS=OFF >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --no-tests=error --test-dir build/asan --output-on-failure -j"$jobs"

step "native, ThreadSanitizer (streaming threads, close against receive/property/command)"
cmake -S . -B build/tsan -DNUV_WERROR=ON -DCMAKE_BUILD_TYPE=Debug -DNUV_SANITIZE=thread \
  -DNUV_BUILD_BENCH=OFF -DNUV_BUILD_TOOLS=OFF >/dev/null
cmake --build build/tsan -j"$jobs"
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp" \
  ctest --no-tests=error --test-dir build/tsan --output-on-failure -j"$jobs"

# Wine: a prefix of our own, quiet. 32-bit Wine needs a kernel that runs
# 32-bit programs; where it cannot, the 32-bit DLLs are still built and their
# export tables checked, and the same Windows code runs as a 64-bit build
# under wine64.
export WINEDEBUG=-all WINEPREFIX="$PWD/build/wineprefix"
wine32=""
if /usr/lib/wine/wine --version >/dev/null 2>&1; then wine32=wine; fi
wine64=/usr/lib/wine/wine64
# One wine server, with Wine's services started here, for all Windows test
# programs: left to itself the server exits a moment after each program ends
# and the next program may catch it closing. Started outside ctest, so that
# no program of Wine's holds a test's output open.
start_wine() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -p </dev/null >/dev/null 2>&1 || true
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  "$1" wineboot -i </dev/null >/dev/null 2>&1 || true
}

step "Windows 32-bit (i686)${wine32:+, under Wine}"
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw.cmake -DNUV_WERROR=ON \
  -DNUV_BUILD_TESTS=ON -DNUV_BUILD_BENCH=OFF -DNUV_WINE="$wine32" >/dev/null
cmake --build build/win32 -j"$jobs"
if [ -n "$wine32" ]; then start_wine wine; fi
ctest --no-tests=error --test-dir build/win32 --output-on-failure

if [ -z "$wine32" ]; then
  step "Windows 64-bit (x86_64) under wine64 (this kernel cannot run 32-bit programs)"
  cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-mingw.cmake -DNUV_WERROR=ON \
    -DNUV_BUILD_TESTS=ON -DNUV_BUILD_BENCH=OFF -DNUV_WINE="$wine64" >/dev/null
  cmake --build build/win64 -j"$jobs"
  start_wine "$wine64"
  ctest --no-tests=error --test-dir build/win64 --output-on-failure
fi
# One throw-away guest (qemu, Debian's kernel) per check script: the
# kernel's own video and HID drivers against the virtual camera, and the
# 32-bit Windows programs where this kernel cannot start them. Where the
# guest cannot boot, it says why and the step is skipped.
step "guest: real kernel drivers"
scripts/guest/check.sh

step "all tests passed"
