#!/usr/bin/env bash
# Plants one include at a time in a copy of the floors and expects tools/check-layers.sh to
# refuse it with the right reason, or to pass it for the rows whose reason is "allowed".
#
# usage: tests/tools/check_layers_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "${1:?usage: check_layers_test.sh SOURCE_DIR}" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for floor in base encoding crypto sealer opener selftest stacks api device cli; do
  cp -r "$source_dir/$floor" "$scratch/"
done

# file in which the include is planted | included header | reason expected in the output
cases="opener/open_envelope.cpp|crypto/aead.h|allowed
sealer/builder.cpp|encoding/json_reader.h|allowed
opener/open_envelope.cpp|sealer/builder.h|from the floor beside its own
opener/fleet_opener.h|sealer/fixed_inputs.h|from the floor beside its own
sealer/builder.cpp|opener/open_envelope.h|from the floor beside its own
encoding/hex.h|crypto/types.h|a floor above its own
encoding/base64.cpp|sealer/builder.h|a floor above its own
crypto/aead.cpp|opener/open_envelope.h|a floor above its own
crypto/statement.h|sealer/signature_file.h|a floor above its own
selftest/checks.cpp|sealer/envelope_parts.h|private to sealer/
cli/run_program.cpp|api/c_guard.h|private to api/
cli/commands/open.cpp|api/c_guard.h|private to api/
api/zezi_vidad_sealing.cpp|api/c_guard.h|allowed
stacks/config_writer.cpp|opener/open_envelope.h|allowed
cli/commands/apply.cpp|stacks/config_writer.h|allowed
stacks/stack_config.cpp|sealer/builder.h|a floor stacks/ never reaches
stacks/config_writer.cpp|selftest/checks.h|from the floor beside its own
selftest/checks.cpp|stacks/stack_config.h|from the floor beside its own
api/zezi_vidad.cpp|stacks/stack_config.h|which only device/, cli/ include
device/apply_run.cpp|stacks/config_writer.h|allowed
device/apply_run.cpp|sealer/builder.h|a floor device/ never reaches
device/drive_reader.cpp|api/zezi_vidad.hpp|from the floor beside its own
api/zezi_vidad.cpp|device/apply_run.h|from the floor beside its own
device/apply_run.h|cli/command.h|a floor above its own
stacks/stack_config.h|cli/command.h|a floor above its own"

failures=0
while IFS='|' read -r file header reason; do
  cp "$scratch/$file" "$scratch/$file.saved"
  echo "#include \"$header\"" >>"$scratch/$file"
  status=0
  output=$("$source_dir/tools/check-layers.sh" "$scratch" 2>&1) || status=$?
  mv "$scratch/$file.saved" "$scratch/$file"
  if [ "$reason" = allowed ]; then
    if [ "$status" -ne 0 ]; then
      echo "FAIL: $file including $header was refused:"
      echo "$output"
      failures=$((failures + 1))
    fi
  elif [ "$status" -ne 1 ] || ! grep -q -F "$file:" <<<"$output" ||
    ! grep -q -F "includes $header, $reason" <<<"$output"; then
    echo "FAIL: $file including $header: expected \"$reason\", got (exit $status):"
    echo "$output"
    failures=$((failures + 1))
  fi
done <<<"$cases"

total=$(wc -l <<<"$cases")
echo "$((total - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
