#!/bin/bash
# Every test: on a Debian 12 machine (as root) installs what the builds need,
# builds the three presets, and runs, side by side, the host tests (the
# product against the simulated Windows, under AddressSanitizer and
# UndefinedBehaviorSanitizer) and the suites under Wine, which spend most of
# their time waiting: the end-to-end suite (tests/e2e/run.sh), the 64-bit
# build under wine64, and, where the machine can execute 32-bit code, the
# shipped 32-bit build under Wine's WOW64 (installing wine32:i386 for it);
# where it cannot, a smoke run of that build under QEMU's emulator
# (tests/e2e/emulated.sh; CORVANE_FORCE_EMULATION=1 runs it anywhere); the
# package's ARM64 build on Wine for arm64 under QEMU's emulator
# (tests/e2e/arm64.sh); and the simulation held against Wine
# (tests/differential/run.sh). The package check also builds a signed
# release from a maker-like driver package (tests/release_check.sh).
#
#   ./run-tests.sh [--host-only]
#
# The last line is "N passed, N failed" over both parts; the exit code is 1
# when anything failed (a build that fails counts as one failure).
set -u
cd "$(dirname "$0")"
start=$(date +%s)
BUILD_ROOT=${BUILD_ROOT:-build}
mkdir -p "$BUILD_ROOT"
BUILD_ROOT=$(cd "$BUILD_ROOT" && pwd)
export WINE_WORK="${WINE_WORK:-$BUILD_ROOT/wine}"
HOST_ONLY=0
[ "${1:-}" = --host-only ] && HOST_ONLY=1

step() { printf '\n######## %s\n' "$*"; }

step "Packages"
tools/wine/ensure-packages.sh cmake ninja-build g++ libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
    wine wine64 xvfb xauth xdotool imagemagick python3 openssl osslsigncode || exit 1
# The ARM64 build's compiler, Zig 0.11.0, from the npm registry into the
# machine's cache (tools/ensure-zig.sh: the first time it also builds Zig's
# runtime for ARM64 Windows, and says so).
tools/ensure-zig.sh >/dev/null || exit 1

passed=0
failed=0
build_failures=()

# count_summary LOG: adds the last "N passed, N failed" line of LOG to the
# totals and keeps it in SUMMARY; false when LOG has none.
count_summary() {
    SUMMARY=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$1" | tail -1)
    [ -n "$SUMMARY" ] || return 1
    passed=$((passed + $(printf '%s' "$SUMMARY" | sed -E 's/^([0-9]+) passed.*/\1/')))
    failed=$((failed + $(printf '%s' "$SUMMARY" | sed -E 's/^[0-9]+ passed, ([0-9]+) failed.*/\1/')))
}

build() {
    local preset=$1
    step "Building $preset"
    if [ ! -f "$BUILD_ROOT/$preset/build.ninja" ]; then
        cmake --preset "$preset" -B "$BUILD_ROOT/$preset" >/dev/null || return 1
    fi
    cmake --build "$BUILD_ROOT/$preset" -j 2
}

# --- the builds -------------------------------------------------------------
host_summary="not run"
host_built=0
if build host; then
    host_built=1
else
    failed=$((failed + 1))
    build_failures+=(host)
    host_summary="the host build failed"
fi

