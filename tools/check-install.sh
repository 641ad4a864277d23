#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds and runs a small consumer program
# against the installed tree only, once through CMake and once through pkg-config.
#
# usage: tools/check-install.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
echo "== installed tree"
(cd "$prefix" && find . -type f | sort)

echo "== consumer through CMake"
cmake -S tests/install -B "$scratch/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake-consumer" >/dev/null
"$scratch/cmake-consumer/consumer"

echo "== consumer through pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
g++ -std=c++20 tests/install/consumer.cpp -o "$scratch/pkg-consumer" \
  $(pkg-config --cflags --libs zezi-vidad)
"$scratch/pkg-consumer"

echo "== installed programs"
"$prefix/bin/zezi-vidad-selftest"
