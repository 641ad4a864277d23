#!/usr/bin/env bash
# The device in a virtual machine: a Debian 12 guest under QEMU, with two simulated radios
# (mac80211_hwsim), an access point (hostapd) and a DHCP server (dnsmasq) on one of them, and
# the device's WiFi stack on the other. The device installs the tool's Debian package and
# each stack lives through the story in tools/vm/guest.sh, in one boot: USB drives labelled
# ZEZI-WIFI, with envelopes sealed and signed here by the tool, are applied by the installed
# drive unit: a signed envelope joins a network, the same drive again changes nothing, an older
# serial and a forged signature are refused, a newer envelope for another network takes over.
# The guest prints "step: expected, got ..." rows on its serial console; this script hands it
# the drives it asks for through the QEMU monitor and counts the rows.
#
# usage: tools/vm-device.sh [--stack networkmanager|wpa-supplicant|iwd]... PACKAGES_DIR
#   PACKAGES_DIR holds the Debian packages (tools/build-debs.sh); the device installs
#   zezi-vidad_*.deb.
# environment: ZEZI_VIDAD_TOOL (the host's tool that makes the keys and envelopes, default
#   build/cli/zezi-vidad), ZEZI_VIDAD_CACHE (default /var/cache/zezi-vidad; the image is kept
#   in its vm/ folder and made again only when tools/vm/ changes), ZEZI_VIDAD_VM_ACCEL (auto,
#   kvm or tcg), ZEZI_VIDAD_MIRROR (for debootstrap)
# exit: 0 every row as expected (or QEMU cannot run here: skipped, said loudly), 1 a row not
#   as expected or a boot that did not finish, 2 usage error
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
usage() {
  echo "usage: tools/vm-device.sh [--stack networkmanager|wpa-supplicant|iwd]... PACKAGES_DIR" >&2
  exit 2
}

stacks=()
packages_dir=
while [ $# -gt 0 ]; do
  case "$1" in
    --stack)
      [ $# -ge 2 ] || usage
      case "$2" in networkmanager | wpa-supplicant | iwd) stacks+=("$2") ;; *) usage ;; esac
      shift 2 ;;
    -h | --help) usage ;;
    -*) usage ;;
    *) [ -z "$packages_dir" ] || usage; packages_dir=$1; shift ;;
  esac
done
if [ -z "$packages_dir" ] || [ ! -d "$packages_dir" ]; then usage; fi
[ "${#stacks[@]}" -gt 0 ] || stacks=(networkmanager wpa-supplicant iwd)
packages_dir=$(cd "$packages_dir" && pwd)
shopt -s nullglob
debs=("$packages_dir"/zezi-vidad_*.deb)
shopt -u nullglob
[ "${#debs[@]}" -eq 1 ] || { echo "vm-device: $packages_dir holds no single zezi-vidad_*.deb" >&2; exit 2; }
zv=${ZEZI_VIDAD_TOOL:-$here/../build/cli/zezi-vidad}
[ -x "$zv" ] || { echo "vm-device: the tool is not built (build/cli/zezi-vidad)" >&2; exit 2; }

skip() {
  echo "vm-device: SKIPPED, the virtual device did not run: $*"
  exit 0
}
[ "$(id -u)" -eq 0 ] || skip "it needs root for debootstrap"
for tool in qemu-system-x86_64 qemu-img debootstrap mke2fs mkfs.vfat mcopy python3; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (tools/install-deps.sh installs it)"
done

cache=${ZEZI_VIDAD_CACHE:-/var/cache/zezi-vidad}
started=$SECONDS

# --- the image, made again only when what makes it changes

image_hash=$(cd "$here/vm" && find packages make-image.sh image -type f -print0 | sort -z |
  xargs -0 sha256sum | sha256sum | cut -c1-16)
image="$cache/vm/image-$image_hash"
if [ ! -f "$image/.complete" ]; then
  echo "vm-device: making the image $image"
  mkdir -p "$cache/vm"
  find "$cache/vm" -mindepth 1 -maxdepth 1 -name 'image-*' ! -name "image-$image_hash" \
    -exec rm -rf --one-file-system {} +
  rm -rf "$image"
  "$here/vm/make-image.sh" "$image"
  echo "vm-device: image made in $((SECONDS - started)) s"
fi

