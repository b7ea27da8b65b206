# Helpers of the end-to-end suite, sourced by run.sh after tools/wine/lib.sh.
#
# A scenario is a shell function scenario_NAME that runs in a subshell with:
#   SCEN_DIR   its own folder for logs and screenshots (left for reading)
#   WINEPREFIX a fresh copy of the clean prefix, the package already laid out
#              in C:\Program Files\Corvane (INSTALL_WIN)
# It reports each unmet expectation with `fail` (or the expect_* helpers) and
# passes when none was reported.

fail() {
    printf '      %s\n' "$*" >>"$SCEN_DIR/failures"
}

note() {
    printf '      %s\n' "$*" >>"$SCEN_DIR/notes"
}

# expect_in FILE TEXT [WHAT]: FILE holds TEXT (fixed string) on some line.
expect_in() {
    grep -qF -- "$2" "$1" 2>/dev/null || fail "${3:-$(basename "$1")} lacks: $2"
}

# expect_not_in FILE TEXT [WHAT]
expect_not_in() {
    if grep -qF -- "$2" "$1" 2>/dev/null; then
        fail "${3:-$(basename "$1")} should not have: $(grep -F -- "$2" "$1" | head -1)"
    fi
}

# expect_eq ACTUAL EXPECTED WHAT
expect_eq() {
    [ "$1" = "$2" ] || fail "$3: got '$1', expected '$2'"
}

# crashed: true when a program of the prefix has crashed (see
# crashes_first): its exit code is then the exception's, not an answer.
crashed() {
    [ -n "$(prefix_crashes)" ]
}

# expect_exit_code ACTUAL EXPECTED WHAT: a program's exit code; nothing is
# compared after a crash, which is the scenario's first failure.
expect_exit_code() {
    crashed || expect_eq "$@"
}

# crashes_first: puts a line for each program's crash in the prefix (logged
# by its postmortem debugger, or by dbgview) before the scenario's other
# failures; a crash of one of Wine's own programs is a note. run.sh calls it
# after every scenario.
crashes_first() {
    local lines wine
    [ -s "$WINEPREFIX/$CRASH_LOG_REL" ] || return 0
    cp "$WINEPREFIX/$CRASH_LOG_REL" "$SCEN_DIR/crashes.log"
    wine=$(prefix_crashes wine)
    [ -z "$wine" ] || printf '%s\n' "$wine" | while IFS= read -r line; do note "$line"; done
    lines=$(prefix_crashes)
    [ -n "$lines" ] || return 0
    { printf '%s\n' "$lines" | sed 's/^/      /'; cat "$SCEN_DIR/failures" 2>/dev/null; } >"$SCEN_DIR/failures.new"
    mv "$SCEN_DIR/failures.new" "$SCEN_DIR/failures"
}

# outcome RC MS: "exit code RC after MS ms" for a note, or "crashed after MS ms".
outcome() {
    if crashed; then
        echo "crashed after $2 ms"
    else
        echo "exit code $1 after $2 ms"
    fi
}

# The line of control ID in a wininfo listing.
control_line() {
    grep -E "^  control $2 class " "$1" | head -1
}

# expect_control LISTING ID TEXT [WHAT]: control ID's line contains TEXT
# (for example 'visible 1', 'text "Cancel"').
expect_control() {
    local line
    line=$(control_line "$1" "$2")
    if [ -z "$line" ]; then
        fail "${4:-window} has no control $2"
    elif ! printf '%s' "$line" | grep -qF -- "$3"; then
        fail "${4:-window}: control $2 should have '$3': $line"
    fi
}

