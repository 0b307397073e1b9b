#!/bin/bash
# Runs inside the throw-away guest, as root: the kernel's own video and HID
# drivers against the project's probes and the virtual camera.
#
#   devices.sh BUILD_DIR
#
# BUILD_DIR holds tests/gadget/nuv_gadget and tests/guest/guest_*_probe.
#   1. vivid: a capture node, its formats, sizes and controls, frames of a
#      known pattern captured by memory-mapped streaming.
#   2. configfs gadget on dummy_hcd: the kernel's UVC function (expected
#      not to bind: the emulated controller has no isochronous endpoints;
#      the evidence is printed), then the HID function alone, answered by
#      nuv_gadget through /dev/hidg0, exchanged through usbhid's hidraw
#      node, and unbound.
#   3. The whole camera through gadgetfs: uvcvideo and usbhid bind to its
#      interfaces of one USB device; frames compared with the simulator's
#      generator; the camera number (hue) reshapes the frames; vendor
#      commands answered by the simulated firmware; unplugged while in use
#      (the host's nodes must fail cleanly), plugged in again, stopped.
# Prints one line per check ("ok: ..." or "FAIL: ...") and the guest time
# of each step; exit status 1 when a check failed.
set -uo pipefail
build=${1:?usage: devices.sh BUILD_DIR}
gadget=$build/tests/gadget/nuv_gadget
v4l2=$build/tests/guest/guest_v4l2_probe
hidraw=$build/tests/guest/guest_hidraw_probe
for program in "$gadget" "$v4l2" "$hidraw"; do
  [ -x "$program" ] || { echo "FAIL: $program is missing (build the native tree first)"; exit 1; }
done

work=$(mktemp -d)
checks=0
failures=0
pids=()
t_start=$(date +%s.%N)
t_step=$t_start
elapsed() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }
step() {
  [ "$t_step" = "$t_start" ] || echo "    (step took $(elapsed "$t_step") s)"
  t_step=$(date +%s.%N)
  printf '\n== %s\n' "$*"
}
ok() { checks=$((checks + 1)); echo "ok: $*"; }
bad() { checks=$((checks + 1)); failures=$((failures + 1)); echo "FAIL: $*"; }
# Shows a program's output indented, so that the report stays readable.
show() { sed 's/^/    /' "$@"; }
# Waits up to $1 seconds for the condition in the rest of the arguments.
wait_for() {
  local limit=$1
  shift
  local end=$(($(date +%s) + limit))
  until "$@"; do
    [ "$(date +%s)" -lt "$end" ] || return 1
    sleep 0.2
  done
}
stop_started() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  pids=()
}
trap stop_started EXIT

load() {
  local out
  if out=$(modprobe "$@" 2>&1); then return 0; fi
  bad "modprobe $*: $out"
  return 1
}