work=$(mktemp -d /tmp/zezi-vm.XXXXXX)
qemu_pid=
# shellcheck disable=SC2317 # called by the trap
cleanup() {
  [ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# --- how QEMU runs here: KVM when it can boot a kernel, else emulation

probe_kvm() {
  [ -w /dev/kvm ] || return 1
  # No root file system: the kernel panics and, with panic=-1 and -no-reboot, QEMU ends.
  bash -c '"$@"; exit $?' probe timeout 60 qemu-system-x86_64 -accel kvm -cpu host -m 256 -display none -no-reboot -nic none \
    -kernel "$image/vmlinuz" -append "console=ttyS0 panic=-1" -serial "file:$work/probe.log" \
    >"$work/probe.err" 2>&1 && grep -q 'Kernel panic' "$work/probe.log"
}
case "${ZEZI_VIDAD_VM_ACCEL:-auto}" in
  kvm) accel=(-accel kvm -cpu host) ;;
  tcg) accel=(-accel tcg -cpu max) ;;
  auto)
    if probe_kvm; then accel=(-accel kvm -cpu host); else accel=(-accel tcg -cpu max); fi ;;
  *) usage ;;
esac
echo "vm-device: QEMU runs with ${accel[*]}"
qemu-system-x86_64 "${accel[@]}" -machine q35 -display none -nic none -S -no-reboot \
  -monitor none -serial none </dev/null >"$work/try.err" 2>&1 &
try_pid=$!
sleep 1
if ! kill -0 "$try_pid" 2>/dev/null; then
  wait "$try_pid" || true
  skip "QEMU cannot start a machine here: $(head -n 1 "$work/try.err")"
fi
kill "$try_pid" 2>/dev/null || true
wait "$try_pid" 2>/dev/null || true

# --- drives

