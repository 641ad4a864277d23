#!/usr/bin/env bash
# Installs the Debian packages of DEBS_DIR with apt, checks what they installed (the
# self-test, the man pages, documents and commands the help points to, the C and C++ consumers built against the development package through CMake
# and pkg-config, no unit enabled, the state folder root's alone), removes them (the state
# and the settings stay), purges them, and checks that nothing of them is left. Changes the
# system it runs on: meant for a disposable tree (tools/fresh-debian.sh runs it in one).
#
# usage: tools/check-debs.sh DEBS_DIR   (as root)
set -euo pipefail
cd "$(dirname "$0")/.."

debs=$(cd "$1" && pwd)
packages=(zezi-vidad zezi-vidad-device libzezi-vidad0.1 libzezi-vidad-device0.1 libzezi-vidad-dev)
export DEBIAN_FRONTEND=noninteractive

fail() {
  echo "check-debs.sh: $*" >&2
  exit 1
}

# Every path of the system but the checkout, scratch folders and what dpkg and apt keep
# about their own work.
snapshot() {
  find / -xdev \( -path /work -o -path /tmp -o -path /root -o -path /proc -o -path /var/log \
    -o -path /var/cache -o -path /var/lib/dpkg -o -path /var/lib/apt \) -prune -o -print | sort
}
# Lines of "dpkg-query -W" for the packages above that dpkg knows in any state.
known_packages() {
  dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${packages[@]}" 2>/dev/null |
    grep -v '^un' || true
}

[ -z "$(known_packages)" ] || fail "the packages are installed already"
# NetworkManager's folder of profiles, as its own package makes it: apply writes there.
mkdir -p /etc/NetworkManager/system-connections
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
snapshot >"$scratch/before"

