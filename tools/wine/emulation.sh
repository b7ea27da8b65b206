# Runs of the shipped 32-bit build on a machine that cannot execute 32-bit
# code: Wine's WOW64 runs it in a 64-bit prefix, and every 32-bit process (the
# program, Wine's 32-bit loader) runs under QEMU's user-mode emulator
# (qemu-i386-static), registered for i386 ELF files through binfmt_misc for
# this run only. Sourced by tests/e2e/emulated.sh after lib.sh and
# tests/e2e/helpers.sh (fail, note). That script sets SUITE and
# EMULATED_RUNS, defines run_NAME for each run, and ends with
# `emulation_main "$@"`, which runs the script again for each step:
#   SCRIPT --boot      the clean 64-bit prefix, booted under emulation
#   SCRIPT --run NAME  run_NAME in SCEN_DIR, on a fresh copy of that prefix
#                      with the package laid out and no debugger for a crash
#
# The conditions: it runs where the machine cannot execute 32-bit code itself
# (can-run-32bit.sh), as root, with binfmt_misc; elsewhere one line says why
# it skipped. CORVANE_FORCE_EMULATION=1 runs it on a machine that executes
# 32-bit code natively. It installs qemu-user-static and wine32:i386. The
# entry "corvane-i386" goes into a binfmt_misc instance of its own, in a new
# user and mount namespace, where the kernel allows one (Linux 6.7 and
# later), so that no other process of the machine is emulated; elsewhere, or
# with CORVANE_EMULATION_BINFMT=machine, into the machine's (mounted when it
# is not, and unmounted again), replacing a stale one of an earlier run that
# was killed. Either way it is removed at the end, also after a failure or an
# interrupt.
#
# Settings: X86_BUILD_DIR (default build/windows-x86), BUILD_DIR (the
# windows-x64 build, for the 64-bit tools), WINE_WORK. The clean 64-bit
# prefix is booted under emulation once per Wine version and copied for each
# run. Each step has a time limit, and the whole emulated part one of
# 600 s: a step past its limit is ended (with every process of its prefix)
# and fails naming it. Logs stay in $WINE_WORK/e2e-emulated/RUN. Ends with
# "N passed, N failed"; exit code 1 when a run failed.

EMULATION_SELF="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
EMULATION_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ENTRY=corvane-i386
BINFMT=/proc/sys/fs/binfmt_misc
QEMU=/usr/bin/qemu-i386-static
# i386 ELF executables and shared objects, as Debian's QEMU packages match them.
I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
TOTAL_LIMIT=600
BOOT_LIMIT=300
RUN_LIMIT=180
X86_BUILD_DIR="${X86_BUILD_DIR:-$REPO/build/windows-x86}"
PACKAGE_DIR="$X86_BUILD_DIR/package"
CLEAN_PREFIX="$WINE_WORK/clean-prefix-emulated"
E2E_WORK="$WINE_WORK/e2e-emulated"
AEDEBUG_32='HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\AeDebug'

skip_suite() {
    echo "$SUITE SKIPPED: $1"
    echo "0 passed, 0 failed ($SUITE skipped)"
    exit 0
}

give_up() {
    echo "$SUITE FAILED: $1"
    echo "0 passed, 1 failed"
    exit 1
}

emulation_main() {
    case ${1:-} in
        --run) emulation_run_step "$2" ;;
        --boot) emulation_boot_step ;;
    esac
    [ "${EMULATED_INSIDE:-0}" = 1 ] || emulation_conditions
    emulation_register
    emulation_boot
    emulation_runs
}

# --- the steps, each in its own process (so that a time limit can end it) ---

# emulation_run_step NAME: run_NAME in SCEN_DIR, on a fresh copy of the
# emulated prefix.
emulation_run_step() {
    find_wine
    unset DISPLAY
    new_prefix "$SCEN_DIR"
    install_package
    # No debugger for a crash (Wine's 32-bit winedbg would take minutes to
    # start here): the program ends with the exception's code.
    winrun reg add "$AEDEBUG_32" /v Debugger /d '' /f >/dev/null 2>&1 || fail "cannot set AeDebug"
    "run_$1"
    stop_prefix
    exit 0
}

# emulation_boot_step: the clean 64-bit prefix, its WOW64 part made under
# emulation (wineboot runs a 32-bit rundll32 for it). A prefix booted where
# 32-bit programs could not start has an empty syswow64, and every 32-bit
# program fails in it ("could not load kernel32.dll").
emulation_boot_step() {
    find_wine
    [ -f "$CLEAN_PREFIX/drive_c/windows/syswow64/kernel32.dll" ] || rm -f "$CLEAN_PREFIX/.made-by"
    ensure_clean_prefix || exit 1
    [ -f "$CLEAN_PREFIX/drive_c/windows/syswow64/kernel32.dll" ] || { log "the prefix has no 32-bit part"; exit 1; }
    exit 0
}

# --- the conditions, outside any namespace ----------------------------------

