#!/bin/sh
# The fault sweep's figures: runs the sweep's tests of the host build once,
# one after another, and prints for each swept run its recorded calls,
# failure points, replays and wall time; whether its clean run was checked
# and how its replays ended; the error table's APIs that no replay fails,
# with the reason; then the totals and the wall time of the whole sweep. (ctest runs the same tests side by side, one per run.)
#
#   tools/sweep-figures.sh            (after cmake --preset host && cmake --build --preset host)
set -eu
cd "$(dirname "$0")/.."

tests=build/host/host_tests
if [ ! -x "$tests" ]; then
    echo "no $tests: build the host preset first (cmake --preset host && cmake --build --preset host)" >&2
    exit 1
fi

start=$(date +%s.%N)
status=0
out=$("$tests" --gtest_filter='FaultSweep.*' 2>&1) || status=$?
end=$(date +%s.%N)

echo "$out" | sed -n 's/^\[ SWEEP    \] /  /p'
echo "Clean runs checked (each ended, reached its outcome and gave its failure points), and where the replays ended:"
echo "$out" | sed -n 's/^\[ OUTCOMES \] /  /p'
echo "The error table's APIs that no replay fails, and why:"
echo "$out" | sed -n 's/^\[ NEVER    \] /  /p'
echo "$out" | awk '
    /^\[ SWEEP/ {
        runs++
        for (i = 1; i <= NF; i++) {
            if ($(i + 1) == "failure" && $(i + 2) == "points") points += $i
            if ($(i + 1) == "replays") replays += $i
            if ($(i + 1) == "ended" && $(i + 2) == "at") limited += substr($i, 2)
            if ($(i + 1) == "calls" && $(i + 2) == "of") calls += $i
            if ($(i + 1) == "s" && i == NF - 1) seconds += $i
        }
    }
    END {
        printf "runs: %d, calls recorded: %d, failure points: %d, replays: %d (%d ended at the time limit), %.1f s in the runs\n",
            runs, calls, points, replays, limited, seconds
    }'
echo "$out" | grep -E '^\[  (PASSED|FAILED)  \]' || true
awk -v s="$start" -v e="$end" -v cores="$(nproc)" -v load="$(cut -d' ' -f1-3 /proc/loadavg)" \
    'BEGIN { printf "wall time: %.1f s (one after another; %s cores, load average %s)\n", e - s, cores, load }'
exit "$status"
