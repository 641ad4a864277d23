#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the build, the test suite and every stage of
# .ci/run need and this machine lacks. Runs as root on a fresh Debian 12 (a minimal
# bootstrap is enough); installs nothing already present.
#
# usage: tools/install-deps.sh [--build-only] [--cross] [--print]
#   --build-only  only what building the tool and the device's program needs, with tests
#                 and benchmarks off (-DZEZI_VIDAD_BUILD_TESTS=OFF
#                 -DZEZI_VIDAD_BUILD_BENCHMARKS=OFF): no test, CI or packaging tools
#   --cross       also the builds for ARM devices (tools/cross-test.sh, tools/build-debs.sh
#                 --arch): Debian's cross compilers, the arm64 and armhf libraries (which
#                 adds both to dpkg's architectures), qemu-user to run what they build and
#                 qemu-system-arm for the arm64 virtual device (tools/vm-device.sh --arch)
#   --print       list the chosen packages, one a line, and install nothing
set -euo pipefail

build_only=false
cross=false
print=false
for argument in "$@"; do
  case $argument in
    --build-only) build_only=true ;;
    --cross) cross=true ;;
    --print) print=true ;;
    *)
      echo "install-deps.sh: unknown argument '$argument'" >&2
      echo "usage: tools/install-deps.sh [--build-only] [--cross] [--print]" >&2
      exit 2
      ;;
  esac
done

build_packages=(
  # The programs: the library and tool in C++ (CMake also wants a C compiler), their man
  # pages from the help texts.
  cmake make gcc g++ pkg-config libssl-dev nlohmann-json3-dev libcli11-dev help2man
)
packages=(
  "${build_packages[@]}"
  # The test suite and benchmarks.
  libgtest-dev libgmock-dev libbenchmark-dev
  # The test suite: the openssl tool (known answers), wpa_passphrase (PSK vectors), the
  # Python implementation of the format.
  openssl wpasupplicant python3 python3-cryptography
  # tools/sanitize.sh: valgrind (ASan and UBSan come with gcc).
  valgrind
  # tools/fuzz.sh: clang and its libFuzzer runtime.
  clang libclang-rt-14-dev
  # tools/static-analysis.sh: it lists the sources with git.
  git clang-format clang-tidy cppcheck
  # The tool's tests: a FAT drive through FUSE; man to read the man page; strace to kill a
  # run at each step of writing a pair of files.
  dosfstools fusefat man-db strace
  # The bash completion's test: the helpers that completion scripts call.
  bash-completion
  # The sealing page's test: Debian's Chromium, headless, driven through its own driver.
  chromium chromium-driver python3-selenium
  # tools/check-install.sh: nm, objdump and c++filt (pkg-config and the compilers above).
  binutils
  # tools/fresh-debian.sh: a bare Debian 12 tree to run the README's commands in.
  debootstrap
  # .ci/run: a compiler cache outside the checkout, so a fresh clone does not compile all anew.
  ccache
  # The device's tests: each WiFi stack's own tools read what apply writes; systemd-analyze
  # checks the units.
  network-manager iwd systemd udev
  # Keys held in a TPM: a software TPM, OpenSSL's provider for it and the TPM tools.
  swtpm swtpm-tools tpm2-openssl tpm2-tools
  # The Debian packages: built with dpkg's tools and debhelper, checked by lintian.
  dpkg-dev fakeroot lintian debhelper
  # tools/vm-device.sh: a Debian 12 guest under QEMU (its disk made with mke2fs and qemu-img)
  # and the FAT drive it is handed, written with mtools.
  qemu-system-x86 qemu-utils e2fsprogs mtools
)

# ARM devices: 64-bit (arm64) and 32-bit (armhf).
cross_architectures=(arm64 armhf)
cross_packages=(crossbuild-essential-arm64 crossbuild-essential-armhf qemu-user
  # tools/vm-device.sh --arch arm64: the arm64 guest under qemu-system-aarch64, its image's
  # second stage booted from a cpio archive.
  qemu-system-arm cpio)
for architecture in "${cross_architectures[@]}"; do
  # libstdc++6 of the target itself (the cross compilers carry their own copy), for
  # dpkg-shlibdeps to find what the packages' programs link.
  cross_packages+=("libssl-dev:$architecture" "libstdc++6:$architecture"
    "libgtest-dev:$architecture" "libgmock-dev:$architecture")
done

if "$build_only"; then
  packages=("${build_packages[@]}")
fi
if "$cross"; then
  packages+=("${cross_packages[@]}")
fi
if "$print"; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if "$cross"; then
    for architecture in "${cross_architectures[@]}"; do
      dpkg --print-foreign-architectures | grep -qx "$architecture" ||
        dpkg --add-architecture "$architecture"
    done
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
