#!/usr/bin/env bash
# The device in a virtual machine: a Debian 12 guest under QEMU, with two simulated radios
# (mac80211_hwsim), an access point (hostapd) and a DHCP server (dnsmasq) on one of them, and
# the device's WiFi stack on the other. Each stack lives through the story in
# tools/vm/guest.sh, in two boots of its own disk. In the first the device installs the
# tool's Debian package and applies the drive in it since power-on (USB, labelled ZEZI-WIFI:
# three networks sealed and signed here by the tool as one set) and joins network A; the
# same drive again changes nothing; drives with an older serial, a forged signature and no
# signature are refused. The second boots where the access point serves B, with the set's
# drive in: the installed rule and unit find it unchanged and the device joins B; a newer
# set without A removes A; a trust list without the set's signer, as new firmware brings,
# has the drive refused and nothing rewritten. The guest prints "step: expected, got ..."
# rows on its serial console; this script hands it the drives it asks for through the QEMU
# monitor, counts the rows and gives each stack's time from power-on to joined.
#
# usage: tools/vm-device.sh [--arch amd64|arm64] [--stack networkmanager|wpa-supplicant|iwd]...
#          PACKAGES_DIR
#   --arch        the guest: amd64 (the default; a q35 PC under qemu-system-x86_64, KVM when
#                 it can) or arm64 (the virt board under qemu-system-aarch64 with -cpu max,
#                 emulated: some ten times slower, and without a TPM)
#   PACKAGES_DIR holds the Debian packages (tools/build-debs.sh, for the guest's
#   architecture); the device installs zezi-vidad-device_*.deb.
#   One stack, ZEZI_VIDAD_VM_TPM_STACK (default wpa-supplicant; "none" for none), has its fleet
#   key in the machine's TPM, a software TPM (swtpm) the key is imported into on the host. On
#   arm64 it is always none: no stack's key is in a TPM there.
# environment: ZEZI_VIDAD_TOOL (the host's tool that makes the keys and envelopes, default
#   build/cli/zezi-vidad), ZEZI_VIDAD_CACHE (default /var/cache/zezi-vidad; each
#   architecture's image is kept in its vm/ folder and made again only when tools/vm/
#   changes), ZEZI_VIDAD_VM_ACCEL (auto, kvm or tcg; arm64 is always tcg),
#   ZEZI_VIDAD_VM_JOBS (machines at once, default 2: one a core), ZEZI_VIDAD_MIRROR (for
#   debootstrap)
# exit: 0 every row as expected (or QEMU cannot run here: skipped, said loudly), 1 a row not
#   as expected or a boot that did not finish, 2 usage error
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=vm/arch.sh
. "$here/vm/arch.sh"
usage() {
  echo "usage: tools/vm-device.sh [--arch amd64|arm64] [--stack networkmanager|wpa-supplicant|iwd]... PACKAGES_DIR" >&2
  echo "  --arch arm64: emulated (TCG), and without a TPM: the TPM stack is none there" >&2
  exit 2
}

arch=amd64
stacks=()
packages_dir=
while [ $# -gt 0 ]; do
  case "$1" in
    --arch)
      take_arch "${2-}"
      shift 2 ;;
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
debs=("$packages_dir"/zezi-vidad-device_*.deb)
shopt -u nullglob
[ "${#debs[@]}" -eq 1 ] || { echo "vm-device: $packages_dir holds no single zezi-vidad-device_*.deb" >&2; exit 2; }
deb_arch=$(dpkg-deb -f "${debs[0]}" Architecture)
[ "$deb_arch" = "$arch" ] ||
  { echo "vm-device: ${debs[0]##*/} is for $deb_arch, the guest is $arch (--arch)" >&2; exit 2; }
zv=${ZEZI_VIDAD_TOOL:-$here/../build/cli/zezi-vidad}
[ -x "$zv" ] || { echo "vm-device: the tool is not built (build/cli/zezi-vidad)" >&2; exit 2; }

