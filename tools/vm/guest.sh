#!/bin/bash
# The story inside the virtual device, in two boots per stack. tools/vm-device.sh writes
# story.conf, the tool's package, the fleet key and the trust list (and the newer one that
# drops the signer) beside this file on the control disk, and reads what this prints on the
# serial console: "ZEZI-VM ok|FAIL <step>: <expected>, got <what happened>", "ZEZI-VM plug
# <drive>" when it wants the host to hand it another USB drive, and "ZEZI-VM time <what>:
# <seconds>". Rows go to standard error, so that they reach the console from functions whose
# output is captured.
#
# With TPM_KEY=yes in story.conf the fleet key is the TPM's (fleet.tss, wrapped on the host
# for this machine's TPM) and the units reach the TPM through the packaged drop-in. Every
# wait is PATIENCE (story.conf) times as long on a machine that is emulated.
#
# usage: guest.sh network   the access point and its DHCP server, early in every boot, and a
#                           watcher that notes the uptime at which the device first joined
#        guest.sh story     the boot's rows (BOOT in story.conf: first or again)
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=/dev/null
. "$here/story.conf"
patience=${PATIENCE:-1}

say() { echo "ZEZI-VM $*" >&2; }
expect() { # step expected got
  if [ "$2" = "$3" ]; then say "ok $1: $2, got $3"; else say "FAIL $1: $2, got $3"; fi
}

# --- the simulated network: radio 0 is the access point (02:00:00:00:00:00), radio 1 the device

