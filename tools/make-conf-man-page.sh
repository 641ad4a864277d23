#!/bin/sh
# Writes device.conf(5) from the installed settings file itself, whose comments are its
# documentation: the first block of comments is the DESCRIPTION; each later block is a
# setting, named by the keys of the lines after its comments, which are shown as its
# example.
#
# usage: tools/make-conf-man-page.sh SETTINGS OUTPUT VERSION INSTALLED_PATH DOC_DIR
set -eu
settings=$1
output=$2
version=$3
installed=$4
docs=$5

awk -v version="$version" -v path="$installed" -v docs="$docs" '
  # Backslashes and leading dots or quotes made literal, as troff reads them.
  function literal(line) {
    gsub(/\\/, "\\e", line)
    gsub(/-/, "\\-", line)
    if (line ~ /^[.'\'']/) line = "\\&" line
    return line
  }
  function flush() {
    if (text == "" && example == "") return
    if (!described) {
      printf ".SH DESCRIPTION\n%s", text
      described = 1
      printf ".SH SETTINGS\n"
    } else {
      printf ".TP\n.B %s\n%s", literal(key), text
      if (example != "") printf ".IP\n.nf\n%s.fi\n", example
    }
    text = ""; example = ""; key = ""
  }
  BEGIN {
    printf ".TH DEVICE.CONF 5 \"\" \"zezi-vidad %s\" \"File Formats\"\n", version
    printf ".SH NAME\ndevice.conf \\- the device'\''s settings for zezi-vidad-device apply and status\n"
    printf ".SH SYNOPSIS\n.B %s\n", path
  }
  !NF { flush(); next }
  # A comment, unless it is a setting turned off: "#key = value".
  /^#/ && !/^#[a-z-]+ = / {
    line = $0; sub(/^# ?/, "", line)
    text = text literal(line) "\n"
    next
  }
  {
    name = $0; sub(/^#/, "", name); sub(/ .*/, "", name)
    if (index(", " key ", ", ", " name ", ") == 0) key = key (key == "" ? "" : ", ") name
    example = example literal($0) "\n"
  }
  END {
    flush()
    printf ".SH SEE ALSO\n.BR zezi\\-vidad\\-device (1),\n.BR zezi\\-vidad\\-tpm\\-import (8),\n"
    printf "%s/device.md\n", docs
  }
' "$settings" >"$output"
