#!/usr/bin/env bash
# Checks the device's system files as configured in the build tree, one part per run:
#   units UNIT_DIR INSTALLED_TOOL BUILT_TOOL: systemd-analyze verifies each unit without a
#     word and rates its exposure at most 2.0 (in a copy naming the built tool, which exists)
#   rule RULES_FILE UNIT_DIR: the udev rule holds its matches and starts an existing unit;
#     udevadm reads it without complaint (as root, in a mount namespace of its own)
#   settings DEVICE_CONF UNIT_DIR DEVICE_TOOL: every setting is an option of apply, with a
#     known value; every file it names is the one apply --help names
#   dropins UNIT_DIR INSTALLED_TOOL BUILT_TOOL: with the drop-ins in place (tpm.conf linked as
#     an operator links it), the units as the service manager loads them (systemd --test): a
#     supplicant of one interface after the boot unit and before network.target, which the
#     drive's unit follows; iwd's folder made; the TPM's node alone reachable, in a private
#     /dev, and not at all without tpm.conf
#   conf-page DEVICE_CONF PAGE: device.conf(5) renders without a warning, has its NAME, an
#     entry for every setting and every line of the settings file's comments
#   import-page PAGE COMMAND VERSION: the TPM import command's page renders without a
#     warning, has its NAME and every option its --help lists; --version is the build's
# Each part also plants faults in a copy and expects the check to refuse every one.
# Exit 77 (skipped) when systemd-analyze is missing.
set -euo pipefail
part=${1:?usage: device_files_test.sh units|rule|settings ...}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Plants each fault of the table on stdin ("what|sed script") in a copy of $1 at $2 and
# expects `$3 $2...` (a check function) to refuse it.
expect_refused() {
  local original=$1 copy=$2 check=$3 what script
  shift 3
  while IFS='|' read -r what script; do
    sed "$script" "$original" >"$copy"
    if cmp -s "$original" "$copy"; then
      fail "the fault '$what' was not planted"
    elif "$check" "$copy" "$@" >/dev/null 2>&1; then
      fail "the check let '$what' through"
    fi
  done
  cp "$original" "$copy"
}

# Unit file $1, checked as unit $2 (an instance for a template): silent verify, exposure.
check_unit() {
  local folder output
  folder=$(dirname "$1")
  output=$(cd "$folder" && systemd-analyze verify --man=no "./$2" 2>&1) || return 1
  [ -z "$output" ] || { echo "$output"; return 1; }
  # Bounded in memory, tasks and time, whatever the drive holds.
  local bound
  for bound in MemoryMax= TasksMax= TimeoutStartSec=; do
    grep -q "^$bound" "$1" || { echo "unbounded: no $bound"; return 1; }
  done
  # A sandboxed unit's "+" commands run in a mount namespace of their own too, and its
  # device policy binds them: the drive is mounted by the service manager, never by them.
  if grep -Eq '^Exec[A-Za-z]*=[-+]*/usr/bin/(mount|umount) ' "$1"; then
    echo "mounts in its own namespace, where apply never sees the drive"
    return 1
  fi
  (cd "$folder" && systemd-analyze security --offline=true --threshold=20 "./$2" >/dev/null)
}

