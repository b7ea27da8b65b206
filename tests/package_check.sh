#!/bin/bash
# Checks the built programs and packages of both Windows builds: executable
# format, subsystem, the elevation manifest, the imports (tools/check-imports.py:
# every call through an import slot reaches a function, the DLLs are those of
# CMakeLists.txt), the install folder's layout and its catalog. Reads the
# files, runs nothing. Then it builds a release as a release manager would
# (tests/release_check.sh): from a printer maker's package made at test
# time, signed with a throwaway certificate; --static-only leaves that out.
#
#   tests/package_check.sh [--static-only] BUILD_ROOT
#
# Ends with "N passed, N failed".
set -u
static_only=0
[ "${1:-}" = --static-only ] && { static_only=1; shift; }
root=${1:?usage: $0 [--static-only] BUILD_ROOT}
passed=0
failed=0

# check WHAT COMMAND...: a failing command's output follows its FAIL line.
check() {
    local what=$1 out
    shift
    if out=$("$@" 2>&1); then
        passed=$((passed + 1))
        echo "ok    $what"
    else
        failed=$((failed + 1))
        echo "FAIL  $what"
        [ -z "$out" ] || printf '%s\n' "$out" | sed 's/^/      /'
    fi
}
check_imports="$(dirname "$0")/../tools/check-imports.py"

# The objdump of the toolchain that built the file.
objdump_for() {
    local file=$1
    shift
    case $file in
        *windows-x64* | *crvnpnp.exe) x86_64-w64-mingw32-objdump "$@" ;;
        *) i686-w64-mingw32-objdump "$@" ;;
    esac
}
pe_format() { objdump_for "$1" -f "$1" | grep -q "file format $2\$"; }
gui_subsystem() { objdump_for "$1" -p "$1" | grep -Eq '^Subsystem[[:space:]]+00000002'; }
elevated() { grep -aq 'requestedExecutionLevel level="requireAdministrator" uiAccess="false"' "$1"; }
no_dll_beyond_system() {
    # The product needs no DLL of its own toolchain (libgcc, libstdc++, winpthread).
    ! objdump_for "$1" -p "$1" | grep -Ei 'DLL Name: (libgcc|libstdc|libwinpthread)'
}
# Windows looks for a DLL that is not one of its known DLLs beside the program
# first; the program, which runs elevated, imports only known DLLs statically.
KNOWN_DLLS='kernel32|user32|gdi32|advapi32|shell32|setupapi|msvcrt|ole32|oleaut32|shlwapi|comdlg32|rpcrt4|sechost|combase|imm32|ws2_32'
only_known_dlls() {
    local names
    names=$(objdump_for "$1" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p')
    [ -n "$names" ] && ! printf '%s\n' "$names" | grep -viEq "^($KNOWN_DLLS)\.dll\$"
}
layout() {
    local dir=$1
    for f in setup.exe unins000.exe crvnv6.inf crvnv6.cat dat/crvndrv6.dat; do [ -f "$dir/$f" ] || return 1; done
    for arch in i386 arm amd64 arm64; do
        for f in crvndrv6.dll crvndrv6ui.dll crvnmon.dll; do [ -f "$dir/$arch/$f" ] || return 1; done
    done
    cmp -s "$dir/setup.exe" "$dir/unins000.exe"
}
# The program's version, set once in CMakeLists.txt, read back from a file's
# version resource (VS_FIXEDFILEINFO's FILEVERSION).
expected_version=$(sed -n 's/^project(CorvaneSetup VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
file_version() {
    python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
at = data.find(struct.pack('<I', 0xFEEF04BD))
if at < 0:
    sys.exit('no version resource')
ms, ls = struct.unpack_from('<II', data, at + 8)
print('%d.%d.%d.%d' % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF))
PY
}
has_version() {
    local found
    found=$(file_version "$1") || return 1
    [ "$found" = "$expected_version" ] || { echo "version $found, CMakeLists.txt says $expected_version"; return 1; }
}
readme_version() { grep -q "^Version $expected_version " "$1/README.txt"; }
# The driver package names its catalog, and the zip holds the two; the
# package's README says that it is a test package.
names_catalog() { grep -q '^CatalogFile=crvnv6.cat'$'\r''$' "$1/crvnv6.inf"; }
zip_holds() {
    python3 - "$@" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
missing = [n for n in sys.argv[2:] if n not in names]
if missing:
    sys.exit('%s has no %s' % (sys.argv[1], ', '.join(missing)))
PY
}
says_test_package() { grep -q '^TEST PACKAGE: Windows will not stage this package' "$1/README.txt"; }

# The sizes and hashes setup.exe carries (its build's
# generated/package_hashes.cpp) are those of the package's files: one for
# every file the program installs, copies into Windows, hands to Plug and Play
# or starts, and no other.
hash_table() {
    local dir=$1 table=$2 native=$3 rows name wanted expected actual
    rows=$(sed -n 's/^ *{L"\([^"]*\)", \([0-9]*\)ULL, {\(.*\)}},$/\1 \2 \3/p' "$table" |
        sed 's/\\\\/\//; s/0x//g; s/,//g')
    wanted="crvnv6.inf crvnv6.cat dat/crvndrv6.dat"
    for arch in i386 amd64 arm arm64; do
        for f in crvndrv6.dll crvndrv6ui.dll crvnmon.dll; do wanted="$wanted $arch/$f"; done
    done
    [ "$native" = yes ] && wanted="$wanted amd64/crvnpnp.exe"
    [ "$native" = yes ] && wanted="$wanted arm64/crvnpnp.exe"
    [ "$(printf '%s\n' "$rows" | cut -d' ' -f1 | sort)" = "$(printf '%s\n' $wanted | sort)" ] ||
        { echo "the table names: $(printf '%s\n' "$rows" | cut -d' ' -f1 | tr '\n' ' ')"; return 1; }
    for name in $wanted; do
        expected=$(printf '%s\n' "$rows" | sed -n "s|^$name ||p")
        actual="$(stat -c %s "$dir/$name") $(sha256sum "$dir/$name" | cut -d' ' -f1)"
        [ "$expected" = "$actual" ] || { echo "$name: the table has $expected, the package $actual"; return 1; }
    done
}

# The 32-bit package also carries the 64-bit build of the program.
native_build() { pe_format "$1/amd64/crvnpnp.exe" pei-x86-64 && gui_subsystem "$1/amd64/crvnpnp.exe"; }

for preset in windows-x86 windows-x64; do
    exe="$root/$preset/setup.exe"
    case $preset in
        windows-x86) format=pei-i386 ;;
        windows-x64) format=pei-x86-64 ;;
    esac
    check "$preset: setup.exe is $format" pe_format "$exe" "$format"
    check "$preset: GUI subsystem" gui_subsystem "$exe"
    check "$preset: manifest asks for administrator rights" elevated "$exe"
    check "$preset: needs no toolchain DLL" no_dll_beyond_system "$exe"
    check "$preset: imports only known DLLs statically" only_known_dlls "$exe"
    check "$preset: every call through an import slot reaches a function" python3 "$check_imports" --slots "$exe"
    check "$preset: imported and delay-loaded DLLs as CMakeLists.txt lists them" python3 "$check_imports" --dlls "$exe"
    check "$preset: install folder layout" layout "$root/$preset/package"
    native=no
    [ $preset = windows-x86 ] && native=yes
    check "$preset: setup.exe carries the hash of every package file it uses" \
        hash_table "$root/$preset/package" "$root/$preset/generated/package_hashes.cpp" $native
    [ $preset = windows-x86 ] && check "$preset: amd64\\crvnpnp.exe is the 64-bit build" native_build "$root/$preset/package"
    check "$preset: setup.exe carries version $expected_version" has_version "$exe"
    [ $preset = windows-x86 ] &&
        check "$preset: amd64\\crvnpnp.exe carries version $expected_version" has_version "$root/$preset/package/amd64/crvnpnp.exe"
    check "$preset: README.txt names version $expected_version" readme_version "$root/$preset/package"
    zip="$root/$preset/corvane-setup-$expected_version-x86.zip"
    [ $preset = windows-x64 ] && zip="$root/$preset/corvane-setup-$expected_version-x64-test-only.zip"
    check "$preset: package zip $(basename "$zip")" test -s "$zip"
    check "$preset: crvnv6.inf names the catalog crvnv6.cat" names_catalog "$root/$preset/package"
    check "$preset: the zip holds crvnv6.inf and crvnv6.cat" zip_holds "$zip" crvnv6.inf crvnv6.cat
    check "$preset: README.txt says it is a test package" says_test_package "$root/$preset/package"
