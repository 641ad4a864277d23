#!/usr/bin/env bash
# Times a key held in a software TPM next to the same key in memory (bench/tpm_bench.cpp):
# starts a TPM of its own, makes a fleet key and imports it with tpm-import-fleet-key.sh,
# makes a signer key in the TPM, runs the benchmark and stops the TPM.
#
# usage: tools/bench-tpm.sh [BUILD_DIR] [benchmark options...]
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$source_dir/build}" && pwd)
shift || true
# shellcheck source-path=SCRIPTDIR source=../tests/support/swtpm.sh
source "$source_dir/tests/support/swtpm.sh"
missing=$(swtpm_missing)
if [ -n "$missing" ]; then
  echo "bench-tpm: skipped: $missing"
  exit 0
fi
work=$(mktemp -d)
trap 'swtpm_stop_all; rm -rf "$work"' EXIT
swtpm_start "$work/tpm"
export TPM2TOOLS_TCTI=$swtpm_tcti TPM2OPENSSL_TCTI=$swtpm_tcti TSS2_LOG=all+none
tool=$build/cli/zezi-vidad
"$tool" keygen --private "$work/fleet.key" --public "$work/fleet.pub" >/dev/null
"$source_dir/tools/tpm-import-fleet-key.sh" --key "$work/fleet.key" --out "$work/fleet.tss"
"$tool" keygen --tpm --private "$work/signer.tss" --public "$work/signer.pub" >/dev/null
ZEZI_VIDAD_BENCH_TPM_DIR=$work "$build/bench/tpm_bench" "$@"