skip() {
  echo "vm-device: SKIPPED, the virtual device did not run: $*"
  exit 0
}
[ "$(id -u)" -eq 0 ] || skip "it needs root for debootstrap"
# What differs between the guests: the machine, its console and what makes its image.
if [ "$arch" = amd64 ]; then
  qemu="qemu-system-x86_64"
  console_device=ttyS0
  machine=(-machine q35)
  smp=1
  patience=1
  tpm_stack=${ZEZI_VIDAD_VM_TPM_STACK:-wpa-supplicant}
  arch_tools=(swtpm tpm2_import)
else
  qemu="qemu-system-aarch64"
  console_device=ttyAMA0
  machine=(-machine virt)
  # Emulated: a second processor (a thread of its own) for the access point and the stack
  # beside the story, and every wait, the host's and the guest's, four times as long.
  smp=2
  patience=4
  tpm_stack=none
  # The arm64 tree's second stage runs in the emulated machine, booted from a cpio archive.
  arch_tools=(cpio dpkg-deb)
fi
for tool in "$qemu" qemu-img debootstrap mke2fs mkfs.vfat mcopy python3 "${arch_tools[@]}"; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (tools/install-deps.sh installs it)"
done

cache=${ZEZI_VIDAD_CACHE:-/var/cache/zezi-vidad}
started=$SECONDS

# --- the image, made again only when what makes it changes

image_hash=$(cd "$here/vm" && find packages make-image.sh settle.sh second-stage.sh image -type f -print0 | sort -z |
  xargs -0 sha256sum | sha256sum | cut -c1-16)
image="$cache/vm/image-$arch-$image_hash"
if [ ! -f "$image/.complete" ]; then
  echo "vm-device: making the image $image"
  mkdir -p "$cache/vm"
  # Older images of this architecture go, and those named before images had one; the other
  # architecture's stays.
  find "$cache/vm" -mindepth 1 -maxdepth 1 -name 'image-*' ! -name "image-$arch-$image_hash" \
    \( -name "image-$arch-*" -o ! \( -name 'image-amd64-*' -o -name 'image-arm64-*' \) \) \
    -exec rm -rf --one-file-system {} +
  rm -rf "$image"
  "$here/vm/make-image.sh" --arch "$arch" "$image"
  echo "vm-device: image made in $((SECONDS - started)) s"
fi

work=$(mktemp -d /tmp/zezi-vm.XXXXXX)
# shellcheck disable=SC2317 # called by the trap
cleanup() {
  local running
  mapfile -t running < <(jobs -p)
  [ "${#running[@]}" -eq 0 ] || kill "${running[@]}" 2>/dev/null || true
  pkill -f -- "-serial file:$work/" 2>/dev/null || true
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
case "$arch:${ZEZI_VIDAD_VM_ACCEL:-auto}" in
  amd64:kvm) accel=(-accel kvm -cpu host) ;;
  amd64:tcg) accel=(-accel tcg -cpu max) ;;
  amd64:auto)
    if probe_kvm; then accel=(-accel kvm -cpu host); else accel=(-accel tcg -cpu max); fi ;;
  # No KVM for another architecture: emulated, with a cheaper pointer authentication than
  # the architecture's own algorithm, which costs emulation most.
  arm64:auto | arm64:tcg) accel=(-accel tcg -cpu "max,pauth-impdef=on") ;;
  *) usage ;;
esac
echo "vm-device: QEMU runs with ${accel[*]}"
"$qemu" "${accel[@]}" "${machine[@]}" -display none -nic none -S -no-reboot \
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
for key in fleet signer successor forger; do
  "$zv" keygen --private "$keys/$key.key" --public "$keys/$key.pub" >/dev/null
