#!/bin/bash
# The differential check of the simulated Windows: runs the probe
# (tests/differential/probe.cpp) against the simulation (the host build's
# simwin_probe) and under Wine, and compares the two outputs line by line
# with the known differences. Twice: the windows-x64 build's simprobe.exe
# under wine64 with known-differences.txt, and the windows-x86 build's under
# WOW64 against `simwin_probe --wow64` (the simulation's 32-bit program on
# x64) with known-differences-wow64.txt besides. The 32-bit probe runs on
# Wine's own WOW64 where the machine executes 32-bit code, else under QEMU's
# emulator (emulated-probe.sh; CORVANE_FORCE_EMULATION=1 anywhere); one line
# says which. A difference that is not listed fails, and so does a listed
# one that no longer differs. Ends with "N passed, N failed".
#
#   tests/differential/run.sh        (after the three builds; BUILD_ROOT as run-tests.sh)
set -u
cd "$(dirname "$0")/../.."
REPO=$(pwd)
BUILD_ROOT=${BUILD_ROOT:-$REPO/build}
export BUILD_DIR="$BUILD_ROOT/windows-x64"
export X86_BUILD_DIR="$BUILD_ROOT/windows-x86"
export WINE_WORK="${WINE_WORK:-$BUILD_ROOT/wine}"
. tools/wine/lib.sh

host_probe="$BUILD_ROOT/host/simwin_probe"
wine_probe="$BUILD_DIR/tools/simprobe.exe"
wine_probe32="$X86_BUILD_DIR/tools/simprobe.exe"
for f in "$host_probe" "$wine_probe" "$wine_probe32"; do
    [ -f "$f" ] || { echo "no $f: build the three presets first"; echo "0 passed, 1 failed"; exit 1; }
done
find_wine || { echo "no wine64"; echo "0 passed, 1 failed"; exit 1; }

out="$WINE_WORK/differential"
mkdir -p "$out"
rm -f "$out/wine32.txt"
"$host_probe" >"$out/host.txt" 2>"$out/host.err" || { echo "the host probe failed:"; cat "$out/host.err"; }
"$host_probe" --wow64 >"$out/host32.txt" 2>"$out/host32.err" || { echo "the host probe failed:"; cat "$out/host32.err"; }
ensure_clean_prefix || { echo "no clean Wine prefix"; echo "0 passed, 1 failed"; exit 1; }
new_prefix "$out"
cp "$wine_probe" "$WINEPREFIX/drive_c/simprobe.exe"
timeout 60 "$WINE64" 'C:\simprobe.exe' 2>"$out/wine.err" | tr -d '\r' >"$out/wine.txt"
stop_prefix

# The 32-bit probe.
if reason=$(tools/wine/can-run-32bit.sh) && [ "${CORVANE_FORCE_EMULATION:-0}" != 1 ]; then
    echo "32-bit probe: on Wine's WOW64 (this machine executes 32-bit code)"
    if tools/wine/ensure-wine32.sh; then
        new_prefix "$out/wow64"
        cp "$wine_probe32" "$WINEPREFIX/drive_c/simprobe32.exe"
        timeout 60 "$WINE64" 'C:\simprobe32.exe' 2>"$out/wine32.err" | tr -d '\r' >"$out/wine32.txt"
        stop_prefix
    else
        echo "32-bit probe: wine32:i386 could not be installed"
    fi
else
    echo "32-bit probe: on Wine's WOW64 under QEMU's emulator (${reason:-forced by CORVANE_FORCE_EMULATION=1})"
    PROBE_OUT="$out/wine32.txt" tests/differential/emulated-probe.sh >"$out/emulated.log" 2>&1
    grep -E '^(Emulated|FAIL|[0-9]+ passed)' "$out/emulated.log" | sed 's/^/  /'
    # Where the emulator cannot be registered (not root, no binfmt_misc), the
    # emulated suite says why it skipped, and so does this one.
    skip32=$(sed -n 's/^Emulated 32-bit probe SKIPPED: //p' "$out/emulated.log")
fi
# compare HOST WINE KNOWN LABEL: one probe's lines against the list; its
# "N passed, N failed" line is added to the totals.
total_passed=0
total_failed=0
compare() {
    local lines line
    lines=$(python3 - "$@" <<'PY'
import os, sys

def answers(path):
    rows = {}
    for line in open(path, encoding="utf-8", errors="replace") if os.path.exists(path) else []:
        name, sep, answer = line.rstrip("\n").partition(": ")
        if not sep or name in rows:
            rows["(unreadable line)"] = line.rstrip("\n")
        else:
            rows[name] = answer
    return rows

host, wine, label = answers(sys.argv[1]), answers(sys.argv[2]), sys.argv[4]
known = {}
for line in (line for path in sys.argv[3].split(":") for line in open(path, encoding="utf-8")):
    if line.strip() and not line.startswith("#"):
        name, h, w, source = [part.strip() for part in line.split(" | ", 3)]
        known[name] = (h, w, source)
passed = failed = agreed = 0
for name in list(host) + [n for n in wine if n not in host]:
    h, w = host.get(name, "(no line)"), wine.get(name, "(no line)")
    if h == w:
        agreed += 1
        if name in known:
            failed += 1
            print(f"FAIL {label} {name}: listed as a known difference, but both now answer {h!r}")
        else:
            passed += 1
    elif known.get(name, (None, None))[:2] == (h, w):
        passed += 1
        print(f"known {label} {name}: host {h!r}, wine {w!r} ({known[name][2]})")
    else:
        failed += 1
        print(f"FAIL {label} {name}: host {h!r}, wine {w!r}" + (f"; the list has host {known[name][0]!r}, wine {known[name][1]!r}" if name in known else ", not a known difference"))
for name in known:
    if name not in host and name not in wine:
        failed += 1
        print(f"FAIL {label} {name}: listed as a known difference, but the probe has no such line")
print(f"{label} probe: {len(host)} lines, {agreed} agree, {len(host) - agreed} differ")
print(f"{passed} passed, {failed} failed")
PY
)
    printf '%s\n' "$lines"
    line=$(printf '%s\n' "$lines" | tail -1)
    total_passed=$((total_passed + $(printf '%s' "$line" | sed -E 's/^([0-9]+) passed.*/\1/')))
    total_failed=$((total_failed + $(printf '%s' "$line" | sed -E 's/^[0-9]+ passed, ([0-9]+) failed.*/\1/')))
}
compare "$out/host.txt" "$out/wine.txt" tests/differential/known-differences.txt 64-bit
if [ -n "${skip32:-}" ]; then
    echo "32-bit probe SKIPPED: $skip32"
else
    compare "$out/host32.txt" "$out/wine32.txt" \
        tests/differential/known-differences.txt:tests/differential/known-differences-wow64.txt 32-bit
fi
echo "$total_passed passed, $total_failed failed"
