#!/usr/bin/env bash
# Installs the library, static and shared, into temporary prefixes and builds and runs the
# consumer programs against each installed tree only: the C++ one and the C interface's
# test program, once through CMake and once through pkg-config, and the C program making
# only the device's calls against the device library alone. It checks that the device
# library defines no sealing name, and for the shared libraries that the exported names are
# exactly the public interface (the device's part of it for the device library).
#
# With --installed PREFIX it checks, as above, what is installed there already (the
# Debian packages: tools/check-debs.sh), shared libraries and development files, and builds
# nothing of its own.
#
# usage: tools/check-install.sh [BUILD_DIR]   (the static build; the shared one is made here)
#        tools/check-install.sh --installed PREFIX
set -euo pipefail
cd "$(dirname "$0")/.."
# The expected lists below are in the C locale's order, whatever the caller's is.
export LC_ALL=C

build=${1:-build}
installed=
if [ "$build" = --installed ]; then
  installed=${2:?usage: tools/check-install.sh --installed PREFIX}
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# What the shared library exports: the C interface and the marked C++ functions.
expected_exports="zezi::FleetOpener::create
zezi::FleetOpener::~FleetOpener
zezi::FleetOpener::~FleetOpener
zezi::FleetSealer::create
zezi::FleetSealer::seal
zezi::FleetSealer::~FleetSealer
zezi::FleetSealer::~FleetSealer
zezi::buildEnvelope
zezi::decodeReplayState
zezi::encodeReplayState
zezi::generateKeyPair
zezi::loadTrustList
zezi::makeSignatureFile
zezi::openEnvelope
zezi::openEnvelope
zezi::openSignedEnvelope
zezi::privateKeyPem
zezi::privateScalarFromPem
zezi::publicKeyOfScalar
zezi::publicKeyPem
zezi::rawPublicKeyFromHex
zezi::rawPublicKeyFromPem
zezi::runSelfTest
zezi_vidad_generate_key_pair
zezi_vidad_open
zezi_vidad_open_signed
zezi_vidad_open_with
zezi_vidad_opener_free
zezi_vidad_opener_new
zezi_vidad_opener_new_from_pem_file
zezi_vidad_opener_new_from_reference
zezi_vidad_opener_public_key
zezi_vidad_public_key
zezi_vidad_replay_record_decode
zezi_vidad_replay_record_encode
zezi_vidad_seal
zezi_vidad_status_class_of
zezi_vidad_strerror
zezi_vidad_trust_list_free
zezi_vidad_trust_list_new
zezi_vidad_trust_list_new_from_file
zezi_vidad_version"

# The device library's exports: the opening side of the above, without a sealing name.
expected_device_exports="zezi::FleetOpener::create
zezi::FleetOpener::~FleetOpener
zezi::FleetOpener::~FleetOpener
zezi::decodeReplayState
zezi::encodeReplayState
zezi::loadTrustList
zezi::openEnvelope
zezi::openEnvelope
zezi::openSignedEnvelope
zezi_vidad_open
zezi_vidad_open_signed
zezi_vidad_open_with
zezi_vidad_opener_free
zezi_vidad_opener_new
zezi_vidad_opener_new_from_pem_file
zezi_vidad_opener_new_from_reference
zezi_vidad_opener_public_key
zezi_vidad_replay_record_decode
zezi_vidad_replay_record_encode
zezi_vidad_status_class_of
zezi_vidad_strerror
zezi_vidad_trust_list_free
zezi_vidad_trust_list_new
zezi_vidad_trust_list_new_from_file
zezi_vidad_version"

# The public headers (include/zezi_vidad), named for what a consumer does, and the device
# library's, alone in its include folder include/zezi-vidad-device: no internal header.
expected_headers="./zezi_vidad/device.h
./zezi_vidad/device.hpp
./zezi_vidad/version.h
./zezi_vidad/zezi_vidad.h
./zezi_vidad/zezi_vidad.hpp"
expected_device_headers="./zezi_vidad/device.h
./zezi_vidad/device.hpp
./zezi_vidad/version.h"

