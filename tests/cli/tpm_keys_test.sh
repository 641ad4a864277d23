#!/usr/bin/env bash
# Keys held in a software TPM, through the tool as an operator and a device use them: the
# fleet key imported with tools/tpm-import-fleet-key.sh (a wrapped file and a persistent
# handle), a signer key made with keygen --tpm; then every refusal, one line each.
# Skipped (77) when swtpm, tpm2-tools or the tpm2 provider is missing.
#
# usage: tpm_keys_test.sh ZEZI_VIDAD SOURCE_DIR [PYTHON3]
set -uo pipefail

readonly tool=$1 source_dir=$2 python=${3:-}
# shellcheck source-path=SCRIPTDIR source=../support/swtpm.sh
source "$source_dir/tests/support/swtpm.sh"

missing=$(swtpm_missing)
if [ -n "$missing" ]; then
  echo "skipped: $missing"
  exit 77
fi

work=$(mktemp -d)
trap 'swtpm_stop_all; rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

zv() {
  "$tool" "$@"
}

swtpm_start "$work/tpm" || exit 1
export TPM2TOOLS_TCTI=$swtpm_tcti TPM2OPENSSL_TCTI=$swtpm_tcti
swtpm_start "$work/other-tpm" || exit 1
other_tpm=$swtpm_tcti

# Provisioning: the fleet key made as always, then taken into the device's TPM.
zv keygen --private fleet.key --public fleet.pub >/dev/null || exit 1
"$source_dir/tools/tpm-import-fleet-key.sh" --key fleet.key --out fleet.tss \
  --handle 0x81000001 || exit 1
# The signer key made in the TPM.
zv keygen --tpm --private signer.tss --public signer.pub >signer.hex || exit 1
[ "$(stat -c %a signer.tss)" = 600 ] || fail "keygen --tpm: the wrapped key is not mode 0600"
[ "$(stat -c %a fleet.tss)" = 600 ] || fail "import: the wrapped key is not mode 0600"
head -1 signer.tss | grep -qx -- '-----BEGIN TSS2 PRIVATE KEY-----' ||
  fail "keygen --tpm: --private is not a TPM-wrapped key"
# A key of another curve, made in the TPM too.
openssl genpkey -provider tpm2 -provider default -algorithm EC -pkeyopt group:P-384 \
  -out p384.tss 2>/dev/null || exit 1

printf '%s' f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e >psk
zv seal --fleet-key fleet.pub --ssid-hex 4f66666963650a --psk-file psk -o wifi.json \
  --sign-key signer.tss --serial-file signer.serial --init-serial --valid-for 1d >/dev/null ||
  fail "seal --sign-key with a key in the TPM"
# shellcheck disable=SC2034 # read by the cases through eval
reference=$(zv open --private fleet.key --envelope wifi.json --show-psk) || exit 1

# Each case: its name, the exit status, then what standard output must equal ("" for
# nothing to compare) or what standard error must hold ("~" first), then the command.
# {other} and {dead} stand for the second TPM and a port where none answers.
while IFS='|' read -r name status expected command; do
  [ -n "$name" ] || continue
  command=${command//\{other\}/$other_tpm}
  command=${command//\{dead\}/swtpm:host=127.0.0.1,port=1}
  out=$(eval "$command" 2>err)
  got=$?
  [ "$got" = "$status" ] || fail "$name: exit $got, not $status ($(cat err))"
  if [[ "$expected" == "~"* ]]; then
    grep -qF -- "${expected#\~}" err || fail "$name: standard error lacks '${expected#\~}': $(cat err)"
    [ "$(wc -l <err)" = 1 ] || fail "$name: not one line on standard error: $(cat err)"
  elif [ -n "$expected" ]; then
    [ "$out" = "$(eval "echo \"$expected\"")" ] || fail "$name: printed $out"
  fi
done <<'CASES'
open with the wrapped fleet key|0|$reference|zv open --private fleet.tss --envelope wifi.json --show-psk
open with the fleet key's handle|0|$reference|zv open --private handle:0x81000001 --envelope wifi.json --show-psk
open signed with the wrapped fleet key|0|$(zv open --private fleet.key --envelope wifi.json)|zv open --private fleet.tss --envelope wifi.json --trust signer.pub --state device.state
open signed with the handle|0|$(zv open --private fleet.key --envelope wifi.json)|zv open --private handle:0x81000001 --envelope wifi.json --trust signer.pub --state device.state
pubkey of the wrapped fleet key|0|$(zv pubkey --private fleet.key)|zv pubkey --private fleet.tss
pubkey of the handle|0|$(zv pubkey --private fleet.key)|zv pubkey --private handle:0x81000001
pubkey of the signer made in the TPM|0|$(cat signer.hex)|zv pubkey --private signer.tss | head -1
sign with the signer in the TPM|0||zv sign --key signer.tss --fleet-key fleet.pub --envelope wifi.json --serial-file signer.serial --valid-for 1h --force
wrapped key taken to another TPM|1|~fleet.tss: the TPM refused to load the wrapped key: it was made for another TPM|TPM2OPENSSL_TCTI={other} zv open --private fleet.tss --envelope wifi.json
handle that holds nothing|1|~--private: the TPM holds no usable key at that handle|zv open --private handle:0x81000009 --envelope wifi.json
handle not written as one|1|~--private: a handle is written handle:0x|zv open --private handle:81000001 --envelope wifi.json
key of another curve|1|~p384.tss: the key in the TPM is not a P-256 key|zv open --private p384.tss --envelope wifi.json
no provider of that name|1|~fleet.tss: the key provider is not installed|ZEZI_VIDAD_KEY_PROVIDER=zezi-no-such-provider zv open --private fleet.tss --envelope wifi.json
provider name that cannot be one|1|~ZEZI_VIDAD_KEY_PROVIDER must name an OpenSSL provider|ZEZI_VIDAD_KEY_PROVIDER=../tpm2 zv open --private fleet.tss --envelope wifi.json
no TPM answers|1|~fleet.tss: the key provider cannot reach the TPM|TPM2OPENSSL_TCTI={dead} zv open --private fleet.tss --envelope wifi.json
TPM refuses to sign with the fleet key|1|~the TPM refused to sign|zv sign --key fleet.tss --fleet-key signer.pub --envelope wifi.json --serial 9 --valid-for 1h --force
CASES

# Signatures made in the TPM verify with the independent reader, low-s each time (the TPM
# gives either half, so a handful of signatures catches a missing normalisation).
if [ -n "$python" ] && "$python" -c 'import cryptography' 2>/dev/null; then
  for serial in 11 12 13 14 15 16 17 18; do
    zv sign --key signer.tss --fleet-key fleet.pub --envelope wifi.json --serial "$serial" \
      --valid-for 1h --force >/dev/null || fail "sign serial $serial"
    "$python" - "$source_dir/tests/interop" "$(cat signer.hex)" \
      "$(zv pubkey --private fleet.key | head -1)" <<'PY' || fail "the reader refuses signature $serial"
import sys
sys.path.insert(0, sys.argv[1])
import zezi_signature as zs
trust = zs.load_trust_list([bytes.fromhex(sys.argv[2])], bytes.fromhex(sys.argv[3]))
envelope = open("wifi.json", "rb").read()
zs.verify(envelope, open("wifi.json.sig", "rb").read(), trust, zs.fresh_state(trust))
PY
  done
else
  echo "note: python3 with cryptography is missing; the reader's check of TPM signatures is skipped"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "every TPM key case passed"
