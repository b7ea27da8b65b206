#!/bin/bash
# The shipped 32-bit setup.exe where the machine cannot execute 32-bit code,
# under QEMU's user-mode emulator (the machinery: tools/wine/emulation.sh). No
# debugger events arrive from an emulated program, so this smoke run reads
# /log files: /stage (Wine's E_NOTIMPL) and /silence with a catalogued
# printer, side by side, and /quiet with a tampered DLL (scenarios.sh); a
# crash fails a run with its exception code.
# Elsewhere one line says why it skipped. Settings: X86_BUILD_DIR, BUILD_DIR
# (for the 64-bit tools), WINE_WORK. Ends with "N passed, N failed".
set -u
E2E_DIR=$(cd "$(dirname "$0")" && pwd)
WINE_DIR="$E2E_DIR/../../tools/wine"
. "$WINE_DIR/lib.sh"
. "$E2E_DIR/helpers.sh"
. "$E2E_DIR/scenarios.sh"
. "$WINE_DIR/emulation.sh"

SUITE="Emulated run"
EMULATED_RUNS="stage silence tampered"
build_expectations 32

# no_crash WHAT NAME: fails when the program of run_batch NAME ended with an
# exception: Wine says so on stderr whatever WINEDEBUG is, and the exit code
# is the exception's.
no_crash() {
    local what=$1 out=$SCEN_DIR/$2.txt message code=""
    message=$(tr -d '\r' <"$out" | grep -a -m1 -E '^wine: (Unhandled|Unimplemented|Assertion|Critical)' |
        sed 's/, starting debugger\.\.\.$//')
    [ -n "$BATCH_CODE" ] && code=$(printf '0x%08X' $((BATCH_CODE & 0xffffffff)))
    if [ -n "$message" ] || [ $((${BATCH_CODE:-0} & 0xf0000000)) -eq $((0xc0000000)) ]; then
        fail "$what crashed with exception ${code:-(no exit code)}: ${message:-no message from Wine}"
        return 1
    fi
    [ -n "$BATCH_CODE" ] || { fail "$what: cmd printed no exit code: $(tail -1 "$out")"; return 1; }
}

run_stage() {
    plug --description "CorvaneLD-2040" --port 1 >/dev/null || fail "plugprinter failed"
    run_batch stage "\"$INSTALL_WIN\\setup.exe\" /stage /log C:\\stage.log"
    no_crash "setup.exe /stage" stage || return
    expect_eq "$BATCH_CODE" -2147467263 "exit code of setup.exe /stage (0x80004001, Wine's E_NOTIMPL)"
    expect_eq "$BATCH_RC" 1 "exit status the shell sees (the low byte of 0x80004001)"
    local texts=$SCEN_DIR/log-texts.txt
    log_texts "$WINEPREFIX/drive_c/stage.log" "$texts" || return
    is_staging_line "$(sed -n 1p "$texts")" || fail "the log of /stage does not begin with the staging: $(head -1 "$texts")"
    expect_eq "$(sed 1d "$texts" | bare_errors)" "$UPLOAD_LINE" "the log of /stage"
}

run_silence() {
    plug --description "CorvaneLD-2040" --port 1 >/dev/null || fail "plugprinter failed"
    run_batch silence "\"$INSTALL_WIN\\setup.exe\" /silence /log C:\\silence.log"
    no_crash "setup.exe /silence" silence || return
    expect_eq "$BATCH_CODE" 0 "exit code of setup.exe /silence"
    local texts=$SCEN_DIR/log-texts.txt
    log_texts "$WINEPREFIX/drive_c/silence.log" "$texts" || return
    # The trace's lines, without the system's words the log adds to errors.
    bare_errors <"$texts" >"$texts.bare"
    expect_fallback_trace "$texts.bare"
    list_queues lister64
    expect_machine_driver "$SCEN_DIR/lister64.txt" "Corvane LD-2040"
}

run_tampered() { scenario_tampered_package; }

emulation_main "$@"