# A FAT image with a label, a fixed volume id (so the guest can tell drives apart) and files.
make_fat() { # image label volume-id size-KiB file...
  local out=$1 label=$2 id=$3 size=$4
  shift 4
  rm -f "$out"
  mkfs.vfat -C -n "$label" -i "$id" "$out" "$size" >/dev/null
  [ $# -eq 0 ] || mcopy -i "$out" "$@" ::/
}

# --- keys, trust list and envelopes, made with the host's tool as an operator does

keys="$work/keys"
mkdir -p "$keys"
for key in fleet signer forger; do
  "$zv" keygen --private "$keys/$key.key" --public "$keys/$key.pub" >/dev/null
done
{
  echo tolvane-wifi-drive-trust/v1
  echo version 1
  echo serial-floor 0
  echo "time-floor $(($(date +%s) - 3600))"
  echo "signer 04$("$zv" pubkey --private "$keys/signer.key" | head -n 1)"
} >"$keys/device.trust"

# The networks: the first names its SSID with spaces, quotes and octets that are not UTF-8.
net_a_hex=$(printf 'Zezi "Home" net \xe9\xff' | od -An -tx1 | tr -d ' \n')
net_a_pass='correct horse battery'
net_b_hex=$(printf 'zezi-office' | od -An -tx1 | tr -d ' \n')
net_b_pass='second-network-passphrase'

declare -A drive_file=()
make_drive() { # name volume-id ssid-hex passphrase signer-key serial
  local dir="$work/drive-$1"
  mkdir -p "$dir"
  printf '%s' "$4" >"$keys/passphrase"
  "$zv" seal --fleet-key "$keys/fleet.pub" --ssid-hex "$3" --passphrase-file "$keys/passphrase" \
    -o "$dir/wifi.json" --sign-key "$keys/$5.key" --serial "$6" --valid-for 30d >/dev/null
  rm -f "$keys/passphrase"
  make_fat "$work/drive-$1.img" ZEZI-WIFI "$2" 2048 "$dir"/*
  drive_file[$1]="$work/drive-$1.img"
}
# Network B with serial 1 is older than network A's 2; the forged one is signed by a key the
# trust list does not hold; network B with serial 4 is the newer one that takes over.
make_drive first 5A1D0001 "$net_a_hex" "$net_a_pass" signer 2
make_drive older 5A1D0002 "$net_b_hex" "$net_b_pass" signer 1
make_drive forged 5A1D0003 "$net_b_hex" "$net_b_pass" forger 3
make_drive replace 5A1D0004 "$net_b_hex" "$net_b_pass" signer 4

# --- one boot

monitor() { # command: sent to the QEMU monitor of the running machine
  python3 - "$work/monitor.sock" "$1" <<'PY'
import socket, sys, time
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.sendall(sys.argv[2].encode() + b"\n")
time.sleep(0.5)
s.close()
PY
}

passed=0
failed=0
boot() { # stack boot-name first-drive
  local stack=$1 name=$2 console="$work/$1-$2.log" plugged=1 handled=0 line drive
  local control="$work/control-$1-$2.img"
  cat >"$work/story.conf" <<CONF
STACK=$stack
BOOT=$name
NET_A_HEX=$net_a_hex
NET_A_PASS='$net_a_pass'
NET_B_HEX=$net_b_hex
NET_B_PASS='$net_b_pass'
CONF
  local files=("$here/vm/guest.sh" "$work/story.conf" "${debs[@]}" "$keys/fleet.key" "$keys/device.trust")
  make_fat "$control" ZEZI-CTL 5A1DC071 65536 "${files[@]}"
  : >"$console"
  local t0=$SECONDS
  qemu-system-x86_64 "${accel[@]}" -machine q35 -m 1024 -smp 1 -display none -no-reboot \
    -nic none -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "root=LABEL=zezi-root rw console=ttyS0 quiet loglevel=3 net.ifnames=0" \
    -drive "file=$work/$stack.qcow2,if=none,id=root,format=qcow2" \
    -device virtio-blk-pci,drive=root,addr=0x5 \
    -drive "file=$control,if=none,id=control,format=raw" \
    -device virtio-blk-pci,drive=control,serial=zezi-control,addr=0x6 \
    -device qemu-xhci,id=xhci \
    -drive "if=none,id=usb1,format=raw,readonly=on,file.locking=off,file=${drive_file[$3]}" \
    -device usb-storage,bus=xhci.0,drive=usb1,id=stick1,removable=on \
    -serial "file:$console" -monitor "unix:$work/monitor.sock,server=on,wait=off" \
    </dev/null >"$work/qemu.err" 2>&1 &
  qemu_pid=$!
  while kill -0 "$qemu_pid" 2>/dev/null; do
    if [ $((SECONDS - t0)) -gt 600 ]; then
      echo "vm-device: $stack, boot $name: no end after 600 s; the console's last lines:"
      tail -n 20 "$console" | sed 's/^/    /'
      kill "$qemu_pid"
      failed=$((failed + 1))
      break
    fi
    # Hand the guest the drives it asks for, one at a time.
    mapfile -t plugs < <(tr -d '\r' <"$console" | sed -n 's/^.*ZEZI-VM plug //p')
    while [ "$handled" -lt "${#plugs[@]}" ]; do
      drive=${plugs[$handled]}
      handled=$((handled + 1))
      monitor "device_del stick$plugged"
      sleep 1
      plugged=$((plugged + 1))
      monitor "drive_add 0 if=none,id=usb$plugged,format=raw,readonly=on,file.locking=off,file=${drive_file[$drive]}"
      monitor "device_add usb-storage,bus=xhci.0,drive=usb$plugged,id=stick$plugged,removable=on"
    done
    sleep 1
  done
  wait "$qemu_pid" || true
  qemu_pid=
  echo "vm-device: $stack, boot $name: $((SECONDS - t0)) s"
  while IFS= read -r line; do
    case "$line" in
      "ok "*) passed=$((passed + 1)); echo "  $line" ;;
      "FAIL "*) failed=$((failed + 1)); echo "  $line" ;;
      "time "* | "boot "* | "diag "*) echo "  $line" ;;
    esac
  done < <(tr -d '\r' <"$console" | sed -n 's/^.*ZEZI-VM //p')
  if ! grep -q 'ZEZI-VM end' "$console"; then
    echo "vm-device: $stack, boot $name: the story did not end; the console's last lines:"
    tail -n 30 "$console" "$work/qemu.err" | sed 's/^/    /'
    failed=$((failed + 1))
  fi
}

for stack in "${stacks[@]}"; do
  qemu-img create -q -f qcow2 -b "$image/disk.qcow2" -F qcow2 "$work/$stack.qcow2"
  boot "$stack" story first
  rm -f "$work/$stack.qcow2"
done

echo "vm-device: $passed rows as expected, $failed not, $((SECONDS - started)) s in all"
[ "$failed" -eq 0 ]
