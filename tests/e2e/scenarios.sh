# Scenarios of the end-to-end suite (see helpers.sh for the conventions).
# Each runs on a fresh copy of a clean Wine prefix with the package laid out
# in C:\Program Files\Corvane; printers are plugged in with plugprinter.exe.
# Both builds run every one of them: the 64-bit build under wine64 and the
# shipped 32-bit build under Wine's WOW64 (run.sh --wow64), each with its own
# expectations where the two differ (build_expectations).

SCENARIOS="scan no_printer_window silent_model_with_blank silent_port_12 unknown_model second_start
           window_install handover uninstall german silent_log stage deployment tampered_package planted_dlls
           pnp_update_child"

# build_expectations BITS: 64 for the windows-x64 build, 32 for the
# windows-x86 one under WOW64. Both install the machine's own driver (x64
# folder, "Windows x64"). Wine's spooler runs in the calling process and looks
# for a 32-bit caller's queue driver in "Windows NT x86": there AddPrinterW
# fails with QUEUE_ERROR (1797), where Windows' spooler service creates the
# queue, and the scenarios expect none and say so (queue_refused).
build_expectations() {
    DRIVER_DIR='C:\windows\system32\spool\drivers\x64'
    DRIVER_ENV='Windows x64'
    case $1 in
        64) QUEUE_ERROR="" ;;
        32) QUEUE_ERROR=1797 ;;
        *) echo "build_expectations: no expectations for a $1-bit build" >&2; return 1 ;;
    esac
}

ENGLISH_NOT_FOUND='Device not found, Please power on printer and  connect to computer for auto-install (recommended), Click "Wizard" for custom setup or\nCancel" to quit.'
UPLOAD_LINE='DoUploadDriverPackage, , code:-2147467263.'
# The program's version, as CMakeLists.txt sets it.
PRODUCT_VERSION=$(sed -n 's/^project(CorvaneSetup VERSION \([0-9.]*\).*/\1/p' "$E2E_DIR/../../CMakeLists.txt")

# queue_refused: true, with a note (once), when this build's queue cannot be
# made in Wine (see build_expectations).
queue_refused() {
    [ -n "$QUEUE_ERROR" ] || return 1
    local text="no queue expected: Wine's in-process spooler refuses AddPrinterW with $QUEUE_ERROR for the 32-bit program (it looks for the driver in \"Windows NT x86\"); Windows' spooler service would create the queue"
    grep -qF -- "$text" "$SCEN_DIR/notes" 2>/dev/null || note "$text"
}

# expect_queue LISTING QUEUE PORT: the queue on its port; where this build's
# queue cannot be made, no such queue.
expect_queue() {
    if queue_refused; then
        expect_not_in "$1" "queue \"$2\"" "print queues"
    else
        expect_in "$1" "queue \"$2\" driver \"$2\" port \"$3\"" "print queues"
    fi
}

# install_outcome MODEL: the last text of the install window and of the log.
install_outcome() {
    if [ -n "$QUEUE_ERROR" ]; then
        printf 'The printer driver install failed, error code:%s. Please contact our technical support.' "$QUEUE_ERROR"
    else
        printf 'The driver for printer [%s] is installed.' "$1"
    fi
}

# expect_machine_driver LISTING DRIVER: the driver of the machine's own
# processor, registered for its environment with its files in its folder;
# neither registered for "Windows NT x86" nor with files in the x86 folder.
expect_machine_driver() {
    local driver=$2 stray
    expect_in "$1" "driver \"$driver\" environment \"$DRIVER_ENV\" version 3 file \"$DRIVER_DIR\\3\\crvndrv6.dll\"" "print drivers"
    winrun "$TOOLS_DIR/listqueues.exe" --environment "Windows NT x86" >"$SCEN_DIR/drivers-x86.txt" 2>&1
    if grep -qF -- "driver \"$driver\" environment" "$SCEN_DIR/drivers-x86.txt"; then
        fail "the driver is registered for \"Windows NT x86\" too: $(grep -F "driver \"$driver\" environment" "$SCEN_DIR/drivers-x86.txt")"
    fi
    stray=$(find "$WINEPREFIX/drive_c/windows/system32/spool/drivers/w32x86" -iname 'crvndrv6*' 2>/dev/null | head -1)
    [ -z "$stray" ] || fail "the x86 driver folder holds $stray"
}

# expect_staged_copy TRACE FILE TARGET: the trace's copy of the package's
# FILE (amd64\crvndrv6.dll) to TARGET, from the run's staged copy of the
# package under C:\windows\Temp, never from the install folder.
expect_staged_copy() {
    local line
    line=$(grep -F -- "\\\\$2 to $3, 1, errcode:" "$1" | head -1)
    case $line in
        "CopyFile file:"?":\\windows\\Temp\\CorvaneSetup."*) ;;
        *) fail "trace lacks the copy of $2 to $3 from the staged package${line:+: $line}" ;;
    esac
}