case $part in
units)
  unit_dir=$2 installed_tool=$3 built_tool=$4
  command -v systemd-analyze >/dev/null || { echo "systemd-analyze not found: skipped"; exit 77; }
  # unit file | unit checked
  for row in zezi-vidad-boot.service:zezi-vidad-boot.service \
             zezi-vidad-drive@.service:zezi-vidad-drive@sdb1.service; do
    file=${row%%:*} unit=${row#*:}
    sed "s|$installed_tool |$built_tool |g" "$unit_dir/$file" >"$scratch/$file.good"
    cp "$scratch/$file.good" "$scratch/$file"
    check_unit "$scratch/$file" "$unit" || fail "$unit: refused (above)"
    expect_refused "$scratch/$file.good" "$scratch/$file" check_unit "$unit" <<'EOF'
a misspelt key|s/^ProtectHome=yes/ProtectHomes=yes/
a value systemd does not know|s/^Type=oneshot/Type=oneshoot/
a missing program|s|^ExecStart=[^ ]*|ExecStart=/nonexistent/zezi-vidad|
no sandbox|/^# The sandbox/,/^DevicePolicy=/d
no memory bound|/^MemoryMax=/d
no time bound|/^TimeoutStartSec=/d
EOF
    [ "$file" != zezi-vidad-drive@.service ] ||
      expect_refused "$scratch/$file.good" "$scratch/$file" check_unit "$unit" <<<'a mount of its own|s|/usr/bin/systemd-mount --collect|/usr/bin/mount|'
  done
  ;;
rule)
  rule=$2 unit_dir=$3
  check_rule() {
    local fragment wanted
    # What the rule must say: only drives labelled ZEZI-WIFI with FAT or exFAT, never on
    # removal, handed to systemd, kept from desktop automounting.
    for fragment in 'ACTION=="remove", GOTO="zezi_vidad_end"' \
                    'SUBSYSTEM!="block", GOTO="zezi_vidad_end"' \
                    'ENV{ID_FS_LABEL}!="ZEZI-WIFI", GOTO="zezi_vidad_end"' \
                    'ENV{ID_FS_TYPE}!="vfat|exfat", GOTO="zezi_vidad_end"' \
                    'ENV{UDISKS_IGNORE}="1"' 'TAG+="systemd"' \
                    'ENV{SYSTEMD_WANTS}+="zezi-vidad-drive@%k.service"' \
                    'LABEL="zezi_vidad_end"'; do
      grep -qF -- "$fragment" "$1" || { echo "missing: $fragment"; return 1; }
    done
    wanted=$(sed -n 's/.*SYSTEMD_WANTS}+="\([^"]*\)@%k\.service".*/\1@.service/p' "$1")
    [ -f "$unit_dir/$wanted" ] || { echo "starts $wanted, which is not built"; return 1; }
    # udevadm reads the rule among the machine's own, on a block device that is there.
    if [ "$(id -u)" = 0 ] && command -v udevadm >/dev/null && command -v unshare >/dev/null; then
      local device='' entry output
      for entry in /sys/class/block/*; do
        [ -e "$entry" ] && device=${entry##*/} && break
      done
      [ -n "$device" ] || return 0
      # shellcheck disable=SC2016 # expanded by the inner shell
      output=$(unshare --mount sh -c 'mkdir -p /run/udev/rules.d &&
        mount -t tmpfs tmpfs /run/udev/rules.d && cp "$1" /run/udev/rules.d/60-zezi-vidad.rules &&
        udevadm test --action=add "/sys/class/block/$2"' sh "$1" "$device" 2>&1) || true
      # What udevadm says of the file itself, not of a device: a line it refused.
      if grep -q '^/run/udev/rules.d/60-zezi-vidad.rules:[0-9]' <<<"$output"; then
        grep '^/run/udev/rules.d/60-zezi-vidad.rules:[0-9]' <<<"$output"
        return 1
      fi
      # udevadm that read no rules at all could not run here (a bare chroot): nothing learnt.
      if ! grep -q 'Reading rules file:' <<<"$output"; then
        echo "udevadm test cannot run here: the rule's syntax is not checked by udevadm"
        return 0
      fi
      udevadm_read_rules=yes
      grep -q 'Reading rules file: /run/udev/rules.d/60-zezi-vidad.rules' <<<"$output" ||
        { echo "udevadm did not read the rule"; return 1; }
    else
      echo "not root or udevadm missing: the rule's syntax is not checked by udevadm"
    fi
  }
  udevadm_read_rules=no
  cp "$rule" "$scratch/rule.good"
  check_rule "$scratch/rule.good" || fail "the rule: refused (above)"
  faults='another label|s/ZEZI-WIFI/ZEZI-WLAN/
any file system|s/ENV{ID_FS_TYPE}!="vfat|exfat", GOTO="zezi_vidad_end"//
a unit that does not exist|s/zezi-vidad-drive@/zezi-vidad-usb@/'
  if [ "$udevadm_read_rules" = yes ]; then
    faults+=$'\na word that is no key|s/\\.service"$/.service" BROKEN/'
  fi
  expect_refused "$scratch/rule.good" "$scratch/60-zezi-vidad.rules" check_rule <<<"$faults"
  ;;
