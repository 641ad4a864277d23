#!/usr/bin/env bash
# Builds the Debian packages (zezi-vidad, zezi-vidad-device, libzezi-vidad0.1,
# libzezi-vidad-device0.1, libzezi-vidad-dev) with dpkg-buildpackage and debhelper, from a
# copy of the checkout in build/debian-packages-ARCH/, and copies the .deb files into OUTPUT_DIR.
# The Debian changelog is made from CHANGELOG.md and the copyright file from LICENSE. Writes
# nothing outside build/ and OUTPUT_DIR.
#
# usage: tools/build-debs.sh [--arch arm64|armhf] OUTPUT_DIR
#   --arch  cross-builds the packages for an ARM device with Debian's cross toolchain (the
#           tests are left to tools/cross-test.sh); tools/install-deps.sh --cross installs it
# environment: DEB_BUILD_OPTIONS (default parallel=2)
set -euo pipefail

usage() { echo "usage: tools/build-debs.sh [--arch arm64|armhf] OUTPUT_DIR" >&2; exit 2; }
arch=$(dpkg --print-architecture)
cross=()
if [ "${1:-}" = --arch ]; then
  [ $# -eq 3 ] || usage
  case $2 in arm64 | armhf) ;; *) usage ;; esac
  arch=$2
  cross=(--host-arch "$arch" --build-profiles=cross,nocheck)
  shift 2
fi
[ $# -eq 1 ] && [ "${1#-}" = "$1" ] || usage
checkout=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
output=$(cd "$1" && pwd)

version=$(sed -n 's/^project(ZeziVidad VERSION \([0-9.]*\) .*/\1/p' "$checkout/CMakeLists.txt")
changelog_version=$(sed -n 's/^## \[\{0,1\}\([^] ]*\)\]\{0,1\} - .*/\1/p' "$checkout/CHANGELOG.md" |
  sed -n 1p)
if [ -z "$version" ] || [ "$version" != "$changelog_version" ]; then
  echo "build-debs.sh: CHANGELOG.md's newest version is not the project's version" >&2
  exit 1
fi

work=$checkout/build/debian-packages-$arch
source=$work/zezi-vidad-$version
rm -rf "$work"
mkdir -p "$source"

# The sources as git sees them (edits not yet committed included); without git, the tree
# without its build folders.
if git -C "$checkout" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$checkout" && git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf -) | tar -C "$source" -xf -
  export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$checkout" log -1 --format=%ct)}
  first_year=$(git -C "$checkout" log --reverse --format=%cd --date=format:%Y | sed -n 1p)
else
  tar -C "$checkout" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$source" -xf -
fi
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(date +%s)}
last_year=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y)
years=${first_year:-$last_year}
[ "$years" = "$last_year" ] || years=$years-$last_year

maintainer=$(sed -n 's/^Maintainer: //p' "$source/debian/control")
"$checkout/tools/debian-changelog.sh" "$checkout/CHANGELOG.md" zezi-vidad "$maintainer" \
  >"$source/debian/changelog"
"$checkout/tools/debian-copyright.sh" "$checkout/LICENSE" "$years ZeZi Vidad maintainers" \
  >"$source/debian/copyright"

export DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-parallel=2}
[ "${#cross[@]}" -eq 0 ] || DEB_BUILD_OPTIONS="$DEB_BUILD_OPTIONS nocheck"
(cd "$source" && dpkg-buildpackage --build=binary --no-sign "${cross[@]}") >"$work/build.log" 2>&1 || {
  tail -n 40 "$work/build.log"
  echo "build-debs.sh: dpkg-buildpackage failed (the whole log: $work/build.log)" >&2
  exit 1
}

rm -f "$output"/zezi-vidad*_"$arch".deb "$output"/libzezi-vidad*_"$arch".deb
cp "$work"/*.deb "$output/"
ls -l "$output"/*_"$arch".deb