# is_staging_line TEXT: TEXT is the log's line of a run that staged the
# install folder's package for Windows in a folder of C:\windows\Temp.
is_staging_line() {
    case $1 in
        "The package of $INSTALL_WIN\\ is as built, and Windows gets it from "?":\\windows\\Temp\\CorvaneSetup."*"\\.") ;;
        *) return 1 ;;
    esac
}

# The lines of a fallback installation from the package: the upload that
# Wine refuses, then the removal and copy of each driver file, from the
# run's staged copy of the package, to the machine's driver folder, and the
# queue's failure where it is refused.
expect_fallback_trace() {
    local trace=$1 f bad
    expect_in "$trace" "$UPLOAD_LINE" "trace"
    for f in crvndrv6.dll crvndrv6ui.dll; do
        expect_in "$trace" "Remove file:$DRIVER_DIR\\$f, " "trace"
        expect_staged_copy "$trace" "amd64\\$f" "$DRIVER_DIR\\$f"
    done
    expect_staged_copy "$trace" "dat\\crvndrv6.dat" "$DRIVER_DIR\\crvndrv6.dat"
    expect_not_in "$trace" 'w32x86' "trace"
    queue_refused && expect_in "$trace" "AddPrinter failed, errcode:$QUEUE_ERROR." "trace"
    bad=$(grep -F "failed, errcode" "$trace" | grep -vxF "AddPrinter failed, errcode:$QUEUE_ERROR." | head -1)
    [ -z "$bad" ] || fail "trace should not have: $bad"
    expect_not_in "$trace" "is already added" "trace"
    if grep -qE '^CopyFile .*, 0, errcode:' "$trace"; then
        fail "trace has a failed copy: $(grep -E '^CopyFile .*, 0, errcode:' "$trace" | head -1)"
    fi
}

# The scan of the installer finds what is plugged in, newest first, with the
# hardware ids that the package's INF lists.
scenario_scan() {
    plug --description "CorvaneLD-2040" --port 1 --serial A1 >/dev/null
    plug --description "Corvane LD-2040 Plus" --port 12 --serial B2 >/dev/null
    plug --description "Acme Label 9" --port 1234 --serial C3 --vid 1234 >/dev/null
    plug --description "CorvaneLD-2040T" --port 2 --serial D4 >/dev/null
    plug --port 2 --serial D4 --unplug >/dev/null
    winrun "$PROGRAM_TOOLS_DIR/scanlist.exe" >"$SCEN_DIR/scan.txt" 2>&1
    local s=$SCEN_DIR/scan.txt
    expect_in "$s" 'port "USB001" description "CorvaneLD-2040" serial "A1" vendor "3e8b" checksum "369d" hardware-id "usbprint\corvaneld-2040369d" model "Corvane LD-2040"'
    expect_in "$s" 'port "USB012" description "Corvane LD-2040 Plus" serial "B2" vendor "3e8b" checksum "762a" hardware-id "usbprint\corvane ld-2040 plus762a" model "Corvane LD-2040 Plus"'
    expect_in "$s" 'port "USB1234" description "Acme Label 9" serial "C3" vendor "1234"'
    expect_in "$s" 'model ""'
    expect_not_in "$s" 'USB002' "scan (an unplugged printer)"
    expect_in "$s" 'records 3'
    # Whatever order Wine enumerates the interfaces in, the list is its reverse.
    local order
    order=$(grep -o 'port "USB[0-9]*"' "$s" | tr '\n' ' ')
    note "scan order: $order"
    # The package's INF, read through the setup API, lists each recognised
    # printer's hardware id as the program computed it, under its model.
    winrun "$TOOLS_DIR/infcheck.exe" "$INSTALL_WIN\\crvnv6.inf" >"$SCEN_DIR/inf.txt" 2>&1 ||
        fail "infcheck.exe cannot read crvnv6.inf: $(tail -1 "$SCEN_DIR/inf.txt")"
    local inf=$SCEN_DIR/inf.txt line model id arch
    expect_in "$inf" 'version class "Printer" guid "{4D36E979-E325-11CE-BFC1-08002BE10318}" provider "Corvane" driverver "07/16/2025,2025.7.16.1"'
    expect_in "$inf" 'manufacturer "Corvane" section "Corvane" decorations "NTx86,NTamd64,NTarm,NTarm64"'
    expect_in "$inf" 'install CRVNV6 driver "crvndrv6.dll" config "crvndrv6ui.dll" data "crvndrv6.dat"'
    while IFS= read -r line; do
        model=$(printf '%s' "$line" | sed 's/.* model "\([^"]*\)".*/\1/')
        id=$(printf '%s' "$line" | sed 's/.* hardware-id "\([^"]*\)".*/\1/')
        for arch in NTx86 NTamd64 NTarm NTarm64; do
            expect_in "$inf" "model Corvane.$arch \"$model\" install \"CRVNV6\" hardware-id \"$id\"" "crvnv6.inf"
        done
    done < <(grep 'model "Corvane' "$s")
    local count
    count=$(grep -c '^model ' "$inf")
    note "crvnv6.inf: $count model lines"
}

