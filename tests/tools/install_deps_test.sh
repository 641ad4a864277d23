#!/usr/bin/env bash
# tools/install-deps.sh --print: the build-only list is part of the whole one and leaves
# out every test, CI and packaging tool, so the README's user routes install no toolchain
# of the CI. Nothing is installed: --print lists and stops.
#
# usage: tests/tools/install_deps_test.sh SOURCE_DIR
set -euo pipefail

script=$1/tools/install-deps.sh
status=0
fail() { echo "FAIL: $*"; status=1; }

all=$("$script" --print)
build=$("$script" --build-only --print)
[ -n "$build" ] || fail "the build-only list is empty"
[ "$("$script" --print --build-only)" = "$build" ] || fail "the options' order changes the list"
duplicates=$(sort <<<"$all" | uniq -d)
[ -z "$duplicates" ] || fail "listed twice: $duplicates"
[ "$(wc -l <<<"$build")" -lt "$(wc -l <<<"$all")" ] || fail "the build-only list is not smaller"
while read -r package; do
  grep -qxF "$package" <<<"$all" || fail "$package is built with but missing from the whole list"
done <<<"$build"

# Package | in the build-only list (yes/no). Each "no" is a tool the programs' build
# does not run.
cases="cmake|yes
g++|yes
gcc|yes
libssl-dev|yes
libcli11-dev|yes
nlohmann-json3-dev|yes
libgtest-dev|no
libbenchmark-dev|no
qemu-system-x86|no
clang|no
clang-tidy|no
valgrind|no
lintian|no
debhelper|no
swtpm|no
debootstrap|no
network-manager|no
iwd|no
chromium|no
python3-selenium|no
wpasupplicant|no"
while IFS='|' read -r package wanted; do
  grep -qxF "$package" <<<"$all" || fail "$package is not in the whole list"
  if grep -qxF "$package" <<<"$build"; then listed=yes; else listed=no; fi
  [ "$listed" = "$wanted" ] || fail "$package in the build-only list: $listed, expected $wanted"
done <<<"$cases"

# The ARM builds add to either list and leave out nothing of it; the targets' libraries come
# for both architectures.
for base in --print --build-only; do
  plain=$("$script" --print $base)
  with_cross=$("$script" --print $base --cross)
  [ -z "$(comm -23 <(sort <<<"$plain") <(sort <<<"$with_cross"))" ] ||
    fail "--cross drops packages of the $base list"
  for package in crossbuild-essential-arm64 crossbuild-essential-armhf qemu-user \
    libssl-dev:arm64 libssl-dev:armhf libstdc++6:arm64 libgtest-dev:armhf qemu-system-arm cpio; do
    grep -qxF "$package" <<<"$with_cross" || fail "$package is not in the $base --cross list"
    ! grep -qxF "$package" <<<"$plain" || fail "$package is in the $base list without --cross"
  done
done

# An unknown word is a usage error, before anything is listed or installed.
set +e
out=$("$script" --for-device --print 2>/dev/null)
rc=$?
set -e
[ "$rc" -eq 2 ] || fail "an unknown argument exits $rc, expected 2"
[ -z "$out" ] || fail "an unknown argument still listed packages"

[ "$status" -eq 0 ] && echo "install-deps.sh lists: all passed"
exit "$status"
