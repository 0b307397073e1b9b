#!/usr/bin/env bash
# Prepares the throw-away guest: Debian's 6.1 kernel (downloaded once, never
# installed), its module tree indexed for modprobe, the uncompressed vmlinux
# (the compressed image prints nothing for a long time under emulation) and
# an initramfs of busybox-static with the modules that mount the host root.
#
#   setup.sh [--cache DIR] [--refresh]
#
#   --cache DIR   where the kernel is kept (default: build/guest-cache)
#   --refresh     ask apt for the current kernel package even when one is cached
#
# Prints one line with what it did and how long it took. Several setups at
# once share the cache under a lock.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
cache="$repo/build/guest-cache"
refresh=0
while [ $# -gt 0 ]; do
  case "$1" in
    --cache) cache=${2:?--cache needs a folder}; shift 2 ;;
    --refresh) refresh=1; shift ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "setup.sh: unknown argument: $1" >&2; exit 2 ;;
  esac
done

fail() { echo "guest setup: $*" >&2; exit 1; }
for tool in apt-get dpkg-deb depmod modprobe cpio xz busybox flock; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/deps.sh guest installs it)"
done
# PID 1 of the initramfs runs before any library is there.
[ -x /bin/busybox ] && ! ldd /bin/busybox >/dev/null 2>&1 ||
  fail "/bin/busybox is missing or not statically linked (busybox-static installs it)"

progress() { [ -t 2 ] && printf '\rguest setup: %-60s' "$*" >&2 || true; }
progress_done() { [ -t 2 ] && printf '\r%-75s\r' '' >&2 || true; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
exec 9>"$cache/lock"
flock 9
t0=$(now)

# The kernel package: the one Debian's linux-image-amd64 points at, else
# the newest 6.1 build apt knows.
current_version() {
  local v
  v=$(apt-cache depends linux-image-amd64 2>/dev/null |
      sed -n 's/^ *Depends: linux-image-\(6\.1\.0-[0-9]*-amd64\)$/\1/p' | head -n1)
  if [ -z "$v" ]; then
    v=$(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' 2>/dev/null |
        sed -n 's/^linux-image-\(6\.1\.0-[0-9]*-amd64\) .*/\1/p' | sort -V | tail -n1)
  fi
  printf '%s' "$v"
}

version=""
if [ $refresh -eq 0 ] && [ -f "$cache/version" ]; then
  version=$(cat "$cache/version")
  [ -f "$cache/kernel-$version/ready" ] || version=""
fi
fetched=cached
if [ -z "$version" ]; then
  version=$(current_version)
  if [ -z "$version" ]; then
    progress "updating apt's package lists"
    apt-get update -qq -o DPkg::Lock::Timeout=600 >/dev/null 2>&1 || true
    version=$(current_version)
  fi
  [ -n "$version" ] || fail "apt knows no linux-image-6.1.0-*-amd64 package (is Debian 12's main archive in the apt sources?)"
fi

kdir="$cache/kernel-$version"
if [ ! -f "$kdir/ready" ]; then
  fetched=downloaded
  rm -rf "$cache/deb" "$kdir.tmp"
  mkdir -p "$cache/deb"
  progress "downloading linux-image-$version"
  # Downloaded as root into a folder of our own: apt's sandbox user could
  # not write here.
  if ! (cd "$cache/deb" && apt-get download -q -o APT::Sandbox::User=root "linux-image-$version" >/dev/null 2>"$cache/deb/apt.log"); then
    apt-get update -qq -o DPkg::Lock::Timeout=600 >/dev/null 2>&1 || true
    (cd "$cache/deb" && apt-get download -q -o APT::Sandbox::User=root "linux-image-$version" >/dev/null 2>"$cache/deb/apt.log") ||
      fail "apt-get download linux-image-$version failed: $(tail -n3 "$cache/deb/apt.log")"
  fi
  deb=$(ls "$cache"/deb/linux-image-"$version"_*.deb)
  progress "unpacking $(basename "$deb")"
  mkdir -p "$kdir.tmp"
  dpkg-deb -x "$deb" "$kdir.tmp/root" || fail "dpkg-deb could not unpack $deb"
  [ -d "$kdir.tmp/root/lib/modules/$version" ] || fail "$deb holds no modules for $version"
  depmod -b "$kdir.tmp/root" "$version" || fail "depmod failed on the modules of $version"

  # The payload of the bzImage is an xz stream after the setup code; the
  # first offset that decompresses to an ELF image is the kernel.
  progress "extracting vmlinux"
  image="$kdir.tmp/root/boot/vmlinuz-$version"
  found=0
  for offset in $(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$image" | cut -d: -f1); do
    # tail dies of SIGPIPE once xz has its stream: only xz's status counts.
    if xz -dc --single-stream < <(tail -c +$((offset + 1)) "$image") >"$kdir.tmp/vmlinux" 2>/dev/null &&
       [ "$(LC_ALL=C od -An -tx1 -N4 "$kdir.tmp/vmlinux" | tr -d ' ')" = 7f454c46 ]; then
      found=1
      break
    fi
  done
  [ $found -eq 1 ] || fail "no xz-compressed ELF kernel found inside $image"
  rm -rf "$cache/deb"
  touch "$kdir.tmp/ready"
  rm -rf "$kdir"
  mv "$kdir.tmp" "$kdir"
  # Older kernels left behind by a refresh.
  for old in "$cache"/kernel-*; do
    [ "$old" = "$kdir" ] || rm -rf "$old"
  done
  printf '%s\n' "$version" >"$cache/version"
fi
printf '%s\n' "$version" >"$cache/version"

# The initramfs: busybox, our init, and the modules that mount the host's
# root over 9p (virtio) with an overlay on it, in load order.
progress "building the initramfs"
stage="$cache/initramfs.tmp"
rm -rf "$stage"
mkdir -p "$stage"/{bin,dev,proc,sys,lower,rw,newroot,hostrun,lib/modules}
cp /bin/busybox "$stage/bin/busybox"
cp "$here/init" "$stage/init"
chmod 755 "$stage/init"
: >"$stage/modules"
modprobe -d "$kdir/root" -S "$version" --show-depends -a 9p 9pnet_virtio virtio_pci overlay |
  while read -r kind path _; do
    [ "$kind" = insmod ] || continue
    name=$(basename "$path")
    grep -qxF "/lib/modules/$name" "$stage/modules" && continue
    cp "$path" "$stage/lib/modules/$name"
    printf '/lib/modules/%s\n' "$name" >>"$stage/modules"
  done
[ -s "$stage/modules" ] || fail "modprobe found none of the modules that mount the host root"
(cd "$stage" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet --reproducible) >"$cache/initramfs.new"
rm -rf "$stage"
if cmp -s "$cache/initramfs.new" "$cache/initramfs.cpio"; then
  rm -f "$cache/initramfs.new"
else
  mv "$cache/initramfs.new" "$cache/initramfs.cpio"
fi
progress_done
echo "guest setup: kernel $version ($fetched), initramfs $(($(stat -c %s "$cache/initramfs.cpio") / 1024)) KiB, $(since "$t0") s"
