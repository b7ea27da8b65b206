# Runs of the package's ARM64 build (arm64\crvnpnp.exe) on Debian's Wine for
# arm64 under QEMU's user-mode emulator (qemu-aarch64-static). Sourced by
# tests/e2e/arm64.sh after lib.sh and tests/e2e/helpers.sh; that script sets
# SUITE and calls arm64_prefix, then runs the program with $WINE_ARM64 in
# WINEPREFIX.
#
# As root, the emulator is registered for aarch64 programs in a binfmt_misc
# instance of its own, in a new user and mount namespace (Linux 6.7 and
# later; the script runs itself again inside one), so that no other process
# of the machine is touched; elsewhere one line says why it skipped. Wine for
# arm64 comes from tools/wine/ensure-wine-arm64.sh; a Wine whose arm64 DLLs
# are not real PE files cannot run a Windows ARM64 program whole, and the run
# skips there, saying why (Debian 12's). The clean arm64 prefix
# is booted under emulation once per Wine version (about a minute, at most
# ARM64_BOOT_LIMIT s) and copied for each run. Settings: X86_BUILD_DIR
# (default build/windows-x86), WINE_WORK.

X86_BUILD_DIR="${X86_BUILD_DIR:-$REPO/build/windows-x86}"
ARM64_PROGRAM="$X86_BUILD_DIR/package/arm64/crvnpnp.exe"
ARM64_PREFIX="$WINE_WORK/clean-prefix-arm64"
ARM64_BOOT_LIMIT=300
ARM64_WINE_LIBS=/usr/lib/aarch64-linux-gnu/wine
BINFMT=/proc/sys/fs/binfmt_misc
# aarch64 ELF executables and shared objects, as Debian's QEMU packages match them.
AARCH64_MAGIC='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
AARCH64_MASK='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

arm64_skip() {
    echo "$SUITE SKIPPED: $1"
    echo "0 passed, 0 failed ($SUITE skipped)"
    exit 0
}

arm64_give_up() {
    echo "$SUITE FAILED: $1"
    echo "0 passed, 1 failed"
    exit 1
}

# arm64_enter SCRIPT ARGS...: outside the namespace, the conditions and Wine
# for arm64, then SCRIPT again inside one; inside, the emulator registered.
arm64_enter() {
    local loader
    if [ "${ARM64_INSIDE:-0}" != 1 ]; then
        [ "$(id -u)" -eq 0 ] || arm64_skip "only root can register an emulator with binfmt_misc"
        [ -f "$ARM64_PROGRAM" ] || arm64_skip "no $ARM64_PROGRAM (build the windows-x86 preset)"
        unshare --user --map-root-user --mount mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null ||
            arm64_skip "binfmt_misc has no instance of its own here (Linux 6.7 and later), and this run does not register the emulator for the whole machine"
        loader=$("$(dirname "${BASH_SOURCE[0]}")/ensure-wine-arm64.sh" | tail -1) ||
            arm64_give_up "Wine for arm64 could not be installed"
        # Debian 12's Wine for arm64 runs under the emulator (its prefix
        # boots, a test program runs and ends with its code), but it was
        # built without a compiler for Windows: its DLLs are ELF libraries
        # behind placeholder PE files, made with Linux's calling convention,
        # whose va_list is not Windows'.
        head -c 128 "$ARM64_WINE_LIBS/aarch64-windows/msvcrt.dll" 2>/dev/null | grep -aq 'Wine placeholder DLL' &&
            arm64_skip "Wine $(dpkg-query -W -f='${Version}' libwine:arm64) for arm64 runs under qemu-aarch64 here, but its DLLs are ELF builds with Linux's va_list behind placeholder PE files: arm64\\crvnpnp.exe's first StringCchPrintfW (msvcrt's _vsnwprintf) ends in an access violation there, so the static checks (tests/package_check.sh) are the file's proof"
        export ARM64_INSIDE=1 ARM64_LOADER=$loader
        exec unshare --user --map-root-user --mount "$@"
    fi
    mount -t binfmt_misc binfmt_misc "$BINFMT" || arm64_give_up "cannot mount binfmt_misc in the namespace"
    printf ':%s:M::%s:%s:%s:F' corvane-aarch64 "$AARCH64_MAGIC" "$AARCH64_MASK" /usr/bin/qemu-aarch64-static \
        >"$BINFMT/register" || arm64_give_up "cannot register qemu-aarch64-static"
    WINE_ARM64="$ARM64_LOADER/wine64"
    export WINESERVER="$ARM64_LOADER/wineserver64"
    echo "$SUITE: Wine $(dpkg-query -W -f='${Version}' libwine:arm64) for arm64 under $(/usr/bin/qemu-aarch64-static --version | head -1)"
}

# arm64_prefix DIR: a copy of the clean arm64 prefix (booted first when it is
# missing or older than this Wine) in DIR/prefix, with the windows-x86
# package laid out in it; WINEPREFIX names it.
arm64_prefix() {
    local version t0
    version="$("$WINE_ARM64" --version 2>/dev/null) for arm64"
    if [ "$(cat "$ARM64_PREFIX/.made-by" 2>/dev/null)" != "$version" ]; then
        rm -rf "$ARM64_PREFIX"
        t0=$(now_ms)
        WINEPREFIX="$ARM64_PREFIX" timeout -k 10 $ARM64_BOOT_LIMIT "$WINE_ARM64" wineboot -i >/dev/null 2>&1
        WINEPREFIX="$ARM64_PREFIX" timeout 60 "$WINESERVER" -w
        [ -f "$ARM64_PREFIX/system.reg" ] && [ -f "$ARM64_PREFIX/drive_c/windows/system32/kernel32.dll" ] ||
            arm64_give_up "wineboot made no arm64 prefix within $ARM64_BOOT_LIMIT s"
        printf '%s' "$version" >"$ARM64_PREFIX/.made-by"
        echo "Prefix: booted under emulation in $(( ($(now_ms) - t0) / 1000 )) s"
    fi
    rm -rf "$1/prefix"
    mkdir -p "$1"
    cp -a "$ARM64_PREFIX" "$1/prefix"
    export WINEPREFIX="$1/prefix"
    mkdir -p "$WINEPREFIX/$INSTALL_UNIX_REL"
    cp -a "$X86_BUILD_DIR/package/." "$WINEPREFIX/$INSTALL_UNIX_REL/"
}
