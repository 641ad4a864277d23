#!/usr/bin/env bash
# Computes the self-test's expected ECDH shared secret and envelope key with the openssl
# command-line tool alone, so the known answers never come from this project's own code.
#
# usage: tools/known_answers.sh FLEET_SCALAR_HEX EPHEMERAL_SCALAR_HEX SALT_HEX
# prints: shared_secret=<hex> and envelope_key=<hex>, one per line
set -euo pipefail

if [ "$#" -ne 3 ]; then
  echo "usage: $0 FLEET_SCALAR_HEX EPHEMERAL_SCALAR_HEX SALT_HEX" >&2
  exit 2
fi
fleet_scalar=$1 ephemeral_scalar=$2 salt=$3
domain="tolvane-wifi-drive/v1"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

to_binary() { printf '%b' "$(printf '%s' "$1" | sed 's/../\\x&/g')"; }
to_hex() { od -An -v -tx1 | tr -d ' \n'; }

# SEC1 ECPrivateKey with only the scalar and the curve OID (prime256v1); openssl computes
# the public point itself when it reads the key.
private_key_pem() {
  to_binary "30310201010420${1}a00a06082a8648ce3d030107" |
    openssl ec -inform DER -outform PEM 2>/dev/null
}

private_key_pem "$fleet_scalar" >"$work/fleet.pem"
private_key_pem "$ephemeral_scalar" >"$work/ephemeral.pem"
openssl pkey -in "$work/fleet.pem" -pubout -out "$work/fleet_pub.pem"

# The last 65 octets of a P-256 SubjectPublicKeyInfo are the uncompressed point.
point_hex() {
  openssl pkey -in "$1" -pubout -outform DER | tail -c 65 | to_hex
}
fleet_point=$(point_hex "$work/fleet.pem")
ephemeral_point=$(point_hex "$work/ephemeral.pem")

shared_secret=$(openssl pkeyutl -derive -inkey "$work/ephemeral.pem" \
  -peerkey "$work/fleet_pub.pem" | to_hex)

# info = domain octets || ephemeral point || fleet point
info=$(printf '%s' "$domain" | to_hex)${ephemeral_point}${fleet_point}
envelope_key=$(openssl kdf -binary -keylen 32 -kdfopt digest:SHA256 \
  -kdfopt "hexkey:$shared_secret" -kdfopt "hexsalt:$salt" -kdfopt "hexinfo:$info" HKDF | to_hex)

echo "shared_secret=$shared_secret"
echo "envelope_key=$envelope_key"
