#!/usr/bin/env bash
# tools/vm-device.sh and tools/vm/make-image.sh refuse what they cannot run before they
# bootstrap, boot or need root: an unknown architecture, a missing value, and a device
# package for another architecture than the guest's. Nothing is made or booted: each case
# stops at its usage error (exit 2).
#
# usage: tests/tools/vm_device_usage_test.sh SOURCE_DIR
set -euo pipefail

vm_device=$1/tools/vm-device.sh
make_image=$1/tools/vm/make-image.sh
command -v dpkg-deb >/dev/null || { echo "vm-device usage: SKIPPED, no dpkg-deb"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

# A device package of each architecture, each alone in a folder, as build-debs.sh leaves it.
for arch in amd64 arm64; do
  mkdir -p "$work/pkg-$arch/DEBIAN" "$work/debs-$arch"
  printf 'Package: zezi-vidad-device\nVersion: 0.1.0\nArchitecture: %s\nMaintainer: test <test@example.org>\nDescription: test\n' \
    "$arch" >"$work/pkg-$arch/DEBIAN/control"
  dpkg-deb --build "$work/pkg-$arch" "$work/debs-$arch/zezi-vidad-device_0.1.0_$arch.deb" >/dev/null
done
mkdir -p "$work/empty"
# Should a check give way, the run stops at once rather than bootstrap Debian.
mkdir -p "$work/bin"
printf '#!/bin/sh\necho "debootstrap: not in this test" >&2\nexit 1\n' >"$work/bin/debootstrap"
chmod +x "$work/bin/debootstrap"

# Script | arguments | what standard error names ("-" for anything). Every case exits 2
# without making anything under the output folder.
cases="vm-device|--arch riscv64 DEBS_amd64|usage:
vm-device|--arch|usage:
vm-device|--arch arm64|usage:
vm-device|--stack wpa-supplicant --arch|usage:
vm-device|--arch arm64 DEBS_amd64|zezi-vidad-device_0.1.0_amd64.deb is for amd64, the guest is arm64
vm-device|DEBS_arm64|zezi-vidad-device_0.1.0_arm64.deb is for arm64, the guest is amd64
vm-device|--arch amd64 --stack wpa-supplicant DEBS_arm64|is for arm64, the guest is amd64
vm-device|--arch arm64 EMPTY|holds no single zezi-vidad-device
make-image|--arch armhf OUT|usage:
make-image|--arch|usage:
make-image|--arch arm64|usage:
make-image|OUT OUT|usage:"
while IFS='|' read -r script arguments wanted; do
  words=()
  for word in $arguments; do
    case "$word" in
      DEBS_*) words+=("$work/debs-${word#DEBS_}") ;;
      EMPTY) words+=("$work/empty") ;;
      OUT) words+=("$work/out") ;;
      *) words+=("$word") ;;
    esac
  done
  case "$script" in vm-device) path=$vm_device ;; make-image) path=$make_image ;; esac
  set +e
  PATH="$work/bin:$PATH" ZEZI_VIDAD_TOOL=/bin/true ZEZI_VIDAD_CACHE="$work/cache" "$path" "${words[@]}" \
    >"$work/out.txt" 2>"$work/err.txt"
  rc=$?
  set -e
  [ "$rc" -eq 2 ] || fail "$script $arguments: exit $rc, expected 2"
  grep -qF -- "$wanted" "$work/err.txt" ||
    fail "$script $arguments: standard error names no '$wanted': $(head -n 2 "$work/err.txt")"
  if [ -e "$work/out" ] || [ -e "$work/cache" ]; then fail "$script $arguments: made files"; fi
  rm -rf "$work/out" "$work/cache"
done <<<"$cases"

[ "$status" -eq 0 ] && echo "vm-device.sh and make-image.sh usage: all passed"
exit "$status"
