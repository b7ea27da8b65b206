#!/bin/bash
# The main job: on a Debian 12 machine (as root) installs what the build
# needs (Zig for the ARM64 build too: tools/ensure-zig.sh, which says in one
# line when it builds Zig's runtime, the first time on a machine), builds the
# product for 32-bit and 64-bit Windows with its package (the 32-bit one
# carrying the x64 and ARM64 builds),
# and runs the installer under Wine on a simulated "Corvane" USB printer:
# silently under the debug-output viewer, printing the trace and the print
# queues the machine then has.
#
#   ./main-job.sh [--window] [--lang de] [--description TEXT] [--port N]
#
# --window runs the install window instead of the silent install and saves a
# screenshot (build/wine/install-window.png). The program that runs is the
# one that ships, the 32-bit setup.exe, under Wine's WOW64, where the machine
# can execute 32-bit code (wine32:i386 is installed for it); elsewhere the
# 64-bit build of the same sources runs under wine64. The job says which, and
# why, in one line. Under WOW64 Wine's in-process spooler refuses the 32-bit
# program's queue (AddPrinterW fails with 1797) where Windows' spooler service
# would create it: the job says so rather than show a queue.
set -u
cd "$(dirname "$0")"
start=$(date +%s)
# The builds go to build/<preset> (BUILD_ROOT moves them elsewhere).
BUILD_ROOT=${BUILD_ROOT:-build}
mkdir -p "$BUILD_ROOT"
export WINE_WORK="${WINE_WORK:-$(cd "$BUILD_ROOT" && pwd)/wine}"

demo_args=()
while [ $# -gt 0 ]; do
    case $1 in
        --window) demo_args+=(--window) ;;
        --lang|--description|--port|--screenshot) demo_args+=("$1" "$2"); shift ;;
        *) echo "usage: $0 [--window] [--lang de] [--description TEXT] [--port N] [--screenshot FILE]" >&2; exit 2 ;;
    esac
    shift
done

step() { printf '\n######## %s\n' "$*"; }

step "Packages"
tools/wine/ensure-packages.sh cmake ninja-build g++ g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
    wine wine64 xvfb xauth xdotool imagemagick python3 || exit 1
# The ARM64 build's compiler, Zig 0.11.0, from the npm registry into the
# machine's cache (tools/ensure-zig.sh: the first time it also builds Zig's
# runtime for ARM64 Windows, and says so).
tools/ensure-zig.sh >/dev/null || exit 1
# Wine's 32-bit part, where this machine can execute 32-bit code.
if why_not_32bit=$(tools/wine/can-run-32bit.sh); then
    tools/wine/ensure-wine32.sh || why_not_32bit="Wine's 32-bit part (wine32:i386) could not be installed"
fi

for preset in windows-x86 windows-x64; do
    step "Building $preset"
    if [ ! -f "$BUILD_ROOT/$preset/build.ninja" ]; then
        cmake --preset "$preset" -B "$BUILD_ROOT/$preset" >/dev/null || exit 1
    fi
    cmake --build "$BUILD_ROOT/$preset" -j 2 || exit 1
done

step "Package and programs"
for preset in windows-x86 windows-x64; do
    zip=$(ls "$BUILD_ROOT/$preset"/corvane-setup-*.zip 2>/dev/null | head -1)
    printf '%-12s setup.exe %8d bytes   package zip %s (%d bytes)\n' "$preset" \
        "$(stat -c %s "$BUILD_ROOT/$preset/setup.exe")" "${zip:-none}" "$( [ -n "$zip" ] && stat -c %s "$zip" || echo 0)"
done
tools/package/say-package-kind.sh "$BUILD_ROOT/windows-x86/package"

step "Installing under Wine"
if [ -z "$why_not_32bit" ]; then
    echo "Program: the shipped 32-bit setup.exe under Wine's WOW64 (this machine executes 32-bit code)"
    demo_args+=(--wow64)
else
    echo "Program: the 64-bit build of the same sources under wine64, not the shipped 32-bit one ($why_not_32bit)"
fi
BUILD_DIR="$(cd "$BUILD_ROOT/windows-x64" && pwd)" X86_BUILD_DIR="$(cd "$BUILD_ROOT/windows-x86" && pwd)" \
    tools/wine/install-demo.sh "${demo_args[@]}"
rc=$?
step "Main job finished in $(( $(date +%s) - start )) s"
exit $rc
