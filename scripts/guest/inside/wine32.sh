#!/bin/bash
# Runs inside the throw-away guest, as root: the 32-bit Windows test
# programs under 32-bit Wine, for hosts whose kernel cannot start 32-bit
# programs (the guest's Debian kernel can).
#
#   wine32.sh BUILD_DIR LOG_DIR
#
# BUILD_DIR: the i686 build (build/win32); LOG_DIR: a shared, writable
# folder for each program's output (wine32-NAME.log). The 32-bit prefix is
# made afresh in the guest's memory: Wine copies some 550 MB of DLLs into
# it, which through the shared folder took six and a half minutes.
# The programs run as the build's tests would under Wine:
# nuv_tests.exe in the tests folder, nuv_win_client.exe with the path of
# nuv.dll, nuv_client_all.exe beside the DLLs (see tests/CMakeLists.txt).
# Prints one line per program ("ok: ..." or "FAIL: ..."); exit status 1 when
# one failed.
set -uo pipefail
build=$(realpath -m "${1:?usage: wine32.sh BUILD_DIR LOG_DIR}")
logs=$(realpath -m "${2:?usage: wine32.sh BUILD_DIR LOG_DIR}")
prefix=$(mktemp -d /tmp/wineprefix.XXXXXX)
mkdir -p "$logs"
wine=/usr/lib/wine/wine
export WINEDEBUG=-all WINEPREFIX=$prefix WINEARCH=win32
elapsed() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }
t_start=$(date +%s.%N)

if ! version=$("$wine" --version 2>&1); then
  echo "FAIL: 32-bit Wine does not start in the guest either: $version"
  exit 1
fi
echo "$version, 32-bit, prefix $prefix"

# Programs the tests run, with their arguments and working folders.
tests_dir=$build/tests
programs=(
  "nuv_tests|$tests_dir|$tests_dir/nuv_tests.exe"
  "win_client|$tests_dir|$tests_dir/nuv_win_client.exe $build/nuv.dll"
  "win_client_all|$tests_dir|$build/nuv_client_all.exe"
)
for entry in "${programs[@]}"; do
  IFS='|' read -r name _ command <<<"$entry"
  for file in $command; do
    case "$file" in *.exe | *.dll) [ -f "$file" ] || { echo "FAIL: $name: $file is missing (build $build first)"; exit 1; } ;; esac
  done
done

t=$(date +%s.%N)
# One wine server for all programs, started before them (left to itself it
# exits a moment after each program and the next may catch it closing).
wineserver -k >/dev/null 2>&1
wineserver -p </dev/null >/dev/null 2>&1
if ! "$wine" wineboot -i </dev/null >"$logs/wine32-wineboot.log" 2>&1; then
  sed 's/^/    /' "$logs/wine32-wineboot.log" | tail -n 20
  echo "FAIL: wineboot could not prepare the prefix $prefix"
  exit 1
fi
# Wine's HID bus starts only its SDL backend when libSDL2 is installed;
# hidraw is what the library's HID calls should meet. The bus reads its
# settings when it starts: the server restarts with them.
"$wine" reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' /t REG_DWORD /d 0 /f >/dev/null 2>&1 &&
  "$wine" reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v DisableInput /t REG_DWORD /d 1 /f >/dev/null 2>&1 ||
  { echo "FAIL: could not switch Wine's HID bus from SDL to hidraw"; exit 1; }
wineserver -k >/dev/null 2>&1
wineserver -p </dev/null >/dev/null 2>&1
"$wine" wineboot -i </dev/null >>"$logs/wine32-wineboot.log" 2>&1
echo "prefix made in $(elapsed "$t") s ($(du -sm "$prefix" | cut -f1) MB)"

failures=0
for entry in "${programs[@]}"; do
  IFS='|' read -r name dir command <<<"$entry"
  log=$logs/wine32-$name.log
  t=$(date +%s.%N)
  # shellcheck disable=SC2086 # the command is words: program and arguments
  (cd "$dir" && timeout 900 "$wine" $command) </dev/null >"$log" 2>&1
  status=$?
  took=$(elapsed "$t")
  summary=$(grep -E '^\[  (PASSED|FAILED)  \]|tests? ran' "$log" | tr '\n' ' ')
  if [ "$status" -eq 0 ]; then
    echo "ok: $name (${took} s) $summary"
  else
    failures=$((failures + 1))
    [ "$status" -eq 124 ] && echo "    (killed after 900 s)"
    grep -E '^\[  FAILED  \]|Failure|error' "$log" | head -n 40 | sed 's/^/    /'
    tail -n 20 "$log" | sed 's/^/    /'
    echo "FAIL: $name exited with status $status (${took} s) $summary; its output: $log"
  fi
done
wineserver -k >/dev/null 2>&1
echo
echo "wine32: $(( ${#programs[@]} - failures )) of ${#programs[@]} Windows programs passed in $(elapsed "$t_start") s of guest time"
[ "$failures" -eq 0 ]
