#!/usr/bin/env bash
# Is 32-bit Wine usable? Exit status 0 when it is; 1 with the real cause on
# standard output otherwise.
#   wine32.sh              here: installed, and this kernel starts 32-bit programs
#   wine32.sh --installed  installed (for the guest, whose kernel starts them)
# A package that scripts/deps.sh could not install is named with apt's reason.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wine=/usr/lib/wine/wine
causes=()
if [ "${1:-}" != --installed ] && ! kernel=$("$here/probe32.sh"); then causes+=("$kernel"); fi
if [ ! -x "$wine" ]; then
  reason=$(awk -F '\t' '$1 == "wine32" { print $2 ": " $3; exit }' "$here/../build/deps-skipped.tsv" 2>/dev/null)
  causes+=("32-bit Wine is not installed (${reason:-package wine32:i386 is absent; scripts/deps.sh all installs it})")
elif [ ${#causes[@]} -eq 0 ] && [ "${1:-}" != --installed ] && ! out=$("$wine" --version 2>&1); then
  causes+=("32-bit Wine does not start: $out")
fi
[ ${#causes[@]} -eq 0 ] && exit 0
(IFS=';'; printf '%s\n' "${causes[*]}" | sed 's/;/; and /g')
exit 1