# No printer: the window shows the picture and the Wizard button, and the
# program ends with 0 when the window is closed.
scenario_no_printer_window() {
    start_program window "$INSTALL_WIN\\setup.exe"
    wininfo wait install 30000 || { fail "no install window"; return; }
    wininfo waitvisible install 3 20000 || fail "the Wizard button never showed"
    sleep 1
    snapshot install searching
    local l=$SCEN_DIR/searching.txt
    expect_in "$l" 'title "Swiftset installer"'
    expect_control "$l" 3 'visible 1 enabled 1 text "Wizard"' "install window"
    expect_control "$l" 1007 'visible 1' "install window"
    expect_control "$l" 1007 'bitmap 1' "install window"
    expect_control "$l" 1005 'visible 0' "install window"
    expect_control "$l" 1003 'visible 0' "install window"
    expect_control "$l" 2 'text "Cancel"' "install window"
    expect_control "$l" 1006 "text \"$ENGLISH_NOT_FOUND\"" "install window"
    screenshot_dialog "$SCEN_DIR/searching.png" install
    # Still searching a few seconds later.
    sleep 3
    wininfo wait install 1000 || fail "the window went away while searching"
    # The Wizard button gives the wizard a staged copy of the package in a
    # new folder of the system's temporary folder, which stays for it.
    wininfo click install 3 || fail "the Wizard button could not be pressed"
    sleep 2
    local copy
    copy=$(ls -d "$WINEPREFIX"/drive_c/windows/temp/CorvaneSetup.* 2>/dev/null | head -1)
    if [ -z "$copy" ]; then
        fail "no copy of the package for the wizard under C:\\Windows\\Temp"
    else
        local pkg="$WINEPREFIX/drive_c/Program Files/Corvane"
        for f in crvnv6.inf dat/crvndrv6.dat amd64/crvndrv6.dll amd64/crvnmon.dll; do
            cmp -s "$pkg/$f" "$copy/$f" || fail "the wizard's copy of $f differs from the package's"
        done
    fi
    wininfo close install
    wait_program 20 || fail "setup.exe did not end after the window was closed"
    expect_exit_code "$PROGRAM_RC" 0 "exit code"
    [ -s "$SCEN_DIR/window.txt" ] && fail "trace lines without a printer: $(head -1 "$SCEN_DIR/window.txt")"
}

silent_install_of() {
    local description=$1 port=$2 queue=$3 portname=$4
    plug --description "$description" --port "$port" >"$SCEN_DIR/plug.txt" || fail "plugprinter failed"
    silent_install 180000
    expect_exit_code "$SILENT_RC" 0 "exit code of setup.exe /silence"
    expect_fallback_trace "$SCEN_DIR/trace.txt"
    list_queues queues
    expect_queue "$SCEN_DIR/queues.txt" "$queue" "$portname"
    expect_machine_driver "$SCEN_DIR/queues.txt" "$queue"
}

# A model whose name has a blank, reported in the spaced form, on port 1.
scenario_silent_model_with_blank() {
    silent_install_of "Corvane LD-2040 Plus" 1 "Corvane LD-2040 Plus" USB001
}

# A model reported in the joined form, on port number 12.
scenario_silent_port_12() {
    silent_install_of "CorvaneLD-2040T" 12 "Corvane LD-2040T" USB012
}

# Only a printer the catalogue does not know: no queue, and the search goes on.
scenario_unknown_model() {
    plug --description "Corvane ZX-1" --port 1 >/dev/null
    silent_install 12000
    expect_exit_code "$SILENT_RC" 124 "setup.exe /silence should still be searching after 12 s (dbgview ends it: 124)"
    [ -s "$SCEN_DIR/trace.txt" ] && fail "trace lines for an unknown model: $(head -1 "$SCEN_DIR/trace.txt")"
    list_queues queues
    expect_not_in "$SCEN_DIR/queues.txt" 'queue "' "print queues"
}

# A second start while the first runs ends at once with 0.
scenario_second_start() {
    start_program window "$INSTALL_WIN\\setup.exe"
    wininfo wait install 30000 || { fail "no install window"; return; }
    local args t0 ms rc
    for args in "" "/silence" "-u C:\\"; do
        t0=$(now_ms)
        # shellcheck disable=SC2086
        winrun "$INSTALL_WIN\\setup.exe" $args >/dev/null 2>&1
        rc=$?
        ms=$(( $(now_ms) - t0 ))
        note "second start 'setup.exe $args': $(outcome "$rc" "$ms")"
        expect_exit_code "$rc" 0 "exit code of a second 'setup.exe $args'"
        [ "$ms" -lt 5000 ] || fail "a second 'setup.exe $args' took $ms ms"
    done
    snapshot any windows
    local n
    n=$(grep -c '^dialog ' "$SCEN_DIR/windows.txt")
    expect_eq "$n" 1 "dialogs on the screen"
    wininfo close install
    wait_program 20 || fail "setup.exe did not end after the window was closed"
    expect_exit_code "$PROGRAM_RC" 0 "exit code of the first start"
}

