#!/usr/bin/env bash
# Is 32-bit Wine usable? Exit status 0 when it is; 1 with the real cause on
# standard output otherwise.
#   wine32.sh              here: installed, and this kernel starts 32-bit programs
#   wine32.sh --installed  installed (for the guest, whose kernel starts them)
# A package that scripts/deps.sh could not install is named with apt's reason.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wine=/usr/lib/wine/wine
if [ ! -x "$wine" ]; then
  reason=$(awk -F '\t' '$1 == "wine32" { print $2 ": " $3; exit }' "$here/../build/deps-skipped.tsv" 2>/dev/null)
  echo "32-bit Wine is not installed (${reason:-package wine32:i386 is absent; scripts/deps.sh all installs it})"
  exit 1
fi
[ "${1:-}" = --installed ] && exit 0
"$here/probe32.sh" || exit 1
out=$("$wine" --version 2>&1) || { echo "32-bit Wine does not start: $out"; exit 1; }
exit 0
