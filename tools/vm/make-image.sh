#!/usr/bin/env bash
# Makes the virtual device's disk: a Debian 12 tree (debootstrap) with the packages listed in
# tools/vm/packages and the files under tools/vm/image/, written into an ext4 file system
# without mounting it (mke2fs -d) and kept as qcow2, with the kernel and initrd beside it.
#
# usage: tools/vm/make-image.sh OUTPUT_DIR
# environment: ZEZI_VIDAD_CACHE (default /var/cache/zezi-vidad), ZEZI_VIDAD_MIRROR
# Writes OUTPUT_DIR/{disk.qcow2,vmlinuz,initrd.img} and OUTPUT_DIR/.complete last.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: make-image.sh OUTPUT_DIR}
cache=${ZEZI_VIDAD_CACHE:-/var/cache/zezi-vidad}
mirror=${ZEZI_VIDAD_MIRROR:-http://deb.debian.org/debian}

mapfile -t packages < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$here/packages")
include=$(IFS=,; echo "${packages[*]}")

work=$(mktemp -d "${out%/}.work.XXXXXX")
trap 'rm -rf --one-file-system "$work"' EXIT
root="$work/root"
mkdir -p "$cache/apt-archives" "$out"

echo "vm image: debootstrap of ${#packages[@]} packages into $root"
if ! debootstrap --variant=minbase --include="$include" --cache-dir="$cache/apt-archives" \
  bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1; then
  tail -n 30 "$work/debootstrap.log" >&2
  echo "vm image: debootstrap failed" >&2
  exit 1
fi

# The device's own settings and the test unit.
cp -a "$here/image/." "$root/"
echo zezi-device >"$root/etc/hostname"
printf '/dev/vda / ext4 rw,errors=remount-ro 0 1\n' >"$root/etc/fstab"
# No stack runs until the story enables it; zezi-vm-network.service starts the access point.
chroot "$root" systemctl disable NetworkManager.service wpa_supplicant.service iwd.service \
  hostapd.service >/dev/null 2>&1 || true
chroot "$root" systemctl mask hostapd.service >/dev/null 2>&1 || true
chroot "$root" systemctl enable zezi-vm-network.service zezi-vm-test.service >/dev/null
chroot "$root" passwd -d root >/dev/null
# The initramfs made during the bootstrap lacks the root's file system driver.
chroot "$root" update-initramfs -u -k all >"$work/initramfs.log" 2>&1 ||
  { tail -n 20 "$work/initramfs.log" >&2; echo "vm image: update-initramfs failed" >&2; exit 1; }

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
