#!/usr/bin/env bash
# The device's side on another architecture: builds, with Debian's cross toolchain, the test
# programs of the floors a device runs (base, encoding, crypto, opener, stacks, self-test and
# what the device's program takes of the commands' floor), the C interface's programs, the
# self-test and the device's program, then runs each under qemu-user with the target's
# libraries and prints how long each took. On the 32-bit armhf build every implicit narrowing
# in the device's code is an error.
#
# usage: tools/cross-test.sh arm64|armhf [BUILD_DIR]
#   BUILD_DIR defaults to build/cross-ARCH. tools/install-deps.sh --cross installs the
#   cross compilers, the target's libraries and qemu-user.
# exit: 0 all passed, 1 a build or a test failed, 2 usage error or a tool missing
set -euo pipefail

checkout=$(cd "$(dirname "$0")/.." && pwd)
usage() {
  echo "usage: tools/cross-test.sh arm64|armhf [BUILD_DIR]" >&2
  exit 2
}
[ $# -ge 1 ] && [ $# -le 2 ] || usage
arch=$1
case $arch in
  arm64) triplet=aarch64-linux-gnu emulator=qemu-aarch64 narrowing=OFF ;;
  armhf) triplet=arm-linux-gnueabihf emulator=qemu-arm narrowing=ON ;;
  *) usage ;;
esac
build=${2:-$checkout/build/cross-$arch}

for need in "$triplet-g++" "$emulator" "/usr/lib/$triplet/libcrypto.so" "/usr/lib/$triplet/libgtest.a"; do
  if ! command -v "$need" >/dev/null && [ ! -e "$need" ]; then
    echo "cross-test: $need is missing (tools/install-deps.sh --cross installs it)" >&2
    exit 2
  fi
done

started=$SECONDS
programs=(base_tests encoding_tests crypto_tests opener_tests stacks_tests selftest_tests cli_device_tests
  api_c_program api_c_device_program)
cmake -S "$checkout" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$checkout/cmake/toolchains/$arch.cmake" \
  -DZEZI_VIDAD_WERROR=ON -DZEZI_VIDAD_NARROWING_WARNINGS="$narrowing" \
  -DZEZI_VIDAD_BUILD_BENCHMARKS=OFF >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j2 --target "${programs[@]}" zezi-vidad-selftest zezi-vidad-device
built=$((SECONDS - started))

# The emulator runs a program of the target with the target's loader and libraries; the
# tests start the target's programs through it (ZEZI_VIDAD_EMULATED).
run=("$emulator" -L "/usr/$triplet")
export ZEZI_VIDAD_EMULATED="${run[*]}"
failed=()
timed() { # name command...
  local name=$1 t0=$SECONDS
  shift
  if "$@" >"$build/$name.log" 2>&1; then
    printf 'cross-test %s: %-22s passed in %3d s  %s\n' "$arch" "$name" "$((SECONDS - t0))" \
      "$(grep -E '^\[  PASSED  \]|^\[  SKIPPED \] [0-9]+ tests?,|PASS$' "$build/$name.log" | tr -s ' ' | paste -sd ' ')"
  else
    printf 'cross-test %s: %-22s FAILED after %d s\n' "$arch" "$name" "$((SECONDS - t0))"
    tail -n 40 "$build/$name.log"
    failed+=("$name")
  fi
}
for program in "${programs[@]}"; do
  timed "$program" "${run[@]}" "$build/tests/$program"
done
timed zezi-vidad-selftest "${run[@]}" "$build/zezi-vidad-selftest"
timed "device selftest" "${run[@]}" "$build/cli/zezi-vidad-device" selftest

echo "cross-test $arch: built in $built s, ran in $((SECONDS - started - built)) s"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "cross-test $arch: FAILED: ${failed[*]}" >&2
  exit 1
fi