# emulation_conditions: skips, or installs what the runs need and goes on,
# in a namespace of its own (the script again) where the kernel allows one.
emulation_conditions() {
    local reason scope mounted err why
    # An entry of this name in the machine's binfmt_misc was left by a run
    # that was killed: gone before the probe, which it would answer.
    if [ -e "$BINFMT/$ENTRY" ]; then
        echo -1 >"$BINFMT/$ENTRY" && echo "removed the stale binfmt_misc entry $ENTRY of an earlier run"
    fi
    if reason=$("$EMULATION_DIR/can-run-32bit.sh"); then
        [ "${CORVANE_FORCE_EMULATION:-0}" = 1 ] ||
            skip_suite "this machine executes 32-bit code itself, so the WOW64 suite runs the program natively (CORVANE_FORCE_EMULATION=1 forces this run)"
        reason="forced by CORVANE_FORCE_EMULATION=1 where the machine executes 32-bit code"
    fi
    [ "$(id -u)" -eq 0 ] || skip_suite "$reason, but only root can register an emulator with binfmt_misc"
    [ -f "$PACKAGE_DIR/setup.exe" ] || skip_suite "no windows-x86 package in $X86_BUILD_DIR"
    scope=machine
    mounted=0
    if [ "${CORVANE_EMULATION_BINFMT:-}" != machine ] &&
        unshare --user --map-root-user --mount mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null; then
        scope=own
    elif [ ! -e "$BINFMT/register" ]; then
        err=$(mount -t binfmt_misc binfmt_misc "$BINFMT" 2>&1) ||
            skip_suite "$reason, but binfmt_misc cannot be mounted here: $(printf '%s' "$err" | head -1)"
        mounted=1
        trap 'umount "$BINFMT"' EXIT
    fi
    "$EMULATION_DIR/ensure-packages.sh" qemu-user-static || give_up "qemu-user-static could not be installed"
    "$EMULATION_DIR/ensure-wine32.sh" || give_up "wine32:i386 could not be installed"
    if ! why=$(CLEAN_PREFIX="$WINE_WORK/clean-prefix" && wine_usable); then
        skip_suite "$why"
    fi
    export EMULATED_INSIDE=1 EMULATION_REASON="$reason" EMULATION_SCOPE=$scope EMULATION_MOUNTED=$mounted
    if [ $scope = own ]; then
        exec unshare --user --map-root-user --mount "$EMULATION_SELF"
    fi
}

# --- the entry ---------------------------------------------------------------

# end_prefix DIR: ends every process of the Wine prefix DIR: its wineserver's
# clients, and then, found by their WINEPREFIX, those that had not reached it
# yet (an emulated process takes a while to start, and would start a new
# wineserver once the old one has gone).
end_prefix() {
    local found i
    WINEPREFIX=$1 stop_prefix
    for i in 1 2 3 4 5; do
        found=$(grep -lzxF "WINEPREFIX=$1" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3)
        [ -n "$found" ] || return 0
        kill -KILL $found 2>/dev/null
        sleep 0.5
    done
}

# limit_of LIMIT: sets SECS to LIMIT, or to what is left before the emulated
# part's deadline when that is less, and LIMIT_NAME to the limit that applies.
limit_of() {
    local left=$(( deadline - $(date +%s) ))
    SECS=$1
    LIMIT_NAME="its limit of $1 s"
    if [ $left -lt $1 ]; then
        SECS=$(( left > 1 ? left : 1 ))
        LIMIT_NAME="the emulated part's limit of $TOTAL_LIMIT s"
    fi
}

unregister() {
    [ -e "$BINFMT/$ENTRY" ] || return 0
    echo -1 >"$BINFMT/$ENTRY" && echo "binfmt_misc entry $ENTRY removed"
}

