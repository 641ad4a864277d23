#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the build and the test suite need and this
# machine lacks. Runs as root on a fresh Debian 12; installs nothing already present.
set -euo pipefail

packages=(
  cmake g++ make pkg-config openssl libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcli11-dev
  python3 python3-cryptography
  wpasupplicant
  dosfstools fusefat
  help2man man-db
  clang libclang-rt-14-dev valgrind cppcheck clang-tidy clang-format
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