# Names only the sealing side defines; none may be in the device library. Whole names: the
# device reads PEM private keys too (privateKeyPemFailureText), it never writes one.
sealing_names='buildEnvelope|FleetSealer|makeSignatureFile|generateKeyPair|publicKeyOfScalar|privateKeyPem\b|publicKeyPem|zezi_vidad_seal|zezi_vidad_generate_key_pair|zezi_vidad_public_key|runSelfTest'

# The folder of the libraries under PREFIX: lib/ or a multiarch one below it.
library_dir() {
  local library
  library=$(find "$1"/lib* -maxdepth 2 -name 'libzezi_vidad.*' \( -name '*.a' -o -name '*.so' \) \
    -print -quit)
  dirname "${library:-$1/lib/none}"
}

check_prefix() {
  local flavour=$1 prefix=$2 libdir
  libdir=$(library_dir "$prefix")
  if [ -z "$installed" ]; then
    echo "== $flavour: installed tree"
    (cd "$prefix" && find . \( -type f -o -type l \) | sort)
  fi

  # The five public headers (ARCHITECTURE.md) and nothing else; the device library's include
  # folder holds its own alone, none that declares a name it does not have.
  local headers device_headers
  headers=$(cd "$prefix/include" && find ./zezi_vidad | sort)
  if [ "$headers" != "$(printf './zezi_vidad\n%s' "$expected_headers")" ]; then
    echo "other headers than the public ones are installed:"
    diff <(printf './zezi_vidad\n%s\n' "$expected_headers") <(echo "$headers") || true
    exit 1
  fi
  device_headers=$(cd "$prefix/include/zezi-vidad-device" && find . -type f | sort)
  if [ "$device_headers" != "$expected_device_headers" ]; then
    echo "the device library's include folder holds other headers than its own:"
    diff <(echo "$expected_device_headers") <(echo "$device_headers") || true
    exit 1
  fi

  echo "== $flavour: consumers through CMake"
  cmake -S tests/install -B "$scratch/$flavour-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$scratch/$flavour-cmake" -j2 >/dev/null
  "$scratch/$flavour-cmake/consumer"
  "$scratch/$flavour-cmake/c_consumer"
  LD_LIBRARY_PATH=$libdir "$scratch/$flavour-cmake/c_device_consumer"
  # The device program needs nothing from the full library.
  if ldd "$scratch/$flavour-cmake/c_device_consumer" | grep -q 'libzezi_vidad\.so'; then
    echo "the device program is linked against the full library"
    exit 1
  fi

  echo "== $flavour: consumers through pkg-config"
  local static=()
  [ "$flavour" = static ] && static=(--static)
  export PKG_CONFIG_PATH=$libdir/pkgconfig
  # No standard of our own: the C++ one comes from the package, as a consumer gets it.
  # shellcheck disable=SC2046
  g++ $(pkg-config --variable=cxxflags zezi-vidad) tests/install/consumer.cpp \
    -o "$scratch/$flavour-pkg-consumer" $(pkg-config --cflags --libs "${static[@]}" zezi-vidad)
  # shellcheck disable=SC2046
  cc -std=c11 -Wall -Wextra -Wpedantic -Werror tests/api/c_program.c \
    -o "$scratch/$flavour-pkg-c-consumer" $(pkg-config --cflags --libs "${static[@]}" zezi-vidad)
  LD_LIBRARY_PATH=$libdir "$scratch/$flavour-pkg-consumer"
  # shellcheck disable=SC2046
  cc -std=c11 -Wall -Wextra -Wpedantic -Werror -DZEZI_VIDAD_DEVICE_ONLY tests/api/c_program.c \
    -o "$scratch/$flavour-pkg-c-device-consumer" \
    $(pkg-config --cflags --libs "${static[@]}" zezi-vidad-device)
  LD_LIBRARY_PATH=$libdir "$scratch/$flavour-pkg-c-consumer"
  LD_LIBRARY_PATH=$libdir "$scratch/$flavour-pkg-c-device-consumer"
  # With the device library's flags, a sealing call does not compile.
  printf '#include <zezi_vidad/device.h>\nint main(void) { return zezi_vidad_generate_key_pair(0, 0); }\n' \
    >"$scratch/sealing_on_device.c"
  # shellcheck disable=SC2046
  if cc -std=c11 -pedantic-errors -Werror=implicit-function-declaration -c \
    "$scratch/sealing_on_device.c" -o "$scratch/sealing_on_device.o" \
    $(pkg-config --cflags zezi-vidad-device) 2>/dev/null; then
    echo "a sealing call compiles with the device library's headers"
    exit 1
  fi

  echo "== $flavour: the device library defines no sealing name"
  local device
  device=$(find "$libdir" -maxdepth 1 -name 'libzezi_vidad_device.*' -type f -print -quit)
  local defined
  defined=$(nm -C --defined-only "$device" 2>/dev/null)
  if [ -z "$defined" ] || grep -E "$sealing_names" <<<"$defined"; then
    echo "the device library $device defines sealing names (above) or none at all"
    exit 1
  fi
  echo "none of: $sealing_names"

  echo "== $flavour: sizes (size, ls -l)"
  for library in "$libdir"/libzezi_vidad.a "$libdir"/libzezi_vidad_device.a \
    "$libdir"/libzezi_vidad.so "$libdir"/libzezi_vidad_device.so; do
    [ -e "$library" ] || continue
    library=$(readlink -f "$library")
    ls -l "$library"
    size --totals "$library" | tail -n 1
  done

  echo "== $flavour: installed programs"
  "$prefix/bin/zezi-vidad-selftest"
}

