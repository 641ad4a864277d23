#!/usr/bin/env bash
# Runs the README's two set-up commands, exactly as written, as root in a bare Debian 12 tree
# (debootstrap --variant=minbase), on a clean clone of the checkout with ../shared beside it.
# Then, in the same tree, the Debian packages: built there with tools/build-debs.sh (or
# copied in from ZEZI_VIDAD_DEBS), installed with apt, checked, removed and purged by
# tools/check-debs.sh.
# The bare tree is made once and kept in a cache folder outside the checkout; each run works on
# a copy of it, so nothing installed by one run is seen by the next.
#
# usage: tools/fresh-debian.sh [CHECKOUT]
# environment: ZEZI_VIDAD_CACHE (default /var/cache/zezi-vidad), ZEZI_VIDAD_MIRROR,
#              ZEZI_VIDAD_DEBS (a folder of packages tools/build-debs.sh made for this checkout),
#              CMAKE_CXX_COMPILER_LAUNCHER=ccache (as .ci/run sets it): the tree's builds
#              use a compiler cache of their own in the cache folder, which the README's
#              first command installs like everything else)
set -euo pipefail

checkout=$(cd "${1:-$(dirname "$0")/..}" && pwd)
shared="$checkout/../shared"
cache=${ZEZI_VIDAD_CACHE:-/var/cache/zezi-vidad}
mirror=${ZEZI_VIDAD_MIRROR:-http://deb.debian.org/debian}
base="$cache/bookworm-minbase"

skip() {
  echo "fresh Debian check SKIPPED: $*"
  exit 0
}

[ "$(id -u)" -eq 0 ] || skip "it needs root for debootstrap and chroot"
command -v debootstrap >/dev/null || skip "debootstrap is not installed (tools/install-deps.sh installs it)"
command -v chroot >/dev/null || skip "chroot is not available"

if [ ! -f "$base/.complete" ]; then
  echo "making the bare Debian 12 tree in $base"
  rm -rf "$base.partial"
  mkdir -p "$cache"
  debootstrap --variant=minbase bookworm "$base.partial" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
    { tail -n 20 "$cache/debootstrap.log"; skip "debootstrap could not make a tree (log above)"; }
  rm -rf "$base"
  mv "$base.partial" "$base"
  touch "$base/.complete"
fi

root=$(mktemp -d "$cache/run.XXXXXX")
mounts=()
# shellcheck disable=SC2317 # called by the trap
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount -l "${mounts[$i]}" 2>/dev/null || true
  done
  # Never remove through a mount that is still there (the package cache is one).
  if grep -q " $root/" /proc/mounts; then
    echo "fresh Debian check: $root still has mounts; left in place" >&2
  else
    rm -rf --one-file-system "$root"
  fi
}
trap cleanup EXIT

cp -a "$base/." "$root/"
mkdir -p "$root/work"
git clone -q --no-hardlinks "$checkout" "$root/work/main"
if [ -d "$shared" ]; then
  cp -a "$shared" "$root/work/shared"
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
# What an installed system has and debootstrap leaves out: without it "localhost" does not
# resolve, and the browser's driver is reached by that name.
printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
# Downloaded packages are kept between runs; what is installed is not.
mkdir -p "$cache/apt-archives/partial" "$root/var/cache/apt/archives"
mount --bind "$cache/apt-archives" "$root/var/cache/apt/archives"
mounts+=("$root/var/cache/apt/archives")
# A compiler cache kept between runs, only when the caller keeps one. It cannot hide a
# missing package: a header that is not installed fails the compile before any lookup.
compiler_cache=()
if [ "${CMAKE_CXX_COMPILER_LAUNCHER:-}" = ccache ]; then
  mkdir -p "$cache/ccache-bookworm" "$root/var/cache/ccache"
  mount --bind "$cache/ccache-bookworm" "$root/var/cache/ccache"
  mounts+=("$root/var/cache/ccache")
  compiler_cache=(CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
    CCACHE_DIR=/var/cache/ccache CCACHE_BASEDIR=/work/main CCACHE_NOHASHDIR=1)
fi

for target in proc sys dev dev/pts; do
  mkdir -p "$root/$target"
  case "$target" in
    proc) mount -t proc proc "$root/proc" ;;
    sys) mount --rbind /sys "$root/sys" ;;
    dev) mount --rbind /dev "$root/dev" ;;
    dev/pts) continue ;;
  esac
  mounts+=("$root/$target")
done

# The two commands of the README's set-up section, in order.
mapfile -t commands < <(awk '/^```sh$/{block++; getline; print; if (block == 2) exit}' "$checkout/README.md")
[ "${#commands[@]}" -eq 2 ] || { echo "README: expected two set-up commands" >&2; exit 1; }

# Runs a command as root in the tree, in the clone of the checkout.
in_tree() {
  chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM=dumb "${compiler_cache[@]}" /bin/bash -euo pipefail -c "cd /work/main && $1"
}

for i in 0 1; do
  echo "==== fresh Debian 12, README command $((i + 1)): ${commands[$i]}"
  if ! in_tree "${commands[$i]}"; then
    echo "fresh Debian check: README command $((i + 1)) FAILED" >&2
    exit 1
  fi
done
echo "fresh Debian check: both README commands pass on a bare Debian 12"

package_command="tools/build-debs.sh /work/debs && tools/check-debs.sh /work/debs"
if [ -n "${ZEZI_VIDAD_DEBS:-}" ]; then
  mkdir -p "$root/work/debs"
  cp "$ZEZI_VIDAD_DEBS"/*.deb "$root/work/debs/"
  package_command="tools/check-debs.sh /work/debs"
fi
echo "==== fresh Debian 12, the Debian packages: $package_command"
if ! in_tree "$package_command"; then
  echo "fresh Debian check: the Debian packages FAILED" >&2
  exit 1
fi
echo "fresh Debian check: the packages install, work and purge cleanly on a bare Debian 12"
