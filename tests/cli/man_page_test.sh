#!/bin/sh
# usage: tests/cli/man_page_test.sh MAN_PAGE TOOL
set -eu
page=$1
tool=$2
skipped=77
[ -f "$page" ] || { echo "no man page (help2man not installed): skipped"; exit $skipped; }
command -v man >/dev/null || { echo "man not installed: skipped"; exit $skipped; }

warnings=$(mktemp)
trap 'rm -f "$warnings"' EXIT
rendered=$(MANWIDTH=100 man --warnings -l -P cat "$page" 2>"$warnings")
if [ -s "$warnings" ]; then
  cat "$warnings"
  exit 1
fi
# A command continued on the next line stays in its example.
if grep -A1 '\\e$' "$page" | grep -qx '\.HP'; then
  echo "an example's continued line is outside the example"
  exit 1
fi
for expected in "zezi-vidad - seal WiFi credentials" "Exit status: 0 on success" \
  "Usage: zezi-vidad keygen" "Usage: zezi-vidad pubkey" "Usage: zezi-vidad seal" \
  "Usage: zezi-vidad open" "Usage: zezi-vidad selftest" "escaped as \\uXXXX"; do
  case $rendered in
    *"$expected"*) ;;
    *) echo "man page lacks: $expected"; exit 1 ;;
  esac
done
# Every command the tool lists in its help, with its own help text.
commands=$("$tool" --help | awk '/^Subcommands:$/ {inside = 1; next} inside && !NF {exit}
                                  inside {print $1}')
[ -n "$commands" ] || { echo "no command list in $tool --help"; exit 1; }
for command in $commands; do
  case $rendered in
    *"Usage: zezi-vidad $command "*) ;;
    *) echo "man page lacks the command: $command"; exit 1 ;;
  esac
done
echo "man page renders with every command"