settings)
  conf=$2 unit_dir=$3 device_tool=$4
  help=$("$device_tool" apply --help)
  # apply's options (the device command's contract) that a settings file may hold; the
  # units give --source themselves, and --config names this file.
  keys=" private trust trust-list state policy now stack config-dir config-file reload dry-run revoked "
  check_settings() {
    local line key value
    while IFS= read -r line; do
      case $line in '' | '#' | '# '*) continue ;; esac
      # A setting, or one commented out for the operator to turn on.
      [[ $line =~ ^#?([a-z-]+)\ =\ (.+)$ ]] || { echo "not a setting: $line"; return 1; }
      key=${BASH_REMATCH[1]} value=${BASH_REMATCH[2]}
      [[ $keys == *" $key "* ]] || { echo "not an option of apply: $key"; return 1; }
      case $key:$value in
        stack:\"networkmanager\" | stack:\"wpa-supplicant\" | stack:\"iwd\") ;;
        policy:\"required\" | policy:\"transition\") ;;
        revoked:\"keep\" | revoked:\"withdraw\") ;;
        stack:* | policy:* | revoked:*) echo "$key cannot be $value"; return 1 ;;
        private:\"handle:0x*\") ;;
        now:true | reload:true | dry-run:true | *:\"/*\" | trust:\[*\]) ;;
        *) echo "$key: not a path, true or a list: $value"; return 1 ;;
      esac
      # The help names the files as installed, under /etc/zezi-vidad and /var/lib/zezi-vidad,
      # whatever folder this build configured.
      if [[ $line != '#'* && $value == \"/*/zezi-vidad/*\" ]]; then
        value=${value%\"}
        [[ $help == *"zezi-vidad/${value##*/zezi-vidad/}"* ]] ||
          { echo "apply --help does not name $value"; return 1; }
      fi
    done <"$1"
    grep -qx 'state = "/var/lib/zezi-vidad/replay.state"' "$1" ||
      { echo "the state is not in the units' state folder"; return 1; }
  }
  cp "$conf" "$scratch/device.conf.good"
  check_settings "$scratch/device.conf.good" || fail "device.conf: refused (above)"
  expect_refused "$scratch/device.conf.good" "$scratch/device.conf" check_settings <<'EOF'
a key that is no option|s/^trust-list =/trust_list =/
a stack apply does not know|s/^stack = .*/stack = "nm"/
a revocation apply does not know|s/^#revoked = .*/revoked = "forget"/
a relative path|s|^private = "/|private = "|
the state elsewhere|s|/var/lib/zezi-vidad/replay.state|/tmp/replay.state|
a trust list apply --help does not name|s|/device.trust"|/trust.list"|
EOF
  # The units' own options to apply are the contract's too.
  for unit in "$unit_dir"/*.service; do
    while read -r option; do
      [[ " config source reload " == *" ${option#--} "* ]] || fail "$unit passes $option"
    done < <(grep -h '^ExecStart=.* apply ' "$unit" | grep -o -- ' --[a-z-]*')
  done
  ;;
dropins)
  unit_dir=$2 installed_tool=$3 built_tool=$4
  command -v systemd-analyze >/dev/null || { echo "systemd-analyze not found: skipped"; exit 77; }
  manager=/lib/systemd/systemd
  [ -x "$manager" ] || { echo "$manager not found: skipped"; exit 77; }
  units=$scratch/units
  mkdir -p "$units"
  for file in zezi-vidad-boot.service zezi-vidad-drive@.service; do
    sed "s|$installed_tool |$built_tool |g" "$unit_dir/$file" >"$units/$file"
  done
  # Debian's per-interface supplicants without their own order before network.target, so
  # that the drop-in's is checked; or stand-ins where they are not installed.
  for template in wpa_supplicant@.service wpa_supplicant-nl80211@.service; do
    if [ -f "/lib/systemd/system/$template" ]; then
      sed '/^Before=network.target/d' "/lib/systemd/system/$template" >"$units/$template"
    else
      printf '[Service]\nExecStart=/bin/true\n' >"$units/$template"
    fi
    mkdir -p "$units/$template.d"
    ln -s ../order.conf "$units/$template.d/zezi-vidad.conf"
  done
  cp "$unit_dir/wpa-supplicant-order.conf" "$units/order.conf"
  cp "$unit_dir/tpm.conf" "$units/tpm.conf"
  {
    echo '[Unit]'
    echo 'Wants=zezi-vidad-boot.service zezi-vidad-drive@sdb1.service'
    echo 'Wants=wpa_supplicant@wlan0.service wpa_supplicant-nl80211@wlan0.service'
  } >"$units/check.target"
  chmod -R a+rX "$scratch"
  # The units as the service manager loads them; it computes this only as a user not root.
  dump() {
    local as=()
    [ "$(id -u)" != 0 ] || as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    (cd / && SYSTEMD_UNIT_PATH=$units "${as[@]}" "$manager" --test --system --unit=check.target \
      --no-pager 2>/dev/null)
  }
  # The lines of unit $2 in the dump $1, without their indent and origin.
  unit_of() {
    awk -v u="-> Unit $2:" '/-> Unit / {on = index($0, u) > 0} on' <<<"$1" |
      sed 's/^[[:space:]]*//; s/ ([a-z, -]*)$//'
  }
  # Unit $2 of the dump $1 holds each line $3...
  holds() {
    local lines line
    lines=$(unit_of "$1" "$2")
    for line in "${@:3}"; do
      grep -qxF -- "$line" <<<"$lines" || { echo "$2: no '$line'"; return 1; }
    done
  }
  # tpm.conf made a drop-in of both units, as the operator links it.
  link_tpm() {
    local unit
    for unit in zezi-vidad-boot.service zezi-vidad-drive@.service; do
      mkdir -p "$units/$unit.d"
      ln -sf ../tpm.conf "$units/$unit.d/tpm.conf"
    done
  }
  check_dropins() {
    local output bare dump unit
    rm -rf "$units"/zezi-vidad-*.service.d
    bare=$(dump)
    link_tpm
    output=$(cd "$units" && systemd-analyze verify --man=no ./zezi-vidad-boot.service \
      ./zezi-vidad-drive@sdb1.service ./wpa_supplicant@wlan0.service \
      ./wpa_supplicant-nl80211@wlan0.service 2>&1) || { echo "$output"; return 1; }
    [ -z "$output" ] || { echo "$output"; return 1; }
    dump=$(dump)
    [ -n "$dump" ] || { echo "systemd --test printed nothing"; return 1; }
    for unit in wpa_supplicant@wlan0.service wpa_supplicant-nl80211@wlan0.service; do
      holds "$dump" "$unit" "After: zezi-vidad-boot.service" "Before: network.target" || return 1
    done
    holds "$dump" zezi-vidad-drive@sdb1.service "After: network.target" || return 1
    for unit in zezi-vidad-boot.service zezi-vidad-drive@sdb1.service; do
      holds "$dump" "$unit" "StateDirectory: iwd" "StateDirectoryMode: 0700" \
        "PrivateDevices: yes" "DevicePolicy: closed" "DeviceAllow: /dev/tpmrm0 rw" \
        "BindPaths: /dev/tpmrm0:/dev/tpmrm0:rbind" "SupplementaryGroups: tss" || return 1
      # No other device: the clock's, read-only, comes with ProtectClock=.
      if unit_of "$dump" "$unit" | grep '^DeviceAllow:' |
        grep -qvx -e 'DeviceAllow: /dev/tpmrm0 rw' -e 'DeviceAllow: char-rtc r'; then
        echo "$unit: another device allowed"
        return 1
      fi
      if unit_of "$bare" "$unit" | grep -q tpmrm0; then
        echo "$unit: the TPM is reachable without tpm.conf"
        return 1
      fi
    done
  }
  check_dropins || fail "the drop-ins: refused (above)"
  # Each fault in the file where a later change or an operator could make it.
  cp "$units/order.conf" "$scratch/order.conf.good"
  expect_refused "$scratch/order.conf.good" "$units/order.conf" check_dropins <<'EOF'
no order after the boot unit|/^After=zezi-vidad-boot.service/d
not before network.target|/^Before=network.target/d
EOF
  cp "$units/tpm.conf" "$scratch/tpm.conf.good"
  expect_refused "$scratch/tpm.conf.good" "$units/tpm.conf" check_dropins <<'EOF'
another device|s|^DeviceAllow=/dev/tpmrm0 rw|DeviceAllow=/dev/tpm0 rw|
no node in the private /dev|/^BindPaths=/d
the machine's /dev|s/^\[Service\]/[Service]\nPrivateDevices=no/
every device|s/^\[Service\]/[Service]\nDeviceAllow=char-* rw/
not of the node's group, which root without capabilities needs|/^SupplementaryGroups=/d
EOF
  cp "$units/zezi-vidad-boot.service" "$scratch/boot.good"
  expect_refused "$scratch/boot.good" "$units/zezi-vidad-boot.service" check_dropins \
    <<<"iwd's folder not made|s/^StateDirectory=zezi-vidad iwd/StateDirectory=zezi-vidad/"
  ;;
conf-page)
  conf=$2 page=$3
  command -v man >/dev/null || { echo "man not installed: skipped"; exit 77; }
  # Page $1 against the settings file $2.
  check_conf_page() {
    local warnings line key
    warnings=$(MANWIDTH=100 man --warnings -l -P cat "$1" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$warnings"; return 1; }
    grep -qx '\.SH NAME' "$1" || { echo "no NAME section"; return 1; }
    grep -q '^device\.conf \\- ' "$1" || { echo "no NAME line"; return 1; }
    # The page's lines as they were written, escapes undone.
    local text
    text=$(sed -e 's/\\-/-/g' -e 's/\\e/\\/g' -e 's/^\\&//' "$1")
    while IFS= read -r line; do
      [ -n "$line" ] || continue
      if [[ $line =~ ^#?([a-z-]+)\ = ]]; then
        key=${BASH_REMATCH[1]}
        grep -Eq "^\.B (.*, )?$key(,|\$)" <<<"$text" || { echo "no entry for $key"; return 1; }
        grep -Fqx -- "$line" <<<"$text" || { echo "no example line: $line"; return 1; }
      else
        line=${line#\#}
        line=${line# }
        [ -z "$line" ] || grep -Fqx -- "$line" <<<"$text" || { echo "lost: $line"; return 1; }
      fi
    done <"$2"
  }
  cp "$page" "$scratch/page.good"
  check_conf_page "$scratch/page.good" "$conf" || fail "device.conf(5): refused (above)"
  expect_refused "$scratch/page.good" "$scratch/page" check_conf_page "$conf" <<'EOF'
no NAME section|s/^\.SH NAME/.SH NAMES/
a setting without its entry|s/^\.B revoked$/.B/
a line of a comment lost|/only signed envelopes/d
an example line lost|/^#now = true/d
a request troff does not know|s/^\.IP$/.IPX/
EOF
  ;;
import-page)
  page=$2 command=$3 version=$4
  [ -f "$page" ] || { echo "no man page (help2man not installed): skipped"; exit 77; }
  command -v man >/dev/null || { echo "man not installed: skipped"; exit 77; }
  [ "$("$command" --version)" = "zezi-vidad-tpm-import (ZeZi Vidad) $version" ] ||
    fail "--version does not print the build's version"
  options=$("$command" --help | awk '/^Options:$/ {inside = 1; next} inside && !NF {exit}
                                     inside {print $1}')
  [ -n "$options" ] || fail "no option list in --help"
  # Page $1: renders, is named, has an entry for each option.
  check_import_page() {
    local warnings option
    warnings=$(MANWIDTH=100 man --warnings -l -P cat "$1" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$warnings"; return 1; }
    grep -q '^zezi-vidad-tpm-import \\- ' "$1" || { echo "no NAME"; return 1; }
    for option in $options; do
      grep -q "^\\\\fB${option//-/\\\\-}\\\\fR" "$1" || { echo "no entry for $option"; return 1; }
    done
  }
  cp "$page" "$scratch/page.good"
  check_import_page "$scratch/page.good" || fail "zezi-vidad-tpm-import(8): refused (above)"
  expect_refused "$scratch/page.good" "$scratch/page" check_import_page <<'EOF'
no NAME line|/^zezi-vidad-tpm-import \\- /d
an option without its entry|/^\\fB\\-\\-handle/d
EOF
  ;;
*)
  echo "unknown part: $part"
  exit 2
  ;;
esac

[ "$failures" -eq 0 ] || exit 1
echo "PASS: $part"