ap_if() { grep -l '^02:00:00:00:00:00$' /sys/class/net/*/address 2>/dev/null | head -n 1 | cut -d/ -f5; }
station_if() { # the interface on phy1, whatever the stack named it
  iw dev | awk '/^phy#/{phy=$1} phy=="phy#1" && $1=="Interface"{print $2; exit}'
}

start_access_point() { # ssid_hex passphrase
  local ap _
  for _ in $(seq 1 $((50 * patience))); do
    ap=$(ap_if)
    [ -z "$ap" ] || break
    sleep 0.2
  done
  [ -n "$ap" ] || { say "FAIL access point: radio, got none"; return 1; }
  cat >/run/zezi-vm/hostapd.conf <<CONF
interface=$ap
driver=nl80211
ctrl_interface=/run/hostapd
ssid2=$1
hw_mode=g
channel=6
wpa=2
wpa_key_mgmt=WPA-PSK
rsn_pairwise=CCMP
wpa_passphrase=$2
# An emulated machine under load answers the handshake late: more retries before giving up.
wpa_pairwise_update_count=20
wpa_group_update_count=20
CONF
  ip link set "$ap" up
  ip addr replace 192.0.2.1/24 dev "$ap"
  hostapd -B -P /run/zezi-vm/hostapd.pid /run/zezi-vm/hostapd.conf >/run/zezi-vm/hostapd.log 2>&1 ||
    { say "FAIL access point: started, got $(tail -n 1 /run/zezi-vm/hostapd.log)"; return 1; }
  # NetworkManager calls a link connected only once it has an address.
  dnsmasq --interface="$ap" --bind-interfaces --port=0 --no-resolv \
    --dhcp-range=192.0.2.10,192.0.2.50,255.255.255.0,1h --dhcp-leasefile=/run/zezi-vm/leases \
    --pid-file=/run/zezi-vm/dnsmasq.pid
}

# --- the chosen stack

stack_service() {
  case "$STACK" in
    networkmanager) echo NetworkManager.service ;;
    wpa-supplicant) echo "wpa_supplicant@$(station_if).service" ;;
    iwd) echo iwd.service ;;
  esac
}

stack_connected() {
  local sta
  sta=$(station_if)
  [ -n "$sta" ] || return 1
  case "$STACK" in
    networkmanager) nmcli -g GENERAL.STATE device show "$sta" 2>/dev/null | grep -q '^100' ;;
    wpa-supplicant) wpa_cli -p /run/wpa_supplicant -i "$sta" status 2>/dev/null | grep -q '^wpa_state=COMPLETED' ;;
    iwd) iw dev "$sta" link 2>/dev/null | grep -q '^Connected to' ;;
  esac
}

# Joined: the access point holds the device as an authorized station (the handshake with the
# PSK passed) and the stack itself says it is connected.
joined() {
  hostapd_cli -p /run/hostapd -i "$(ap_if)" all_sta 2>/dev/null | grep -q 'AUTHORIZED' && stack_connected
}

wait_joined() { # seconds
  local end=$((SECONDS + $1 * patience))
  while [ "$SECONDS" -lt "$end" ]; do
    if joined; then
      return 0
    fi
    sleep 0.5
  done
  diagnose >&2
  return 1
}

# What the host shows when a join did not happen.
diagnose() {
  {
    iw dev
    iw dev "$(station_if)" link
    hostapd_cli -p /run/hostapd -i "$(ap_if)" all_sta
    tail -n 5 /run/zezi-vm/hostapd.log
    ls -l /var/lib/iwd /etc/NetworkManager/system-connections /etc/wpa_supplicant
    journalctl -b --no-pager -n 25 -u "$(stack_service)"
    journalctl -b --no-pager -o cat -n 8 -u 'zezi-vidad-drive@*' -u zezi-vidad-boot.service
  } 2>&1 | sed 's/^/ZEZI-VM diag /'
}

# What the stack was told, by meaning: iwd rewrites its files after joining, so the digest is
# over the SSID-naming file names and their passphrase or PSK lines, never the whole file.
config_digest() {
  case "$STACK" in
    networkmanager)
      for f in /etc/NetworkManager/system-connections/*; do
        [ -f "$f" ] && { echo "$f"; grep -E '^(ssid|psk)=' "$f"; }
      done ;;
    wpa-supplicant)
      for f in /etc/wpa_supplicant/wpa_supplicant-*.conf; do
        [ -f "$f" ] && { echo "$f"; grep -E '^\s*(ssid|psk)=' "$f"; }
      done ;;
    iwd)
      for f in /var/lib/iwd/*.psk; do
        [ -f "$f" ] && { echo "$f"; grep -E '^(Passphrase|PreSharedKey)=' "$f" | sort; }
      done ;;
  esac | sha256sum | cut -c1-16
}

# --- the device: the packages as a device gets them, its settings and keys

# The installed device program, its units and udev rule, set up as docs/device.md says: the fleet key
# and the trust list made on the host, the stack under test, the state in /var/lib/zezi-vidad.
install_device() {
  local sta
  sta=$(station_if)
  # The machine has no network: apt takes the package's dependencies from what is installed.
  apt-get install -y -q "$here"/zezi-vidad-device_*.deb >/run/zezi-vm/apt.log 2>&1 ||
    { tail -n 3 /run/zezi-vm/apt.log; return 1; }
  local private=/etc/zezi-vidad/fleet.key
  if [ "$TPM_KEY" = yes ]; then
    # The key the TPM holds, wrapped for this TPM alone, and the units let reach it.
    private=/etc/zezi-vidad/fleet.tss
    install -m 0600 "$here/fleet.tss" "$private"
    local unit
    for unit in zezi-vidad-boot.service zezi-vidad-drive@.service; do
      mkdir -p "/etc/systemd/system/$unit.d"
      ln -sf /usr/share/zezi-vidad/tpm.conf "/etc/systemd/system/$unit.d/tpm.conf"
    done
  else
    install -m 0600 "$here/fleet.key" "$private"
  fi
  install -m 0644 "$here/device.trust" /etc/zezi-vidad/device.trust
  {
    echo "private = \"$private\""
    echo 'trust-list = "/etc/zezi-vidad/device.trust"'
    echo 'state = "/var/lib/zezi-vidad/replay.state"'
    echo "stack = \"$STACK\""
    [ "$STACK" != wpa-supplicant ] || echo "config-file = \"/etc/wpa_supplicant/wpa_supplicant-$sta.conf\""
  } >/etc/zezi-vidad/device.conf
  # wpa_supplicant@ starts only with its file: the operator's lines, which apply keeps.
  if [ "$STACK" = wpa-supplicant ]; then
    printf 'ctrl_interface=DIR=/run/wpa_supplicant\nupdate_config=0\n' >"/etc/wpa_supplicant/wpa_supplicant-$sta.conf"
    chmod 600 "/etc/wpa_supplicant/wpa_supplicant-$sta.conf"
  fi
  systemctl daemon-reload
  udevadm control --reload-rules
  echo installed
}

cursor() { journalctl -q -n 0 --show-cursor | sed -n 's/^-- cursor: //p'; }

drive_log=/run/zezi-vm/drive.log

# The drive's unit's journal since the cursor (or in this boot, without one), kept in
# $drive_log once systemd says the unit has ended (so that its reload is done too).
wait_drive() { # [cursor]
  local end=$((SECONDS + 120 * patience)) log=
  while [ "$SECONDS" -lt "$end" ]; do
    if [ -n "${1:-}" ]; then
      log=$(journalctl -q -o cat --after-cursor="$1" -u 'zezi-vidad-drive@*')
    else
      log=$(journalctl -q -o cat -b -u 'zezi-vidad-drive@*')
    fi
    if grep -qE '^(Finished|Failed to start) zezi-vidad-drive@' <<<"$log"; then
      printf '%s\n' "$log" >"$drive_log"
      return 0
    fi
    sleep 1
  done
  : >"$drive_log"
  printf '%s\n' "$log" | sed 's/^/ZEZI-VM diag /' >&2
  return 1
}

join_lines() { awk 'NR > 1 { printf "; " } { printf "%s", $0 } END { if (NR == 0) printf "none" }'; }

# What the unit said of each envelope, by file: "home.json: applied; wifi.json: refused: why".
verdicts() { # [journal file, the drive's unit's by default]
  local log=${1:-$drive_log}
  [ -s "$log" ] || { echo "no end of the unit"; return; }
  sed -n -e 's/^zezi-vidad: \([^:]*\): \(applied\|unchanged\):.*$/\1: \2/p' \
    -e 's/^zezi-vidad: \([^:]*\): \(refused: .*\)$/\1: \2/p' "$log" | LC_ALL=C sort | join_lines
}

# What the unit said of networks an envelope did not name: "removed FILE: why", "kept FILE: why".
dropped_or_kept() {
  sed -n -e 's|^zezi-vidad: \(removed\): SSID .* from /[^:]*/\([^/:]*\): \(.*\)$|\1 \2: \3|p' \
    -e 's|^zezi-vidad: \(kept\): SSID .* in /[^:]*/\([^/:]*\): \(.*\)$|\1 \2: \3|p' "$drive_log" |
    LC_ALL=C sort | join_lines
}

