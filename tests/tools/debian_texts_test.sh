#!/usr/bin/env bash
# The Debian changelog and copyright files tools/build-debs.sh writes: each case of the
# tables below gives the generator an input and checks what dpkg-parsechangelog reads back
# (or the licence field), or that the generator refuses it. Skipped without dpkg-dev.
#
# usage: tests/tools/debian_texts_test.sh SOURCE_DIR PROJECT_VERSION
set -euo pipefail

source_dir=$1
project_version=$2
command -v dpkg-parsechangelog >/dev/null || { echo "dpkg-parsechangelog not found: skipped"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export SOURCE_DATE_EPOCH=86400
long_item=$(printf 'word%.0s ' $(seq 1 80))

# Name | CHANGELOG.md text (printf %b) | expected "field=value" checks, or REFUSED.
# "Entries" counts the versions; "Within" is a bound on the width of every line.
changelogs="unreleased|# Changelog\\n\\n## 0.3.0 - unreleased\\n\\n### Added\\n\\n- a tool\\n|Version=0.3.0;Distribution=UNRELEASED;Date=Fri, 02 Jan 1970 00:00:00 +0000;Entries=1
dated, in brackets|## [0.2.0] - 2025-03-01\\n\\n- one\\n  - two\\n|Version=0.2.0;Distribution=unstable;Date=Sat, 01 Mar 2025 12:00:00 +0000
newest first|## 0.2.0 - 2025-03-01\\n\\n### Fixed\\n\\n- b\\n\\n## 0.1.0 - 2024-01-02\\n\\n- a\\n|Version=0.2.0;Entries=2
reflowed|## 0.1.0 - 2024-01-02\\n\\n### Added\\n\\n- $long_item\\n  continued\\n|Version=0.1.0;Within=78;Entries=1
text before the groups|## 0.1.0 - 2024-01-02\\n\\nThe first release.\\n|Version=0.1.0;Entries=1
heading without a date|## Next\\n\\n- a\\n|REFUSED
a date that is no day|## 0.1.0 - 2024-13-45\\n\\n- a\\n|REFUSED
no version at all|# Changelog\\n\\nNothing yet.\\n|REFUSED"

status=0
check() {
  local name=$1 field=$2 expected=$3 actual=$4
  if [ "$actual" != "$expected" ]; then
    echo "FAIL $name: $field is '$actual', expected '$expected'"
    status=1
  fi
}

# Checks a written changelog against "field=value;..." checks.
check_changelog() {
  local name=$1 file=$2 checks=$3 pair field expected actual
  IFS=';' read -r -a pairs <<<"$checks"
  for pair in "${pairs[@]}"; do
    field=${pair%%=*}
    expected=${pair#*=}
    case $field in
      Entries) actual=$(dpkg-parsechangelog -l "$file" --format rfc822 --all | grep -c '^Version:') ;;
      Within) actual=$(awk -v bound="$expected" 'length > bound {print length; exit}
                                                 END {if (!NR) print 0}' "$file")
              actual=${actual:-$expected} ;;
      *) actual=$(dpkg-parsechangelog -l "$file" -S "$field") ;;
    esac
    check "$name" "$field" "$expected" "$actual"
  done
}

while IFS='|' read -r name text checks; do
  printf '%b' "$text" >"$scratch/CHANGELOG.md"
  if "$source_dir/tools/debian-changelog.sh" "$scratch/CHANGELOG.md" zezi-vidad \
    "Someone <someone@example.org>" >"$scratch/changelog" 2>"$scratch/error"; then
    if [ "$checks" = REFUSED ]; then
      echo "FAIL $name: accepted"
      status=1
    else
      check_changelog "$name" "$scratch/changelog" "$checks"
    fi
  elif [ "$checks" != REFUSED ]; then
    echo "FAIL $name: refused: $(cat "$scratch/error")"
    status=1
  fi
done <<<"$changelogs"

# The project's own changelog: its newest version is the project's, within 80 columns.
"$source_dir/tools/debian-changelog.sh" "$source_dir/CHANGELOG.md" zezi-vidad \
  "Someone <someone@example.org>" >"$scratch/changelog"
check_changelog CHANGELOG.md "$scratch/changelog" "Version=$project_version;Within=80"

# Name | licence file: the project's LICENSE, or a text (printf %b) | the License field
# expected, or REFUSED.
licences="the project's LICENSE|@LICENSE|Apache-2.0
another licence|Permission is hereby granted, free of charge, to any person\\n|REFUSED
the Apache title without its notice|  Apache License\\n  Version 2.0, January 2004\\n|REFUSED"
while IFS='|' read -r name text expected; do
  if [ "$text" = @LICENSE ]; then
    cp "$source_dir/LICENSE" "$scratch/LICENSE"
  else
    printf '%b' "$text" >"$scratch/LICENSE"
  fi
  if "$source_dir/tools/debian-copyright.sh" "$scratch/LICENSE" "2025 Someone" \
    >"$scratch/copyright" 2>/dev/null; then
    actual=$(sed -n 's/^License: //p' "$scratch/copyright" | sort -u)
  else
    actual=REFUSED
  fi
  check "$name" License "$expected" "$actual"
done <<<"$licences"
exit "$status"