# ---------------------------------------------------------------------------
step "vivid: a capture device of the kernel's own"
if load vivid n_devs=1 node_types=0x1 input_types=0x0; then
  vivid_node=""
  for dev in /sys/class/video4linux/video*; do
    [ "$(cat "$dev/name" 2>/dev/null)" = "vivid-000-vid-cap" ] && vivid_node=/dev/$(basename "$dev")
  done
  if [ -z "$vivid_node" ]; then
    bad "vivid loaded but no vivid-000-vid-cap node appeared"
  elif "$v4l2" "$vivid_node" --format YUYV --set "Test Pattern=100% White" --set "OSD Text Mode=None" \
         --capture 4 --size 640x360 --uniform >"$work/vivid.log" 2>&1; then
    grep -E '^(device|format|  size|capture|frame|every)' "$work/vivid.log" | show
    echo "    controls: $(grep -c '^control 0x' "$work/vivid.log") (e.g. $(grep -m3 -o '"[^"]*"' <(grep '^control 0x' "$work/vivid.log") | tr '\n' ' '))"
    grep -q '^  size 1280x720 ' "$work/vivid.log" && grep -q '"Test Pattern"' "$work/vivid.log" &&
      ok "vivid: $vivid_node lists YUYV sizes and controls; 4 frames of the white pattern captured, every one uniform" ||
      bad "vivid: the listing lacks the 1280x720 size or the test-pattern control"
  else
    show "$work/vivid.log"
    bad "vivid: the capture on $vivid_node failed"
  fi
  modprobe -r vivid 2>/dev/null
fi

# ---------------------------------------------------------------------------
step "configfs gadget on dummy_hcd: UVC and HID functions of the kernel"
load configfs && { mountpoint -q /sys/kernel/config || mount -t configfs none /sys/kernel/config; }
# Two emulated controllers: a gadget that failed to bind leaves its
# controller unable to connect the next one (state "not attached"), so the
# UVC function gets one of its own.
load dummy_hcd num=2
for module in libcomposite usb_f_uvc usb_f_hid uvcvideo usbhid hid-generic; do load "$module"; done
udc=dummy_udc.0
spare=dummy_udc.1
[ -e "/sys/class/udc/$udc" ] && [ -e "/sys/class/udc/$spare" ] && ok "dummy_hcd gives the controllers $udc and $spare" ||
  bad "no controllers $udc and $spare after modprobe dummy_hcd num=2"

# A configfs gadget named $1 with the HID function and, when $2 is "uvc",
# the UVC function as well.
make_gadget() {
  local G=/sys/kernel/config/usb_gadget/$1
  mkdir "$G" || return 1
  echo 0x1d6b >"$G/idVendor"
  echo 0x0102 >"$G/idProduct"
  echo 0x0100 >"$G/bcdDevice"
  echo 0x0200 >"$G/bcdUSB"
  mkdir "$G/strings/0x409"
  echo nuv >"$G/strings/0x409/manufacturer"
  echo NUV2 >"$G/strings/0x409/product"
  echo 1A2B3C04 >"$G/strings/0x409/serialnumber"
  mkdir -p "$G/configs/c.1/strings/0x409"
  echo camera >"$G/configs/c.1/strings/0x409/configuration"
  echo 500 >"$G/configs/c.1/MaxPower"
  if [ "${2:-}" = uvc ]; then
    # The video function: YUY2 at the cameras' three sizes, 30 and 60 frames a second.
    local F=$G/functions/uvc.0 u size w h d c
    mkdir "$F"
    u=$F/streaming/uncompressed/yuy2
    mkdir -p "$u"
    for size in 1280x720 656x408 328x204; do
      w=${size%x*} h=${size#*x} d=$u/$size
      mkdir "$d"
      echo "$w" >"$d/wWidth"
      echo "$h" >"$d/wHeight"
      echo $((w * h * 2)) >"$d/dwMaxVideoFrameBufferSize"
      echo $((w * h * 16 * 30)) >"$d/dwMinBitRate"
      echo $((w * h * 16 * 60)) >"$d/dwMaxBitRate"
      printf '166667\n333333\n' >"$d/dwFrameInterval"
      echo 333333 >"$d/dwDefaultFrameInterval"
    done
    mkdir "$F/streaming/header/h"
    ln -s "$u" "$F/streaming/header/h/"
    for c in fs hs ss; do ln -s "$F/streaming/header/h" "$F/streaming/class/$c/"; done
    mkdir "$F/control/header/h"
    for c in fs ss; do ln -s "$F/control/header/h" "$F/control/class/$c/"; done
    ln -s "$F" "$G/configs/c.1/"
  fi
  # The vendor HID interface: page 0xFF00, 64-byte input and output reports, no report IDs.
  local H=$G/functions/hid.0
  mkdir "$H"
  echo 0 >"$H/protocol"
  echo 0 >"$H/subclass"
  echo 64 >"$H/report_length"
  printf '\x06\x00\xff\x09\x01\xa1\x01\x15\x00\x26\xff\x00\x75\x08\x95\x40\x09\x01\x81\x02\x95\x40\x09\x01\x91\x02\xc0' \
    >"$H/report_desc"
  ln -s "$H" "$G/configs/c.1/"
}
# Takes a gadget apart again, innermost first (configfs removes nothing
# that still holds links or directories).
remove_gadget() {
  local G=/sys/kernel/config/usb_gadget/$1 F
  [ -d "$G" ] || return 0
  echo "" >"$G/UDC" 2>/dev/null
  rm -f "$G"/configs/c.1/uvc.0 "$G"/configs/c.1/hid.0
  rmdir "$G/configs/c.1/strings/0x409" "$G/configs/c.1"
  F=$G/functions/uvc.0
  if [ -d "$F" ]; then
    rm -f "$F"/control/class/*/h "$F"/streaming/class/*/h "$F/streaming/header/h/yuy2"
    rmdir "$F/control/header/h" "$F/streaming/header/h" "$F"/streaming/uncompressed/yuy2/*/ \
      "$F/streaming/uncompressed/yuy2" "$F"
  fi
  rmdir "$G/functions/hid.0" "$G/strings/0x409" "$G"
}
if make_gadget nuv2-uvc uvc 2>"$work/configfs.err"; then
  ok "configfs gadget built: 1d6b:0102 \"NUV2\" serial 1A2B3C04, uvc.0 (YUY2 1280x720, 656x408, 328x204 at 1/30 and 1/60) and hid.0 (page 0xFF00, 64-byte reports)"
else
  show "$work/configfs.err"
  bad "the configfs gadget could not be built"
fi
dmesg -C
if echo "$spare" >/sys/kernel/config/usb_gadget/nuv2-uvc/UDC 2>"$work/bind.err"; then
  ok "UVC and HID functions bound to $spare (not used further: the camera's video runs through gadgetfs below)"
else
  uvc_reason=$(dmesg | grep -E 'uvc|UDC|failed to start' | sed 's/^\[[^]]*\] //' | tr '\n' ';')
  echo "    binding uvc.0 + hid.0 to $spare: $(sed 's/^.*: //' "$work/bind.err" | tr -d '\n')"
  echo "    kernel: $uvc_reason"
  echo "    $spare's endpoints are bulk, interrupt and bulk-or-interrupt ones, none isochronous; the UVC"
  echo "    function streams over an isochronous endpoint only (and dummy_hcd fails isochronous transfers)."
  case "$uvc_reason" in
    *"Unable to allocate streaming EP"*) ok "the UVC function cannot bind to $spare, as known: no isochronous endpoint for its stream" ;;
    *) bad "binding the UVC function failed for another reason than the missing isochronous endpoint" ;;
  esac
fi
remove_gadget nuv2-uvc 2>>"$work/configfs.err" || { show "$work/configfs.err"; bad "the UVC gadget could not be taken apart"; }

step "configfs gadget: the HID function alone, answered through /dev/hidg0"
hid_node() {  # the hidraw node of the gadget's HID interface, by its USB ids
  local h
  for h in /sys/class/hidraw/hidraw*; do
    [ -e "$h" ] || continue
    case "$(basename "$(readlink -f "$h/device")")" in *:1D6B:0102.*) echo "/dev/$(basename "$h")"; return 0 ;; esac
  done
  return 1
}
G=/sys/kernel/config/usb_gadget/nuv2
make_gadget nuv2 2>>"$work/configfs.err"
if echo "$udc" >"$G/UDC" 2>"$work/bind.err"; then
  "$gadget" --hidg /dev/hidg0 >"$work/hidg.out" 2>"$work/hidg.err" &
  hidg_pid=$!
  pids+=("$hidg_pid")
  if wait_for 30 hid_node >/dev/null; then
    node=$(hid_node)
    if "$hidraw" "$node" --command e0 >"$work/hidg-e0.log" 2>&1 &&
       grep -q '^reply: 01 e0 1a 2b 3c 04 .* 00$' "$work/hidg-e0.log"; then
      ok "f_hid: $node answers the serial-number command (e0) with 1A 2B 3C 04, status 0"
    else
      show "$work/hidg-e0.log"
      bad "f_hid: no correct answer to the serial-number command through $node"
    fi
    "$hidraw" "$node" --command e0 --repeat 1000 --interval-ms 100 --timeout-ms 3000 >"$work/hidg-unplug.log" 2>&1 &
    holder=$!
    sleep 1
    echo "" >"$G/UDC"
    if wait_for 15 sh -c "! kill -0 $holder 2>/dev/null"; then
      wait "$holder"
      status=$?
      reason=$(tail -n1 "$work/hidg-unplug.log")
      if [ "$status" -ne 0 ] && [ "$(grep -c '^reply:' "$work/hidg-unplug.log")" -ge 1 ]; then
        ok "f_hid unbound while in use: the open hidraw node failed cleanly ($reason)"
      else
        bad "f_hid unbound while in use: the probe ended with status $status ($reason)"
      fi
    else
      kill "$holder"
      bad "f_hid unbound while in use: the open hidraw node hung for 15 s"
    fi
    [ -e "$node" ] && bad "$node is still there after the unbind" || ok "$node is gone after the unbind"
  else
    bad "f_hid: no hidraw node of 1d6b:0102 within 30 s"
    echo "" >"$G/UDC"
  fi
  kill "$hidg_pid" 2>/dev/null
  wait "$hidg_pid"
  echo "    nuv_gadget: $(cat "$work/hidg.out")"
  pids=()
else
  show "$work/bind.err"
  bad "the HID function alone did not bind to $udc"
fi
remove_gadget nuv2 2>>"$work/configfs.err" || { show "$work/configfs.err"; bad "the HID gadget could not be taken apart"; }

# ---------------------------------------------------------------------------
step "the whole camera through gadgetfs: uvcvideo and usbhid on one USB device"
load gadgetfs
mkdir -p /dev/gadget
mountpoint -q /dev/gadget || mount -t gadgetfs gadgetfs /dev/gadget
camera_runs=0
camera_pid=""
start_camera() {
  camera_runs=$((camera_runs + 1))
  "$gadget" --gadgetfs /dev/gadget >"$work/camera-$camera_runs.out" 2>"$work/camera-$camera_runs.err" &
  camera_pid=$!
  pids+=("$camera_pid")
}
# SIGTERM: the camera must end by itself, with status 0 and its summary.
stop_camera() {
  [ -n "$camera_pid" ] || return 0
  kill "$camera_pid"
  if wait_for 20 sh -c "! kill -0 $camera_pid 2>/dev/null"; then
    wait "$camera_pid"
    local status=$?
    echo "    nuv_gadget: $(cat "$work/camera-$camera_runs.out")"
    if [ "$status" -eq 0 ] && grep -q 'stopped by a signal' "$work/camera-$camera_runs.out"; then
      ok "nuv_gadget ended on SIGTERM with status 0"
    else
      show "$work/camera-$camera_runs.err"
      bad "nuv_gadget ended on SIGTERM with status $status"
    fi
  else
    kill -9 "$camera_pid"
    bad "nuv_gadget did not end within 20 s of SIGTERM"
  fi
  camera_pid=""
  pids=()
}
start_camera
video_node() {  # the capture node uvcvideo made for 1d6b:0102
  local v
  for v in /sys/class/video4linux/video*; do
    [ -e "$v" ] || continue
    [ "$(cat "$(readlink -f "$v/device")/../idProduct" 2>/dev/null)" = 0102 ] || continue
    grep -q uvcvideo <(readlink -f "$v/device/driver") && { echo "/dev/$(basename "$v")"; return 0; }
  done
  return 1
}
both_nodes() { video_node >/dev/null && hid_node >/dev/null; }
# Walks up from a class device to the USB device it belongs to.
usb_device_of() {
  local dir
  dir=$(readlink -f "$1/device")
  while [ "$dir" != / ] && [ ! -f "$dir/idVendor" ]; do dir=$(dirname "$dir"); done
  echo "$dir"
}
interface_of() {
  local dir
  dir=$(readlink -f "$1/device")
  while [ "$dir" != / ] && [ ! -f "$dir/bInterfaceNumber" ]; do dir=$(dirname "$dir"); done
  cat "$dir/bInterfaceNumber"
}
if wait_for 60 both_nodes; then
  vnode=$(video_node)
  hnode=$(hid_node)
  vdev=$(usb_device_of "/sys/class/video4linux/$(basename "$vnode")")
  hdev=$(usb_device_of "/sys/class/hidraw/$(basename "$hnode")")
  echo "    $vnode: interface $(interface_of "/sys/class/video4linux/$(basename "$vnode")") of $vdev"
  echo "    $hnode: interface $(interface_of "/sys/class/hidraw/$(basename "$hnode")") of $hdev"
  echo "    the host reads: product \"$(cat "$vdev/product")\", serial \"$(cat "$vdev/serial")\", manufacturer \"$(cat "$vdev/manufacturer")\", $(cat "$vdev/idVendor"):$(cat "$vdev/idProduct")"
  if [ "$vdev" = "$hdev" ] && [ "$(cat "$vdev/product")" = NUV2 ] && [ "$(cat "$vdev/serial")" = 1A2B3C04 ]; then
    ok "uvcvideo ($vnode) and usbhid ($hnode) sit on the same USB device, product NUV2, serial 1A2B3C04"
  else
    bad "the video and HID nodes do not belong to one USB device NUV2 / 1A2B3C04"
  fi

  if "$v4l2" "$vnode" --format YUYV >"$work/camera-list.log" 2>&1 &&
     grep -q '^  size 1280x720 intervals 1/60 1/30$' "$work/camera-list.log" &&
     grep -q '^  size 656x408 intervals 1/60 1/30$' "$work/camera-list.log" &&
     grep -q '^  size 328x204 intervals 1/60 1/30$' "$work/camera-list.log"; then
    grep -E '^(device|format|  size|control 0x)' "$work/camera-list.log" | show
    ok "$vnode offers YUYV 1280x720, 656x408 and 328x204 at 1/60 and 1/30 s"
  else
    show "$work/camera-list.log"
    bad "$vnode does not offer the camera's formats"
  fi

  # Frames: every word but the frame counter (the first four) as the
  # simulator's generator makes them.
  for size in 1280x720 656x408 328x204; do
    if "$v4l2" "$vnode" --format YUYV --size "$size" --capture 3 --save "$work/frame-$size.raw" \
         --timeout 60 >"$work/capture-$size.log" 2>&1 &&
       "$gadget" --write-frame "$size" "$work/expected-$size.raw" 2>>"$work/capture-$size.log" &&
       cmp -s -i 8 "$work/frame-$size.raw" "$work/expected-$size.raw"; then
      counters=$(sed -n 's/^frame [0-9]*: .*first bytes \(..\) 00 \(..\) 00 \(..\) 00 \(..\) 00$/\4\3\2\1/p' \
        "$work/capture-$size.log" | while read -r c; do printf '%d ' "0x$c"; done)
      ok "uvcvideo: 3 frames of $size arrived, each word beyond the counter as the generator makes it (frame counters: $counters)"
    else
      show "$work/capture-$size.log"
      cmp "$work/frame-$size.raw" "$work/expected-$size.raw" 2>&1 | show
      bad "uvcvideo: the frames of $size did not arrive as the generator made them"
    fi
  done
  # The camera number behind hue reshapes the frames: the shading and the
  # defect list of camera 2.
  if "$v4l2" "$vnode" --format YUYV --set Hue=2 --size 328x204 --capture 2 --save "$work/frame-cam2.raw" \
       --timeout 60 >"$work/capture-cam2.log" 2>&1 &&
     "$gadget" --write-frame 328x204 "$work/expected-cam2.raw" --camera-number 2 &&
     cmp -s -i 8 "$work/frame-cam2.raw" "$work/expected-cam2.raw" &&
     ! cmp -s -i 8 "$work/frame-cam2.raw" "$work/expected-328x204.raw"; then
    ok "hue set to 2 through V4L2: the frames are those of camera number 2"
  else
    show "$work/capture-cam2.log"
    bad "hue 2 did not give the frames of camera number 2"
  fi
  "$v4l2" "$vnode" --set Hue=1 >/dev/null 2>&1

  # Vendor commands through hidraw, answered by the simulated firmware.
  if "$hidraw" "$hnode" --command 21 07 00 00 38 --sequence 7 >"$work/hid-21.log" 2>&1 &&
     grep -q '^reply: 07 21 07 00 00 1a 2b 3c 04 .* 00$' "$work/hid-21.log"; then
    grep -E '^(device|report|reply)' "$work/hid-21.log" | show
    ok "hidraw: flash read 0x21 at 0x070000, 56 bytes: the parameter block begins with the serial 1A 2B 3C 04, status 0"
  else
    show "$work/hid-21.log"
    bad "hidraw: the parameter block's first chunk did not come back"
  fi
  if "$hidraw" "$hnode" --command ff --sequence 8 >"$work/hid-ff.log" 2>&1; then
    text=""
    for byte in $(sed -n 's/^reply: 08 ff //p' "$work/hid-ff.log"); do
      [ "$byte" = 00 ] && break
      text+=$(printf "\\x$byte")
    done
    [ "$text" = "NUV FW 2.04.17 2020-08-21" ] && ok "hidraw: the firmware's version text reads \"$text\"" ||
      bad "hidraw: the version text reads \"$text\""
  else
    show "$work/hid-ff.log"
    bad "hidraw: no answer to the version command"
  fi

  # Unplugged while both nodes are in use: the device side goes away
  # (nuv_gadget closes the controller file, which unbinds gadgetfs).
  "$v4l2" "$vnode" --format YUYV --size 328x204 --capture 100000 --timeout 15 >"$work/unplug-video.log" 2>&1 &
  video_holder=$!
  "$hidraw" "$hnode" --command e0 --repeat 100000 --interval-ms 100 --timeout-ms 3000 >"$work/unplug-hid.log" 2>&1 &
  hid_holder=$!
  wait_for 30 grep -q '^frame 1:' "$work/unplug-video.log"
  wait_for 10 grep -q '^reply:' "$work/unplug-hid.log"
  stop_camera
  for holder in video:$video_holder hid:$hid_holder; do
    name=${holder%%:*} pid=${holder#*:}
    log=$work/unplug-$name.log
    if wait_for 20 sh -c "! kill -0 $pid 2>/dev/null"; then
      wait "$pid"
      status=$?
      if [ "$status" -ne 0 ] && grep -q -E '^(frame 1:|reply:)' "$log"; then
        ok "unplugged while in use: the $name node failed cleanly ($(tail -n1 "$log"))"
      else
        show "$log"
        bad "unplugged while in use: the $name probe ended with status $status"
      fi
    else
      kill "$pid"
      bad "unplugged while in use: the $name node hung for 20 s"
    fi
  done
  ! video_node >/dev/null && ! hid_node >/dev/null && ok "both nodes are gone after the unplug" ||
    bad "a node of the camera is still there after the unplug"
  start_camera
  if wait_for 60 both_nodes && "$hidraw" "$(hid_node)" --command e0 >"$work/replug.log" 2>&1 &&
     "$v4l2" "$(video_node)" --format YUYV --size 328x204 --capture 2 --timeout 60 >>"$work/replug.log" 2>&1; then
    ok "plugged in again: $(video_node) streams and $(hid_node) answers"
  else
    show "$work/replug.log"
    bad "plugged in again: the camera did not come back"
  fi
else
  bad "the camera's nodes did not appear within 60 s"
  dmesg | tail -n 20 | show
fi
stop_camera
grep -h -E 'lost the data|stalled' "$work"/camera-*.err | show

echo "    (step took $(elapsed "$t_step") s)"
echo
echo "devices: $((checks - failures)) of $checks checks passed in $(elapsed "$t_start") s of guest time"
rm -rf "$work"
[ "$failures" -eq 0 ]
