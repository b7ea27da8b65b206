#!/bin/bash
# The 32-bit differential probe (the windows-x86 build's simprobe.exe) under
# Wine's WOW64 where the machine cannot execute 32-bit code: every 32-bit
# process runs under QEMU's user-mode emulator, with the machinery of the
# emulated end-to-end run (tools/wine/emulation.sh). Writes the probe's lines
# to PROBE_OUT for tests/differential/run.sh, which compares them. Settings:
# PROBE_OUT, X86_BUILD_DIR, BUILD_DIR (for the 64-bit tools), WINE_WORK. Ends
# with "N passed, N failed" (one run: the probe printed its lines).
set -u
DIFF_DIR=$(cd "$(dirname "$0")" && pwd)
WINE_DIR="$DIFF_DIR/../../tools/wine"
. "$WINE_DIR/lib.sh"
. "$DIFF_DIR/../e2e/helpers.sh"
. "$WINE_DIR/emulation.sh"

SUITE="Emulated 32-bit probe"
EMULATED_RUNS="probe"
: "${PROBE_OUT:?}"

run_probe() {
    cp "$X86_BUILD_DIR/tools/simprobe.exe" "$WINEPREFIX/drive_c/simprobe32.exe" || { fail "no 32-bit probe"; return; }
    timeout 150 "$WINE64" 'C:\simprobe32.exe' 2>"$SCEN_DIR/probe.err" | tr -d '\r' >"$SCEN_DIR/wine32.txt"
    [ -s "$SCEN_DIR/wine32.txt" ] || { fail "the probe printed nothing: $(tail -1 "$SCEN_DIR/probe.err")"; return; }
    cp "$SCEN_DIR/wine32.txt" "$PROBE_OUT"
}

emulation_main "$@"
