#!/usr/bin/env bash
# Formatting, cppcheck and clang-tidy over the project's own code; any finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."

sources=$(git ls-files '*.cpp' '*.h' '*.hpp' '*.c')
library_sources=$(git ls-files 'encoding/*.cpp' 'crypto/*.cpp' 'sealer/*.cpp' 'opener/*.cpp' 'selftest/*.cpp' 'stacks/*.cpp' 'api/*.cpp' \
  'cli/*.cpp')

echo "== clang-format"
# shellcheck disable=SC2086
clang-format --dry-run --Werror $sources

echo "== cppcheck"
# shellcheck disable=SC2086
cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ \
  --inline-suppr --error-exitcode=1 --quiet -I . $library_sources

echo "== clang-tidy"
cmake -S . -B build >/dev/null  # compile_commands.json for clang-tidy
status=0
# shellcheck disable=SC2086
report=$(printf '%s\n' $library_sources | xargs -P 2 -n 4 clang-tidy -p build --quiet 2>&1) ||
  status=$?
if [ "$status" -ne 0 ] || grep -q -E 'warning:|error:' <<<"$report"; then
  grep -v -E '^[0-9]+ warnings? generated\.$' <<<"$report"
  echo "clang-tidy: findings above"
  exit 1
fi
