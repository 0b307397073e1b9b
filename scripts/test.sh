#!/usr/bin/env bash
# Builds and runs every test, leg by leg: native (with nuvctl and its
# browser test), the layout of the source tree (scripts/check_layout.py),
# the Python package, natively under AddressSanitizer and
# UndefinedBehaviorSanitizer, natively under ThreadSanitizer, the Windows
# builds (export tables, and the Windows programs under Wine), and last the
# kernel's own video and HID drivers in a throw-away guest (scripts/guest/).
#
# Every leg runs, whatever an earlier one did; a leg whose tools cannot be
# had on this machine is skipped with its cause. The command ends with a
# table of the legs (result, tests, time, cause) and the line
# "N passed, M failed"; its exit status is 1 when a test failed.
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
jobs=$(nproc)
results=$repo/build/legs
rm -rf "$results"
mkdir -p "$results"
legs=$results/legs.tsv
: >"$legs"

record() { printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$@" >>"$legs"; }
finish() {
  printf '\n=== summary\n'
  scripts/legs.py summary "$legs"
  exit $?
}
skip() {
  printf '\n=== %s: skipped: %s\n' "$1" "$2"
  record "$1" skipped 0 0 0 "$2"
}
# leg NAME FUNCTION [ARG...]: the function leaves JUnit files at "$xml"
# (or "$xml".*) and may set "note" to say what failed.
leg() {
  local name=$1 slug status=0 t0 seconds passed failed
  shift
  slug=$(printf '%s' "$name" | tr -c 'A-Za-z0-9' '_')
  xml=$results/$slug.xml
  note=""
  printf '\n=== %s\n' "$name"
  t0=$(date +%s.%N)
  "$@" || status=$?
  seconds=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  read -r passed failed _ < <(scripts/legs.py count "$xml"*)
  passed=${passed:-0} failed=${failed:-1}
  if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then
    failed=1
    note=${note:-exit status $status}
  fi
  record "$name" "$([ "$failed" -eq 0 ] && echo passed || echo failed)" "$passed" "$failed" "$seconds" "$note"
}

if ! scripts/deps.sh all; then
  record "set-up (scripts/deps.sh)" failed 0 1 0 "the native build's packages could not be installed"
  finish
fi
# A piece that scripts/deps.sh could not install, with apt's reason.
not_installed() {
  local reason
  reason=$(awk -F '\t' -v piece="$1" '$1 == piece { print $2 ": " $3; exit }' build/deps-skipped.tsv 2>/dev/null)
  echo "$2 is not installed${reason:+ ($reason)}"
}

# build DIR CMAKE_ARGS...: configures and builds one tree; its output goes
# to DIR/build.log and shows here only when the build fails.
build() {
  local dir=$1 log
  shift
  mkdir -p "$dir"
  log=$dir/build.log
  if ! { cmake -S . -B "$dir" -DNUV_WERROR=ON "$@" && cmake --build "$dir" -j"$jobs"; } >"$log" 2>&1; then
    grep -E -A8 ': (fatal )?error:|CMake Error|\*\*\* \[' "$log" | head -n 80
    tail -n 20 "$log"
    note="the build of $dir failed (its output: $log)"
    return 1
  fi
  echo "built $dir (its output: $log)"
}
run_ctest() {
  ctest --no-tests=error --test-dir "$1" --output-on-failure -j"${2:-$jobs}" --output-junit "$xml" \
    --test-output-size-passed 262144 --test-output-size-failed 1048576
}

native() {
  build build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo && run_ctest build/native
  # (nuvctl's tests run here: its GoogleTest cases and the viewer in headless
  # Chromium, whose screenshots stay in build/native/tools/nuvctl/tests/.)
}
leg "native" native

layout() {
  # The rooms of the tree in their order (README, "Layout"): every #include
  # goes from a room to itself or to a room below it. Then the check's own
  # tests, on small trees of their own.
  local status=0
  /usr/bin/python3 scripts/check_layout.py --junit "$xml" ||
    { status=1; note="an #include runs back up the rooms (listed above)"; }
  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider -q --junitxml="$xml.check.xml" \
    tests/layout || { status=1; note=${note:-"the layout check's own tests failed"}; }
  return $status
}
leg "layout" layout

python_package() {
  # Debian's interpreter, which sees Debian's numpy and pytest; pytest exits
  # 5 when it collects no test, which fails the leg like any failure.
  NUV_LIBRARY="$repo/build/native/libnuv_sim.so" PYTHONDONTWRITEBYTECODE=1 \
    /usr/bin/python3 -m pytest -p no:cacheprovider -q --junitxml="$xml" python/tests
}
leg "Python package" python_package

asan() {
  build build/asan -DCMAKE_BUILD_TYPE=Debug -DNUV_SANITIZE=address,undefined \
    -DNUV_BUILD_BENCH=OFF -DNUV_BUILD_TOOLS=OFF &&
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 run_ctest build/asan
}
leg "native, ASan+UBSan" asan

tsan() {
  build build/tsan -DCMAKE_BUILD_TYPE=Debug -DNUV_SANITIZE=thread -DNUV_BUILD_BENCH=OFF -DNUV_BUILD_TOOLS=OFF &&
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" run_ctest build/tsan
}
leg "native, TSan" tsan

# Wine: a prefix of our own, quiet. 32-bit Wine needs a kernel that runs
# 32-bit programs and its i386 packages; where either is missing, the 32-bit
# DLLs are still built and their export tables checked, the same Windows
# code runs as a 64-bit build under wine64, and the guest runs the 32-bit
# programs if 32-bit Wine is installed.
export WINEDEBUG=-all WINEPREFIX="$repo/build/wineprefix"
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
windows() { # BUILD_DIR TOOLCHAIN WINE [WHY_NOT_RUN]
  [ -z "${4:-}" ] || note="the programs are not run here: $4"
  build "$1" -DCMAKE_TOOLCHAIN_FILE="cmake/$2" -DNUV_BUILD_TESTS=ON -DNUV_BUILD_BENCH=OFF -DNUV_WINE="$3" || return 1
  [ -z "$3" ] || start_wine "$3"
  # Wine programs share one server and prefix: one at a time.
  run_ctest "$1" 1
}
wine32=""
if wine32_cause=$(scripts/wine32.sh); then wine32=wine; fi
if ! command -v i686-w64-mingw32-g++-posix >/dev/null; then
  skip "Windows 32-bit" "$(not_installed mingw "the mingw-w64 cross compiler")"
elif [ -n "$wine32" ]; then
  leg "Windows 32-bit, under Wine" windows build/win32 toolchain-i686-mingw.cmake wine
else
  leg "Windows 32-bit, export tables" windows build/win32 toolchain-i686-mingw.cmake "" "$wine32_cause"
  if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    skip "Windows 64-bit under wine64" "$(not_installed mingw "the x86_64 mingw-w64 cross compiler")"
  elif [ ! -x /usr/lib/wine/wine64 ]; then
    skip "Windows 64-bit under wine64" "$(not_installed wine64 "wine64")"
  else
    leg "Windows 64-bit under wine64" windows build/win64 toolchain-x86_64-mingw.cmake /usr/lib/wine/wine64
  fi
fi

# One throw-away guest (qemu, Debian's kernel) per check script: the
# kernel's own video and HID drivers against the virtual camera, and the
# 32-bit Windows programs where this kernel cannot start them. Each boot is
# a leg of its own; where the guest cannot boot, it says why.
printf '\n=== guest: real kernel drivers\n'
scripts/guest/check.sh --legs "$legs" ${wine32:+--host-ran-wine32}

finish
