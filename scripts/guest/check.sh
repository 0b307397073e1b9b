#!/usr/bin/env bash
# The test command's guest step: boots the throw-away guest once per check
# script and reports. The kernel's own drivers (vivid, dummy_hcd with the
# configfs and gadgetfs gadgets, uvcvideo, usbhid) run against the native
# build: first the project's probes and the virtual camera, then libnuv.so,
# the library's real backend; where this machine's kernel cannot start
# 32-bit programs, the 32-bit Windows programs run under 32-bit Wine in the
# guest.
#
#   check.sh [--native DIR] [--win32 DIR] [--legs FILE] [--host-ran-wine32]
#
#   --native, --win32   the builds (defaults: build/native, build/win32)
#   --legs FILE         appends one line per boot to the test command's
#                       table of legs (name, result, passed and failed
#                       checks, seconds, cause)
#   --host-ran-wine32   the host ran the 32-bit programs under Wine itself
#
# Where the guest cannot boot here it says why ("guest step skipped: ...")
# and exits 0, so that the rest of the test command goes on; so does a
# step whose programs are not installed. The timings go to
# build/guest/timings.json; the guests' console logs and output beside them.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
native=$repo/build/native
win32=$repo/build/win32
legs=/dev/null
host_wine32=""
while [ $# -gt 0 ]; do
  case "$1" in
    --native) native=${2:?--native needs a folder}; shift 2 ;;
    --win32) win32=${2:?--win32 needs a folder}; shift 2 ;;
    --legs) legs=${2:?--legs needs a file}; shift 2 ;;
    --host-ran-wine32) host_wine32=1; shift ;;
    *) echo "check.sh: unknown argument: $1" >&2; exit 2 ;;
  esac
done
out=$repo/build/guest
mkdir -p "$out"
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
t_all=$(now)

record() { printf 'guest: %s\t%s\t%s\t%s\t%s\t%s\n' "$@" >>"$legs"; }
if ! reason=$("$here/probe.sh"); then
  echo "guest step skipped: $reason"
  record "real kernel drivers" skipped 0 0 0 "$reason"
  printf '{"skipped": "%s"}\n' "$(printf '%s' "$reason" | sed 's/["\\]/\\&/g')" >"$out/timings.json"
  exit 0
fi

t=$(now)
"$here/setup.sh" || {
  echo "guest: setup failed" >&2
  record "setup" failed 0 1 "$(since "$t")" "scripts/guest/setup.sh could not prepare the kernel"
  exit 1
}
setup_s=$(since "$t")

runs=()
broken=()
# boot NAME TITLE CPUS MEMORY_MB TIMEOUT SCRIPT ARGS...: one guest for one
# script, whose checks each print a line "ok: ..." or "FAIL: ...".
boot() {
  local name=$1 title=$2 cpus=$3 memory=$4 limit=$5 t0 passed nfail note=""
  shift 5
  printf '\n--- guest: %s (%s)\n' "$name" "$(basename "$1")"
  local status=0
  t0=$(now)
  "$here/run.sh" --cpus "$cpus" --memory "$memory" --timeout "$limit" --times "$out/$name.json" --console "$out/console-$name.log" \
    "$@" 2>&1 | tee "$out/$name.out"
  status=${PIPESTATUS[0]}
  passed=$(grep -c '^ok: ' "$out/$name.out")
  nfail=$(grep -c '^FAIL: ' "$out/$name.out")
  if [ "$status" -ne 0 ]; then
    broken+=("$name (status $status; console log: $out/console-$name.log)")
    note="status $status (124: timed out, 125: the guest could not run it); console log: $out/console-$name.log"
    [ "$nfail" -gt 0 ] || nfail=1
  fi
  record "$title" "$([ "$status" -eq 0 ] && [ "$nfail" -eq 0 ] && echo passed || echo failed)" \
    "$passed" "$nfail" "$(since "$t0")" "$note"
  runs+=("$name")
}

# One processor: gadgetfs passes the data of a control request up only
# until the host's next request arrives; with one processor the gadget's
# real-time thread always reads it first.
boot devices "devices (vivid, gadgets, uvcvideo, usbhid)" 1 2048 600 "$here/inside/devices.sh" "$native"
# The library's real backend (libnuv.so) against the same drivers.
boot library "libnuv.so on real drivers" 1 2048 600 "$here/inside/library.sh" "$native"
if [ -n "$host_wine32" ]; then
  echo
  echo "guest: this kernel runs 32-bit programs: the Windows programs ran under Wine on the host"
  record "Windows 32-bit under Wine" skipped 0 0 0 "the host ran them under its own 32-bit Wine"
elif ! reason=$("$repo/scripts/wine32.sh" --installed); then
  echo
  echo "guest: Windows 32-bit step skipped: $reason"
  record "Windows 32-bit under Wine" skipped 0 0 0 "$reason"
elif [ ! -f "$win32/tests/nuv_tests.exe" ]; then
  echo
  echo "guest: Windows 32-bit step skipped: $win32 holds no 32-bit build"
  record "Windows 32-bit under Wine" skipped 0 0 0 "$win32 holds no 32-bit build"
else
  # The prefix lives in the guest's memory (some 600 MB).
  boot wine32 "Windows 32-bit under Wine" 2 3072 1200 "$here/inside/wine32.sh" "$win32" "$out"
fi

{
  printf '{"setup_s": %s' "$setup_s"
  for name in "${runs[@]}"; do printf ', "%s": %s' "$name" "$(tr -d '\n' <"$out/$name.json")"; done
  printf ', "total_s": %s}\n' "$(since "$t_all")"
} >"$out/timings.json"

echo
echo "guest timings: setup ${setup_s} s$(for name in "${runs[@]}"; do
  sed -n 's/.*"boot_s": \([^,]*\), "script_s": \([^,]*\), "total_s": \([^,]*\),.*/\1 \2 \3/p' "$out/$name.json" |
    { read -r b s tot; printf '; %s: boot %s s, run %s s, %s s in all' "$name" "$b" "$s" "$tot"; }
done); all $(since "$t_all") s"
if [ ${#broken[@]} -gt 0 ]; then
  printf 'guest: failed: %s\n' "${broken[@]}"
  exit 1
fi
echo "guest: all checks passed"
