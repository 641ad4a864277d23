#!/usr/bin/env bash
# Makes the virtual device's disk: a Debian 12 tree (debootstrap) with the packages listed in
# tools/vm/packages and the files under tools/vm/image/, written into an ext4 file system
# without mounting it (mke2fs -d) and kept as qcow2, with the kernel and initrd beside it.
# The settings that need the tree's own programs (settle.sh) run in a chroot on amd64. This
# host runs no arm64 program, so an arm64 tree is bootstrapped with --foreign and booted under
# qemu-system-aarch64 as its own initramfs, where second-stage.sh finishes it and hands it
# back as a tar on a second disk.
#
# usage: tools/vm/make-image.sh [--arch amd64|arm64] OUTPUT_DIR
# environment: ZEZI_VIDAD_CACHE (default /var/cache/zezi-vidad), ZEZI_VIDAD_MIRROR
# Writes OUTPUT_DIR/{disk.qcow2,vmlinuz,initrd.img} and OUTPUT_DIR/.complete last.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=arch.sh
. "$here/arch.sh"
usage() { echo "usage: make-image.sh [--arch amd64|arm64] OUTPUT_DIR" >&2; exit 2; }
arch=amd64
out=
while [ $# -gt 0 ]; do
  case "$1" in
    --arch)
      take_arch "${2-}"
      shift 2 ;;
    -*) usage ;;
    *) [ -z "$out" ] || usage; out=$1; shift ;;
  esac
done
[ -n "$out" ] || usage
cache=${ZEZI_VIDAD_CACHE:-/var/cache/zezi-vidad}
mirror=${ZEZI_VIDAD_MIRROR:-http://deb.debian.org/debian}

# The list names amd64's kernel; each architecture has its own.
mapfile -t packages < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' \
  -e "s/^linux-image-amd64\$/linux-image-$arch/" "$here/packages")
include=$(IFS=,; echo "${packages[*]}")

work=$(mktemp -d "${out%/}.work.XXXXXX")
trap 'rm -rf --one-file-system "$work"' EXIT
root="$work/root"
mkdir -p "$cache/apt-archives" "$out"

foreign=()
[ "$arch" = amd64 ] || foreign=(--foreign)
echo "vm image: debootstrap of ${#packages[@]} packages for $arch into $root"
if ! debootstrap --arch "$arch" "${foreign[@]}" --variant=minbase --include="$include" \
  --cache-dir="$cache/apt-archives" bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1; then
  tail -n 30 "$work/debootstrap.log" >&2
  echo "vm image: debootstrap failed" >&2
  exit 1
fi

# The device's own settings and the test unit, laid over the tree once it is installed (on
# arm64 by second-stage.sh, so that no package finds them as its own files changed).
files="$work/files"
mkdir -p "$files/etc"
cp -a "$here/image/." "$files/"
echo zezi-device >"$files/etc/hostname"
printf '/dev/vda / ext4 rw,errors=remount-ro 0 1\n' >"$files/etc/fstab"
cp "$here/settle.sh" "$root/zezi-settle"

# The foreign tree boots with the kernel its bootstrap downloaded, unpacked here, and itself
# as the initramfs (uncompressed: the emulated machine would take long to unpack it).
second_stage() {
  local deb started=$SECONDS
  deb=$(find "$root/var/cache/apt/archives" -maxdepth 1 -name "linux-image-[0-9]*_$arch.deb" | sort | tail -n 1)
  [ -n "$deb" ] || { echo "vm image: no kernel package in the foreign tree" >&2; exit 1; }
  dpkg-deb -x "$deb" "$work/kernel"
  cp "$here/second-stage.sh" "$root/zezi-second-stage"
  cp -a "$files" "$root/zezi-files"
  (cd "$root" && find . -print0 | cpio --null -o -H newc --quiet) >"$work/tree.cpio"
  truncate -s 4G "$work/tree.tar"
  echo "vm image: the second stage in qemu-system-aarch64 (emulated, slow)"
  # The tree lives in the machine's memory (a tmpfs of half of it) until it is written out.
  timeout 7200 qemu-system-aarch64 -machine virt -accel tcg -cpu max,pauth-impdef=on -smp 2 \
    -m 6144 -display none -no-reboot -nic none \
    -kernel "$(find "$work/kernel/boot" -name 'vmlinuz-*' | head -n 1)" -initrd "$work/tree.cpio" \
    -append "rdinit=/zezi-second-stage console=ttyAMA0 panic=-1 quiet" \
    -drive "file=$work/tree.tar,if=none,id=tree,format=raw" \
    -device virtio-blk-pci,drive=tree,serial=zezi-tree \
    -serial "file:$work/second-stage.log" -monitor none </dev/null >"$work/qemu.err" 2>&1 || true
  if ! tr -d '\r' <"$work/second-stage.log" | grep -qx 'zezi-image: done'; then
    tail -n 40 "$work/second-stage.log" "$work/qemu.err" >&2
    echo "vm image: the second stage did not finish" >&2
    exit 1
  fi
  echo "vm image: second stage done in $((SECONDS - started)) s"
  rm -rf --one-file-system "$root" "$work/tree.cpio" "$work/kernel"
  mkdir "$root"
  tar --numeric-owner --xattrs --xattrs-include='*' -C "$root" -xf "$work/tree.tar"
  rm -f "$work/tree.tar"
}

if [ "$arch" = amd64 ]; then
  cp -a "$files/." "$root/"
  chroot "$root" /bin/bash /zezi-settle
  rm -f "$root/zezi-settle"
else
  second_stage
fi

kernel=$(find "$root/boot" -maxdepth 1 -name 'vmlinuz-*' | sort | tail -n 1)
initrd=$(find "$root/boot" -maxdepth 1 -name 'initrd.img-*' | sort | tail -n 1)
[ -n "$kernel" ] && [ -n "$initrd" ] || { echo "vm image: no kernel or initrd in the tree" >&2; exit 1; }

rm -rf "$root/var/cache/apt/archives/"*.deb "$root/var/lib/apt/lists/"*
mke2fs -q -t ext4 -L zezi-root -d "$root" "$work/disk.raw" 3G
qemu-img convert -q -O qcow2 "$work/disk.raw" "$work/disk.qcow2"
mv "$work/disk.qcow2" "$out/disk.qcow2"
cp "$kernel" "$out/vmlinuz"
cp "$initrd" "$out/initrd.img"
cp "$here/packages" "$out/packages"
touch "$out/.complete"
echo "vm image: made in $out"
