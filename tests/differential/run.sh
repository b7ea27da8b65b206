#!/bin/bash
# The differential check of the simulated Windows: runs the probe
# (tests/differential/probe.cpp) against the simulation (the host build's
# simwin_probe) and under wine64 (the windows-x64 build's simprobe.exe, in a
# fresh prefix), and compares the two outputs line by line with
# known-differences.txt. A difference that is not listed fails, and so does a
# listed one that no longer differs. Ends with "N passed, N failed" (one
# check per probe line, one per stale entry).
#
#   tests/differential/run.sh        (after both builds; BUILD_ROOT as run-tests.sh)
set -u
cd "$(dirname "$0")/../.."
REPO=$(pwd)
BUILD_ROOT=${BUILD_ROOT:-$REPO/build}
export BUILD_DIR="$BUILD_ROOT/windows-x64"
export WINE_WORK="${WINE_WORK:-$BUILD_ROOT/wine}"
. tools/wine/lib.sh

host_probe="$BUILD_ROOT/host/simwin_probe"
wine_probe="$BUILD_DIR/tools/simprobe.exe"
for f in "$host_probe" "$wine_probe"; do
    [ -x "$f" ] || [ -f "$f" ] || { echo "no $f: build the host and windows-x64 presets first"; echo "0 passed, 1 failed"; exit 1; }
done
find_wine || { echo "no wine64"; echo "0 passed, 1 failed"; exit 1; }
# Only the 64-bit probe runs here: a 32-bit one under WOW64 needs a machine
# that executes 32-bit code.
if ! reason=$(tools/wine/can-run-32bit.sh 2>&1); then
    echo "32-bit probe under WOW64 SKIPPED: $reason"
fi

out="$WINE_WORK/differential"
mkdir -p "$out"
"$host_probe" >"$out/host.txt" 2>"$out/host.err" || { echo "the host probe failed:"; cat "$out/host.err"; }
ensure_clean_prefix || { echo "no clean Wine prefix"; echo "0 passed, 1 failed"; exit 1; }
new_prefix "$out"
cp "$wine_probe" "$WINEPREFIX/drive_c/simprobe.exe"
timeout 60 "$WINE64" 'C:\simprobe.exe' 2>"$out/wine.err" | tr -d '\r' >"$out/wine.txt"
stop_prefix

python3 - "$out/host.txt" "$out/wine.txt" tests/differential/known-differences.txt <<'PY'
import sys

def answers(path):
    rows = {}
    for line in open(path, encoding="utf-8", errors="replace"):
        name, sep, answer = line.rstrip("\n").partition(": ")
        if not sep or name in rows:
            rows["(unreadable line)"] = line.rstrip("\n")
        else:
            rows[name] = answer
    return rows

host, wine = answers(sys.argv[1]), answers(sys.argv[2])
known = {}
for line in open(sys.argv[3], encoding="utf-8"):
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
            print(f"FAIL {name}: listed as a known difference, but both now answer {h!r}")
        else:
            passed += 1
    elif known.get(name, (None, None))[:2] == (h, w):
        passed += 1
        print(f"known {name}: host {h!r}, wine {w!r} ({known[name][2]})")
    else:
        failed += 1
        print(f"FAIL {name}: host {h!r}, wine {w!r}" + (f"; the list has host {known[name][0]!r}, wine {known[name][1]!r}" if name in known else ", not a known difference"))
for name in known:
    if name not in host and name not in wine:
        failed += 1
        print(f"FAIL {name}: listed as a known difference, but the probe has no such line")
print(f"{len(host)} probe lines, {agreed} agree, {len(host) - agreed} differ")
print(f"{passed} passed, {failed} failed")
PY