echo "== apt install"
apt-get install -y -q --no-install-recommends "$debs"/*.deb >"$scratch/apt.log" 2>&1 ||
  { cat "$scratch/apt.log"; fail "apt could not install the packages"; }
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Package} ${Version} ${Status}\n' "$package"
done

echo "== installed programs"
zezi-vidad selftest
zezi-vidad-device selftest
man -w zezi-vidad
man -w zezi-vidad-device
man -w zezi-vidad-tpm-import
man -w 5 device.conf
# The TPM import script is the device's command, in root's PATH.
[ "$(command -v zezi-vidad-tpm-import)" = /usr/sbin/zezi-vidad-tpm-import ] ||
  fail "zezi-vidad-tpm-import is not installed in /usr/sbin"
zezi-vidad-tpm-import --version
# The documents each package's help and settings point to, under the names they give.
for entry in zezi-vidad:format.md zezi-vidad:tpm.md zezi-vidad-device:device.md \
  zezi-vidad-device:format.md zezi-vidad-device:tpm.md; do
  package=${entry%%:*} document=${entry#*:}
  dpkg -L "$package" | grep -qx "/usr/share/doc/$package/$document" ||
    fail "$package carries no $document"
done
# Every document the installed help, settings and man pages name is installed.
pointers=$({
  cat /etc/zezi-vidad/device.conf
  for command in apply status; do zezi-vidad-device "$command" --help; done
  for command in keygen open sign trust-list; do zezi-vidad "$command" --help; done
  zezi-vidad-tpm-import --help
} | grep -o '/usr/share/doc/[^ )]*\.md' | sort -u)
[ -n "$pointers" ] || fail "the help and settings name no installed document"
for document in $pointers; do
  [ -f "$document" ] || fail "$document is named but not installed"
done
# Bash finds each program's completion by the program's name in bash-completion's folder.
for program in zezi-vidad zezi-vidad-device; do
  dpkg -L "$program" | grep -qx "/usr/share/bash-completion/completions/$program" ||
    fail "$program carries no bash completion"
done
# The device's units run the device's program, which the device's package installs.
grep -q '^ExecStart=/usr/bin/zezi-vidad-device apply ' /lib/systemd/system/zezi-vidad-boot.service ||
  fail "the boot unit does not run zezi-vidad-device"
[ "$(stat -c %a /var/lib/zezi-vidad)" = 700 ] || fail "/var/lib/zezi-vidad is not mode 0700"
enabled=$(find /etc/systemd /etc/udev -name '*zezi*' 2>/dev/null || true)
[ -z "$enabled" ] || fail "units enabled on installation: $enabled"

echo "== installed libraries and development files"
tools/check-install.sh --installed /usr

echo "== decommission: the device's networks, replay state and keys go, and no PSK stays"
# A device provisioned as docs/device.md says, with one signed network applied.
tool_dir="$scratch/operator"
mkdir -p "$tool_dir/drive"
psk=$(od -An -N32 -tx1 /dev/urandom | tr -d ' \n')
printf '%s\n' "$psk" >"$tool_dir/psk"
zezi-vidad keygen --private /etc/zezi-vidad/fleet.key --public "$tool_dir/fleet.pub" >/dev/null
zezi-vidad keygen --private "$tool_dir/signer.key" --public "$tool_dir/signer.pub" >/dev/null
# The installed tool's sealing page is whole: its policy, and no address to load from.
zezi-vidad page --fleet-key "$tool_dir/fleet.pub" -o "$tool_dir/seal.html" >/dev/null
grep -q "Content-Security-Policy\" content=\"default-src 'none'; script-src 'sha256-" \
  "$tool_dir/seal.html" || fail "the sealing page has no policy"
! grep -Eq '(src|href)="[a-z]+:' "$tool_dir/seal.html" || fail "the sealing page loads from an address"
zezi-vidad trust-list --signer "$tool_dir/signer.pub" --fleet-key "$tool_dir/fleet.pub" \
  --version 1 --serial-floor 0 -o /etc/zezi-vidad/device.trust >/dev/null
zezi-vidad seal --fleet-key "$tool_dir/fleet.pub" --ssid "Decommissioned" \
  --psk-file "$tool_dir/psk" -o "$tool_dir/drive/wifi.json" 2>/dev/null
zezi-vidad sign --key "$tool_dir/signer.key" --fleet-key "$tool_dir/fleet.pub" \
  --envelope "$tool_dir/drive/wifi.json" --serial 1 --valid-for 30d >/dev/null
zezi-vidad-device apply --config /etc/zezi-vidad/device.conf --source "$tool_dir/drive" ||
  fail "apply: exit $?"
grep -rqsF "$psk" /etc || fail "apply wrote the network nowhere under /etc"
zezi-vidad-device decommission --config /etc/zezi-vidad/device.conf --yes ||
  fail "decommission: exit $?"
# The PSK is written nowhere under /etc or /var, and the device's secrets are gone.
grep -rlsF "$psk" /etc /var && fail "the PSK is still on the device after decommission"
for gone in /etc/zezi-vidad/fleet.key /etc/zezi-vidad/device.trust \
  /var/lib/zezi-vidad/replay.state; do
  [ ! -e "$gone" ] || fail "$gone is still there after decommission"
done

echo "== apt remove: the settings and the replay state stay"
echo kept >/var/lib/zezi-vidad/device.state
apt-get remove -y -q "${packages[@]}" >"$scratch/apt.log" 2>&1 ||
  { cat "$scratch/apt.log"; fail "apt could not remove the packages"; }
[ -f /var/lib/zezi-vidad/device.state ] || fail "the replay state went with a removal"
conffiles=$(dpkg-query -W -f='${Conffiles}\n' zezi-vidad-device | awk 'NF {print $1}')
for conffile in $conffiles; do
  [ -f "$conffile" ] || fail "$conffile went with a removal"
done

echo "== apt purge: nothing of the packages is left"
# What a removal leaves: the packages with configuration files or a postrm to run.
mapfile -t removed < <(known_packages | awk '{print $2}')
[ "${#removed[@]}" -gt 0 ] || fail "nothing is left to purge after the removal"
apt-get purge -y -q "${removed[@]}" >"$scratch/apt.log" 2>&1 ||
  { cat "$scratch/apt.log"; fail "apt could not purge the packages"; }
left=$(known_packages)
[ -z "$left" ] || fail "dpkg still knows: $left"
snapshot >"$scratch/after"
left=$(comm -13 "$scratch/before" "$scratch/after")
[ -z "$left" ] || fail "left after the purge: $left"
echo "the packages install, work, remove and purge cleanly"