# cleanup: on every exit after the entry's registration: the steps still
# running and every process of the prefixes ended, the entry removed.
cleanup() {
    local rc=$? p
    trap - EXIT INT TERM
    [ ${#JOBS[@]} -eq 0 ] || kill "${JOBS[@]}" 2>/dev/null
    wait 2>/dev/null
    for p in "$CLEAN_PREFIX" "$E2E_WORK"/*/prefix; do
        [ -d "$p" ] && end_prefix "$p"
    done
    unregister
    # The machine's binfmt_misc as it was: unmounted when this run mounted it.
    if [ "$EMULATION_MOUNTED" = 1 ] && [ "$(ls "$BINFMT" | tr '\n' ' ')" = "register status " ]; then
        umount "$BINFMT" && echo "binfmt_misc unmounted"
    fi
    exit $rc
}

# emulation_register: the emulator registered for i386 programs, and shown
# to run one.
emulation_register() {
    local where probe pid exe
    start=$(now_ms)
    deadline=$(( $(date +%s) + TOTAL_LIMIT ))
    JOBS=()
    trap cleanup EXIT
    trap 'echo "$SUITE interrupted"; exit 130' INT
    trap 'echo "$SUITE terminated"; exit 143' TERM

    if [ "$EMULATION_SCOPE" = own ]; then
        mount -t binfmt_misc binfmt_misc "$BINFMT" || give_up "cannot mount binfmt_misc in the namespace"
        where="a binfmt_misc instance of its own"
    else
        where="the machine's binfmt_misc"
    fi
    printf ':%s:M::%s:%s:%s:F' "$ENTRY" "$I386_MAGIC" "$I386_MASK" "$QEMU" >"$BINFMT/register" ||
        give_up "cannot register $QEMU in $where"
    # The guest's address space: QEMU reserves 4 GB by default, where each 32-bit
    # process takes a minute and more to start (Wine reserves the upper half, and
    # QEMU walks its pages on every mapping). A program that is not
    # large-address-aware, as setup.exe, has 2 GB on 64-bit Windows; Wine's
    # loader needs the 16 MB above them.
    export QEMU_RESERVED_VA=0x81000000
    find_wine
    echo "$SUITE: the 32-bit program under $($QEMU --version | head -1), entry $ENTRY in $where ($EMULATION_REASON)"

    # A 32-bit program now runs under the emulator: its process's file is QEMU.
    probe=$(mktemp -d)
    printf '.globl _start\n_start:\n movl $162, %%eax\n movl $t, %%ebx\n xorl %%ecx, %%ecx\n int $0x80\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n.data\nt: .long 2, 0\n' >"$probe/p.s"
    as --32 -o "$probe/p.o" "$probe/p.s" && ld -m elf_i386 -o "$probe/p" "$probe/p.o" || give_up "cannot build the i386 probe"
    "$probe/p" &
    pid=$!
    sleep 1
    exe=$(readlink "/proc/$pid/exe")
    wait $pid
    rm -rf "$probe"
    [ "$exe" = "$QEMU" ] || give_up "a 32-bit program does not run under the emulator (its file: ${exe:-none})"
}

# --- the steps under their time limits --------------------------------------

# Each step is the script in a mode of its own under timeout (exit code 124
# when the limit ended it); JOBS holds the timeout processes.

emulation_boot() {
    local t0 made_by boot rc
    mkdir -p "$E2E_WORK"
    t0=$(now_ms)
    # The prefix is reused when the boot step leaves its marker as it was.
    made_by=""
    [ -f "$CLEAN_PREFIX/drive_c/windows/syswow64/kernel32.dll" ] && made_by=$(cat "$CLEAN_PREFIX/.made-by" 2>/dev/null)
    limit_of $BOOT_LIMIT
    timeout -k 10 "$SECS" "$EMULATION_SELF" --boot >"$E2E_WORK/boot.log" 2>&1 &
    JOBS=($!)
    wait $!
    rc=$?
    JOBS=()
    if [ $rc -ne 0 ]; then
        end_prefix "$CLEAN_PREFIX"
        [ $rc -eq 124 ] && give_up "booting the prefix under emulation ran past $LIMIT_NAME"
        give_up "booting the prefix under emulation failed: $(tail -1 "$E2E_WORK/boot.log")"
    fi
    boot=fresh
    [ -n "$made_by" ] && [ "$(cat "$CLEAN_PREFIX/.made-by")" = "$made_by" ] && boot=reused
    echo "Prefix with its 32-bit part: $boot, $(( ($(now_ms) - t0) / 1000 )) s"
}

# emulation_runs: the runs of EMULATED_RUNS side by side, each reported as
# it ends, and the summary.
emulation_runs() {
    local -A run_pid run_start
    local name rc secs passed=0 failed=0 failed_names=()
    limit_of $RUN_LIMIT
    for name in $EMULATED_RUNS; do
        export SCEN_DIR="$E2E_WORK/$name"
        rm -rf "$SCEN_DIR"
        mkdir -p "$SCEN_DIR"
        run_start[$name]=$(now_ms)
        timeout -k 10 "$SECS" "$EMULATION_SELF" --run "$name" >"$SCEN_DIR/output.log" 2>&1 &
        run_pid[$name]=$!
        JOBS+=($!)
    done
    for name in $EMULATED_RUNS; do
        SCEN_DIR="$E2E_WORK/$name"
        wait "${run_pid[$name]}"
        rc=$?
        secs=$(( ($(now_ms) - ${run_start[$name]}) / 1000 ))
        if [ $rc -eq 124 ]; then
            end_prefix "$SCEN_DIR/prefix"
            fail "no end within $LIMIT_NAME"
        elif [ $rc -ne 0 ]; then
            fail "the run stopped before its end: $(tail -1 "$SCEN_DIR/output.log")"
        fi
        report_scenario "$name" "$secs" 10
        rm -rf "$SCEN_DIR/prefix"
    done
    JOBS=()
    echo "$SUITE: $(( ($(now_ms) - start) / 1000 )) s in all (limit $TOTAL_LIMIT s)"
    [ $failed -eq 0 ] || echo "Failed: ${failed_names[*]}"
    echo "$passed passed, $failed failed"
    [ $failed -eq 0 ]
}
