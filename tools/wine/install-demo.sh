#!/bin/bash
# install-demo.sh: the installer under Wine on a simulated USB printer.
#
#   tools/wine/install-demo.sh [--wow64] [--window] [--description TEXT] [--port N]
#                              [--lang de] [--screenshot FILE] [--keep]
#
# Makes a fresh Wine prefix, lays the package out in "C:\Program Files\Corvane",
# plugs in a printer (default: "CorvaneLD-2040" on port number 1), shows what
# the installer's scan finds, then runs "setup.exe /silence" under the
# debug-output viewer and prints its trace and the print queues. With
# --window the install window runs instead (on Xvfb) and a screenshot is saved
# once the installation has ended (default build/wine/install-window.png,
# and ...-searching.png of the window before the printer is plugged in).
#
# The program is the windows-x64 build's (BUILD_DIR); with --wow64 it is the
# shipped 32-bit one (X86_BUILD_DIR, default build/windows-x86) under Wine's
# WOW64, which needs a machine that executes 32-bit code and wine32:i386.
# A program that crashes is reported in one line, and the exit code is then 1.
set -u
. "$(dirname "$0")/lib.sh"

WINDOW=0
DESCRIPTION="CorvaneLD-2040"
PORT=1
LANGUAGE=""
SHOT=""
KEEP=0
WOW64=0
while [ $# -gt 0 ]; do
    case $1 in
        --window) WINDOW=1 ;;
        --description) DESCRIPTION=$2; shift ;;
        --port) PORT=$2; shift ;;
        --lang) LANGUAGE=$2; shift ;;
        --screenshot) SHOT=$2; shift ;;
        --keep) KEEP=1 ;;
        --wow64) WOW64=1 ;;
        *) echo "usage: $0 [--wow64] [--window] [--description TEXT] [--port N] [--lang de] [--screenshot FILE] [--keep]" >&2
           exit 2 ;;
    esac
    shift
done
[ -n "$SHOT" ] || SHOT="$WINE_WORK/install-window.png"

find_wine || { echo "wine64 is not installed" >&2; exit 1; }
PROGRAM_TOOLS_DIR=$TOOLS_DIR
if [ $WOW64 -eq 1 ]; then
    X86_BUILD_DIR="${X86_BUILD_DIR:-$REPO/build/windows-x86}"
    reason=$(wow64_usable "$X86_BUILD_DIR") || { echo "the 32-bit program cannot run here: $reason" >&2; exit 1; }
    PACKAGE_DIR="$X86_BUILD_DIR/package"
    PROGRAM_TOOLS_DIR="$X86_BUILD_DIR/tools"
    CLEAN_PREFIX="$WINE_WORK/clean-prefix-wow64"