# The window while searching, then a printer plugged in: the next pass
# installs it and the window ends with "Done" (or, where the build's queue
# cannot be made, with AddPrinterW's error, its button unchanged).
window_install_run() {
    local shots=$1 description=$2 done_text=$3
    start_program window "$INSTALL_WIN\\setup.exe"
    wininfo wait install 30000 || { fail "no install window"; return 1; }
    wininfo waitvisible install 3 20000 || fail "the Wizard button never showed"
    sleep 1
    snapshot install searching
    screenshot_dialog "$SCEN_DIR/$shots-searching.png" install
    # The installation may end before the wait begins: the button's text is
    # compared with the one it had while searching.
    local searching_text
    searching_text=$(control_line "$SCEN_DIR/searching.txt" 2 | sed 's/.* text "\(.*\)"$/\1/')
    plug --description "$description" --port 1 >/dev/null
    if queue_refused; then
        wininfo waittext install 1006 "$QUEUE_ERROR" 120000 || fail "the window never showed error $QUEUE_ERROR"
    elif ! wininfo waitchange install 2 120000 "$searching_text"; then
        fail "button 2 never changed its text"
    fi
    sleep 0.5
    snapshot install done
    screenshot_dialog "$SCEN_DIR/$shots-done.png" install
    if queue_refused; then
        expect_control "$SCEN_DIR/done.txt" 2 "text \"$searching_text\"" "install window"
    elif [ -n "$done_text" ]; then
        expect_control "$SCEN_DIR/done.txt" 2 "text \"$done_text\"" "install window"
    fi
    expect_control "$SCEN_DIR/done.txt" 1005 'visible 1' "install window"
    expect_control "$SCEN_DIR/done.txt" 1007 'visible 0' "install window"
    expect_control "$SCEN_DIR/done.txt" 3 'visible 0' "install window"
    expect_control "$SCEN_DIR/done.txt" 1003 'visible 1' "install window"
    # The bar has the PBS_MARQUEE style: Wine's progress control (like
    # comctl32 version 6) takes each PBM_SETPOS as one marquee step and keeps
    # its position at 0, so the position is recorded, not checked.
    note "progress bar at the end: $(control_line "$SCEN_DIR/done.txt" 1003 | sed 's/.* pos /pos /')"
    wininfo close install
    wait_program 20 || fail "setup.exe did not end after the window was closed"
    expect_exit_code "$PROGRAM_RC" 0 "exit code"
    cp "$SCEN_DIR/window.txt" "$SCEN_DIR/trace.txt"
    expect_fallback_trace "$SCEN_DIR/trace.txt"
    list_queues queues
    expect_queue "$SCEN_DIR/queues.txt" "Corvane LD-2040" USB001
}

scenario_window_install() {
    window_install_run english "CorvaneLD-2040" "Done" || return
    local outcome
    outcome=$(install_outcome "Corvane LD-2040")
    expect_control "$SCEN_DIR/done.txt" 1005 "text \"Found the printer Corvane LD-2040, installing the driver...\\r\\n$outcome\"" "install window"
    expect_control "$SCEN_DIR/done.txt" 1006 "text \"$outcome\"" "install window"
}

# install_silently: a catalogued printer on port 1, installed by setup.exe
# /silence: its queue, or only its driver where the queue cannot be made.
install_silently() {
    plug --description "Corvane LD-2040 Plus" --port 1 >/dev/null
    silent_install 180000
    list_queues installed
    if queue_refused; then
        grep -qF 'driver "Corvane LD-2040 Plus"' "$SCEN_DIR/installed.txt" || { fail "the installation registered no driver"; return 1; }
    else
        grep -qF 'queue "Corvane LD-2040 Plus"' "$SCEN_DIR/installed.txt" || { fail "the installation made no queue"; return 1; }
    fi
}

# The installed product: setup.exe hands over to the uninstaller, a copy of
# itself in a new folder of its own under the system's temporary folder,
# started with -u on the install folder.
scenario_handover() {
    install_silently || return
    local t0 rc
    t0=$(now_ms)
    winrun "$INSTALL_WIN\\setup.exe" >/dev/null 2>&1
    rc=$?
    note "setup.exe on the installed product: $(outcome "$rc" $(( $(now_ms) - t0 )))"
    expect_exit_code "$rc" 0 "exit code of setup.exe"
    wininfo wait uninstall 30000 || { fail "no uninstall window"; return; }
    until_listing uninstall uninstall 20 'tree 0 "The driver folder: ' || fail "the tree never filled"
    local l=$SCEN_DIR/uninstall.txt
    grep -qiE '^dialog .* image "C:\\windows\\temp\\CorvaneSetup\.[0-9A-F]{16}\\uni[0-9A-Fa-f]+\.tmp"' "$l" ||
        fail "the uninstall window does not run from a temporary copy: $(grep '^dialog' "$l")"
    expect_in "$l" "tree 0 \"The driver folder: $INSTALL_WIN\\\"" "uninstall window"
    screenshot_dialog "$SCEN_DIR/uninstall-window.png" uninstall
    wininfo close uninstall
    wininfo waitgone uninstall 20000 || fail "the uninstall window did not close"
}

