#!/bin/bash
# Runs inside the throw-away guest, as root: libnuv.so, the library's real
# backend, against the kernel's own drivers.
#
#   library.sh BUILD_DIR
#
#   1. vivid as a plain video device: listing, formats, a video-only open,
#      frames, properties, and a close that leaves nothing open;
#   2. the virtual camera (nuv_gadget through gadgetfs, met by uvcvideo and
#      usbhid): nuvctl --real lists it with its serial; the library lists
#      and opens it by serial, reads its parameter block, hands out frames
#      corrected exactly as the same correction of the raw frame, sends
#      vendor commands, rewrites its firmware, and fails cleanly once it is
#      unplugged; before that, GStreamer's own v4l2src and nuvsrc over
#      libnuv.so stream from the same video node one after the other (both
#      deliver; nuvsrc's corrected frames are the correction of v4l2src's raw
#      ones) and their CPU time per frame is compared.
# The library's calls are driven by the Python package (python/tests are
# its own); exit status 1 when a check failed.
set -uo pipefail
native=${1:?usage: library.sh BUILD_DIR}
repo=$(cd "$(dirname "$0")/../../.." && pwd)
gadget=$native/tests/gadget/nuv_gadget
for file in "$native/libnuv.so" "$gadget" "$native/nuvctl"; do
  [ -e "$file" ] || { echo "FAIL: $file is missing (build the native tree first)"; exit 1; }
done
export NUV_LIBRARY=$native/libnuv.so PYTHONPATH=$repo/python PYTHONDONTWRITEBYTECODE=1
failures=0
t_start=$(date +%s.%N)
elapsed() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }
# pytest's own lines indented, and one line per test case ("ok: ..." or
# "FAIL: ..."), which the test command counts.
pytest() {
  /usr/bin/python3 -m pytest -p no:cacheprovider -q -rA "$@" 2>&1 |
    sed -E 's/^PASSED (.*)/ok: \1/; t; s/^(FAILED|ERROR) (.*)/FAIL: \2/; t; s/^/    /'
  return "${PIPESTATUS[0]}"
}
# check_cases NAME PYTEST_ARGS...: a pytest file whose cases are the checks.
check_cases() {
  echo "    $1:"
  pytest "${@:2}" || failures=$((failures + 1))
}
check() {  # check NAME COMMAND...: one line, and the count of failures
  if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; failures=$((failures + 1)); fi
}
wait_for() {
  local end=$(($(date +%s) + $1))
  shift
  until "$@"; do
    [ "$(date +%s)" -lt "$end" ] || return 1
    sleep 0.2
  done
}

# The camera's capture node (uvcvideo's other node carries metadata).
uvc_capture_node() {
  local v
  for v in /sys/class/video4linux/video*; do
    [ -e "$v" ] && grep -q uvcvideo <(readlink -f "$v/device/driver") && [ "$(cat "$v/index")" = 0 ] &&
      { echo "/dev/$(basename "$v")"; return 0; }
  done
  return 1
}
# nuvsrc (libgstnuv.so over libnuv.so) and v4l2src on the same node, and
# their CPU time per frame side by side (the figures are printed: the
# guest's timing is noisy, so they are no pass mark).
gstreamer_beside_v4l2src() {
  local node figures status=0
  if [ ! -e "$native/gst/libgstnuv.so" ] || ! command -v gst-launch-1.0 >/dev/null; then
    echo "    (nuvsrc skipped: $native/gst/libgstnuv.so or gst-launch-1.0 is missing)"
    return 0
  fi
  if ! node=$(uvc_capture_node); then
    echo "FAIL: no capture node of uvcvideo for nuvsrc and v4l2src"
    failures=$((failures + 1))
    return 0
  fi
  export GST_PLUGIN_PATH=$native/gst GST_REGISTRY=/tmp/gst-registry.bin NUVSRC_VIDEO=$node
  check "nuvsrc over libnuv.so and v4l2src both deliver from $node; nuvsrc's frames are the correction of v4l2src's" \
    pytest "$repo/tests/guest/machine/test_nuvsrc_v4l2src.py"
  if [ ! -x "$native/bench/nuvsrc_bench" ]; then
    echo "    (nuvsrc's figures skipped: $native/bench/nuvsrc_bench is not built; it needs Google Benchmark's package)"
    return 0
  fi
  figures=$("$native/bench/nuvsrc_bench" --guest "$node" 1A2B3C04 3 2>&1) || status=$?
  echo "$figures" | sed 's/^/    /'
  check "nuvsrc's CPU time per frame measured beside v4l2src's on $node" test "$status" -eq 0
}

printf '\n== vivid: a plain video device through libnuv\n'
t=$(date +%s.%N)
if modprobe vivid n_devs=1 node_types=0x1 input_types=0x0; then
  check_cases "libnuv lists, opens and streams vivid for video only" "$repo/tests/guest/machine/test_vivid.py"
  modprobe -r vivid
else
  echo "FAIL: modprobe vivid"
  failures=$((failures + 1))
fi
echo "    (step took $(elapsed "$t") s)"

printf '\n== the virtual camera through libnuv\n'
t=$(date +%s.%N)
for module in dummy_hcd gadgetfs uvcvideo usbhid hid-generic; do modprobe "$module" || echo "FAIL: modprobe $module"; done
mkdir -p /dev/gadget
mountpoint -q /dev/gadget || mount -t gadgetfs gadgetfs /dev/gadget
"$gadget" --gadgetfs /dev/gadget >/tmp/camera.out 2>/tmp/camera.err &
camera=$!
camera_nodes() {
  local v h video="" hid=""
  for v in /sys/class/video4linux/video*; do
    [ -e "$v" ] && grep -q uvcvideo <(readlink -f "$v/device/driver") && video=1
  done
  for h in /sys/class/hidraw/hidraw*; do
    [ -e "$h" ] && case "$(basename "$(readlink -f "$h/device")")" in *:1D6B:0102.*) hid=1 ;; esac
  done
  [ -n "$video" ] && [ -n "$hid" ]
}

if wait_for 60 camera_nodes; then
  listed=$("$native/nuvctl" --real list 2>&1)
  echo "$listed" | sed 's/^/    /'
  check "nuvctl --real lists \"NUV2#1A2B3C04\" through the real backend" grep -q "NUV2#1A2B3C04" <<<"$listed"
  gstreamer_beside_v4l2src
  # The unplug: the device side ends, the host's nodes go.
  export NUV_GUEST_UNPLUG="kill $camera; while kill -0 $camera 2>/dev/null; do sleep 0.2; done; \
for i in \$(seq 100); do ls /dev/hidraw* /dev/video* >/dev/null 2>&1 || break; sleep 0.2; done"
  check_cases "libnuv meets the virtual camera as a real one" "$repo/tests/guest/machine/test_virtual_camera.py"
else
  echo "FAIL: the camera's nodes did not appear within 60 s"
  sed 's/^/    /' /tmp/camera.err
  failures=$((failures + 1))
fi
kill "$camera" 2>/dev/null
wait "$camera" 2>/dev/null
echo "    nuv_gadget: $(cat /tmp/camera.out)"
echo "    (step took $(elapsed "$t") s)"

echo
echo "library: $failures failed check(s), $(elapsed "$t_start") s of guest time"
[ "$failures" -eq 0 ]
