#!/bin/bash
# scan-demo.sh: the installer's own USB printer scan under Wine.
#
#   tools/wine/scan-demo.sh [DESCRIPTION PORT]...
#
# Plugs the given printers (default: "CorvaneLD-2040" on port 1, "Corvane
# LD-2040 Plus" on port 12 and an unknown "Acme Label 9" on port 1234) into a
# fresh Wine prefix and prints what scanlist.exe finds: for each record the
# port name, description, serial number, vendor id, checksum, hardware id and
# the catalogue's match, newest record first.
set -u
. "$(dirname "$0")/lib.sh"
find_wine || { echo "wine64 is not installed" >&2; exit 1; }
[ -f "$TOOLS_DIR/scanlist.exe" ] || { echo "no $TOOLS_DIR/scanlist.exe: build the windows-x64 preset first" >&2; exit 1; }
ensure_clean_prefix || exit 1
RUN="$WINE_WORK/runs/scan-demo"
new_prefix "$RUN"
trap 'stop_prefix; rm -rf "$RUN"' EXIT

[ $# -gt 0 ] || set -- "CorvaneLD-2040" 1 "Corvane LD-2040 Plus" 12 "Acme Label 9" 1234
serial=1
while [ $# -ge 2 ]; do
    plug --description "$1" --port "$2" --serial "SN$serial" || exit 1
    serial=$((serial + 1))
    shift 2
done
echo
echo "== scanlist.exe"
winrun "$TOOLS_DIR/scanlist.exe"
