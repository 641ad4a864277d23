#!/usr/bin/env bash
# Installs a build one CMake component at a time and checks that every installed file
# belongs to exactly one component, and to the one whose paths it has: the Debian packages
# are made of these components, so a rule without a component (CMake's "Unspecified") or a
# file in the wrong one would be missing from, or misplaced in, the packages.
#
# usage: tests/tools/install_components_test.sh BUILD_DIR
set -euo pipefail

build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Component; the paths (relative to the prefix, extended regular expression) its files
# may have; one path it must have.
table="tool;^(bin/zezi-vidad(-selftest)?|share/man/man1/zezi-vidad\\.1|share/bash-completion/completions/zezi-vidad|share/doc/zezi-vidad/(format|tpm)\\.md)\$;bin/zezi-vidad
device;^(bin/zezi-vidad-device|sbin/zezi-vidad-tpm-import\$|share/man/man1/zezi-vidad-device\\.1|share/man/man5/device\\.conf\\.5\$|share/man/man8/zezi-vidad-tpm-import\\.8\$|share/bash-completion/completions/zezi-vidad-device\$|share/doc/zezi-vidad-device/(device|format|tpm)\\.md\$|share/zezi-vidad/|etc/zezi-vidad/|lib/systemd/|lib/udev/|var/lib/zezi-vidad/);bin/zezi-vidad-device
runtime;^lib[^/]*/(.+/)?lib[a-z_]+\\.so\\.[0-9.]+\$;
development;^(include/(zezi_vidad|zezi-vidad-device/zezi_vidad)/|lib[^/]*/(.+/)?(cmake/ZeziVidad/|pkgconfig/|lib[a-z_]+\\.(a|so)\$));include/zezi_vidad/zezi_vidad.h
Unspecified;^\$;"

# Into a DESTDIR, as the packages are made: a path the build makes absolute (/etc, the
# systemd units) then stays inside the scratch folder. Paths are compared below the prefix.
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
prefix=${prefix#/}

status=0
all=$scratch/all.list
: >"$all"
while IFS=';' read -r component allowed required; do
  destination=$scratch/$component
  DESTDIR=$destination cmake --install "$build" --component "$component" >/dev/null
  files=$scratch/$component.list
  if [ -d "$destination" ]; then
    (cd "$destination" && find . \( -type f -o -type l \) | sed -e 's|^\./||' -e "s|^$prefix/||" |
      sort) >"$files"
  else
    : >"$files"
  fi
  misplaced=$(grep -Ev "$allowed" "$files" || true)
  if [ -n "$misplaced" ]; then
    echo "component $component installs files that are not its own:"
    awk '{print "  " $0}' <<<"$misplaced"
    status=1
  fi
  if [ -n "$required" ] && ! grep -qx "$required" "$files"; then
    echo "component $component does not install $required"
    status=1
  fi
  echo "$component: $(wc -l <"$files") files"
  cat "$files" >>"$all"
done <<<"$table"

twice=$(sort "$all" | uniq -d)
if [ -n "$twice" ]; then
  echo "files installed by more than one component:"
  awk '{print "  " $0}' <<<"$twice"
  status=1
fi
exit "$status"