fi
[ -f "$PACKAGE_DIR/setup.exe" ] || { echo "no package in $PACKAGE_DIR: build its preset first" >&2; exit 1; }
[ -f "$TOOLS_DIR/dbgview.exe" ] || { echo "no tools in $TOOLS_DIR: build the windows-x64 preset first" >&2; exit 1; }
ensure_clean_prefix || exit 1
if [ $WOW64 -eq 1 ] && [ ! -f "$CLEAN_PREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    echo "wineboot made a prefix without its 32-bit part" >&2
    exit 1
fi

RUN="$WINE_WORK/runs/install-demo"
new_prefix "$RUN"
cleanup() {
    stop_prefix
    stop_xvfb
    [ $KEEP -eq 1 ] || rm -rf "$RUN"
}
trap cleanup EXIT

# The prefix's desktop takes its display from the first Wine program that
# runs in it: with no display then, every window of the prefix fails later.
if [ $WINDOW -eq 1 ]; then
    start_xvfb || exit 1
fi
install_package
echo "== Package in $INSTALL_WIN: setup.exe is $(program_kind "$PACKAGE_DIR/setup.exe")"
ls -R "$WINEPREFIX/$INSTALL_UNIX_REL" | sed 's/^/   /'
echo

lang_env=()
[ "$LANGUAGE" = de ] && lang_env=(env LC_ALL=de_DE.UTF-8)

plug_and_scan() {
    echo "== Plugging in a simulated USB printer"
    plug --description "$DESCRIPTION" --port "$PORT" || exit 1
    echo
    echo "== What the installer's scan finds (scanlist.exe: the program's own discovery and catalogue)"
    winrun "$PROGRAM_TOOLS_DIR/scanlist.exe"
    echo
}

# ended RC TIME: how the program ended; a crash is named by its exception
# (the prefix's postmortem debugger, or dbgview, logged it), not by the exit
# code it makes.
crashes=""
ended() {
    crashes=$(prefix_crashes)
    if [ -n "$crashes" ]; then
        printf '== setup.exe crashed after %s: %s\n' "$2" "$(printf '%s' "$crashes" | sed 's/^the program crashed: //')"
    else
        echo "== setup.exe ended with exit code $1 after $2"
    fi
}

if [ $WINDOW -eq 0 ]; then
    plug_and_scan
    echo "== Trace of \"$INSTALL_WIN\\setup.exe\" /silence (dbgview.exe)"
    t0=$(now_ms)
    "${lang_env[@]}" "$WINE64" "$TOOLS_DIR/dbgview.exe" --timeout 180000 --crash-log "$CRASH_LOG_WIN" \
        "$INSTALL_WIN\\setup.exe" /silence | tee "$RUN/trace.txt"
    rc=${PIPESTATUS[0]}
    ended "$rc" "$(( $(now_ms) - t0 )) ms"
else
    # As a user would: the installer first, then the printer is connected.
    echo "== The install window (DISPLAY $DISPLAY), started before the printer is plugged in; trace at the end"
    t0=$(now_ms)
    "${lang_env[@]}" "$WINE64" "$TOOLS_DIR/dbgview.exe" --timeout 300000 --crash-log "$CRASH_LOG_WIN" \
        "$INSTALL_WIN\\setup.exe" >"$RUN/trace.txt" &
    viewer=$!
    mkdir -p "$(dirname "$SHOT")"
    if wininfo wait install 30000 && wininfo waitvisible install 3 20000; then
        sleep 1
        screenshot_dialog "${SHOT%.png}-searching.png" install && echo "== Screenshot: ${SHOT%.png}-searching.png"
        searching_text=$(wininfo list install | grep -E '^  control 2 class ' | sed 's/.* text "\(.*\)"$/\1/')
        plug_and_scan
        # Button 2 changes its text ("Done") when the installation has ended
        # well (maybe before the wait begins); a failed one keeps it, and the
        # wait runs out, unless the failure is the one Wine's spooler gives
        # the 32-bit program, which the window shows (in every language).
        for _ in $(seq 1 60); do
            wininfo waitchange install 2 1000 "$searching_text" 2>/dev/null && break
            [ $WOW64 -eq 1 ] && wininfo waittext install 1006 1797 1000 2>/dev/null && break
        done
        sleep 1
        screenshot_dialog "$SHOT" install && echo "== Screenshot: $SHOT"
        echo "== The window's controls"
        wininfo list install
        wininfo close install
    else
        echo "== No install window appeared"
    fi
    wait $viewer
    rc=$?
    ended "$rc" "$(( ($(now_ms) - t0) / 1000 )) s"
    echo "== Its trace:"
    cat "$RUN/trace.txt"
fi
echo
echo "== Print queues and drivers (listqueues.exe)"
winrun "$TOOLS_DIR/listqueues.exe" | tee "$RUN/queues.txt"
# What the queue's absence means, in one line, where the trace says why.
refused=$(grep -o 'AddPrinter failed, errcode:[0-9]*' "$RUN/trace.txt" | head -1 | sed 's/.*://')
if [ -n "$refused" ] && ! grep -q '^queue "' "$RUN/queues.txt"; then
    if [ $WOW64 -eq 1 ] && [ "$refused" = 1797 ]; then
        echo "== No print queue: Wine's in-process spooler refused AddPrinterW with 1797 for the 32-bit program (it looks for the driver in \"Windows NT x86\"); Windows' spooler service would create the queue"
    else
        echo "== No print queue: AddPrinterW failed with error $refused"
    fi
fi
[ -z "$crashes" ]