# Uninstall with -u: the tree lists the folder, the driver and the queue (no
# queue where the build's queue cannot be made); Remove deletes the queue
# (Wine refuses the driver's deletion with 87).
scenario_uninstall() {
    install_silently || return
    start_program uninstall "$INSTALL_WIN\\setup.exe" -u "$INSTALL_WIN\\"
    wininfo wait uninstall 30000 || { fail "no uninstall window"; return; }
    until_listing uninstall before 20 'tree 0 "The driver folder: ' || fail "the tree never filled"
    sleep 0.5
    snapshot uninstall before
    screenshot_dialog "$SCEN_DIR/uninstall-before.png" uninstall
    local b=$SCEN_DIR/before.txt
    expect_in "$b" 'title "Uninstall printer driver"'
    expect_in "$b" "tree 0 \"The driver folder: $INSTALL_WIN\\\"" "tree"
    expect_in "$b" 'tree 1 "Printer Driver:Corvane LD-2040 Plus, ' "tree"
    if queue_refused; then
        expect_not_in "$b" 'tree 2 "Printer:' "tree"
    else
        expect_in "$b" 'tree 2 "Printer:Corvane LD-2040 Plus on the port: USB001. "' "tree"
    fi
    expect_control "$b" 1 'enabled 1' "uninstall window"
    wininfo click uninstall 1 || { fail "cannot press Remove"; return; }
    if wininfo wait message 60000; then
        snapshot message message
        screenshot_dialog "$SCEN_DIR/uninstall-message.png" message
        note "message box: $(grep -E '^  control 65535 ' "$SCEN_DIR/message.txt" | sed 's/.*text //')"
        wininfo click message 1 || wininfo click message 2 || wininfo close message
        wininfo waitgone message 10000 || fail "the message box stayed"
    else
        fail "no message box after Remove"
    fi
    until_listing uninstall after 20 'tree 1 "Printer Driver:Corvane LD-2040 Plus, ' || true
    sleep 0.5
    snapshot uninstall after
    screenshot_dialog "$SCEN_DIR/uninstall-after.png" uninstall
    local a=$SCEN_DIR/after.txt
    queue_refused || expect_in "$a" 'on the port: USB001. Removed."' "tree after Remove"
    note "driver after Remove: $(grep -F 'tree 1 "Printer Driver:' "$a" | head -1)"
    list_queues queues
    expect_not_in "$SCEN_DIR/queues.txt" 'queue "Corvane LD-2040 Plus"' "print queues after Remove"
    [ -d "$WINEPREFIX/$INSTALL_UNIX_REL" ] && note "install folder kept" || note "install folder moved away"
    if wininfo wait uninstall 1000; then
        wininfo click uninstall 2 || wininfo close uninstall
    fi
    wait_program 20 || fail "the uninstaller did not end"
    expect_exit_code "$PROGRAM_RC" 0 "exit code of the uninstaller"
}

# The interface in German, with LC_ALL=de_DE.UTF-8.
scenario_german() {
    export LC_ALL=de_DE.UTF-8
    window_install_run german "CorvaneLD-2040" "" || return
    local s=$SCEN_DIR/searching.txt d=$SCEN_DIR/done.txt
    grep -q 'title "Swiftset installer"' "$s" && fail "the window's title is the English one"
    expect_not_in "$s" 'Device not found' "install window (German)"
    expect_not_in "$s" 'text "Wizard"' "install window (German)"
    expect_not_in "$d" 'text "Done"' "install window (German)"
    expect_in "$d" 'Corvane LD-2040' "install window (German)"
    note "German texts: $(control_line "$s" 1006 | sed 's/.*text //') / $(control_line "$d" 2 | sed 's/.*text //')"
}

