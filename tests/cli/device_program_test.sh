#!/usr/bin/env bash
# The device's program: it carries no sealing or signing code (its symbols), runs its own
# self-test, refuses the operator's commands, and applies a signed envelope the operator's
# tool made, as the device's units run it.
#
# usage: tests/cli/device_program_test.sh DEVICE_PROGRAM TOOL
set -euo pipefail
device=$(realpath "${1:?usage: device_program_test.sh DEVICE_PROGRAM TOOL}")
tool=$(realpath "${2:?usage: device_program_test.sh DEVICE_PROGRAM TOOL}")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

command -v nm >/dev/null || { echo "SKIP: nm is missing"; exit 77; }
symbols=$(nm -C "$device")
# What sealing and signing are made of; none of it may be in the device's program.
for forbidden in 'zezi::buildEnvelope(' 'zezi::FleetSealer::' 'zezi::makeSignatureFile(' \
  'zezi::Signer::' 'zezi::signMessage(' 'zezi::KeyReference::signDer(' 'zezi::generateKeyPair(' \
  'zezi::runSelfTest('; do
  grep -q -F "$forbidden" <<<"$symbols" && fail "the device's program carries $forbidden"
done
# What it must carry, so that the check above reads the right symbols.
for needed in 'zezi::openSignedEnvelope(' 'zezi::ApplyRun::apply(' 'zezi::writeNetwork(' \
  'zezi::runDeviceSelfTest('; do
  grep -q -F "$needed" <<<"$symbols" || fail "the device's program lacks $needed"
done

# Its commands, and none of the operator's.
[ "$("$device" selftest)" = "ZeZi Vidad self-test: PASS" ] || fail "selftest did not pass"
for operators in seal sign keygen batch verify; do
  status=0
  "$device" "$operators" >/dev/null 2>"$scratch/err" || status=$?
  [ "$status" -eq 2 ] || fail "$operators: exit $status, expected a usage error"
  # Named, then the device program's help, which lists its own commands.
  [ "$(head -n1 "$scratch/err")" = "zezi-vidad: unknown command \"$operators\"" ] ||
    fail "an unknown command is not told as one: $(cat "$scratch/err")"
  grep -q "^Usage: zezi-vidad-device " "$scratch/err" || fail "$operators: no help follows"
done

# One signed envelope from the operator's tool, applied by the device's program.
cd "$scratch"
"$tool" keygen --private fleet.key --public fleet.pub >/dev/null 2>&1
"$tool" keygen --private signer.key --public signer.pub >/dev/null 2>&1
printf '%064x\n' 7 >psk
mkdir drive nm state
"$tool" seal --fleet-key fleet.pub --ssid "Office Net" --psk-file psk -o drive/office.json 2>/dev/null
"$tool" sign --key signer.key --fleet-key fleet.pub --envelope drive/office.json --serial 1 \
  --valid-for 30d >/dev/null 2>&1
printf 'private = "%s"\ntrust = "%s"\nstate = "%s"\nstack = "networkmanager"\nconfig-dir = "%s"\n' \
  "$scratch/fleet.key" "$scratch/signer.pub" "$scratch/state/replay.state" "$scratch/nm" >device.conf
# The operator's own profile of the same network stays, and is said.
printf '[connection]\nid=office\ntype=wifi\n\n[wifi]\nssid=Office Net\n' >nm/office.nmconnection
"$device" apply --config device.conf --source drive 2>apply.err ||
  fail "apply: exit $?: $(cat apply.err)"
grep -q '^zezi-vidad: office.json: applied: SSID "Office Net"' apply.err ||
  fail "apply did not say applied: $(cat apply.err)"
[ "$(find nm -type f | wc -l)" -eq 2 ] || fail "apply did not write one keyfile beside the operator's"
grep -q -F "zezi-vidad: kept: SSID \"Office Net\" in $scratch/nm/office.nmconnection: a profile of the same network that zezi-vidad did not write" apply.err ||
  fail "the operator's profile of the same network is not said: $(cat apply.err)"
"$device" status --config device.conf >status.out 2>&1 || fail "status: exit $?"
grep -q "Office Net" status.out || fail "status does not show the network: $(cat status.out)"

# A device given another fleet's key is told where to look.
"$tool" keygen --private other.key --public other.pub >/dev/null 2>&1
status=0
"$device" apply --config device.conf --private other.key --state state/other.state \
  --source drive 2>other.err || status=$?
[ "$status" -eq 1 ] || fail "another fleet's key: exit $status"
grep -q -F 'refused: cannot open the envelope: signature is for another fleet (this device'"'"'s fleet key, --private, is not the one the drive was sealed for)' other.err ||
  fail "another fleet's key is not named: $(cat other.err)"

# Decommissioning: refused without --yes, then every file of ours and every PSK gone, the
# operator's own profile and the signer's public key left as they were; run again, it says
# there is nothing it knows of.
foreign=$(sha256sum nm/office.nmconnection)
# The same device with its trust as a list file, which goes as well.
"$tool" trust-list --signer signer.pub --fleet-key fleet.pub --version 1 --serial-floor 0 \
  -o device.trust >/dev/null 2>&1 || fail "trust-list: exit $?"
sed "s|^trust = .*|trust-list = \"$scratch/device.trust\"|" device.conf >decommission.conf
for row in "2|decommission removes this device's networks, replay state and keys: give --yes|" \
  "0||--yes" "1|no replay state at $scratch/state/replay.state: which networks are this device's is not known|--yes"; do
  IFS='|' read -r expected line yes <<<"$row"
  status=0
  "$device" decommission --config decommission.conf $yes 2>"decommission-$expected.err" || status=$?
  [ "$status" -eq "$expected" ] ||
    fail "decommission $yes: exit $status: $(cat "decommission-$expected.err")"
  if [ -n "$line" ]; then
    [ "$(cat "decommission-$expected.err")" = "zezi-vidad: $line" ] ||
      fail "decommission $yes did not refuse in one line: $(cat "decommission-$expected.err")"
  fi
  if [ "$expected" -eq 2 ]; then
    [ -e fleet.key ] && [ -e device.trust ] && [ -e state/replay.state ] && [ "$(find nm -type f | wc -l)" -eq 2 ] ||
      fail "decommission without --yes removed something"
  fi
done
for said in "removed: SSID \"Office Net\" from $scratch/nm/zezi-" \
  "removed: replay state $scratch/state/replay.state" "removed: fleet key $scratch/fleet.key" \
  "removed: trust list $scratch/device.trust"; do
  grep -q -F "zezi-vidad: $said" decommission-0.err || fail "decommission did not say $said"
done
[ "$(find nm -type f)" = "nm/office.nmconnection" ] || fail "decommission left: $(find nm -type f)"
[ "$(sha256sum nm/office.nmconnection)" = "$foreign" ] || fail "the operator's profile changed"
for gone in fleet.key device.trust state/replay.state state/replay.state.lock state/replay.state.last-run; do
  [ -e "$gone" ] && fail "decommission left $gone"
done
[ -e signer.pub ] || fail "decommission removed a signer's public key"
leaked=$(grep -r -l -F "$(cat psk)" . --exclude=psk || true)
[ -z "$leaked" ] || fail "the PSK is still in $leaked"

[ "$failures" -eq 0 ] && echo "the device's program: every check passed"
[ "$failures" -eq 0 ]
