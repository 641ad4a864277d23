#!/bin/sh
# Writes a Debian changelog from CHANGELOG.md: one entry per "## VERSION - DATE" section,
# newest first as there, its "###" groups and their bullets (reflowed within 80 columns).
# A version dated "unreleased" goes to the UNRELEASED distribution, dated by
# SOURCE_DATE_EPOCH (or now); a dated one to unstable, at noon UTC of its day.
#
# usage: tools/debian-changelog.sh CHANGELOG PACKAGE MAINTAINER > debian/changelog
set -eu
changelog=$1
package=$2
maintainer=$3

# Prints the date of the trailer line for one CHANGELOG date.
trailer_date() {
  case $1 in
    unreleased) LC_ALL=C date -u -R -d "@${SOURCE_DATE_EPOCH:-$(date +%s)}" ;;
    *) LC_ALL=C date -u -R -d "$1 12:00" ;;
  esac
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# First pass (awk): the entries, each trailer as a line "@@ DATE" for the shell to date.
awk -v package="$package" -v maintainer="$maintainer" '
function flush(   text, prefix, indent, line, n, i, words) {
  if (item == "") return
  prefix = substr("      ", 1, 2 * level) (level ? "  - " : "  * ")
  indent = substr("        ", 1, 2 * level + 4)
  n = split(item, words, " ")
  line = prefix words[1]
  for (i = 2; i <= n; i++) {
    if (length(line) + 1 + length(words[i]) > 78) { print line; line = indent words[i] }
    else line = line " " words[i]
  }
  print line
  item = ""
}
function close_entry() {
  if (version == "") return
  flush()
  if (!changes) print "  * Release " version "."
  print ""
  print " -- " maintainer "  @@ " date
  print ""
}
/^## / {
  close_entry()
  heading = substr($0, 4)
  if (!match(heading, /^\[?[0-9][0-9A-Za-z.+~-]*\]? - [0-9a-z-]+$/)) {
    print "debian-changelog.sh: a version heading is not \"## VERSION - DATE\"" > "/dev/stderr"
    failed = 1; exit 1
  }
  split(heading, parts, " - ")
  version = parts[1]; gsub(/[][]/, "", version)
  date = parts[2]
  distribution = (date == "unreleased") ? "UNRELEASED" : "unstable"
  print package " (" version ") " distribution "; urgency=medium"
  print ""
  changes = 0; group = ""
  next
}
version == "" { next }
/^### / { flush(); group = substr($0, 5); print "  * " group ":"; changes = 1; next }
# Bullets sit under the line of their group; text outside a group is a line of its own.
/^- / { flush(); item = substr($0, 3); level = (group != ""); changes = 1; next }
/^  +- / { flush(); sub(/^ +- /, ""); item = $0; level = (group != "") + 1; next }
/^ +[^ ]/ { sub(/^ +/, ""); item = item " " $0; next }
/^$/ { flush(); next }
{ flush(); item = $0; level = 0; changes = 1 }
END {
  if (failed) exit 1
  if (version == "") { print "debian-changelog.sh: no \"## VERSION - DATE\" heading" > "/dev/stderr"; exit 1 }
  close_entry()
}
' "$changelog" >"$scratch/entries"

# Second pass: the trailer dates, and no blank line at the very end.
while IFS= read -r line; do
  case $line in
    *"  @@ "*) date=$(trailer_date "${line##*@@ }") || exit 1
               printf '%s\n' "${line%%@@ *}$date" ;;
    *) printf '%s\n' "$line" ;;
  esac
done <"$scratch/entries" >"$scratch/dated"
sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' "$scratch/dated"
