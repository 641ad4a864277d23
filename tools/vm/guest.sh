#!/bin/bash
# The story inside the virtual device, in two boots per stack. tools/vm-device.sh writes
# story.conf, the tool's package, the fleet key and the trust list beside this file on the
# control disk, and reads what this prints on the serial console: "ZEZI-VM ok|FAIL <step>:
# <expected>, got <what happened>", "ZEZI-VM plug <drive>" when it wants the host to hand it
# another USB drive, and "ZEZI-VM time <what>: <seconds>". Rows go to standard error, so that
# they reach the console from functions whose output is captured.
#
# usage: guest.sh network   the access point and its DHCP server, early in every boot, and a
#                           watcher that notes the uptime at which the device first joined
#        guest.sh story     the boot's rows (BOOT in story.conf: first or again)
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=/dev/null
. "$here/story.conf"

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
  for _ in $(seq 1 50); do
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
  local end=$((SECONDS + $1))
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

# The installed tool, its units and udev rule, set up as docs/device.md says: the fleet key
# and the trust list made on the host, the stack under test, the state in /var/lib/zezi-vidad.
install_device() {
  local sta
  sta=$(station_if)
  # The machine has no network: apt takes the package's dependencies from what is installed.
  apt-get install -y -q "$here"/zezi-vidad_*.deb >/run/zezi-vm/apt.log 2>&1 ||
    { tail -n 3 /run/zezi-vm/apt.log; return 1; }
  install -m 0600 "$here/fleet.key" /etc/zezi-vidad/fleet.key
  install -m 0644 "$here/device.trust" /etc/zezi-vidad/device.trust
  {
    echo 'private = "/etc/zezi-vidad/fleet.key"'
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

# What the drive's unit said of the envelope since the cursor (or in this boot, without
# one): applied, unchanged or "refused: why", once systemd says the unit has ended (so that
# its reload is done too).
drive_verdict() { # [cursor]
  local end=$((SECONDS + 120)) log=
  while [ "$SECONDS" -lt "$end" ]; do
    if [ -n "${1:-}" ]; then
      log=$(journalctl -q -o cat --after-cursor="$1" -u 'zezi-vidad-drive@*')
    else
      log=$(journalctl -q -o cat -b -u 'zezi-vidad-drive@*')
    fi
    if grep -qE '^(Finished|Failed to start) zezi-vidad-drive@' <<<"$log"; then
      sed -n -e 's/^zezi-vidad: [^:]*: \(applied\|unchanged\):.*$/\1/p' \
        -e 's/^zezi-vidad: [^:]*: \(refused: .*\)$/\1/p' <<<"$log" | grep -m 1 . && return
      break
    fi
    sleep 1
  done
  printf '%s\n' "$log" | sed 's/^/ZEZI-VM diag /' >&2
  echo "no verdict from the drive unit"
}

# The host hands in the drive; the udev rule starts the drive's unit.
plug() { # drive-name: prints the unit's verdict
  local c
  c=$(cursor)
  say "plug $1"
  drive_verdict "$c"
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
  local end=$((SECONDS + 900))
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
  for _ in $(seq 1 20); do
    [ -s /run/zezi-vm/joined-at ] && { cat /run/zezi-vm/joined-at; return; }
    sleep 0.5
  done
  echo unknown
}

# What the boots share lives on the device's disk.
kept=/var/lib/zezi-vm

first_boot() {
  # The drive was in before the package and its rule were: udev goes over it again, as at
  # the next boot.
  expect "the package, installed with apt" installed "$(install_device)"
  systemctl enable --now "$(stack_service)" >/dev/null 2>&1
  local c a
  c=$(cursor)
  udevadm trigger --action=add --subsystem-match=block --property-match=ID_FS_LABEL=ZEZI-WIFI
  expect "signed envelope for network A" applied "$(drive_verdict "$c")"
  joined_row "network A joined"
  say "time joined after power-on, the package installed in this boot: $(joined_after_power_on)s"
  a=$(config_digest)

  expect "the same drive again" unchanged "$(plug "$FIRST_DRIVE")"
  joined_row "the same drive: still joined network A"
  expect "the same drive: configuration" unchanged "$(same "$a")"

  local drive step why
  for drive in older forged unsigned; do
    case "$drive" in
      older) step="an older serial" why="signature serial is older than the last accepted" ;;
      forged) step="a forged signature" why="signature is by an unknown signer" ;;
      unsigned) step="an unsigned envelope" why="signature file is missing" ;;
    esac
    expect "$step" "refused: cannot open the envelope: $why" "$(plug "$drive")"
    expect "$step: configuration" unchanged "$(same "$a")"
    joined_row "$step: still joined network A"
  done
  # iwd never joins an SSID that is not UTF-8: apply refuses it rather than write a file
  # iwd would ignore.
  if [ "$STACK" = iwd ]; then
    expect "an SSID that is not UTF-8" "refused: iwd cannot join this network: its SSID is not UTF-8" \
      "$(plug not-utf8)"
    expect "an SSID that is not UTF-8: configuration" unchanged "$(same "$a")"
  fi

  # A different network with a newer serial; the device meets it at its next boot.
  expect "network B, a newer serial" applied "$(plug replace)"
  expect "network B: configuration" changed "$(same "$a")"
  mkdir -p "$kept"
  config_digest >"$kept/digest-b"
  sync
}

# The access point now serves network B and the drive of network B is in at power-on: the
# installed rule and unit find it applied already, and the device joins B.
second_boot() {
  expect "after a reboot, the same drive" unchanged "$(drive_verdict)"
  joined_row "after a reboot: joined network B" 150
  say "time joined after power-on, after a reboot: $(joined_after_power_on)s"
  expect "after a reboot: configuration" unchanged "$(same "$(cat "$kept/digest-b" 2>/dev/null)")"
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