# /silence /log: the log file holds every line of the trace, in order and
# each after its time stamp, among the texts the window would have shown,
# the last of which says that the printer is installed (or, where the build's
# queue cannot be made, why not). The driver is the machine's own.
scenario_silent_log() {
    plug --description "CorvaneLD-2040" --port 1 >/dev/null || fail "plugprinter failed"
    silent_install 180000 /log 'C:\corvane.log'
    expect_exit_code "$SILENT_RC" 0 "exit code of setup.exe /silence /log"
    expect_fallback_trace "$SCEN_DIR/trace.txt"
    local texts=$SCEN_DIR/log-texts.txt
    log_texts "$WINEPREFIX/drive_c/corvane.log" "$SCEN_DIR/log-described.txt" || return
    bare_errors <"$SCEN_DIR/log-described.txt" >"$texts"
    local searching='Searching for printer devices, please wait...'
    local found='Found the printer Corvane LD-2040, installing the driver...'
    local installed
    installed=$(install_outcome "Corvane LD-2040")
    expect_eq "$(head -2 "$texts" | tr '\n' '|')" "$searching|$found|" "the log's first lines"
    is_staging_line "$(sed -n 3p "$texts")" || fail "the log's third line is not the staging's: $(sed -n 3p "$texts")"
    expect_eq "$(tail -1 "$texts")" "$installed" "the log's last line"
    # The log alone says how the Plug and Play road went (and what each error
    # number means, taken out above).
    sed 3d "$texts" | grep -vxF -e "$searching" -e "$found" -e "$installed" |
        grep -vE "^(The driver store did not take the package|No queue for the printer|Plug and Play|The machine's own build|The spooler does not list)" \
            >"$SCEN_DIR/log-trace.txt"
    if ! cmp -s "$SCEN_DIR/trace.txt" "$SCEN_DIR/log-trace.txt"; then
        fail "the log's trace differs from the debugger's: $(diff "$SCEN_DIR/trace.txt" "$SCEN_DIR/log-trace.txt" | head -3 | tr '\n' ' ')"
    fi
    note "log: $(wc -l <"$texts") lines"
    list_queues queues
    expect_queue "$SCEN_DIR/queues.txt" "Corvane LD-2040" USB001
    expect_machine_driver "$SCEN_DIR/queues.txt" "Corvane LD-2040"
}

# /stage as a start-up script runs it, with a printer plugged in: Wine has no
# driver-store upload, so the program ends with Wine's E_NOTIMPL, which the
# batch file sees whole; the log holds the upload line, and no queue is made.
scenario_stage() {
    plug --description "CorvaneLD-2040" --port 1 >/dev/null || fail "plugprinter failed"
    run_batch stage "\"$INSTALL_WIN\\setup.exe\" /stage /log C:\\stage.log"
    expect_exit_code "$BATCH_CODE" -2147467263 "exit code of /stage (Wine's E_NOTIMPL)"
    local texts=$SCEN_DIR/log-texts.txt
    log_texts "$WINEPREFIX/drive_c/stage.log" "$texts" || return
    is_staging_line "$(sed -n 1p "$texts")" || fail "the log of /stage does not begin with the staging: $(head -1 "$texts")"
    expect_eq "$(sed 1d "$texts" | bare_errors)" "$UPLOAD_LINE" "the log of /stage"
    list_queues queues
    expect_not_in "$SCEN_DIR/queues.txt" 'queue "' "print queues after /stage"
}

