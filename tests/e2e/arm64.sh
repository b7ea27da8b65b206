#!/bin/bash
# The package's ARM64 build (arm64\crvnpnp.exe of the windows-x86 package)
# in its private mode, on Debian's Wine for arm64 under QEMU's user-mode
# emulator (the machinery: tools/wine/emulation-arm64.sh), checked as
# scenario_pnp_update_child checks the x64 build: Wine's relay trace shows one
# UpdateDriverForPlugAndPlayDevicesW call with the hardware id (blanks and
# all), the INF and the flags whole, the exit code is Wine's answer (no
# printer is plugged in: the simulated printer's tool is an x64 program,
# which Wine for arm64 cannot run), and no debugger output. Where the
# emulator cannot be registered one line says why it skipped. Settings:
# X86_BUILD_DIR, WINE_WORK. Ends with "N passed, N failed".
set -u
E2E_DIR=$(cd "$(dirname "$0")" && pwd)
. "$E2E_DIR/../../tools/wine/lib.sh"
. "$E2E_DIR/helpers.sh"
. "$E2E_DIR/../../tools/wine/emulation-arm64.sh"

SUITE="ARM64 run"
RUN_LIMIT=120
arm64_enter "$0" "$@"
start=$(now_ms)
SCEN_DIR="$WINE_WORK/e2e-arm64/pnp_update_child"
rm -rf "$SCEN_DIR"
arm64_prefix "$SCEN_DIR"
id='usbprint\corvane ld-2040 plus762a' inf="$INSTALL_WIN\\crvnv6.inf" relay=$SCEN_DIR/relay.txt
timeout 60 "$WINE_ARM64" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d 'newdev.*' /f >/dev/null 2>&1 ||
    fail "cannot set RelayInclude"
t0=$(now_ms)
WINEDEBUG=-all,+relay,+debugstr timeout -k 10 $RUN_LIMIT "$WINE_ARM64" "$INSTALL_WIN\\arm64\\crvnpnp.exe" \
    /UpdateDriverForPlugAndPlayDevices "$id" "$inf" 1 >"$SCEN_DIR/stdout.txt" 2>"$relay"
rc=$?
secs=$(( ($(now_ms) - t0) / 1000 ))
"$WINESERVER" -k 2>/dev/null
[ $rc -ne 124 ] || fail "no end within $RUN_LIMIT s"
expect_one_update_call "$relay" "$id" "$inf" $rc
debug=$(grep -F ':debugstr:' "$relay" | head -1)
[ -z "$debug" ] || fail "debugger output: $debug"
note "arm64\\crvnpnp.exe: Wine's answer ${RET:-none}, exit code $rc"
passed=0 failed=0 failed_names=()
report_scenario pnp_update_child "$secs" 16
echo "$SUITE: $(( ($(now_ms) - start) / 1000 )) s in all"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
