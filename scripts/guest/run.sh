#!/usr/bin/env bash
# Boots the throw-away guest (Debian's 6.1 kernel under qemu's software
# emulation, the host root read-only with a tmpfs overlay, no network) and
# runs one script in it as root. The script's standard output and error come
# back on ours, its exit status is ours.
#
#   run.sh [options] SCRIPT [ARG...]
#
#   --share DIR      shares DIR read-write at the same path (repeatable;
#                    default: this checkout)
#   --timeout S      stops the guest after S seconds (default 600): status 124
#   --cpus N         virtual processors (default 2)
#   --memory MB      guest memory (default 2048)
#   --cache DIR      the kernel cache of setup.sh (default: build/guest-cache)
#   --times FILE     writes the timings (boot, script, total) there as JSON
#   --console FILE   keeps the guest's console log there
#
# The script runs in the current folder, with stdin from /dev/null and a
# small environment (PATH, HOME=/root, TERM=dumb, LANG=C.UTF-8).
# Exit status: the script's; 124 when the guest timed out; 125 when the
# guest could not run the script (the reason goes to standard error).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
cache="$repo/build/guest-cache"
shares=()
timeout_s=600
cpus=2
memory=2048
times=""
console=""
usage() { sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
  case "$1" in
    --share) shares+=("${2:?--share needs a folder}"); shift 2 ;;
    --timeout) timeout_s=${2:?--timeout needs seconds}; shift 2 ;;
    --cpus) cpus=${2:?--cpus needs a number}; shift 2 ;;
    --memory) memory=${2:?--memory needs megabytes}; shift 2 ;;
    --cache) cache=${2:?--cache needs a folder}; shift 2 ;;
    --times) times=${2:?--times needs a file}; shift 2 ;;
    --console) console=${2:?--console needs a file}; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    --) shift; break ;;
    -*) echo "run.sh: unknown option: $1" >&2; exit 125 ;;
    *) break ;;
  esac
done
fail() { echo "guest: $*" >&2; exit 125; }
[ $# -ge 1 ] || { usage >&2; exit 125; }
for n in "$timeout_s" "$cpus" "$memory"; do
  [[ $n =~ ^[1-9][0-9]*$ ]] || fail "not a positive whole number: $n"
done
script=$(realpath -e "$1" 2>/dev/null) || fail "no such script: $1"
[ -x "$script" ] || fail "the script is not executable: $script"
shift
[ ${#shares[@]} -gt 0 ] || shares=("$repo")

reason=$("$here/probe.sh") || fail "cannot boot here: $reason"
"$here/setup.sh" --cache "$cache" >/dev/null || fail "setup.sh could not prepare the kernel in $cache"
# The physical path: the guest's init mounts from it before it changes
# root, where a symbolic link to an absolute path would point nowhere.
cache=$(cd "$cache" && pwd -P)
version=$(cat "$cache/version")
kdir="$cache/kernel-$version"

run=$(mktemp -d "${TMPDIR:-/tmp}/nuv-guest.XXXXXX")
qemu_pid=""
cleanup() {
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then kill "$qemu_pid" 2>/dev/null || true; fi
  rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Single quotes survive any path or argument: ' becomes '\''.
quote() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }
command="cd $(quote "$PWD") && exec $(quote "$script")"
for arg in "$@"; do command+=" $(quote "$arg")"; done

virtfs=(-virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"
        -virtfs "local,path=$run,mount_tag=hostrun,security_model=none")
share_lines=""
i=0
for dir in "${shares[@]}"; do
  dir=$(realpath -e "$dir" 2>/dev/null) || fail "no such folder to share: $dir"
  [ -d "$dir" ] || fail "not a folder: $dir"
  i=$((i + 1))
  virtfs+=(-virtfs "local,path=$dir,mount_tag=share$i,security_model=none,multidevs=remap")
  share_lines+="share$i $dir"$'\n'
done
{
  printf 'NUV_VERSION=%s\n' "$(quote "$version")"
  printf 'NUV_MODULES=%s\n' "$(quote "$kdir/root/lib/modules/$version")"
  printf 'NUV_SHARES=%s\n' "$(quote "$share_lines")"
  printf 'NUV_COMMAND=%s\n' "$(quote "$command")"
} >"$run/guest.conf"
: >"$run/stdout"
: >"$run/stderr"

now() { date +%s.%N; }
t0=$(now)
# -cpu max,-smap: qemu 7.2's emulation returns to 32-bit user code with
# kernel rights for a moment, which SMAP turns into an oops in every 32-bit
# process. tsc=reliable: with several processors the kernel otherwise falls
# back to the HPET clock and everything that reads the time crawls.
nice -n 10 timeout -k 10 "$timeout_s" qemu-system-x86_64 \
  -accel tcg -cpu max,-smap -smp "$cpus" -m "$memory" \
  -nodefaults -nographic -no-reboot -monitor none -nic none \
  -serial "file:$run/console" \
  -kernel "$kdir/vmlinux" -initrd "$cache/initramfs.cpio" \
  -append "console=ttyS0 loglevel=4 tsc=reliable panic=-1 mitigations=off rdinit=/init" \
  "${virtfs[@]}" </dev/null >"$run/qemu.log" 2>&1 &
qemu_pid=$!

# The output files are read from where the last read stopped: each cat
# continues on the same open file.
exec 3<"$run/stdout" 4<"$run/stderr"
while kill -0 "$qemu_pid" 2>/dev/null; do
  cat <&3
  cat <&4 >&2
  sleep 0.3
done
qemu_status=0
wait "$qemu_pid" || qemu_status=$?
qemu_pid=""
cat <&3
cat <&4 >&2
exec 3<&- 4<&-
t_end=$(now)

[ -n "$console" ] && cp "$run/console" "$console"
if [ -n "$times" ]; then
  mtime() { [ -f "$1" ] && stat -c %.3Y "$1" || echo ""; }
  started=$(mtime "$run/started")
  ended=$(mtime "$run/status")
  guest_boot=$(cat "$run/started" 2>/dev/null || true)
  awk -v t0="$t0" -v s="$started" -v e="$ended" -v end="$t_end" -v gb="$guest_boot" 'BEGIN {
    printf "{\"boot_s\": %s, \"script_s\": %s, \"total_s\": %.2f, \"guest_uptime_at_start_s\": %s}\n",
      s == "" ? "null" : sprintf("%.2f", s - t0), (s == "" || e == "") ? "null" : sprintf("%.2f", e - s),
      end - t0, gb == "" ? "null" : gb
  }' >"$times"
fi

if [ -f "$run/status" ]; then
  exit "$(cat "$run/status")"
fi
if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
  echo "guest: timed out after $timeout_s s (script: $script)" >&2
  exit 124
fi
{
  echo "guest: the guest ended without the script's exit status (qemu exit status $qemu_status)"
  [ -s "$run/init-error" ] && sed 's/^/guest: init: /' "$run/init-error"
  [ -s "$run/qemu.log" ] && sed 's/^/guest: qemu: /' "$run/qemu.log" | tail -n 20
  if [ -s "$run/console" ]; then
    echo "guest: last lines of the console:"
    tail -n 30 "$run/console" | sed 's/^/  /'
  fi
} >&2
exit 125