# The modes for deployment tools on one machine, read from their exit codes:
# nothing to remove; no printer within the wait; an installation, and again
# (the queue there, no hand-over), once more without /log (the default log);
# the removal, which takes the queue and reports Wine's refusal to delete
# the driver (87).
scenario_deployment() {
    local expected setup="\"$INSTALL_WIN\\setup.exe\"" log='/log C:\deploy.log'
    run_batch remove-nothing "$setup /remove $log"
    expect_exit_code "$BATCH_CODE" 0 "exit code of /remove with nothing installed"
    # /quiet stages first; Wine's store refuses the package (E_NOTIMPL), and
    # with no printer to install by hand that is the run's code.
    run_batch quiet-nothing "$setup /quiet /wait 3 $log"
    expect_exit_code "$BATCH_CODE" -2147467263 "exit code of /quiet /wait 3 with no printer (Wine's E_NOTIMPL)"
    [ "$BATCH_MS" -ge 3000 ] || fail "/quiet /wait 3 ended after $BATCH_MS ms, before its wait"
    plug --description "Corvane LD-2040 Plus" --port 1 >/dev/null || fail "plugprinter failed"
    # Where this build's queue is refused, /quiet reports AddPrinterW's error.
    expected=0
    queue_refused && expected=$QUEUE_ERROR
    run_batch quiet "$setup /quiet $log"
    expect_exit_code "$BATCH_CODE" "$expected" "exit code of /quiet"
    list_queues installed
    expect_queue "$SCEN_DIR/installed.txt" "Corvane LD-2040 Plus" USB001
    expect_machine_driver "$SCEN_DIR/installed.txt" "Corvane LD-2040 Plus"
    run_batch quiet-again "$setup /quiet $log"
    expect_exit_code "$BATCH_CODE" "$expected" "exit code of the second /quiet"
    # Without /log a deployment run writes the default log.
    run_batch quiet-default-log "$setup /quiet"
    expect_exit_code "$BATCH_CODE" "$expected" "exit code of /quiet without /log"
    local default_log
    default_log=$(find "$WINEPREFIX/drive_c/windows" -maxdepth 3 -ipath '*/windows/logs/corvane/setup.log' | head -1)
    if [ -z "$default_log" ]; then
        fail "no default log C:\\Windows\\Logs\\Corvane\\setup.log after /quiet without /log"
    else
        log_texts "$default_log" "$SCEN_DIR/default-log.txt"
        expect_eq "$(grep -c '^Ends with exit code ' "$SCEN_DIR/default-log-frames.txt")" 1 \
            "the last lines of the default log"
    fi
    # No deployment mode hands over, and the package each run staged went
    # with it.
    if ls -d "$WINEPREFIX"/drive_c/windows/temp/CorvaneSetup.* >/dev/null 2>&1; then
        fail "a run left a copy behind: $(ls -d "$WINEPREFIX"/drive_c/windows/temp/CorvaneSetup.*/* | head -1)"
    fi
    # Wine refuses the driver's deletion with 87, which deployment tools read
    # as "a command line to mend": the run ends with 1603, and says why.
    run_batch remove "$setup /remove $log"
    expect_exit_code "$BATCH_CODE" 1603 "exit code of /remove (Wine cannot delete a driver with its files: 87)"
    list_queues removed
    expect_not_in "$SCEN_DIR/removed.txt" 'queue "Corvane LD-2040 Plus"' "print queues after /remove"
    [ -f "$WINEPREFIX/$INSTALL_UNIX_REL/setup.exe" ] || fail "/remove took the install folder"
    log_texts "$WINEPREFIX/drive_c/deploy.log" "$SCEN_DIR/deploy-log.txt" || return
    expect_in "$SCEN_DIR/deploy-log.txt" "Failed. Error:87" "the log of /remove"
    expect_in "$SCEN_DIR/deploy-log.txt" "Uninstall driver failed." "the log of /remove"
    # Each run opens with what ran and closes with its code and why; the
    # endings without work say why in a line of their own.
    local frames=$SCEN_DIR/deploy-log-frames.txt
    expect_eq "$(grep -c . "$frames")" 10 "first and last lines of the five runs"
    expect_eq "$(sed -n 1p "$frames" | sed -E 's/ \((32|64)-bit\).*mode ([^,]*),.*/ \2/')" \
        "Corvane setup $PRODUCT_VERSION /remove" "the first line of /remove"
    expect_eq "$(sed -n 2p "$frames")" "Ends with exit code 0 (0x00000000): done: nothing of the product was installed." \
        "the last line of /remove"
    expect_eq "$(sed -n 4p "$frames" | cut -d: -f1)" "Ends with exit code -2147467263 (0x80004001)" \
        "the last line of /quiet /wait 3"
    expect_eq "$(sed -n 10p "$frames" | cut -d: -f1)" "Ends with exit code 1603 (0x00000643)" "the last line of /remove"
    sed -n 10p "$frames" >"$SCEN_DIR/remove-last-line.txt"
    expect_not_in "$SCEN_DIR/remove-last-line.txt" "nothing was done" "the last line of /remove"
    expect_in "$SCEN_DIR/deploy-log.txt" "Failed: the removal of the product (what stays is named above), with code 87" \
        "the log of /remove"
    expect_in "$SCEN_DIR/deploy-log.txt" "Nothing of the product is installed" "the log of /remove on a clean machine"
    expect_in "$SCEN_DIR/deploy-log.txt" "No printer the program knows was plugged in: the search ran" "the log of /quiet"
}

# A package whose driver DLL is not the one built with setup.exe: /quiet ends
# with the tampered-package code (TRUST_E_BAD_DIGEST) before anything of the
# package reaches Windows, no file goes into the driver folder, and the log
# names the DLL.
scenario_tampered_package() {
    local dll="$WINEPREFIX/$INSTALL_UNIX_REL/amd64/crvndrv6.dll" found
    # Seven bytes changed, its size kept: the hash, not the size, refuses it.
    printf 'planted' | dd of="$dll" bs=1 seek=64 conv=notrunc status=none || { fail "cannot change $dll"; return; }
    plug --description "Corvane LD-2040 Plus" --port 1 >/dev/null || fail "plugprinter failed"
    run_batch tampered "\"$INSTALL_WIN\\setup.exe\" /quiet /log C:\\tampered.log"
    expect_exit_code "$BATCH_CODE" -2146869232 "exit code of /quiet with a tampered DLL"
    found=$(find "$WINEPREFIX/drive_c/windows/system32/spool/drivers" -iname 'crvn*' 2>/dev/null | head -1)
    [ -z "$found" ] || fail "a package file reached the driver folder: $found"
    log_texts "$WINEPREFIX/drive_c/tampered.log" "$SCEN_DIR/tampered-log.txt" || return
    expect_in "$SCEN_DIR/tampered-log.txt" 'amd64\crvndrv6.dll does not match the hash the program carries' \
        "the log of /quiet"
}

# DLLs planted beside setup.exe and in the temporary folder (where the
# uninstaller's copy used to run from), under the names of the system DLLs
# that the installer loads, and Wine told to prefer them as Windows would for
# a DLL that is not a known DLL: an install, a hand-over and an uninstall load
# none of them. The planted DLLs are built for the program under test (a
# 32-bit program does not load a 64-bit DLL, planted or not). (Wine's own setupapi takes version.dll from the program's
# folder too, before any of the program's code runs; Windows takes a known
# DLL's dependencies from System32, so only what the program loads is planted.)
PLANTED_DLLS="newdev.dll winspool.drv comctl32.dll wintrust.dll"
PLANTED_MARKER='drive_c/planted-dll.log'