done

# The ARM64 build in the 32-bit package, read by Python and by
# check-imports.py, which decodes ARM64 itself (no objdump here reads it).
pe_header() {
    python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
pe = struct.unpack_from('<I', data, 0x3C)[0]
if data[:2] != b'MZ' or data[pe:pe + 4] != b'PE\0\0':
    sys.exit('not a PE file')
print('machine 0x%x subsystem %d' % (struct.unpack_from('<H', data, pe + 4)[0], struct.unpack_from('<H', data, pe + 24 + 68)[0]))
PY
}
arm64_gui() { local h; h=$(pe_header "$1") && [ "$h" = "machine 0xaa64 subsystem 2" ] || { echo "$h"; return 1; }; }
arm64="$root/windows-x86/package/arm64/crvnpnp.exe"
check "windows-x86: arm64\\crvnpnp.exe is an ARM64 program (0xAA64) with the GUI subsystem" arm64_gui "$arm64"
check "windows-x86: arm64\\crvnpnp.exe: every load through an import slot reaches a function" \
    python3 "$check_imports" --slots "$arm64"
check "windows-x86: arm64\\crvnpnp.exe: imported DLLs as CMakeLists.txt lists them" python3 "$check_imports" --dlls "$arm64"
check "windows-x86: arm64\\crvnpnp.exe carries version $expected_version" has_version "$arm64"

# --- a release, built as a release manager would (tests/release_check.sh) ------
if [ $static_only -eq 0 ]; then
    . "$(dirname "$0")/release_check.sh"
fi

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