# silent_install [TIMEOUT_MS [OPTION...]]: setup.exe /silence (and the
# options) under dbgview; the trace in $SCEN_DIR/trace.txt, the exit code in
# SILENT_RC, the time in SILENT_MS.
silent_install() {
    local t0 timeout=${1:-180000}
    [ $# -gt 0 ] && shift
    t0=$(now_ms)
    winrun "$TOOLS_DIR/dbgview.exe" --timeout "$timeout" --crash-log "$CRASH_LOG_WIN" \
        "$INSTALL_WIN\\setup.exe" /silence "$@" >"$SCEN_DIR/trace.txt" 2>"$SCEN_DIR/dbgview.err"
    SILENT_RC=$?
    SILENT_MS=$(( $(now_ms) - t0 ))
    note "setup.exe /silence${*:+ $*}: $(outcome "$SILENT_RC" "$SILENT_MS")"
}

# bare_errors: the log's lines on stdin as the debugger output has them,
# without the system's words the log adds after an error number.
bare_errors() {
    sed -E 's/((code|error|Error|errcode):?[ ]?-?(0x[0-9A-Fa-f]+|[0-9]+)) \([^()]*\)/\1/g'
}

# log_texts LOG OUT: the texts of a /log file (copied to $SCEN_DIR) without
# their time stamps and process ids, one a line, each run's first and last lines apart in
# OUT's -frames file; a line without its stamp or its CR, or a file that is
# not UTF-8, is a failure.
log_texts() {
    local log=$1 out=$2 copy bad
    local line=$'^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} \\[[0-9]+\\] .*\r$'
    copy="$SCEN_DIR/$(basename "$log")"
    [ -f "$log" ] || { fail "no log file $(basename "$log")"; : >"$out"; return 1; }
    cp "$log" "$copy"
    iconv -f UTF-8 -t UTF-8 "$copy" >/dev/null 2>&1 || fail "$(basename "$log") is not UTF-8"
    bad=$(grep -avE "$line" "$copy" | head -1)
    [ -z "$bad" ] || fail "$(basename "$log") has a line without its time stamp or CRLF: $bad"
    sed -E $'s/^[0-9-]{10} [0-9:.]{12} \\[[0-9]+\\] //; s/\r$//' "$copy" >"$out.all"
    # Each run's first and last lines go to OUT's -frames file; OUT keeps
    # the rest.
    grep -E '^(Corvane setup [0-9.]+ \((32|64)-bit\) starts: |Ends with exit code -?[0-9]+ \(0x[0-9A-F]{8}\): )' \
        "$out.all" >"${out%.txt}-frames.txt"
    grep -vE '^(Corvane setup [0-9.]+ \((32|64)-bit\) starts: |Ends with exit code -?[0-9]+ \(0x[0-9A-F]{8}\): )' \
        "$out.all" >"$out"
    rm -f "$out.all"
}

# list_queues NAME: listqueues.exe into $SCEN_DIR/NAME.txt
list_queues() {
    winrun "$TOOLS_DIR/listqueues.exe" --ports >"$SCEN_DIR/$1.txt" 2>&1
}

# start_program OUT ARGS...: a program of the package, started in the
# background under dbgview (trace to $SCEN_DIR/OUT.txt); PROGRAM_PID is the
# viewer, whose exit code is the program's.
start_program() {
    local out=$1
    shift
    winrun "$TOOLS_DIR/dbgview.exe" --timeout 300000 --crash-log "$CRASH_LOG_WIN" "$@" \
        >"$SCEN_DIR/$out.txt" 2>"$SCEN_DIR/$out.err" &
    PROGRAM_PID=$!
}

# wait_program [SECONDS]: waits for the program started by start_program;
# PROGRAM_RC is its exit code (or "still running" after SECONDS).
wait_program() {
    local limit=${1:-20} i
    for i in $(seq 1 $((limit * 10))); do
        if ! kill -0 "$PROGRAM_PID" 2>/dev/null; then
            wait "$PROGRAM_PID"
            PROGRAM_RC=$?
            return 0
        fi
        sleep 0.1
    done
    PROGRAM_RC="still running"
    return 1
}

# snapshot WHICH NAME: wininfo's listing of the window into $SCEN_DIR/NAME.txt
snapshot() {
    wininfo list "$1" >"$SCEN_DIR/$2.txt" 2>&1
}

# until_listing WHICH NAME SECONDS TEXT: takes listings until one holds TEXT.
until_listing() {
    local which=$1 name=$2 limit=$3 text=$4 i
    for i in $(seq 1 $((limit * 2))); do
        snapshot "$which" "$name"
        grep -qF -- "$text" "$SCEN_DIR/$name.txt" && return 0
        sleep 0.5
    done
    return 1
}

# report_scenario NAME SECONDS [WIDTH]: the scenario's PASS or FAIL line,
# then its failures and notes; counts it in passed, failed and failed_names.
report_scenario() {
    local width=${3:-26}
    if [ -s "$SCEN_DIR/failures" ]; then
        printf "FAIL  %-${width}s %6s s\n" "$1" "$2"
        cat "$SCEN_DIR/failures"
        failed=$((failed + 1))
        failed_names+=("$1")
    else
        printf "PASS  %-${width}s %6s s\n" "$1" "$2"
        passed=$((passed + 1))
    fi
    [ -s "$SCEN_DIR/notes" ] && cat "$SCEN_DIR/notes"
    return 0
}

# expect_one_update_call RELAY ID INF RC: Wine's relay trace RELAY of the
# program's private mode shows one UpdateDriverForPlugAndPlayDevicesW call
# with ID, INF and the flags whole, and RC, the exit code, is 0 after TRUE
# and not 0 after FALSE; RET is Wine's answer.
expect_one_update_call() {
    local relay=$1 id=$2 inf=$3 rc=$4 call
    call=$(grep -F 'Call newdev.UpdateDriverForPlugAndPlayDevicesW(' "$relay")
    expect_eq "$(printf '%s\n' "$call" | grep -c .)" 1 "UpdateDriverForPlugAndPlayDevicesW calls"
    expect_in "$relay" " L\"${id//\\/\\\\}\"," "the call"
    expect_in "$relay" " L\"${inf//\\/\\\\}\",00000001,00000000)" "the call"
    RET=$(grep -F 'Ret  newdev.UpdateDriverForPlugAndPlayDevicesW(' "$relay" | sed -n 's/.* retval=\([0-9a-f]*\).*/\1/p')
    if [ "$RET" = 00000001 ]; then expect_eq "$rc" 0 "exit code after TRUE"; else [ "$rc" != 0 ] || fail "exit code 0 after FALSE"; fi
}

# run_batch NAME COMMAND: COMMAND in a batch file under the 64-bit cmd, which
# reads a program's whole exit code as a deployment tool does; the output in
# $SCEN_DIR/NAME.txt. BATCH_CODE is the code cmd read, BATCH_RC the status
# this shell sees (its low byte), BATCH_MS the time.
run_batch() {
    local name=$1 command=$2 t0
    printf '@echo off\r\n%s\r\necho exit code %%ERRORLEVEL%%\r\nexit /b %%ERRORLEVEL%%\r\n' "$command" \
        >"$WINEPREFIX/drive_c/$name.cmd"
    t0=$(now_ms)
    winrun cmd /c "C:\\$name.cmd" >"$SCEN_DIR/$name.txt" 2>&1
    BATCH_RC=$?
    BATCH_MS=$(( $(now_ms) - t0 ))
    BATCH_CODE=$(tr -d '\r' <"$SCEN_DIR/$name.txt" | sed -n 's/^exit code \(-\{0,1\}[0-9]\{1,\}\)$/\1/p' | tail -1)
    note "$command: exit code ${BATCH_CODE:-none} after $BATCH_MS ms"
}
