#!/bin/bash
# screenshots.sh OUTDIR: the README's pictures of both windows, taken by the
# end-to-end scenarios that show them, copied to OUTDIR under fixed names:
#   install-searching.png, install-done.png (English),
#   install-searching-de.png, install-done-de.png (German),
#   uninstall-before.png, uninstall-message.png, uninstall-after.png
set -u
OUT=${1:?usage: $0 OUTDIR}
. "$(dirname "$0")/lib.sh"
"$REPO/tests/e2e/run.sh" window_install german uninstall || true
E2E="$WINE_WORK/e2e"
mkdir -p "$OUT"
copy() { [ -f "$E2E/$1" ] && cp "$E2E/$1" "$OUT/$2" && echo "$OUT/$2"; }
copy window_install/english-searching.png install-searching.png
copy window_install/english-done.png install-done.png
copy german/german-searching.png install-searching-de.png
copy german/german-done.png install-done-de.png
copy uninstall/uninstall-before.png uninstall-before.png
copy uninstall/uninstall-message.png uninstall-message.png
copy uninstall/uninstall-after.png uninstall-after.png
