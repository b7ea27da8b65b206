#!/bin/bash
# ensure-wine-arm64.sh: Debian's Wine for arm64, to run the package's ARM64
# build under QEMU's user-mode emulator (tests/e2e/arm64.sh). Adds dpkg's
# arm64 architecture when it is missing and installs qemu-user-static and
# libwine:arm64 (Multi-Arch: same, beside the amd64 one). Wine's arm64
# loader and server (wine64:arm64) would replace the amd64 ones, so they are
# unpacked from their package into the machine's cache instead, with the
# installed libraries and data linked beside them as the loader looks for
# them. Prints the folder of the arm64 `wine64` and `wineserver64` on its
# last line. As root.
set -u
CACHE=${CORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-setup}
die() { echo "ensure-wine-arm64: $*" >&2; exit 1; }

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    [ "$(id -u)" -eq 0 ] || die "only root can add the arm64 architecture"
    dpkg --add-architecture arm64 || die "cannot add the arm64 architecture"
fi
"$(dirname "$0")/ensure-packages.sh" qemu-user-static libwine:arm64 || die "qemu-user-static or libwine:arm64 could not be installed"
version=$(dpkg-query -W -f='${Version}' libwine:arm64) || die "libwine:arm64 is not installed"
dir="$CACHE/wine64-arm64-$version"
mkdir -p "$CACHE" || die "cannot make $CACHE"
exec 9>"$CACHE/.wine-arm64.lock"
flock 9
if [ ! -x "$dir/usr/lib/wine/wine64" ]; then
    work=$(mktemp -d "$CACHE/.wine-arm64.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    (cd "$work" && apt-get download -qq "wine64:arm64=$version" >/dev/null 2>&1) || die "cannot download wine64:arm64 $version"
    dpkg -x "$work"/wine64_*_arm64.deb "$work/root" || die "cannot unpack wine64:arm64"
    mkdir -p "$work/root/usr/lib/aarch64-linux-gnu" "$work/root/usr/share"
    ln -s /usr/lib/aarch64-linux-gnu/wine "$work/root/usr/lib/aarch64-linux-gnu/wine"
    ln -s /usr/share/wine "$work/root/usr/share/wine"
    rm -rf "$dir" && mv "$work/root" "$dir" || die "cannot move the loader into $dir"
fi
echo "$dir/usr/lib/wine"