# Whether systemd holds the drive's unit (or the unit named) failed, and its exit status.
unit_outcome() { # [unit]
  local unit=${1:-} failed="not failed"
  [ -n "$unit" ] ||
    unit=$(sed -n 's/^\(Finished\|Failed to start\) \(zezi-vidad-drive@[^ ]*\.service\).*$/\2/p' "$drive_log" | tail -n 1)
  [ -n "$unit" ] || { echo "no unit"; return; }
  systemctl is-failed --quiet "$unit" && failed=failed
  echo "$failed, exit $(systemctl show -p ExecMainStatus --value "$unit")"
}

# The host hands in the drive; the udev rule starts the drive's unit.
plug() { # drive-name
  local c
  c=$(cursor)
  say "plug $1"
  wait_drive "$c"
}

# What the device says it holds, read from status --json: the trust list's version, the
# set's serial and networks (SSIDs in hex, sorted), the last run's results per envelope and
# per network, and whether a reload is pending.
status_summary() {
  zezi-vidad-device status --config /etc/zezi-vidad/device.conf --json 2>/dev/null | jq -r '
    def list(f): [f] | sort | join(", ");
    "trust list \(.trust_list.version), set serial \(.set.serial), "
    + "\(.set.networks // [] | length) networks: \(list((.set.networks // [])[].ssid_hex)); "
    + "last run: \(list((.last_run.envelopes // [])[] | "\(.file) \(.result)"))"
    + ([(.last_run.networks // [])[] | "; \(.result) \(.ssid_hex)"] | sort | join(""))
    + "; reload pending \(.reload_pending)"' 2>/dev/null || echo "no status"
}
# status_summary's part for what the device holds.
holds() { # trust-list-version serial ssid-hex...
  local version=$1 serial=$2
  shift 2
  echo "trust list $version, set serial $serial, $# networks: $(printf '%s\n' "$@" | LC_ALL=C sort |
    paste -sd' ' | sed 's/ /, /g')"
}
# status_summary's part for the last run's networks: "; removed HEX; ..." in its order.
network_results() { # result ssid-hex...
  local result=$1 hex
  shift
  for hex in "$@"; do echo "; $result $hex"; done | LC_ALL=C sort | tr -d '\n'
}

# The networks as the stack itself sees them: NetworkManager's WiFi connections and iwd's
# .psk files by file name, wpa_supplicant's networks by SSID in hex.
stack_view() {
  local sta id ssid
  case "$STACK" in
    networkmanager)
      nmcli -g TYPE,FILENAME connection show 2>/dev/null |
        sed -n 's|^802-11-wireless:.*/||p' ;;
    wpa-supplicant)
      sta=$(station_if)
      for id in $(wpa_cli -p /run/wpa_supplicant -i "$sta" list_networks 2>/dev/null | awk '$1 ~ /^[0-9]+$/ {print $1}'); do
        ssid=$(wpa_cli -p /run/wpa_supplicant -i "$sta" get_network "$id" ssid)
        case "$ssid" in
          \"*\") printf '%s' "${ssid:1:${#ssid}-2}" | od -An -tx1 | tr -d ' \n'; echo ;;
          *) echo "$ssid" ;;
        esac
      done ;;
    iwd)
      for f in /var/lib/iwd/*.psk; do [ -f "$f" ] && basename "$f"; done ;;
  esac | LC_ALL=C sort | paste -sd' ' | sed 's/ /, /g'
}

# A network's file name as status named it when the set came.
file_of() { # ssid-hex
  awk -v h="$1" '$1 == h { n = split($2, p, "/"); print p[n] }' "$kept/files"
}

# stack_view's answer for networks named by SSID in hex.
expected_view() { # ssid-hex...
  local hex
  for hex in "$@"; do
    case "$STACK" in
      wpa-supplicant) echo "$hex" ;;
      *) file_of "$hex" ;;
    esac
  done | LC_ALL=C sort | paste -sd' ' | sed 's/ /, /g'
}

# The stack takes a moment to read what --reload told it.
view_row() { # step ssid-hex...
  local step=$1 want got _
  shift
  want=$(expected_view "$@")
  for _ in $(seq 1 $((15 * patience))); do
    got=$(stack_view)
    [ "$got" != "$want" ] || break
    sleep 1
  done
  expect "$step" "$want" "${got:-none}"
}

# The stack files and the replay state, octet for octet and inode for inode: a rewrite
# of the same content is a rename over the old file, a new inode.
files_snapshot() {
  local f
  for f in /etc/NetworkManager/system-connections/* /etc/wpa_supplicant/wpa_supplicant-*.conf \
    /var/lib/iwd/*.psk /var/lib/zezi-vidad/replay.state; do
    [ -f "$f" ] && echo "$f $(stat -c %i "$f") $(sha256sum <"$f" | cut -c1-64)"
  done | sha256sum | cut -c1-16
}

joined_row() { # step [seconds to wait]
  if wait_joined "${2:-90}"; then
    expect "$1" joined joined
  else
    expect "$1" joined "not joined"
  fi
}

same() { [ "$(config_digest)" = "$1" ] && echo unchanged || echo changed; }


# Notes the uptime at which the device first joined, polling from early in the boot.
watch_join() {
  local end=$((SECONDS + 900 * patience))
  while [ "$SECONDS" -lt "$end" ]; do
    if joined; then
      cut -d' ' -f1 /proc/uptime >/run/zezi-vm/joined-at
      return
    fi
    sleep 1
  done
}

# The uptime at which the watcher saw the device join (waiting for it a little).
joined_after_power_on() {
  local _
  for _ in $(seq 1 $((20 * patience))); do
    [ -s /run/zezi-vm/joined-at ] && { cat /run/zezi-vm/joined-at; return; }
    sleep 0.5
  done
  echo unknown
}

# What the boots share lives on the device's disk.
kept=/var/lib/zezi-vm
refused_unknown="refused: cannot open the envelope: signature is by an unknown signer"

first_boot() {
  # The drive was in before the package and its rule were: udev goes over it again, as at
  # the next boot.
  expect "the package, installed with apt" installed "$(install_device)"
  if [ "$TPM_KEY" = yes ]; then
    expect "the fleet key, held by the machine's TPM" "a wrapped key and /dev/tpmrm0" \
      "$(grep -q 'BEGIN TSS2 PRIVATE KEY' /etc/zezi-vidad/fleet.tss && [ -c /dev/tpmrm0 ] &&
        echo "a wrapped key and /dev/tpmrm0" || echo "no TPM or no wrapped key")"
  fi
  systemctl enable --now "$(stack_service)" >/dev/null 2>&1
  local c a
  c=$(cursor)
  udevadm trigger --action=add --subsystem-match=block --property-match=ID_FS_LABEL=ZEZI-WIFI
  wait_drive "$c"
  expect "a set of three networks, one serial" \
    "home.json: applied; lab.json: applied; office.json: applied" "$(verdicts)"
  expect "the set: the drive's unit" "not failed, exit 0" "$(unit_outcome)"
  joined_row "the set: joined network A"
  say "time joined after power-on, the package installed in this boot: $(joined_after_power_on)s"
  mkdir -p "$kept"
  zezi-vidad-device status --config /etc/zezi-vidad/device.conf --json |
    jq -r '.set.networks[] | "\(.ssid_hex) \(.stack_file)"' >"$kept/files"
  expect "the set: status" "$(holds 1 2 "$NET_A_HEX" "$NET_B_HEX" "$NET_C_HEX"); last run: home.json applied, lab.json applied, office.json applied; reload pending false" \
    "$(status_summary)"
  view_row "the set: the stack's networks" "$NET_A_HEX" "$NET_B_HEX" "$NET_C_HEX"
  a=$(config_digest)

  plug "$FIRST_DRIVE"
  expect "the same drive again" "home.json: unchanged; lab.json: unchanged; office.json: unchanged" \
    "$(verdicts)"
  expect "the same drive: the drive's unit" "not failed, exit 0" "$(unit_outcome)"
  joined_row "the same drive: still joined network A"
  expect "the same drive: configuration" unchanged "$(same "$a")"
  expect "the same drive: status" "$(holds 1 2 "$NET_A_HEX" "$NET_B_HEX" "$NET_C_HEX"); last run: home.json unchanged, lab.json unchanged, office.json unchanged; reload pending false" \
    "$(status_summary)"

  local drive step why
  for drive in older forged unsigned; do
    case "$drive" in
      older) step="an older serial" why="signature serial is older than the last accepted" ;;
      forged) step="a forged signature" why="signature is by an unknown signer" ;;
      unsigned) step="an unsigned envelope" why="signature file is missing" ;;
    esac
    plug "$drive"
    expect "$step" "wifi.json: refused: cannot open the envelope: $why" "$(verdicts)"
    expect "$step: the drive's unit" "failed, exit 1" "$(unit_outcome)"
    expect "$step: configuration" unchanged "$(same "$a")"
    joined_row "$step: still joined network A"
  done
  # iwd never joins an SSID that is not UTF-8: apply refuses it rather than write a file
  # iwd would ignore.
  if [ "$STACK" = iwd ]; then
    plug not-utf8
    expect "an SSID that is not UTF-8" "wifi.json: refused: iwd cannot join this network: its SSID is not UTF-8" \
      "$(verdicts)"
    expect "an SSID that is not UTF-8: configuration" unchanged "$(same "$a")"
  fi
  expect "the refused drives: status" "$(holds 1 2 "$NET_A_HEX" "$NET_B_HEX" "$NET_C_HEX"); last run: wifi.json refused; reload pending false" \
    "$(status_summary)"
  config_digest >"$kept/digest"
  prepare_boot_route
  sync
}

# The next boot is, to the device, its first with the set: the set on the boot partition and
# the boot unit enabled, but no replay state and none of the set's networks in the stack's
# files (iwd's folder gone, as before iwd ever ran), so that the boot unit alone, before the
# stack starts, gives the stack its networks.
prepare_boot_route() {
  local sta
  sta=$(station_if)
  mkdir -p /boot/firmware
  cp "$here"/home.json "$here"/home.json.sig "$here"/office.json "$here"/office.json.sig \
    "$here"/lab.json "$here"/lab.json.sig /boot/firmware/
  systemctl enable zezi-vidad-boot.service >/dev/null 2>&1
  rm -f /var/lib/zezi-vidad/replay.state /var/lib/zezi-vidad/replay.state.last-run
  case "$STACK" in
    networkmanager) rm -f /etc/NetworkManager/system-connections/zezi-* ;;
    wpa-supplicant)
      printf 'ctrl_interface=DIR=/run/wpa_supplicant\nupdate_config=0\n' >"/etc/wpa_supplicant/wpa_supplicant-$sta.conf" ;;
    iwd) systemctl stop iwd.service && rm -rf /var/lib/iwd ;;
  esac
}

# What the boot unit said and how it ended, in the second boot.
boot_route_rows() {
  local log=/run/zezi-vm/boot.log
  journalctl -q -o cat -b -u zezi-vidad-boot.service >"$log"
  expect "the boot route: the set from the boot partition, before the stack" \
    "home.json: applied; lab.json: applied; office.json: applied" "$(verdicts "$log")"
  expect "the boot route: the boot unit" "not failed, exit 0" "$(unit_outcome zezi-vidad-boot.service)"
  if [ "$STACK" = iwd ]; then
    expect "the boot route: iwd's folder, made before iwd ever ran" "700" "$(stat -c %a /var/lib/iwd 2>&1)"
  fi
}

# The access point now serves network B, the set is on the boot partition and its drive is
# in at power-on: the boot unit applies the set before the stack starts, the installed rule
# and unit find it applied already, and the device joins B. Then a newer set
# drops A, and a trust list without the set's signer has the drive refused.
second_boot() {
  boot_route_rows
  wait_drive
  expect "after a reboot, the same set" "home.json: unchanged; lab.json: unchanged; office.json: unchanged" \
    "$(verdicts)"
  expect "after a reboot: the drive's unit" "not failed, exit 0" "$(unit_outcome)"
  joined_row "after a reboot: joined network B" 150
  say "time joined after power-on, after a reboot: $(joined_after_power_on)s"
  expect "after a reboot: configuration" unchanged "$(same "$(cat "$kept/digest" 2>/dev/null)")"
  expect "after a reboot: status" "$(holds 1 2 "$NET_A_HEX" "$NET_B_HEX" "$NET_C_HEX"); last run: home.json unchanged, lab.json unchanged, office.json unchanged; reload pending false" \
    "$(status_summary)"

  # B as it was and C with a new passphrase, under a higher serial: A goes.
  local b
  plug newer
  expect "a newer set of two" "lab.json: applied; office.json: unchanged" "$(verdicts)"
  expect "a newer set: network A" "removed $(file_of "$NET_A_HEX"): not in the newest set" "$(dropped_or_kept)"
  view_row "a newer set: the stack's networks" "$NET_B_HEX" "$NET_C_HEX"
  joined_row "a newer set: still joined network B"
  expect "a newer set: status" "$(holds 1 5 "$NET_B_HEX" "$NET_C_HEX"); last run: lab.json applied, office.json unchanged$(network_results removed "$NET_A_HEX"); reload pending false" \
    "$(status_summary)"

  # New firmware brings a trust list whose signer is not the set's.
  b=$(files_snapshot)
  install -m 0644 "$here/device-v2.trust" /etc/zezi-vidad/device.trust
  plug newer
  expect "a trust list without the signer" "lab.json: $refused_unknown; office.json: $refused_unknown" \
    "$(verdicts)"
  expect "a trust list without the signer: the networks" "$(for hex in "$NET_B_HEX" "$NET_C_HEX"; do
    echo "kept $(file_of "$hex"): its signer is no longer in the trust list"; done | LC_ALL=C sort | join_lines)" \
    "$(dropped_or_kept)"
  expect "a trust list without the signer: the drive's unit" "failed, exit 1" "$(unit_outcome)"
  expect "a trust list without the signer: the stack files and the state" "the same, octet for octet" \
    "$([ "$(files_snapshot)" = "$b" ] && echo "the same, octet for octet" || echo rewritten)"
  view_row "a trust list without the signer: the stack's networks" "$NET_B_HEX" "$NET_C_HEX"
  joined_row "a trust list without the signer: still joined network B"
  expect "a trust list without the signer: status" "$(holds 2 5 "$NET_B_HEX" "$NET_C_HEX"); last run: lab.json refused, office.json refused$(network_results kept "$NET_B_HEX" "$NET_C_HEX"); reload pending false" \
    "$(status_summary)"
}

mkdir -p /run/zezi-vm
case "${1:-}" in
  network)
    start_access_point "$AP_SSID_HEX" "$AP_PASS" || exit 1
    watch_join </dev/null >/dev/null 2>&1 &
    ;;
  story)
    say "boot $BOOT, stack $STACK"
    case "$BOOT" in
      first) first_boot ;;
      again) second_boot ;;
    esac
    ;;
  *) echo "usage: guest.sh network|story" >&2; exit 2 ;;
esac
