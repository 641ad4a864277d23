#!/bin/sh
# The first program of an arm64 Debian tree from `debootstrap --foreign`, booted under
# qemu-system-aarch64 with the tree itself as its initramfs (rdinit=): this host has no
# binfmt_misc, so the tree's second stage and settings run on an emulated arm64 machine.
# It finishes the bootstrap, lays the device's files (/zezi-files) over the tree, runs
# /zezi-settle (settle.sh) and writes the tree as a tar to the virtio disk with serial
# zezi-tree, then powers the machine off. Its last console line is "zezi-image: done" or
# "zezi-image: failed".
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
# A first stage run in a container leaves /proc a link to the host's.
if [ -L /proc ]; then rm -f /proc && mkdir /proc; fi
mount -t proc proc /proc
mount -t sysfs sysfs /sys

finish() {
  echo "zezi-image: $1"
  sync
  # PID 1 must not exit: the machine is powered off instead (QEMU ends with it).
  echo o >/proc/sysrq-trigger
  sleep 600
}

echo "zezi-image: second stage from $(date -u +%T)"
# No initramfs when the kernel is installed: settle.sh makes the one the device boots with,
# and an emulated machine takes minutes for each.
export INITRD=No
if ! /debootstrap/debootstrap --second-stage; then
  tail -n 30 /debootstrap/debootstrap.log
  finish failed
fi
# debootstrap unmounts what it mounted on its way out.
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
unset INITRD
echo "zezi-image: settings from $(date -u +%T)"
cp -a /zezi-files/. / || finish failed
rm -rf /zezi-files
# The initramfs holds the root's drivers alone (etc/initramfs-tools/modules): one of most
# modules takes the emulated machine some twenty minutes to make.
echo MODULES=list >/etc/initramfs-tools/conf.d/zezi-vm-modules
bash /zezi-settle || finish failed
rm -rf /var/cache/apt/archives/*.deb /var/lib/apt/lists/* /tmp/* /var/tmp/*

# The tree goes to the host through its own disk, found by serial: udev does not run here.
modprobe -a virtio_pci virtio_blk || finish failed
disk=
for _ in $(seq 1 50); do
  for block in /sys/block/vd*; do
    [ "$(cat "$block/serial" 2>/dev/null)" = zezi-tree ] && disk=/dev/${block##*/}
  done
  [ -z "$disk" ] || break
  sleep 0.2
done
[ -n "$disk" ] || { echo "zezi-image: no disk with serial zezi-tree"; finish failed; }
echo "zezi-image: the tree to $disk from $(date -u +%T)"
# Through a second mount of the root alone: /proc, /sys and /dev are empty folders there,
# not file systems that change while tar reads them.
mount --bind / /mnt || finish failed
tar --numeric-owner --xattrs --xattrs-include='*' --exclude=./zezi-second-stage \
  --exclude=./zezi-settle -C /mnt -cf "$disk" . || finish failed
finish "done"
