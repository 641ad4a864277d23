#!/usr/bin/env bash
# Line coverage of one floor by the test suite, with gcov: builds build-coverage (Debug,
# --coverage), runs ctest (all of it, or the tests a -R pattern names) and prints the lines
# run of each of the floor's sources and of the floor.
#   tools/coverage.sh stacks             # the whole suite
#   tools/coverage.sh stacks 'Writer|Reload'
set -euo pipefail
cd "$(dirname "$0")/.."
floor=${1:?usage: tools/coverage.sh FLOOR [CTEST_REGEX]}
build=${ZEZI_VIDAD_COVERAGE_BUILD:-build-coverage}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS=--coverage \
  -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage \
  -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
# Counts of an earlier build would not match (and the build's test discovery runs programs).
find "$build" -name '*.gcda' -delete
cmake --build "$build" -j2 >/dev/null
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" -j2 ${2:+-R "$2"} >"$build/coverage-ctest.log" 2>&1 ||
  echo "some tests failed (see $build/coverage-ctest.log): the lines are those that ran"
objects=$build/$floor/CMakeFiles/zezi_vidad_$floor.dir
[ -d "$objects" ] || { echo "no library target zezi_vidad_$floor in $build/$floor"; exit 2; }
# gcov says, per source: File '...' then Lines executed:P% of N.
(cd "$objects" && gcov -n ./*.o 2>/dev/null) | awk -v floor="$PWD/$floor/" '
  /^File / { file = substr($2, 2, length($2) - 2); next }
  /^Lines executed:/ && index(file, floor) == 1 {
    split($2, p, ":"); percent = p[2] + 0; lines = $4
    run = int(percent * lines / 100 + 0.5)
    printf "%-40s %5.1f%% of %d lines\n", substr(file, length(floor) + 1), percent, lines
    total += lines; covered += run
  }
  END { if (total) printf "%-40s %5.1f%% of %d lines\n", "total", 100 * covered / total, total }'
