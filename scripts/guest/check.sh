#!/usr/bin/env bash
# The test command's guest step: boots the throw-away guest once per check
# script and reports. The kernel's own drivers (vivid, dummy_hcd with the
# configfs and gadgetfs gadgets, uvcvideo, usbhid) run against the native
# build: first the project's probes and the virtual camera, then libnuv.so,
# the library's real backend; where this machine's kernel cannot start
# 32-bit programs, the 32-bit Windows programs run under 32-bit Wine in the
# guest.
#
#   check.sh [--native DIR] [--win32 DIR]   (defaults: build/native, build/win32)
#
# Where the guest cannot boot here it says why ("guest step skipped: ...")
# and exits 0, so that the rest of the test command goes on. The timings
# go to build/guest/timings.json; the guests' console logs beside them.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
native=$repo/build/native
win32=$repo/build/win32
while [ $# -gt 0 ]; do
  case "$1" in
    --native) native=${2:?--native needs a folder}; shift 2 ;;
    --win32) win32=${2:?--win32 needs a folder}; shift 2 ;;
    *) echo "check.sh: unknown argument: $1" >&2; exit 2 ;;
  esac
done
out=$repo/build/guest
mkdir -p "$out"
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
t_all=$(now)

if ! reason=$("$here/probe.sh"); then
  echo "guest step skipped: $reason"
  printf '{"skipped": "%s"}\n' "$(printf '%s' "$reason" | sed 's/["\\]/\\&/g')" >"$out/timings.json"
  exit 0
fi

t=$(now)
"$here/setup.sh" || { echo "guest: setup failed" >&2; exit 1; }
setup_s=$(since "$t")

runs=()
failed=()
# boot NAME CPUS MEMORY_MB TIMEOUT SCRIPT ARGS...: one guest for one script.
boot() {
  local name=$1 cpus=$2 memory=$3 limit=$4
  shift 4
  printf '\n--- guest: %s (%s)\n' "$name" "$(basename "$1")"
  local status=0
  "$here/run.sh" --cpus "$cpus" --memory "$memory" --timeout "$limit" --times "$out/$name.json" --console "$out/console-$name.log" \
    "$@" || status=$?
  [ "$status" -eq 0 ] || failed+=("$name (status $status; console log: $out/console-$name.log)")
  runs+=("$name")
}

# One processor: gadgetfs passes the data of a control request up only
# until the host's next request arrives; with one processor the gadget's
# real-time thread always reads it first.
boot devices 1 2048 600 "$here/inside/devices.sh" "$native"
# The library's real backend (libnuv.so) against the same drivers.
boot library 1 2048 600 "$here/inside/library.sh" "$native"
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo
  echo "guest: this kernel runs 32-bit programs: the Windows programs ran under Wine on the host"
else
  # The prefix lives in the guest's memory (some 600 MB).
  boot wine32 2 3072 1200 "$here/inside/wine32.sh" "$win32" "$out"
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
if [ ${#failed[@]} -gt 0 ]; then
  printf 'guest: failed: %s\n' "${failed[@]}"
  exit 1
fi
echo "guest: all checks passed"