done
trust_list() { # version signer-key
  echo tolvane-wifi-drive-trust/v1
  echo "version $1"
  echo serial-floor 0
  echo "time-floor $(($(date +%s) - 3600))"
  echo "signer 04$("$zv" pubkey --private "$keys/$2.key" | head -n 1)"
}
# The device's trust list, and the one newer firmware brings, which drops the signer.
trust_list 1 signer >"$keys/device.trust"
trust_list 2 successor >"$keys/device-v2.trust"

# The networks: the first names its SSID with spaces, quotes and octets that are not UTF-8
# (iwd's with spaces, quotes and a letter outside ASCII in UTF-8).
net_a_hex=$(printf 'Zezi "Home" net \xe9\xff' | od -An -tx1 | tr -d ' \n')
net_a_utf8_hex=$(printf 'Zezi "Home" net \xc3\xa9' | od -An -tx1 | tr -d ' \n')
net_a_pass='correct horse battery'
net_b_hex=$(printf 'zezi-office' | od -An -tx1 | tr -d ' \n')
net_b_pass='second-network-passphrase'
net_c_hex=$(printf 'zezi-lab' | od -An -tx1 | tr -d ' \n')
net_c_pass='third-network-passphrase'
net_c_new_pass='third-network-new-passphrase'

declare -A drive_file=()
# Each envelope sealed alone, then all signed in one run: one serial, one set.
make_drive() { # name volume-id signer-key|unsigned serial (file ssid-hex passphrase)...
  local name=$1 id=$2 signer=$3 serial=$4 dir="$work/drive-$1" envelopes=()
  shift 4
  mkdir -p "$dir"
  while [ $# -gt 0 ]; do
    printf '%s' "$3" >"$keys/passphrase"
    "$zv" seal --fleet-key "$keys/fleet.pub" --ssid-hex "$2" --passphrase-file "$keys/passphrase" \
      -o "$dir/$1" >/dev/null
    rm -f "$keys/passphrase"
    envelopes+=(--envelope "$dir/$1")
    shift 3
  done
  [ "$signer" = unsigned ] || "$zv" sign --key "$keys/$signer.key" --fleet-key "$keys/fleet.pub" \
    "${envelopes[@]}" --serial "$serial" --valid-for 30d >/dev/null
  make_fat "$work/drive-$name.img" ZEZI-WIFI "$id" 2048 "$dir"/*
  drive_file[$name]="$work/drive-$name.img"
}
# The first drive is a set of three networks (A, B, C) under serial 2; iwd's A is UTF-8,
# since iwd never joins another SSID (and "not-utf8", a newer envelope for the other form,
# must be refused for it). B with serial 1 is older than the set; the forged one is signed
# by a key the trust list does not hold; the unsigned one has no signature; "newer" is a set
# of two under serial 5, B as it was and C with a new passphrase, which drops A.
make_drive first 5A1D0001 signer 2 home.json "$net_a_hex" "$net_a_pass" \
  office.json "$net_b_hex" "$net_b_pass" lab.json "$net_c_hex" "$net_c_pass"
make_drive first-utf8 5A1D0011 signer 2 home.json "$net_a_utf8_hex" "$net_a_pass" \
  office.json "$net_b_hex" "$net_b_pass" lab.json "$net_c_hex" "$net_c_pass"
make_drive older 5A1D0002 signer 1 wifi.json "$net_b_hex" "$net_b_pass"
make_drive forged 5A1D0003 forger 3 wifi.json "$net_b_hex" "$net_b_pass"
make_drive unsigned 5A1D0005 unsigned 0 wifi.json "$net_b_hex" "$net_b_pass"
make_drive not-utf8 5A1D0006 signer 3 wifi.json "$net_a_hex" "$net_a_pass"
make_drive newer 5A1D0004 signer 5 office.json "$net_b_hex" "$net_b_pass" \
  lab.json "$net_c_hex" "$net_c_new_pass"

# --- the machines

monitor() { # socket command: sent to the QEMU monitor of a running machine
  python3 - "$1" "$2" <<'PY'
import socket, sys, time
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.sendall(sys.argv[2].encode() + b"\n")
time.sleep(0.5)
s.close()
PY
}

# One boot of a stack's disk with `first-drive` in at power-on and the access point serving
# the given network; the console's rows go to standard output.
boot() { # stack boot first-drive ssid-hex passphrase (of the access point) network-A-hex
  local stack=$1 name=$2 dir="$work/$1" plugged=1 handled=0 line drive
  local console="$dir/$name.log" control="$dir/control-$name.img" socket="$dir/monitor.sock"
  cat >"$dir/story.conf" <<CONF
STACK=$stack
BOOT=$name
FIRST_DRIVE=$3
AP_SSID_HEX=$4
AP_PASS='$5'
NET_A_HEX=$6
NET_B_HEX=$net_b_hex
NET_C_HEX=$net_c_hex
TPM_KEY=$([ "$stack" = "$tpm_stack" ] && echo yes || echo no)
PATIENCE=$patience
CONF
  # The first drive's set goes in too, for the boot partition of the next boot.
  local files=("$here/vm/guest.sh" "$dir/story.conf" "${debs[@]}" "$keys/fleet.key" "$keys/device.trust"
    "$keys/device-v2.trust" "$work/drive-$3"/*)
  local tpm=()
  if [ "$stack" = "$tpm_stack" ]; then
    files+=("$dir/fleet.tss")
    # The machine's TPM: the state the key was imported into, served for this boot alone.
    swtpm socket --tpm2 --tpmstate "dir=$dir/tpm/state" --ctrl "type=unixio,path=$dir/tpm.sock" \
      --terminate --daemon --pid "file=$dir/tpm/qemu.pid" --log "file=$dir/tpm/qemu-$name.log"
    tpm=(-chardev "socket,id=chrtpm,path=$dir/tpm.sock" -tpmdev emulator,id=tpm0,chardev=chrtpm
      -device tpm-crb,tpmdev=tpm0)
  fi
  make_fat "$control" ZEZI-CTL 5A1DC071 65536 "${files[@]}"
  : >"$console"
  local t0=$SECONDS qemu_pid
  "$qemu" "${accel[@]}" "${machine[@]}" -m 1024 -smp "$smp" -display none -no-reboot \
    -nic none -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "root=LABEL=zezi-root rw console=$console_device quiet loglevel=3 net.ifnames=0 mitigations=off" \
    -drive "file=$dir/disk.qcow2,if=none,id=root,format=qcow2" \
    -device virtio-blk-pci,drive=root,addr=0x5 \
    -drive "file=$control,if=none,id=control,format=raw" \
    -device virtio-blk-pci,drive=control,serial=zezi-control,addr=0x6 \
    -device qemu-xhci,id=xhci \
    -drive "if=none,id=usb1,format=raw,readonly=on,file.locking=off,file=${drive_file[$3]}" \
    -device usb-storage,bus=xhci.0,drive=usb1,id=stick1,removable=on \
    "${tpm[@]}" -serial "file:$console" -monitor "unix:$socket,server=on,wait=off" \
    </dev/null >"$dir/qemu.err" 2>&1 &
  qemu_pid=$!
  while kill -0 "$qemu_pid" 2>/dev/null; do
    if [ $((SECONDS - t0)) -gt $((600 * patience)) ]; then
      echo "  FAIL boot $name: ended within $((600 * patience)) s, got no end; the console's last lines:"
      tail -n 20 "$console" | sed 's/^/    /'
      kill "$qemu_pid"
      break
    fi
    # Hand the guest the drives it asks for, one at a time.
    mapfile -t plugs < <(tr -d '\r' <"$console" | sed -n 's/^.*ZEZI-VM plug //p')
    while [ "$handled" -lt "${#plugs[@]}" ]; do
      drive=${plugs[$handled]}
      handled=$((handled + 1))
      monitor "$socket" "device_del stick$plugged"
      sleep 1
      plugged=$((plugged + 1))
      monitor "$socket" "drive_add 0 if=none,id=usb$plugged,format=raw,readonly=on,file.locking=off,file=${drive_file[$drive]}"
      monitor "$socket" "device_add usb-storage,bus=xhci.0,drive=usb$plugged,id=stick$plugged,removable=on"
    done
    sleep 1
  done
  wait "$qemu_pid" || true
  [ "${#tpm[@]}" -eq 0 ] || kill "$(cat "$dir/tpm/qemu.pid" 2>/dev/null)" 2>/dev/null || true
  echo "  boot $name: $((SECONDS - t0)) s"
  while IFS= read -r line; do
    case "$line" in
      "ok "* | "FAIL "* | "time "* | "boot "* | "diag "*) echo "  $line" ;;
    esac
  done < <(tr -d '\r' <"$console" | sed -n 's/^.*ZEZI-VM //p')
  if ! grep -q 'ZEZI-VM end' "$console"; then
    echo "  FAIL boot $name: the story ended, got no end; the console's last lines:"
    tail -n 30 "$console" "$dir/qemu.err" | sed 's/^/    /'
  fi
}

# Both boots of a stack, on a disk of its own kept between them, with the set's drive in at
# power-on: the access point serves network A in the first, B in the second. The report
# goes to a file.
run_stack() { # stack
  local stack=$1 first=first net_a=$net_a_hex
  [ "$stack" != iwd ] || { first="first-utf8"; net_a=$net_a_utf8_hex; }
  mkdir -p "$work/$stack"
  qemu-img create -q -f qcow2 -b "$image/disk.qcow2" -F qcow2 "$work/$stack/disk.qcow2"
  if [ "$stack" = "$tpm_stack" ]; then
    # Provisioning, as docs/tpm.md does it: the fleet key imported into the device's TPM.
    (
      # shellcheck source=../tests/support/swtpm.sh
      source "$here/../tests/support/swtpm.sh"
      swtpm_start "$work/$stack/tpm" >/dev/null &&
        TPM2TOOLS_TCTI=$swtpm_tcti "$here/tpm-import-fleet-key.sh" --key "$keys/fleet.key" \
          --out "$work/$stack/fleet.tss" >"$work/$stack/tpm-import.log" 2>&1
    ) || echo "  FAIL the fleet key imported into the TPM: $(tail -n 3 "$work/$stack/tpm-import.log" 2>/dev/null)" >>"$work/$stack/report"
  fi
  {
    boot "$stack" first "$first" "$net_a" "$net_a_pass" "$net_a"
    boot "$stack" again "$first" "$net_b_hex" "$net_b_pass" "$net_a"
  } >>"$work/$stack/report" 2>&1
  rm -f "$work/$stack/disk.qcow2"
}

jobs_at_once=${ZEZI_VIDAD_VM_JOBS:-2}
for stack in "${stacks[@]}"; do
  while [ "$(jobs -pr | wc -l)" -ge "$jobs_at_once" ]; do wait -n || true; done
  run_stack "$stack" &
done
wait

passed=0
failed=0
summary=()
for stack in "${stacks[@]}"; do
  report="$work/$stack/report"
  echo "vm-device: $stack"
  cat "$report"
  passed=$((passed + $(grep -c '^  ok ' "$report" || true)))
  failed=$((failed + $(grep -c '^  FAIL ' "$report" || true)))
  installed=$(sed -n 's/^  time joined after power-on, the package installed in this boot: \(.*\)s$/\1/p' "$report")
  rebooted=$(sed -n 's/^  time joined after power-on, after a reboot: \(.*\)s$/\1/p' "$report")
  summary+=("$stack ${rebooted:-none} s after a reboot, ${installed:-none} s while installing")
done
joined=$(printf '%s; ' "${summary[@]}")
echo "vm-device: power-on to joined: ${joined%; }"
echo "vm-device: $passed rows as expected, $failed not, $((SECONDS - started)) s in all"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
