#!/usr/bin/env bash
# Fails on any include that goes up a floor or into another floor's private headers.
# Floors, bottom up: base, encoding, crypto, sealer, opener, selftest, api, cli. The one
# header of shared types, crypto/types.h, sits just above base so that encoding may use it.
#
# usage: tools/check-layers.sh [SOURCE_DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

declare -A rank=([base]=0 [encoding]=2 [crypto]=3 [sealer]=4 [opener]=5 [selftest]=6 [api]=7 [cli]=8)
# Headers only their own floor may include.
private_headers=(sealer/envelope_parts.h)

rank_of() {
  if [ "$1" = crypto/types.h ]; then echo 1; else echo "${rank[${1%%/*}]:-}"; fi
}

failures=0
for floor in "${!rank[@]}"; do
  [ -d "$floor" ] || continue
  while IFS=: read -r file line include; do
    target=$(sed -E 's/.*"([^"]+)".*/\1/' <<<"$include")
    own=$(rank_of "$file")
    theirs=$(rank_of "$target")
    [ -n "$theirs" ] || continue
    if [ "$theirs" -gt "$own" ]; then
      echo "$file:$line: includes $target, a floor above its own"
      failures=$((failures + 1))
    fi
    for private in "${private_headers[@]}"; do
      if [ "$target" = "$private" ] && [ "${target%%/*}" != "$floor" ]; then
        echo "$file:$line: includes $target, private to ${target%%/*}/"
        failures=$((failures + 1))
      fi
    done
  done < <(grep -n -H -E '^#include "' -r "$floor" --include='*.h' --include='*.cpp' --include='*.c' || true)
done

if [ "$failures" -gt 0 ]; then
  echo "layer check: $failures wrong-way include(s)"
  exit 1
fi
echo "layer check: every include stays on its floor or goes down"
