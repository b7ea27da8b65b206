# Shared functions for running the installer under Wine. Sourced by the
# scripts beside it, by main-job.sh and by the end-to-end suite.
#
# Settings (environment, with defaults):
#   REPO        the source tree
#   BUILD_DIR   the windows-x64 build (tools/ and package/ inside)
#   WINE_WORK   where prefixes, logs and screenshots go
#
# Conventions: one Wine prefix per run, copied from a clean prefix that is
# made once per Wine version; each prefix has its own wineserver, ended by
# stop_prefix. Windows programs write UTF-8 lines ending in a line feed.

: "${REPO:=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}"
: "${BUILD_DIR:=$REPO/build/windows-x64}"
: "${WINE_WORK:=$REPO/build/wine}"
TOOLS_DIR="$BUILD_DIR/tools"
PACKAGE_DIR="$BUILD_DIR/package"
CLEAN_PREFIX="$WINE_WORK/clean-prefix"

# Where the package goes inside a prefix, and its Windows name.
INSTALL_WIN='C:\Program Files\Corvane'
INSTALL_UNIX_REL='drive_c/Program Files/Corvane'

# Every prefix has dbgview.exe as its postmortem debugger (AeDebug): a program
# that crashes, however it was started, gets its exception logged in one line
# in CRASH_LOG (as does a program run under dbgview.exe --crash-log), instead
# of Wine's own debugger's dump or dialog.
POSTMORTEM_WIN='C:\tools\dbgview.exe'
POSTMORTEM_REL='drive_c/tools/dbgview.exe'
CRASH_LOG_WIN='C:\crashes.log'
CRASH_LOG_REL='drive_c/crashes.log'

export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko download prompts: the installer needs neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

find_wine() {
    WINE64=""
    WINESERVER=""
    local c
    for c in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)"; do
        if [ -n "$c" ] && [ -x "$c" ]; then WINE64=$c; break; fi
    done
    for c in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver "$(command -v wineserver 2>/dev/null)"; do
        if [ -n "$c" ] && [ -x "$c" ]; then WINESERVER=$c; break; fi
    done
    [ -n "$WINE64" ] && [ -n "$WINESERVER" ]
}

log() { printf '%s\n' "$*" >&2; }

now_ms() { date +%s%3N; }

# wine64 with the current WINEPREFIX; the arguments as for wine.
winrun() { "$WINE64" "$@"; }

# Ends the wineserver of the current prefix and everything running in it.
stop_prefix() {
    [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ] || return 0
    "$WINESERVER" -k >/dev/null 2>&1 || true
    "$WINESERVER" -w >/dev/null 2>&1 || true
}

# Makes the clean prefix once per Wine version (about 10 s), then reuses it.
ensure_clean_prefix() {
    local version view
    # The marker names what the prefix was made with, so that an older
    # recipe's prefix is made again.
    version="$("$WINE64" --version 2>/dev/null) with a postmortem debugger"
    if [ -f "$CLEAN_PREFIX/.made-by" ] && [ "$(cat "$CLEAN_PREFIX/.made-by")" = "$version" ]; then
        return 0
    fi
    log "Making a clean Wine prefix ($version) in $CLEAN_PREFIX"
    rm -rf "$CLEAN_PREFIX"
    mkdir -p "$WINE_WORK"
    (
        export WINEPREFIX="$CLEAN_PREFIX"
        unset DISPLAY
        "$WINE64" wineboot -i >/dev/null 2>&1
        # Without a window manager Wine draws the title bars itself only when
        # its windows are not managed.
        "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        # In both registry views: a 32-bit program reads the 32-bit one.
        for view in 64 32; do
            "$WINE64" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger \
                /d "$POSTMORTEM_WIN --crash-log $CRASH_LOG_WIN --attach %ld %ld" /f /reg:$view >/dev/null 2>&1
            "$WINE64" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 1 /f \
                /reg:$view >/dev/null 2>&1
        done
        "$WINESERVER" -w
    ) || return 1
    [ -f "$CLEAN_PREFIX/system.reg" ] || { log "wineboot made no prefix"; return 1; }
    printf '%s' "$version" >"$CLEAN_PREFIX/.made-by"
}

# new_prefix DIR: a fresh copy of the clean prefix in DIR/prefix, made the
# current WINEPREFIX.
new_prefix() {
    local dir=$1
    if [ -d "$dir/prefix" ]; then
        WINEPREFIX="$dir/prefix" stop_prefix
        rm -rf "$dir/prefix"
    fi
    mkdir -p "$dir"
    cp -a "$CLEAN_PREFIX" "$dir/prefix"
    rm -f "$dir/prefix/.made-by"
    mkdir -p "$(dirname "$dir/prefix/$POSTMORTEM_REL")"
    cp "$TOOLS_DIR/dbgview.exe" "$dir/prefix/$POSTMORTEM_REL"
    export WINEPREFIX="$dir/prefix"
}