# The host tests, under the sanitizers; they run while the Wine suites wait
# for their programs and windows.
run_host_tests() {
    [ $host_built -eq 1 ] || return 0
    step "Host tests"
    log="$BUILD_ROOT/host-tests.log"
    ctest --test-dir "$BUILD_ROOT/host" -L host -j 2 --output-on-failure 2>&1 | tee "$log"
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    if [ -n "$line" ]; then
        total=$(printf '%s' "$line" | sed -E 's/.* out of ([0-9]+).*/\1/')
        bad=$(printf '%s' "$line" | sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/')
        passed=$((passed + total - bad))
        failed=$((failed + bad))
        host_summary="$((total - bad)) passed, $bad failed"
    else
        failed=$((failed + 1))
        host_summary="ctest gave no summary"
    fi
}

# --- the Windows builds and the end-to-end suite ----------------------------
e2e_summary="not run"
wow64_summary="not run"
emulated_summary="not run"
arm64_summary="not run"
differential_summary="not run"
package_summary="not run"
if [ $HOST_ONLY -eq 0 ]; then
    for preset in windows-x86 windows-x64; do
        if ! build "$preset"; then
            failed=$((failed + 1))
            build_failures+=("$preset")
        fi
    done
    tools/package/say-package-kind.sh "$BUILD_ROOT/windows-x86/package"
    # The Wine suites spend most of their time waiting for programs and
    # windows, each in prefixes and on a display of its own: they run side
    # by side, and their output follows, one after the other.
    step "End-to-end suites (Wine), side by side"
    e2e_log="$BUILD_ROOT/e2e-tests.log"
    wow64_log="$BUILD_ROOT/e2e-wow64-tests.log"
    emulated_log="$BUILD_ROOT/e2e-emulated.log"
    arm64_log="$BUILD_ROOT/e2e-arm64.log"
    rm -f "$e2e_log" "$wow64_log" "$emulated_log" "$arm64_log"
    # The shipped 32-bit program itself, under Wine's WOW64, where this
    # machine can execute 32-bit code; Wine's 32-bit part is installed before
    # any suite starts.
    wow64=0
    if reason=$(tools/wine/can-run-32bit.sh); then
        if tools/wine/ensure-wine32.sh; then
            wow64=1
        else
            failed=$((failed + 1))
            wow64_summary="wine32:i386 could not be installed"
        fi
    else
        echo "WOW64 part SKIPPED: $reason"
        wow64_summary="skipped: $reason"
    fi
    # The clean 64-bit prefix, which the 64-bit suite and the emulated run's
    # check of Wine share, is made once before they run side by side.
    BUILD_DIR="$BUILD_ROOT/windows-x64" bash -c '. tools/wine/lib.sh && find_wine && ensure_clean_prefix' \
        >/dev/null 2>&1 || true
    suite_pids=()
    # The package check, whose release build and failing rows mostly wait
    # for the toolchain, runs beside them too.
    package_log="$BUILD_ROOT/package-check.log"
    tests/package_check.sh "$BUILD_ROOT" >"$package_log" 2>&1 &
    suite_pids+=($!)
    if [ -f "$BUILD_ROOT/windows-x64/package/setup.exe" ]; then
        BUILD_DIR="$BUILD_ROOT/windows-x64" tests/e2e/run.sh >"$e2e_log" 2>&1 &
        suite_pids+=($!)
    else
        e2e_summary="no windows-x64 package to run"
    fi
    if [ $wow64 -eq 1 ]; then
        sleep 2  # the first suite takes its display first
        X86_BUILD_DIR="$BUILD_ROOT/windows-x86" BUILD_DIR="$BUILD_ROOT/windows-x64" \
            tests/e2e/run.sh --wow64 >"$wow64_log" 2>&1 &
        suite_pids+=($!)
    fi
    # The same program under QEMU's emulator where the machine cannot execute
    # 32-bit code (or CORVANE_FORCE_EMULATION=1); it says why when it skips.
    # Then the simulation held against Wine: the same probe against both, its
    # differences against the committed lists (tests/differential/). Its
    # 32-bit probe runs under the same emulator there, after the emulated
    # run, whose registration and prefix it takes up in turn.
    differential_log="$BUILD_ROOT/differential.log"
    {
        X86_BUILD_DIR="$BUILD_ROOT/windows-x86" BUILD_DIR="$BUILD_ROOT/windows-x64" \
            tests/e2e/emulated.sh >"$emulated_log" 2>&1
        BUILD_ROOT="$BUILD_ROOT" tests/differential/run.sh >"$differential_log" 2>&1
    } &
    suite_pids+=($!)
    # The package's arm64\crvnpnp.exe in its private mode, under emulation.
    X86_BUILD_DIR="$BUILD_ROOT/windows-x86" tests/e2e/arm64.sh >"$arm64_log" 2>&1 &
    suite_pids+=($!)
    run_host_tests
    wait "${suite_pids[@]}"

    # show_suite TITLE LOG: prints the log of a suite that ran and prints
    # its summary (a suite without one counts as a failure).
    show_suite() {
        [ -f "$2" ] || return 1
        step "$1"
        cat "$2"
        count_summary "$2" && return 0
        failed=$((failed + 1))
        SUMMARY="the suite gave no summary"
    }
    show_suite "Programs and packages" "$package_log" && package_summary=$SUMMARY
    show_suite "End-to-end suite (Wine): the 64-bit build" "$e2e_log" && e2e_summary=$SUMMARY
    # wine64 runs on every machine: a 64-bit suite that skipped is broken.
    if grep -q '^End-to-end suite SKIPPED' "$e2e_log" 2>/dev/null; then
        failed=$((failed + 1))
        e2e_summary="$e2e_summary: counted as a failure, since wine64 runs on every machine"
    fi
    show_suite "The 32-bit product under Wine's WOW64" "$wow64_log" && wow64_summary=$SUMMARY
    show_suite "The 32-bit product under emulation" "$emulated_log" && emulated_summary=$SUMMARY
    show_suite "The ARM64 build under emulation" "$arm64_log" && arm64_summary=$SUMMARY
    show_suite "The simulation against Wine (differential probe)" "$differential_log" &&
        differential_summary=$SUMMARY
fi

[ $HOST_ONLY -eq 0 ] || run_host_tests

step "Summary ($(( $(date +%s) - start )) s)"
echo "Host tests:      $host_summary"
echo "Packages:        $package_summary"
echo "End-to-end:      $e2e_summary"
echo "WOW64 (32-bit):  $wow64_summary"
echo "Emulated 32-bit: $emulated_summary"
echo "ARM64 build:     $arm64_summary"
echo "Simulation/Wine: $differential_summary"
[ ${#build_failures[@]} -eq 0 ] || echo "Failed builds:   ${build_failures[*]}"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
