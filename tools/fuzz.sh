#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour sanitizers) and
# runs one target, or all, for a given number of seconds each.
#
# usage: tools/fuzz.sh [TARGET|all] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:-all}
seconds=${2:-60}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEZI_VIDAD_BUILD_TESTS=OFF -DZEZI_VIDAD_BUILD_FUZZERS=ON -DZEZI_VIDAD_WERROR=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
  >/dev/null
cmake --build "$build" -j2 >/dev/null

if [ "$target" = all ]; then
  targets=$(sed -n 's/^zezi_vidad_fuzzer(\(.*\))$/\1/p' fuzz/CMakeLists.txt)
else
  targets=$target
fi

for name in $targets; do
  # New inputs go to a scratch corpus in the build tree; the seeds in fuzz/ stay as they are.
  scratch="$build/corpus/$name"
  mkdir -p "$scratch"
  log="$build/$name.log"
  if ! "$build/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/$name-" "$scratch" "fuzz/corpus/$name" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "$name: FAILED (input saved under $build/$name-*)"
    exit 1
  fi
  echo "$name: $(grep -o 'number_of_executed_units: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2) executions in ${seconds}s"
done
