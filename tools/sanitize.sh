#!/usr/bin/env bash
# Builds and runs the whole test suite under AddressSanitizer (LeakSanitizer on) and
# UndefinedBehaviorSanitizer, halting on the first report; then runs the self-test under
# valgrind memcheck, failing on any error or definite or indirect leak.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-asan
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DZEZI_VIDAD_WERROR=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  >/dev/null
cmake --build "$build" -j2
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir "$build" --output-on-failure -j2

# valgrind needs an uninstrumented binary: the plain build of the README's commands.
cmake --build build -j2 --target zezi-vidad-selftest
valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect \
  --errors-for-leak-kinds=definite,indirect --error-exitcode=1 build/zezi-vidad-selftest
