#!/usr/bin/env bash
# Completes command lines of PROGRAM with its generated bash completion SCRIPT, as bash does
# on Tab: the commands at the first word, every option that each command's --help lists
# (an option without completion fails here), file or folder names after an option that
# takes one, nothing after one taking another value.
#
# usage: tests/cli/completion_test.sh SCRIPT PROGRAM
set -euo pipefail
script=$(realpath "$1")
program=$(realpath "$2")
name=$(basename "$program")
skipped=77
helpers=/usr/share/bash-completion/bash_completion
[ -f "$helpers" ] || { echo "bash-completion not installed: skipped"; exit $skipped; }

fail() {
  echo "completion_test.sh: $*" >&2
  exit 1
}

# shellcheck source=/dev/null
source "$helpers"
# shellcheck source=/dev/null
source "$script"
function=$(complete -p "$name" | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
[ -n "$function" ] || fail "$script completes no command $name"

# The words bash offers for the command line WORDS..., the last being the one under the
# cursor; sorted, one a line.
offered() {
  COMP_WORDS=("$name" "$@")
  COMP_CWORD=$#
  COMP_LINE="$name $*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  "$function" "$name" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort
}

# The option names of a --help text's Options section ("-o,--output FILE  ...").
help_options() {
  awk '/^Options:$/ {inside = 1; next} inside && !NF {exit}
       inside && $1 ~ /^-/ {n = split($1, names, ","); for (i = 1; i <= n; i++) print names[i]}' |
    sort
}
# The value an option of a --help text takes ("FILE"), empty for a flag.
help_value() {
  awk -v option="$1" '/^Options:$/ {inside = 1; next} inside && !NF {exit}
    inside && $1 ~ /^-/ {n = split($1, names, ","); for (i = 1; i <= n; i++)
      if (names[i] == option && $2 ~ /^[A-Z]/) print $2}'
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
mkdir site
touch fleet.pub signer.key

top=$("$program" --help)
commands=$(awk '/^Subcommands:$/ {inside = 1; next} inside && !NF {exit} inside {print $1}' \
  <<<"$top" | sort)
[ -n "$commands" ] || fail "no command list in $name --help"
expected=$(printf '%s\n' $commands $(help_options <<<"$top") | sort)
[ "$(offered '')" = "$expected" ] || fail "the first word offers $(offered '' | xargs)"

checked=0
for command in $commands; do
  help=$("$program" "$command" --help)
  options=$(help_options <<<"$help")
  [ "$(offered "$command" -)" = "$options" ] ||
    fail "$command offers $(offered "$command" - | xargs), its help lists $(xargs <<<"$options")"
  for option in $options; do
    value=$(help_value "$option" <<<"$help")
    case $value in
      FILE | KEY) wanted=$'fleet.pub\nsigner.key\nsite' ;;
      DIR | FOLDER) wanted=site ;;
      '') wanted=$options ;;
      *) wanted= ;;
    esac
    # A flag is followed by more options, a value by its completion.
    next=''
    [ -n "$value" ] || next=-
    got=$(offered "$command" "$option" "$next")
    [ "$got" = "$wanted" ] || fail "$command $option ${value:-(a flag)} offers $(xargs <<<"$got")"
    checked=$((checked + 1))
  done
done
[ "$checked" -gt 0 ] || fail "no option taking a value was checked"

# Rows: the words up to the cursor, then what bash must offer (a space between words).
while IFS='|' read -r words wanted; do
  read -ra line <<<"$words"
  [ "${words: -1}" = ' ' ] && line+=('')
  got=$(offered "${line[@]}" | xargs)
  [ "$got" = "$wanted" ] || fail "'$name $words' offers '$got', not '$wanted'"
done <<EOF_ROWS
$(case $name in
  zezi-vidad) cat <<'ROWS'
s|seal selftest sign status
seal --psk|--psk-file
seal --psk-file=f|fleet.pub
seal --out-dir s|site
trust-list --show s|signer.key site
seal --jobs |
frob -|
ROWS
  ;;
  *) cat <<'ROWS'
s|selftest status
apply --sou|--source
apply --source=|site
apply --state f|fleet.pub
seal -|
ROWS
  ;;
esac)
EOF_ROWS
echo "$name completes its commands, every option of each and file names after file options"
