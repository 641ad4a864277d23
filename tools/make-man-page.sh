#!/bin/sh
# Writes a program's man page with help2man from its own help texts: its --help and
# --version, then, for each command its --help lists under "Subcommands:", that command's
# --help in a COMMANDS section. SUMMARY is the line after the name in NAME.
#
# usage: tools/make-man-page.sh HELP2MAN PROGRAM OUTPUT SUMMARY
set -eu
help2man=$1
tool=$2
output=$3
summary=$4

# The first word of each line between "Subcommands:" and the next blank line.
names=$("$tool" --help | awk '/^Subcommands:$/ {inside = 1; next} inside && !NF {exit}
                               inside {print $1}')
[ -n "$names" ] || { echo "make-man-page.sh: no command list in $tool --help" >&2; exit 1; }

commands=$(mktemp)
trap 'rm -f "$commands"' EXIT
{
  echo "[COMMANDS]"
  for command in $names; do
    printf '.SS %s\n.nf\n' "$command"
    # Kept as the tool lays it out; backslashes and leading dots or quotes made literal.
    "$tool" "$command" --help | sed -e 's/\\/\\e/g' -e "s/^[.']/\\\\\\&&/"
    printf '.fi\n'
  done
} >"$commands"

"$help2man" --no-info --section=1 --name="$summary" \
  --include="$commands" --output="$output" "$tool"
# help2man takes an example's continued line, which starts with an option, for an option
# of its own (.HP): kept in the example's paragraph on a line of its own instead.
sed -i '/\\e$/{n;s/^\.HP$/.br/}' "$output"
