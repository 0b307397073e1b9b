#!/usr/bin/env bash
# Can this kernel start 32-bit x86 programs? Some virtual machines' kernels
# lack the 32-bit entry, whatever is installed. Runs a 96-byte static i386
# program that only exits with status 42 (no library, no package needed).
# Exit status 0 when it can; 1 with the reason on standard output otherwise.
set -uo pipefail
dir=$(mktemp -d "${TMPDIR:-/tmp}/nuv-probe32.XXXXXX") || { echo "no temporary folder"; exit 1; }
trap 'rm -rf "$dir"' EXIT
/usr/bin/python3 - "$dir/exit42" <<'PY' || { echo "could not write the probe program"; exit 1; }
import os, struct, sys
base = 0x08048000
code = bytes([0xB8, 1, 0, 0, 0,      # mov eax, 1 (exit)
              0xBB, 42, 0, 0, 0,     # mov ebx, 42
              0xCD, 0x80])           # int 0x80
size = 52 + 32 + len(code)
header = (b"\x7fELF" + bytes([1, 1, 1, 0]) + bytes(8) +
          struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0))
segment = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
with open(sys.argv[1], "wb") as f:
    f.write(header + segment + code)
os.chmod(sys.argv[1], 0o755)
PY
out=$("$dir/exit42" 2>&1)
status=$?
[ "$status" -eq 42 ] && exit 0
# The shell's own words end with the kernel's: "cannot execute binary file: Exec format error".
echo "this kernel cannot start 32-bit programs (a static i386 program: ${out##*: }, status $status)"
exit 1