# no_planted_dll_loaded WHEN: fails when the marker of a planted DLL exists.
no_planted_dll_loaded() {
    local marker="$WINEPREFIX/$PLANTED_MARKER"
    [ -s "$marker" ] || return 0
    fail "a planted DLL was loaded $1: $(head -3 "$marker" | tr '\r\n' '  ')"
    rm -f "$marker"
    return 1
}

scenario_planted_dlls() {
    local temp dll
    temp=$(ls -d "$WINEPREFIX"/drive_c/users/*/Temp 2>/dev/null | grep -v /Public/ | head -1)
    [ -n "$temp" ] || { fail "the prefix has no temporary folder"; return; }
    for dll in $PLANTED_DLLS; do
        cp "$PROGRAM_TOOLS_DIR/planted.dll" "$WINEPREFIX/$INSTALL_UNIX_REL/$dll"
        cp "$PROGRAM_TOOLS_DIR/planted.dll" "$temp/$dll"
    done
    export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;newdev=n,b;winspool.drv=n,b;comctl32=n,b"
    # The plant works: a plain load beside it takes it.
    cp "$PROGRAM_TOOLS_DIR/dllprobe.exe" "$WINEPREFIX/$INSTALL_UNIX_REL/"
    winrun "$INSTALL_WIN\\dllprobe.exe" newdev.dll >"$SCEN_DIR/probe.txt" 2>&1
    rm -f "$WINEPREFIX/$INSTALL_UNIX_REL/dllprobe.exe"
    expect_in "$SCEN_DIR/probe.txt" "loaded \"newdev.dll\" from \"$INSTALL_WIN\\newdev.dll\"" "a plain load beside the plant"
    [ -s "$WINEPREFIX/$PLANTED_MARKER" ] || fail "the planted DLL wrote no marker when it was loaded"
    rm -f "$WINEPREFIX/$PLANTED_MARKER"

    install_silently
    no_planted_dll_loaded "by setup.exe /silence" || return
    # The hand-over on the installed product, and the uninstall it starts.
    winrun "$INSTALL_WIN\\setup.exe" >/dev/null 2>&1
    wininfo wait uninstall 30000 || fail "no uninstall window after the hand-over"
    no_planted_dll_loaded "by the hand-over" || return
    # The tree's last item: the queue, or the driver where there is no queue.
    local last='tree 2 "Printer:'
    queue_refused && last='tree 1 "Printer Driver:'
    until_listing uninstall uninstall 20 "$last" || fail "the tree never listed its last item ($last)"
    wininfo click uninstall 1 || fail "cannot press Remove"
    if wininfo wait message 60000; then
        wininfo click message 1 || wininfo click message 2 || wininfo close message
    else
        fail "no message box after Remove"
    fi
    wininfo waitgone message 10000 || true
    wininfo wait uninstall 1000 && { wininfo click uninstall 2 || wininfo close uninstall; }
    wininfo waitgone uninstall 20000 || fail "the uninstall window did not close"
    list_queues queues
    expect_not_in "$SCEN_DIR/queues.txt" 'queue "Corvane LD-2040 Plus"' "print queues after Remove"
    no_planted_dll_loaded "by the uninstaller"
}

# The 64-bit build's private mode (the 32-bit package's amd64\crvnpnp.exe, or
# the 64-bit package's setup.exe, which is that build) for a catalogued
# printer whose hardware id has blanks: Wine's relay trace shows one
# UpdateDriverForPlugAndPlayDevicesW call with id, INF and flags whole, and
# the exit code is Wine's answer; no trace line. Wine has no driver-store
# upload, so the whole road cannot run here: the host tests cover it.
scenario_pnp_update_child() {
    local id='usbprint\corvane ld-2040 plus762a' inf="$INSTALL_WIN\\crvnv6.inf"
    local relay=$SCEN_DIR/relay.txt call ret rc program="$INSTALL_WIN\\setup.exe"
    [ -f "$WINEPREFIX/$INSTALL_UNIX_REL/amd64/crvnpnp.exe" ] && program="$INSTALL_WIN\\amd64\\crvnpnp.exe"
    plug --description "Corvane LD-2040 Plus" --port 1 >/dev/null || fail "plugprinter failed"
    winrun reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d 'newdev.*' /f >/dev/null 2>&1
    WINEDEBUG=-all,+relay winrun "$TOOLS_DIR/dbgview.exe" --timeout 60000 \
        "$program" /UpdateDriverForPlugAndPlayDevices "$id" "$inf" 1 >"$SCEN_DIR/trace.txt" 2>"$relay"
    rc=$?
    expect_one_update_call "$relay" "$id" "$inf" $rc
    [ -s "$SCEN_DIR/trace.txt" ] && fail "trace lines: $(head -1 "$SCEN_DIR/trace.txt")"
    note "${program##*\\}: Wine's answer ${RET:-none}, exit code $rc (the whole road needs the driver-store upload, which Wine lacks)"
}