if [ -n "$installed" ]; then
  check_prefix shared "$installed"
  shared_libdir=$(library_dir "$installed")
else
  cmake --install "$build" --prefix "$scratch/static" >/dev/null
  check_prefix static "$scratch/static"

  # Optimised, so that warnings only -O2 finds fail here too.
  echo "== shared: building"
  shared_build=$scratch/shared-build
  cmake -S . -B "$shared_build" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
    -DZEZI_VIDAD_BUILD_TESTS=OFF -DZEZI_VIDAD_BUILD_BENCHMARKS=OFF -DZEZI_VIDAD_WERROR=ON >/dev/null
  cmake --build "$shared_build" -j2 >/dev/null
  cmake --install "$shared_build" --prefix "$scratch/shared" >/dev/null
  check_prefix shared "$scratch/shared"
  shared_libdir=$scratch/shared/lib
fi

echo "== shared: exported names (nm -D --defined-only)"
library=$(readlink -f "$shared_libdir/libzezi_vidad.so")
echo "SONAME $(objdump -p "$library" | awk '$1 == "SONAME" {print $2}')"
nm -D --defined-only "$library"
exported=$(nm -D --defined-only "$library" | awk '$2 != "A" {print $3}' | sed 's/@.*//' |
  c++filt | sed 's/[[(].*//' | sort)
if [ "$exported" != "$expected_exports" ]; then
  echo "the shared library exports other names than the public interface:"
  diff <(echo "$expected_exports") <(echo "$exported") || true
  exit 1
fi
echo "exports: exactly the public interface ($(wc -l <<<"$exported") names)"
# A narrow interface: at most 20 C++ names (an overload or a second destructor symbol is
# one name), whatever the list above grows to.
cxx_names=$(grep -c '^zezi::' <<<"$(sort -u <<<"$exported")")
if [ "$cxx_names" -gt 20 ]; then
  echo "the shared library exports $cxx_names C++ names, more than 20"
  exit 1
fi
echo "C++ names: $cxx_names (at most 20)"

echo "== shared: the device library's exported names"
device_library=$(readlink -f "$shared_libdir/libzezi_vidad_device.so")
echo "SONAME $(objdump -p "$device_library" | awk '$1 == "SONAME" {print $2}')"
exported=$(nm -D --defined-only "$device_library" | awk '$2 != "A" {print $3}' | sed 's/@.*//' |
  c++filt | sed 's/[[(].*//' | sort)
if [ "$exported" != "$expected_device_exports" ]; then
  echo "the device library exports other names than the device's interface:"
  diff <(echo "$expected_device_exports") <(echo "$exported") || true
  exit 1
fi
echo "device exports: exactly the device's interface ($(wc -l <<<"$exported") names)"
