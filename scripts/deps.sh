#!/usr/bin/env bash
# Installs what the build needs and is missing, with apt-get (Debian 12, root).
#   deps.sh native   compiler, CMake, GoogleTest, Google Benchmark, the Python
#                    package's test needs (numpy, pytest, Pillow) and nuvctl's
#   deps.sh all      the above, mingw-w64, Wine (with i386 multiarch) and the guest's packages
#   deps.sh guest    qemu, busybox-static, kmod, cpio, xz-utils for the throw-away guest
#                    (scripts/guest/), without their recommendations
set -euo pipefail
want=(g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev)
want+=(python3 python3-numpy python3-pytest python3-pil)
# nuvctl: argument parsing, JSON, PNG, HTTP; its browser test drives Debian's
# Chromium through chromedriver from Python.
want+=(pkg-config libcli11-dev nlohmann-json3-dev libpng-dev libcpp-httplib-dev chromium chromium-driver python3-selenium)
if [ "${1:-all}" = all ]; then
  want+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest wine wine64 wine32:i386)
fi
lean=()
if [ "${1:-all}" = all ] || [ "${1:-all}" = guest ]; then
  lean=(qemu-system-x86 busybox-static kmod cpio xz-utils)
fi
[ "${1:-all}" = guest ] && want=()
absent() {
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || printf '%s\n' "$pkg"
  done
}
mapfile -t missing < <(absent "${want[@]}")
mapfile -t missing_lean < <(absent "${lean[@]}")
[ ${#missing[@]} -eq 0 ] && [ ${#missing_lean[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]} ${missing_lean[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
fi
# Another apt on the machine (an unattended upgrade) holds the lock for a
# while: wait for it instead of failing.
lock=(-o DPkg::Lock::Timeout=600)
$SUDO apt-get "${lock[@]}" update -qq
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${lock[@]}" install -y -qq "${missing[@]}" >/dev/null
fi
if [ ${#missing_lean[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${lock[@]}" install -y -qq --no-install-recommends "${missing_lean[@]}" >/dev/null
fi
