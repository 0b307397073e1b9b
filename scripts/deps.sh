#!/usr/bin/env bash
# Installs what the build and the tests need and is missing, with apt-get
# (Debian 12, root).
#   deps.sh all      everything below
#   deps.sh native   what the native build and its tests need
#   deps.sh guest    the throw-away guest's packages
#
# The native build's packages are required: the script fails when one of
# them cannot be installed. Every other piece is optional: where it cannot
# be installed (a mirror in the middle of a sync, an i386 index older than
# the amd64 one), the script says so, goes on, and writes the piece and its
# reason to build/deps-skipped.tsv ("piece<TAB>package<TAB>reason"), from
# which the test command names the cause of each leg it skips.
set -uo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
case "$what" in all | native | guest) ;; *) echo "usage: deps.sh [all|native|guest]" >&2; exit 2 ;; esac

# Pieces: name, then whether apt may add recommended packages, then packages.
required=(g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-numpy python3-pytest python3-pil
  pkg-config libcli11-dev nlohmann-json3-dev libpng-dev libboost-dev)
declare -A pieces recommends
add_piece() { pieces[$1]="${*:3}"; recommends[$1]=$2; }
order=()
if [ "$what" != guest ]; then
  # nuvctl's browser test drives Debian's Chromium through chromedriver.
  add_piece browser yes chromium chromium-driver python3-selenium
  # The Python package installed the usual way, offline, and its type hints
  # checked as a user's type checker reads them.
  add_piece python-install yes python3-venv python3-setuptools python3-pip mypy
  # nuvsrc, and what its tests drive: gst-device-monitor-1.0 (-base-apps) and
  # the FFV1 codec of the lossless recording (-libav).
  add_piece gstreamer yes libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools \
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good python3-gst-1.0 python3-opencv \
    gstreamer1.0-plugins-base-apps gstreamer1.0-libav
  order+=(browser python-install gstreamer)
fi
if [ "$what" = all ]; then
  add_piece mingw yes g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest libz-mingw-w64-dev
  add_piece wine64 yes wine wine64
  # 32-bit Wine: its i386 libraries must match the amd64 ones of the same
  # security update, so a stale i386 index makes it uninstallable for a while.
  add_piece wine32 yes wine32:i386
  order+=(mingw wine64 wine32)
fi
if [ "$what" != native ]; then
  add_piece guest no qemu-system-x86 busybox-static kmod cpio xz-utils
  order+=(guest)
fi
[ "$what" = guest ] && required=()

mkdir -p build
skipped=build/deps-skipped.tsv
: >"$skipped"

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
absent() { local p; for p in "$@"; do installed "$p" || printf '%s\n' "$p"; done; }

mapfile -t missing_required < <(absent "${required[@]}")
any_missing=${#missing_required[@]}
for piece in "${order[@]}"; do
  # shellcheck disable=SC2086 # a piece is a list of words
  [ -n "$(absent ${pieces[$piece]})" ] && any_missing=1
done
[ "$any_missing" = 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if [ "$what" = all ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386 || true
fi
# Another apt on the machine (an unattended upgrade) holds the lock for a
# while: wait for it instead of failing.
apt=($SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600)

# An index that is being synced on the mirror fails with "File has
# unexpected size"; a few tries a little apart usually meet a finished
# one. When they do not, apt keeps the indexes it has (old or missing ones)
# and whatever they still make installable is installed below.
index_note=""
for wait_s in 5 15 30 0; do
  if out=$("${apt[@]}" update -qq 2>&1); then index_note=""; break; fi
  # "E: Failed to fetch http://HOST/debian-security/dists/SUITE/main/binary-i386/Packages.xz  File has
  # unexpected size ... Mirror sync in progress? [IP: ...]" says: SUITE/main/binary-i386/Packages.xz: File has ...
  index_note=$(printf '%s\n' "$out" | grep -E '^(E|W): ' | grep -v 'Some index files failed' | head -n 2 |
    sed -E 's|^[EW]: Failed to fetch [^ ]*/dists/([^ ]*) +|\1: |; s| *\[IP: [^]]*\]||' | paste -sd ';' -)
  [ "$wait_s" -gt 0 ] || break
  echo "deps: the package index update failed (${index_note:-apt-get update exited non-zero}); trying again in $wait_s s" >&2
  sleep "$wait_s"
done
[ -n "$index_note" ] && echo "deps: going on with the package indexes there are: $index_note" >&2

# install RECOMMENDS PACKAGE...: all at once; when that fails, one by one,
# so that one uninstallable package costs only itself. Prints each package
# that could not be installed with apt's reason.
install() {
  local rec=$1 p out reason
  shift
  local flags=(install -y)
  [ "$rec" = yes ] || flags+=(--no-install-recommends)
  "${apt[@]}" "${flags[@]}" -qq "$@" >/dev/null 2>&1 && return 0
  for p in "$@"; do
    installed "$p" && continue
    out=$("${apt[@]}" "${flags[@]}" "$p" 2>&1) && continue
    # apt's own words: the first unmet dependency, else its first error.
    reason=$(printf '%s\n' "$out" | grep -m1 -E 'Depends:|Unable to locate|has no installation candidate' |
      sed -E 's/^ *//; s/ +/ /g')
    [ -n "$reason" ] || reason=$(printf '%s\n' "$out" | grep -m1 '^E: ')
    printf '%s\t%s\n' "$p" "${reason:-apt-get install failed}${index_note:+ (the package index was incomplete: $index_note)}"
  done
  return 1
}

if [ ${#missing_required[@]} -gt 0 ]; then
  echo "deps: installing ${missing_required[*]}"
  if ! failures=$(install yes "${missing_required[@]}"); then
    echo "deps: the native build cannot be set up; these packages could not be installed:" >&2
    printf '%s\n' "$failures" | sed 's/^/  /' >&2
    exit 1
  fi
fi
for piece in "${order[@]}"; do
  # shellcheck disable=SC2086
  mapfile -t missing < <(absent ${pieces[$piece]})
  [ ${#missing[@]} -gt 0 ] || continue
  echo "deps: installing ($piece) ${missing[*]}"
  if ! failures=$(install "${recommends[$piece]}" "${missing[@]}"); then
    printf '%s\n' "$failures" | while IFS=$'\t' read -r p reason; do
      [ -n "$p" ] || continue
      echo "deps: skipped $p ($piece): $reason" >&2
      printf '%s\t%s\t%s\n' "$piece" "$p" "$reason" >>"$skipped"
    done
  fi
done
exit 0
