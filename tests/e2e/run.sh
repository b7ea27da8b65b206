#!/bin/bash
# The end-to-end suite: the windows-x64 build's installer and uninstaller run
# under wine64 (with Xvfb for the windows), each scenario on a fresh copy of a
# clean Wine prefix with the package laid out in "C:\Program Files\Corvane".
#
#   tests/e2e/run.sh [SCENARIO...]        (default: all, see scenarios.sh)
#   tests/e2e/run.sh --wow64 [SCENARIO...]
#
# With --wow64 the shipped 32-bit build (X86_BUILD_DIR, default
# build/windows-x86) runs the same scenarios instead, under Wine's WOW64 in a
# 64-bit prefix, with the 64-bit tools of BUILD_DIR beside it (and its own
# 32-bit build of the tools that stand for the program: the scan, the planted
# DLLs); where its expectations differ, build_expectations in scenarios.sh
# holds them. That needs a machine that can execute 32-bit code and Wine's
# 32-bit part (wine32:i386); without them the suite is skipped with the
# reason.
#
# A program that crashes, however the scenario started it, fails the
# scenario with the exception as its first line: every prefix has dbgview.exe
# as its postmortem debugger (see tools/wine/lib.sh).
#
# Settings: BUILD_DIR (default build/windows-x64), WINE_WORK (build/wine).
# Prints one line per scenario with its time and, for a failure, the reasons;
# logs, traces and screenshots stay in $WINE_WORK/e2e/SCENARIO. Ends with
# "N passed, N failed"; exit code 1 when a scenario failed. When Wine cannot
# run at all the suite is skipped with the reason, and the exit code is 0.
set -u
E2E_DIR=$(cd "$(dirname "$0")" && pwd)
. "$E2E_DIR/../../tools/wine/lib.sh"
. "$E2E_DIR/helpers.sh"
. "$E2E_DIR/scenarios.sh"

E2E_WORK="$WINE_WORK/e2e"
SUITE="End-to-end suite"
WOW64=0
if [ "${1:-}" = --wow64 ]; then
    WOW64=1
    shift
fi
selected=("$@")

skip_suite() {
    echo "$SUITE SKIPPED: $1"
    echo "0 passed, 0 failed ($SUITE skipped)"
    exit 0
}

suite_start=$(now_ms)
if [ $WOW64 -eq 1 ]; then
    SUITE="WOW64 suite"
    X86_BUILD_DIR="${X86_BUILD_DIR:-$REPO/build/windows-x86}"
    reason=$(wow64_usable "$X86_BUILD_DIR") || skip_suite "$reason"
    PACKAGE_DIR="$X86_BUILD_DIR/package"
    PROGRAM_TOOLS_DIR="$X86_BUILD_DIR/tools"
    CLEAN_PREFIX="$WINE_WORK/clean-prefix-wow64"
    E2E_WORK="$WINE_WORK/e2e-wow64"
    build_expectations 32
else
    PROGRAM_TOOLS_DIR="$TOOLS_DIR"
    build_expectations 64
fi
[ ${#selected[@]} -gt 0 ] || read -r -a selected <<<"$(echo $SCENARIOS)"
find_wine
if ! reason=$(wine_usable); then
    skip_suite "$reason"
fi
if [ $WOW64 -eq 1 ] && [ ! -f "$CLEAN_PREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    skip_suite "wineboot made a prefix without its 32-bit part"
fi
if ! start_xvfb; then
    # Wine runs, so the suite runs: the scenarios with a window will fail.
    echo "WARNING: no X display (Xvfb): the windows cannot be shown"
fi
trap stop_xvfb EXIT
echo "$SUITE: $PACKAGE_DIR/setup.exe ($(program_kind "$PACKAGE_DIR/setup.exe")) under $("$WINE64" --version) on DISPLAY ${DISPLAY:-none}; logs in $E2E_WORK"

passed=0
failed=0
failed_names=()
for name in "${selected[@]}"; do
    if ! declare -F "scenario_$name" >/dev/null; then
        echo "unknown scenario: $name (known: $(echo $SCENARIOS))"
        failed=$((failed + 1))
        failed_names+=("$name")
        continue
    fi
    SCEN_DIR="$E2E_WORK/$name"
    rm -rf "$SCEN_DIR"
    mkdir -p "$SCEN_DIR"
    t0=$(now_ms)
    (
        new_prefix "$SCEN_DIR"
        install_package
        "scenario_$name"
        stop_prefix
        touch "$SCEN_DIR/completed"
    ) >"$SCEN_DIR/output.log" 2>&1
    if [ ! -f "$SCEN_DIR/completed" ]; then
        WINEPREFIX="$SCEN_DIR/prefix" stop_prefix
        fail "the scenario stopped before its end: $(tail -1 "$SCEN_DIR/output.log")"
    fi
    WINEPREFIX="$SCEN_DIR/prefix" crashes_first
    ms=$(( $(now_ms) - t0 ))
    secs=$(printf '%d.%d' $((ms / 1000)) $((ms % 1000 / 100)))
    report_scenario "$name" "$secs"
    # The prefix is large; the logs and screenshots are what is worth keeping.
    rm -rf "$SCEN_DIR/prefix"
done
total=$(( $(now_ms) - suite_start ))
echo "$SUITE: $((total / 1000)) s in all"
[ $failed -eq 0 ] || echo "Failed: ${failed_names[*]}"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
