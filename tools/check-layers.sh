#!/usr/bin/env bash
# Fails on any include that goes up a floor, across to the floor beside its own, or into
# another floor's private headers. Floors, bottom up: base, encoding, crypto, then sealer
# and opener side by side (neither includes the other: the device carries no sealer),
# then selftest and stacks side by side, then api and device side by side, cli. stacks/ (the
# WiFi stacks' configuration) and device/ (a run on the device) never reach the sealer;
# only device/ and cli/ include stacks/.
#
# usage: tools/check-layers.sh [SOURCE_DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

declare -A rank=([base]=0 [encoding]=1 [crypto]=2 [sealer]=3 [opener]=3 [selftest]=4 [stacks]=4
  [api]=5 [device]=5 [cli]=6)
# Floors below a floor that it still may not include.
declare -A shut_out=([stacks]=sealer [device]=sealer)
# Floors that only the floors named may include.
declare -A only_for=([stacks]="device cli")
# Headers only their own floor may include.
private_headers=(sealer/envelope_parts.h api/c_guard.h)

failures=0
for floor in "${!rank[@]}"; do
  [ -d "$floor" ] || continue
  while IFS=: read -r file line include; do
    target=$(sed -E 's/.*"([^"]+)".*/\1/' <<<"$include")
    own=${rank[$floor]}
    theirs=${rank[${target%%/*}]:-}
    [ -n "$theirs" ] || continue
    if [ "$theirs" -gt "$own" ]; then
      echo "$file:$line: includes $target, a floor above its own"
      failures=$((failures + 1))
    elif [ "$theirs" -eq "$own" ] && [ "${target%%/*}" != "$floor" ]; then
      echo "$file:$line: includes $target, from the floor beside its own"
      failures=$((failures + 1))
    fi
    if [ "${shut_out[$floor]:-}" = "${target%%/*}" ]; then
      echo "$file:$line: includes $target, a floor $floor/ never reaches"
      failures=$((failures + 1))
    fi
    allowed=${only_for[${target%%/*}]:-}
    if [ -n "$allowed" ] && [[ " $allowed " != *" $floor "* ]] && [ "$floor" != "${target%%/*}" ] &&
      [ "$theirs" -lt "$own" ]; then
      echo "$file:$line: includes $target, which only ${allowed// //, }/ include"
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
