#!/usr/bin/env bash
# What the device's program costs on each architecture it is packaged for: its size as the
# package installs it (stripped; it links the floors it needs statically, and only OpenSSL's
# libcrypto and the C and C++ libraries dynamically), then the peak memory and the CPU time
# of applying one signed envelope, natively on this machine's architecture and
# under qemu-user for the others. Under the emulator the peak memory is the emulator's
# process, QEMU's own included: the row "at rest" (the program printing its version) shows
# how much of it is not the apply. The CPU ratio is to this machine's; it says how much
# work the emulation adds, not how fast a board is.
#
# usage: tools/device-footprint.sh DEBS_DIR...
#   each DEBS_DIR holds one architecture's zezi-vidad-device .deb
#   (tools/build-debs.sh [--arch ARCH] DEBS_DIR)
# environment: ZEZI_VIDAD_TOOL (the tool that makes the keys and the envelope, default
#   build/cli/zezi-vidad), ZEZI_VIDAD_RUNS (runs of each measure, the median kept; default 5)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 1 ] || { echo "usage: tools/device-footprint.sh DEBS_DIR..." >&2; exit 2; }
tool=${ZEZI_VIDAD_TOOL:-$here/../build/cli/zezi-vidad}
[ -x "$tool" ] || { echo "device-footprint: the tool is not built ($tool)" >&2; exit 2; }
runs=${ZEZI_VIDAD_RUNS:-5}
native=$(dpkg --print-architecture)
work=$(mktemp -d /tmp/zezi-footprint.XXXXXX)
trap 'rm -rf "$work"' EXIT

# One signed envelope and the device's keys, made once for every architecture.
"$tool" keygen --private "$work/fleet.key" --public "$work/fleet.pub" >/dev/null 2>&1
"$tool" keygen --private "$work/signer.key" --public "$work/signer.pub" >/dev/null 2>&1
mkdir "$work/drive"
printf '%064x\n' 7 >"$work/psk"
"$tool" seal --fleet-key "$work/fleet.pub" --ssid "Office Net" --psk-file "$work/psk" \
  -o "$work/drive/office.json" 2>/dev/null
"$tool" sign --key "$work/signer.key" --fleet-key "$work/fleet.pub" \
  --envelope "$work/drive/office.json" --serial 1 --valid-for 30d >/dev/null 2>&1

# Runs a command; prints its exit status, its peak resident memory in KiB and its CPU
# seconds (user and system).
measure() {
  python3 -c 'import resource, subprocess, sys
status = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
used = resource.getrusage(resource.RUSAGE_CHILDREN)
print(status, used.ru_maxrss, "%.4f" % (used.ru_utime + used.ru_stime))' "$@"
}
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

declare -A cpu_of=()
rows=()
for debs in "$@"; do
  shopt -s nullglob
  program_deb=("$debs"/zezi-vidad-device_*.deb)
  shopt -u nullglob
  [ "${#program_deb[@]}" -eq 1 ] ||
    { echo "device-footprint: $debs holds no single zezi-vidad-device_*.deb" >&2; exit 2; }
  arch=$(dpkg-deb -f "${program_deb[0]}" Architecture)
  root="$work/root-$arch"
  dpkg-deb -x "${program_deb[0]}" "$root"
  triplet=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
  run=()
  if [ "$arch" != "$native" ]; then
    cpu=$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_CPU 2>/dev/null)
    command -v "qemu-$cpu" >/dev/null ||
      { echo "device-footprint: qemu-$cpu is missing (tools/install-deps.sh --cross)" >&2; exit 2; }
    run=("qemu-$cpu" -L "/usr/$triplet")
  fi
  device=("${run[@]}" "$root/usr/bin/zezi-vidad-device")
  : >"$work/apply" && : >"$work/rest"
  for ((i = 0; i < runs; i++)); do
    scratch="$work/run-$arch-$i"
    mkdir -p "$scratch/state" "$scratch/wpa"
    printf 'private = "%s"\ntrust = "%s"\nstate = "%s"\nstack = "wpa-supplicant"\nconfig-file = "%s"\n' \
      "$work/fleet.key" "$work/signer.pub" "$scratch/state/replay.state" \
      "$scratch/wpa/wpa_supplicant.conf" >"$scratch/device.conf"
    read -r status peak seconds < <(measure "${device[@]}" apply --config "$scratch/device.conf" \
      --source "$work/drive")
    [ "$status" -eq 0 ] && grep -q 'psk=' "$scratch/wpa/wpa_supplicant.conf" ||
      { echo "device-footprint: $arch: apply failed (exit $status)" >&2; exit 1; }
    echo "$peak $seconds" >>"$work/apply"
    read -r _ peak _ < <(measure "${device[@]}" --version)
    echo "$peak" >>"$work/rest"
  done
  cpu_of[$arch]=$(cut -d' ' -f2 "$work/apply" | median)
  rows+=("$arch $(stat -c %s "$root/usr/bin/zezi-vidad-device") $(cut -d' ' -f1 "$work/apply" | median) $(median <"$work/rest")")
done

printf '%-6s %10s %14s %14s %11s %9s\n' arch program "peak (apply)" "peak (at rest)" "CPU (apply)" "to $native"
for row in "${rows[@]}"; do
  read -r arch size peak rest <<<"$row"
  ratio=-
  [ -z "${cpu_of[$native]:-}" ] ||
    ratio=$(awk -v a="${cpu_of[$arch]}" -v b="${cpu_of[$native]}" 'BEGIN {printf "%.1f", a / b}')
  printf '%-6s %8d B %10d KiB %10d KiB %8.0f ms %9s\n' "$arch" "$size" "$peak" "$rest" \
    "$(awk -v s="${cpu_of[$arch]}" 'BEGIN {print s * 1000}')" "$ratio"
done
