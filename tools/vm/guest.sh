#!/bin/bash
# The story inside the virtual device, one boot at a time. tools/vm-device.sh writes
# story.conf beside this file on the control disk and reads the rows this prints on the serial
# console: "ZEZI-VM ok|FAIL <step>: <expected>, got <what happened>", "ZEZI-VM plug <drive>"
# when it wants the host to hand it another USB drive, and "ZEZI-VM time <step>: <seconds>".
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=/dev/null
. "$here/story.conf"

say() { echo "ZEZI-VM $*"; }
expect() { # step expected got
  if [ "$2" = "$3" ]; then say "ok $1: $2, got $3"; else say "FAIL $1: $2, got $3"; fi
}

# --- the simulated network: radio 0 is the access point (02:00:00:00:00:00), radio 1 the device

ap_if() { grep -l '^02:00:00:00:00:00$' /sys/class/net/*/address 2>/dev/null | head -n 1 | cut -d/ -f5; }
station_if() { # the interface on phy1, whatever the stack named it
  iw dev | awk '/^phy#/{phy=$1} phy=="phy#1" && $1=="Interface"{print $2; exit}'
}

start_access_point() { # ssid_hex passphrase
  local ap
  ap=$(ap_if)
  [ -n "$ap" ] || { say "FAIL access point: radio, got none"; return 1; }
  if [ -f /run/zezi-vm/hostapd.pid ]; then
    kill "$(cat /run/zezi-vm/hostapd.pid)" 2>/dev/null
    sleep 1
  fi
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
CONF
  ip link set "$ap" up
  ip addr replace 192.0.2.1/24 dev "$ap"
  hostapd -B -P /run/zezi-vm/hostapd.pid /run/zezi-vm/hostapd.conf >/run/zezi-vm/hostapd.log 2>&1 ||
    { say "FAIL access point: started, got $(tail -n 1 /run/zezi-vm/hostapd.log)"; return 1; }
  # NetworkManager calls a link connected only once it has an address.
  if [ ! -f /run/zezi-vm/dnsmasq.pid ]; then
    dnsmasq --interface="$ap" --bind-interfaces --port=0 --no-resolv \
      --dhcp-range=192.0.2.10,192.0.2.50,255.255.255.0,1h --dhcp-leasefile=/run/zezi-vm/leases \
      --pid-file=/run/zezi-vm/dnsmasq.pid
  fi
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

wait_joined() { # seconds; prints the uptime at which the device was joined
  local end=$((SECONDS + $1))
  while [ "$SECONDS" -lt "$end" ]; do
    if joined; then
      cut -d' ' -f1 /proc/uptime
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

# --- the device step

# PLACEHOLDER until `zezi-vidad apply` is in the packages handed in: it writes the stack's
# configuration by hand from the drive's plain placeholder-network file, so that the image,
# the radios, the access point and each stack's join are proven on their own. It judges no
# envelope and no signature.
placeholder_apply() { # drive uuid
  local drive=/run/zezi-vm/drive ssid_hex passphrase sta
  mkdir -p "$drive"
  mount -o ro "/dev/disk/by-uuid/$1" "$drive" || return 1
  ssid_hex=$(sed -n 's/^ssid_hex=//p' "$drive/placeholder-network")
  passphrase=$(sed -n 's/^passphrase=//p' "$drive/placeholder-network")
  umount "$drive"
  sta=$(station_if)
  case "$STACK" in
    networkmanager)
      rm -f /etc/NetworkManager/system-connections/zezi-vidad*.nmconnection
      {
        printf '[connection]\nid=zezi-vidad\ntype=wifi\nautoconnect=true\n\n[wifi]\nmode=infrastructure\nssid='
        echo "$ssid_hex" | sed 's/../&\n/g' | while read -r byte; do [ -n "$byte" ] && printf '%d;' "0x$byte"; done
        printf '\n\n[wifi-security]\nkey-mgmt=wpa-psk\npsk=%s\n\n[ipv4]\nmethod=auto\n\n[ipv6]\nmethod=ignore\n' "$passphrase"
      } >/etc/NetworkManager/system-connections/zezi-vidad.nmconnection
      chmod 600 /etc/NetworkManager/system-connections/zezi-vidad.nmconnection
      nmcli connection reload ;;
    wpa-supplicant)
      printf 'ctrl_interface=DIR=/run/wpa_supplicant\nupdate_config=0\n\nnetwork={\n\tssid=%s\n\tpsk="%s"\n\tkey_mgmt=WPA-PSK\n}\n' \
        "$ssid_hex" "$passphrase" >"/etc/wpa_supplicant/wpa_supplicant-$sta.conf"
      chmod 600 "/etc/wpa_supplicant/wpa_supplicant-$sta.conf"
      systemctl restart "wpa_supplicant@$sta.service" ;;
    iwd)
      local name ssid
      ssid=$(printf '%b' "$(echo "$ssid_hex" | sed 's/../\\x&/g')")
      if [[ "$ssid" =~ ^[A-Za-z0-9_-]+$ ]]; then name=$ssid; else name="=$ssid_hex"; fi
      rm -f /var/lib/iwd/*.psk
      mkdir -p /var/lib/iwd
      printf '[Security]\nPassphrase=%s\n' "$passphrase" >"/var/lib/iwd/$name.psk"
      chmod 600 "/var/lib/iwd/$name.psk" ;;
  esac
  echo applied
}

wait_drive() { # uuid
  for _ in $(seq 1 120); do
    [ -e "/dev/disk/by-uuid/$1" ] && return 0
    sleep 0.5
  done
  return 1
}

device_step() { # drive-name uuid: prints what the device did
  wait_drive "$2" || { echo "no drive"; return; }
  placeholder_apply "$2"
}

# --- the boots

mkdir -p /run/zezi-vm
say "boot $BOOT stack $STACK mode $MODE"
start_access_point "$NET_A_HEX" "$NET_A_PASS" || exit 1

if [ "$BOOT" = first ]; then
  if [ "$MODE" = installed ]; then
    if dpkg -i "$here"/*.deb >/run/zezi-vm/dpkg.log 2>&1; then got=installed; else got="not installed"; fi
    expect "the packages" installed "$got"
  fi
  systemctl enable --now "$(stack_service)" >/dev/null 2>&1
  expect "first drive" applied "$(device_step first "$UUID_FIRST")"
  if at=$(wait_joined 90); then
    expect "first drive joins network A" joined joined
    say "time joined after power-on: ${at}s"
  else
    expect "first drive joins network A" joined "not joined"
  fi
  exit 0
fi

# BOOT=again: the same drive is still in; the stack starts from what the last boot left.
before=$(config_digest)
if at=$(wait_joined 90); then
  expect "reboot: still joined network A" joined joined
  say "time joined after power-on: ${at}s"
else
  expect "reboot: still joined network A" joined "not joined"
fi
expect "reboot: configuration" unchanged "$([ "$(config_digest)" = "$before" ] && echo unchanged || echo changed)"

# A different network replaces the first: the access point moves to network B first.
start_access_point "$NET_B_HEX" "$NET_B_PASS" || exit 1
say "plug replace"
expect "drive with network B" applied "$(device_step replace "$UUID_REPLACE")"
if at=$(wait_joined 90); then
  expect "network B replaces network A" joined joined
else
  expect "network B replaces network A" joined "not joined"
fi
expect "network A's configuration" gone "$([ "$(config_digest)" = "$before" ] && echo kept || echo gone)"
