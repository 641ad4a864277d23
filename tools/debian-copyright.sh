#!/bin/sh
# Writes a machine-readable Debian copyright file from LICENSE: its licence's short name,
# and the notice of its appendix as the licence paragraph, pointing to the full text Debian
# keeps in /usr/share/common-licenses. Fails on a licence it does not know.
#
# usage: tools/debian-copyright.sh LICENSE "YEARS HOLDER" > debian/copyright
set -eu
license=$1
copyright=$2

# The first two lines of text name the licence and its version.
title=$(awk 'NF {sub(/^ +/, ""); print; if (++n == 2) exit}' "$license" | tr '\n' ' ')
case $title in
  "Apache License Version 2.0, January 2004 ") name=Apache-2.0 long="Apache License, Version 2.0" ;;
  *) echo "debian-copyright.sh: LICENSE is not a licence this script knows" >&2; exit 1 ;;
esac
# The notice to attach to a work: from "Licensed under" to the end of the file.
notice=$(awk '/^ *Licensed under/ {inside = 1} inside {sub(/^ +/, ""); print}' "$license")
[ -n "$notice" ] || { echo "debian-copyright.sh: LICENSE has no notice to attach" >&2; exit 1; }

cat <<END
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ZeZi Vidad

Files: *
Copyright: $copyright
License: $name

License: $name
END
printf '%s\n' "$notice" | sed -e 's/^$/./' -e 's/^/ /'
cat <<END
 .
 On Debian systems, the complete text of the $long can be found in
 "/usr/share/common-licenses/$name".
END
