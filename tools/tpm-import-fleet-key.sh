#!/bin/bash
# Imports the fleet's private key into this device's TPM; installed as zezi-vidad-tpm-import
# (the build writes the version in), whose man page help2man makes from --help below.
set -euo pipefail

readonly version="@PROJECT_VERSION@"

help() {
  cat <<EOF
Usage: ${0##*/} --key FLEET.key --out FLEET.tss [--handle 0x81000001]

Imports the fleet's private key into this device's TPM, as the provisioning station does
for each device: the key is wrapped under the TPM's owner storage key and written as a
TSS2 PRIVATE KEY file, which only this TPM can load; with --handle it is also made
persistent at that handle. The key may then only agree keys (decrypt, not restricted):
the TPM refuses to sign with it. zezi-vidad-device apply --private takes the file, or
handle:HANDLE.

Options:
  --key FILE       the fleet private key (PKCS#8 PEM)
  --out FILE       the wrapped key file to write, mode 0600
  --handle HANDLE  also make the key persistent at HANDLE, 0x81000000 to 0x81ffffff
  --help           print this help and exit
  --version        print the version and exit

Environment:
  TPM2TOOLS_TCTI   the TPM to use; the kernel's resource manager when unset

Needs tpm2-tools (tpm2_createprimary, tpm2_import, tpm2_encodeobject, tpm2_load,
tpm2_evictcontrol, tpm2_flushcontext) and openssl. How the device uses a TPM-held key:
/usr/share/doc/zezi-vidad-device/tpm.md.
EOF
}

# The parent the tpm2 provider makes again each time it loads a TSS2 key whose parent is
# the owner hierarchy (0x40000001): ECC P-256 with SHA-256 names, AES-128-CFB, empty
# unique fields, and these attributes.
readonly parent_algorithm="ecc256:aes128cfb"
readonly parent_attributes="fixedtpm|fixedparent|sensitivedataorigin|userwithauth|noda|restricted|decrypt"
# ECDH in the TPM needs decrypt and no restriction; no sign, so the fleet key never signs.
readonly key_attributes="userwithauth|decrypt"

usage() {
  echo "usage: $0 --key FLEET.key --out FLEET.tss [--handle 0x81000001]" >&2
  exit 2
}

key="" out="" handle=""
while [ $# -gt 0 ]; do
  case "$1" in
    --help) help; exit 0 ;;
    --version)
      # Run from the checkout, the version is not written in.
      [ "$version" != "@PROJECT_""VERSION@" ] || { echo "zezi-vidad-tpm-import (source tree)"; exit 0; }
      echo "zezi-vidad-tpm-import (ZeZi Vidad) $version"; exit 0 ;;
    --key) key=${2:-}; shift 2 || usage ;;
    --out) out=${2:-}; shift 2 || usage ;;
    --handle) handle=${2:-}; shift 2 || usage ;;
    *) usage ;;
  esac
done
if [ -z "$key" ] || [ -z "$out" ]; then usage; fi
if [ -n "$handle" ] && ! [[ "$handle" =~ ^0x81[0-9a-fA-F]{6}$ ]]; then
  echo "tpm-import-fleet-key: --handle must be a persistent handle, 0x81000000 to 0x81ffffff" >&2
  exit 2
fi
[ -r "$key" ] || { echo "tpm-import-fleet-key: cannot read the fleet key file" >&2; exit 1; }

umask 077
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Without a resource manager (a software TPM on a socket) every object a tool loads stays
# loaded; the TPM has room for three, so each step lets go of them.
flush() {
  tpm2_flushcontext -t >/dev/null 2>&1 || true
}

step() {
  local what=$1
  shift
  if ! "$@" >"$work/log" 2>&1; then
    echo "tpm-import-fleet-key: cannot $what" >&2
    sed 's/^/  /' "$work/log" >&2
    flush
    exit 1
  fi
  flush
}

step "make the owner storage key" tpm2_createprimary -Q -C o -g sha256 -G "$parent_algorithm" \
  -a "$parent_attributes" -c "$work/parent.ctx"
step "import the fleet key" tpm2_import -Q -C "$work/parent.ctx" -G ecc -g sha256 -i "$key" \
  -u "$work/key.pub" -r "$work/key.priv" -a "$key_attributes"
step "encode the wrapped key" tpm2_encodeobject -C "$work/parent.ctx" -u "$work/key.pub" \
  -r "$work/key.priv" -o "$work/key.tss"
# The key has no password. Some tpm2_encodeobject releases mark it as having one
# (emptyAuth FALSE) unless -p is given, the other way round; then -p writes it right.
if openssl asn1parse -in "$work/key.tss" | sed -n 4p | grep -q 'BOOLEAN *:0'; then
  step "encode the wrapped key" tpm2_encodeobject -C "$work/parent.ctx" -u "$work/key.pub" \
    -r "$work/key.priv" -p -o "$work/key.tss"
fi
if [ -n "$handle" ]; then
  step "load the wrapped key" tpm2_load -Q -C "$work/parent.ctx" -u "$work/key.pub" \
    -r "$work/key.priv" -c "$work/key.ctx"
  step "make the key persistent" tpm2_evictcontrol -Q -C o -c "$work/key.ctx" "$handle"
fi
cp "$work/key.tss" "$out.tmp"
chmod 600 "$out.tmp"
mv -f "$out.tmp" "$out"
