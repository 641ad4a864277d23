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
# A file found clean before is not checked again while nothing its check reads has changed:
# the file, every header of ours, the build files, the checks and the installed packages
# (which hold the system headers and clang-tidy itself).
cache=${ZEZI_VIDAD_CACHE:-/var/cache/zezi-vidad}/clang-tidy
mkdir -p "$cache" 2>/dev/null || cache=
context=$({
  clang-tidy --version
  dpkg-query -W 2>/dev/null || true
  # shellcheck disable=SC2046 # file names from git, without spaces
  sha256sum .clang-tidy $(git ls-files '*.h' '*.hpp' '*CMakeLists.txt' 'cmake/*')
} | sha256sum | cut -d' ' -f1)
marker_of() { printf '%s %s\n' "$context" "$(sha256sum "$1")" | sha256sum | cut -d' ' -f1; }
to_check=()
for file in $library_sources; do
  if [ -z "$cache" ] || [ ! -e "$cache/$(marker_of "$file")" ]; then
    to_check+=("$file")
  fi
done
echo "checking ${#to_check[@]} of $(wc -w <<<"$library_sources") files (the others are unchanged and were clean)"
[ "${#to_check[@]}" -gt 0 ] || exit 0
status=0
report=$(printf '%s\n' "${to_check[@]}" | xargs -P 2 -n 4 clang-tidy -p build --quiet 2>&1) ||
  status=$?
if [ "$status" -ne 0 ] || grep -q -E 'warning:|error:' <<<"$report"; then
  grep -v -E '^[0-9]+ warnings? generated\.$' <<<"$report"
  echo "clang-tidy: findings above"
  exit 1
fi
if [ -n "$cache" ]; then
  for file in "${to_check[@]}"; do
    touch "$cache/$(marker_of "$file")"
  done
fi
