#!/bin/bash
# The virtual device's settings that need the tree's own programs, run inside the finished
# Debian tree: through chroot on amd64, in the arm64 tree's own boot (second-stage.sh), as
# this host cannot run arm64 programs. Prints what failed and exits non-zero on a failure.
set -euo pipefail
# No stack runs until the story enables it; zezi-vm-network.service starts the access point.
systemctl disable NetworkManager.service wpa_supplicant.service iwd.service \
  hostapd.service >/dev/null 2>&1 || true
systemctl mask hostapd.service >/dev/null 2>&1 || true
systemctl enable zezi-vm-network.service zezi-vm-test.service >/dev/null
passwd -d root >/dev/null
# The initramfs made during the bootstrap lacks the root's file system driver; the arm64
# bootstrap makes none.
mode=-u
compgen -G '/boot/initrd.img-*' >/dev/null || mode=-c
update-initramfs "$mode" -k all >/tmp/initramfs.log 2>&1 ||
  { tail -n 20 /tmp/initramfs.log >&2; echo "vm image: update-initramfs failed" >&2; exit 1; }
rm -f /tmp/initramfs.log