# prefix_crashes [wine]: one line for each program that crashed in the
# current prefix so far ("the program crashed: exception 0xc0000005 at
# 0x00000000 in "C:\...\setup.exe" (pid 32)"); nothing when none did. Wine's
# own programs (those in C:\windows) are left out, or, with "wine", are the
# only ones listed ("Wine's own program crashed: ...").
prefix_crashes() {
    local log="$WINEPREFIX/$CRASH_LOG_REL" ours='^dbgview: unhandled exception .* in "C:\\windows\\'
    [ -f "$log" ] || return 0
    if [ "${1:-}" = wine ]; then
        grep -iE "$ours" "$log" | sed 's/^dbgview: unhandled exception /Wine'"'"'s own program crashed: exception /'
    else
        grep -viE "$ours" "$log" | sed -n 's/^dbgview: unhandled exception /the program crashed: exception /p'
    fi
}

# Copies the laid-out package into the prefix's install folder.
install_package() {
    local target="$WINEPREFIX/$INSTALL_UNIX_REL"
    mkdir -p "$target"
    cp -a "$PACKAGE_DIR/." "$target/"
}

# plug ARGS...: plugprinter.exe in the current prefix (see its usage).
plug() { winrun "$TOOLS_DIR/plugprinter.exe" "$@"; }

# Xvfb on a free display, unless DISPLAY already works. Start it before the
# first Wine program of a prefix: the prefix's desktop takes its display from
# that program, and without one every later window fails at once. Sets XVFB_PID when
# this shell started it; stop_xvfb ends only that one.
XVFB_PID=""
start_xvfb() {
    if [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1; then
        return 0
    fi
    local n
    for n in $(seq 99 140); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        XVFB_PID=$!
        export DISPLAY=":$n"
        local i
        # The display is ours only while our server runs: another run that
        # took the same number a moment earlier answers as well, and ours
        # then ends, unable to take the display's lock.
        for i in $(seq 1 50); do
            if xdotool getdisplaygeometry >/dev/null 2>&1; then
                sleep 0.3
                kill -0 "$XVFB_PID" 2>/dev/null && return 0
                break
            fi
            kill -0 "$XVFB_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
        XVFB_PID=""
    done
    log "cannot start Xvfb"
    return 1
}

stop_xvfb() {
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
        XVFB_PID=""
    fi
}

# wininfo ARGS...: reads or drives the program's windows (see wininfo.exe).
wininfo() { winrun "$TOOLS_DIR/wininfo.exe" "$@"; }

# screenshot OUT.png TITLE-REGEX: the X window of that title, title bar
# included; the whole screen when no such window is found.
screenshot() {
    local out=$1 title=$2 id
    id=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | tail -1)
    if [ -n "$id" ]; then
        import -window "$id" "$out" 2>/dev/null && return 0
    fi
    import -window root "$out" 2>/dev/null
}

# program_kind FILE.exe: "32-bit x86" or "64-bit x64", from its PE header.
program_kind() {
    local at machine
    at=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    machine=$(od -An -tx2 -j$((${at:-0} + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
    case $machine in
        014c) echo "32-bit x86" ;;
        8664) echo "64-bit x64" ;;
        *) echo "machine ${machine:-unknown}" ;;
    esac
}

# wow64_usable X86_BUILD_DIR: can the shipped 32-bit build run here under
# Wine's WOW64, beside the windows-x64 build's tools? Prints the reason when
# it cannot.
wow64_usable() {
    local reason f
    reason=$("$REPO/tools/wine/can-run-32bit.sh") || { echo "$reason"; return 1; }
    if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed'; then
        echo "Wine's 32-bit part (wine32:i386) is not installed"
        return 1
    fi
    for f in package/setup.exe tools/scanlist.exe tools/dllprobe.exe tools/planted.dll; do
        [ -f "$1/$f" ] || { echo "the windows-x86 build in $1 has no $f"; return 1; }
    done
}

# Can this machine run the windows-x64 build's programs under Wine at all?
# Prints the reason when it cannot.
wine_usable() {
    if ! find_wine; then
        echo "wine64 is not installed"
        return 1
    fi
    if [ ! -x "$TOOLS_DIR/dbgview.exe" ] && [ ! -f "$TOOLS_DIR/dbgview.exe" ]; then
        echo "the windows-x64 build has no tools ($TOOLS_DIR)"
        return 1
    fi
    if ! ensure_clean_prefix >/dev/null 2>&1; then
        echo "wineboot cannot make a prefix"
        return 1
    fi
    # A trial run in a copy, so that the clean prefix stays untouched; one of
    # this shell's own, since suites may run side by side.
    local out rc=0 check
    check="$WINE_WORK/check-$(basename "$CLEAN_PREFIX")-$$"
    out=$(new_prefix "$check" && "$WINE64" "$TOOLS_DIR/dbgview.exe" 2>&1 </dev/null; stop_prefix)
    if ! printf '%s' "$out" | grep -q usage; then
        echo "wine64 cannot run a 64-bit Windows program here: $(printf '%s' "$out" | head -3)"
        rc=1
    fi
    rm -rf "$check"
    return $rc
}

# screenshot_dialog OUT.png WHICH: the first visible dialog of that kind (see
# wininfo.exe), found by its title whatever the language.
screenshot_dialog() {
    local out=$1 which=$2 title
    title=$(wininfo list "$which" 2>/dev/null | sed -n 's/^dialog .* title "\(.*\)"\r\{0,1\}$/\1/p' | head -1)
    if [ -z "$title" ]; then
        import -window root "$out" 2>/dev/null
        return
    fi
    # xdotool takes a regular expression: escape what could be special.
    screenshot "$out" "^$(printf '%s' "$title" | sed 's/[][\.*^$()+?{}|]/\\&/g')\$"
}
