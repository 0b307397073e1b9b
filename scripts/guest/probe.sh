#!/usr/bin/env bash
# Can the throw-away guest boot here? Starts qemu for a moment with the
# devices the guest uses (emulated processor, 9p shares), without booting.
# Exit status 0 when it can; 77 with the reason on standard output when it
# cannot (no qemu, no /dev, qemu refusing to start).
set -uo pipefail
cannot() { echo "$*"; exit 77; }

qemu=$(command -v qemu-system-x86_64) || cannot "qemu-system-x86_64 is not installed (scripts/deps.sh guest installs it)"
for dev in /dev/null /dev/urandom; do
  [ -c "$dev" ] || cannot "$dev is missing"
done
[ -w /dev/null ] || cannot "/dev/null is not writable"
[ "$(uname -m)" = x86_64 ] || cannot "this is not an x86_64 machine ($(uname -m))"

dir=$(mktemp -d "${TMPDIR:-/tmp}/nuv-guest-probe.XXXXXX") || cannot "no temporary folder"
trap 'rm -rf "$dir"' EXIT
# -S keeps the processor stopped; the monitor's quit ends qemu.
if ! out=$(echo quit | timeout 60 "$qemu" -accel tcg -cpu max,-smap -m 64 -S -nodefaults -display none \
             -monitor stdio -serial none -nic none \
             -virtfs "local,path=$dir,mount_tag=probe,security_model=none,readonly=on" 2>&1); then
  cannot "qemu-system-x86_64 does not start: $(printf '%s' "$out" | grep -v '^(qemu)\|^QEMU .* monitor' | tail -n 3 | tr '\n' ' ')"
fi
exit 0
