#!/bin/sh
# Makes a delay-load import library for one system DLL from mingw-w64's own
# import library of it: the same exports, resolved at the first call instead
# of when the program is loaded.
#
#   delaylib.sh TRIPLE IMPORT_LIBRARY DLL_NAME OUTPUT
set -eu
triple=$1
implib=$2
dll=$3
out=$4
def="$out.def"
{
    echo "LIBRARY $dll"
    echo "EXPORTS"
    # "__imp__Name@8" on i686 (stdcall decoration kept), "__imp_Name" on x86_64.
    "$triple-nm" -g --defined-only "$implib" | awk '$2 == "I" && $3 ~ /^__imp_/ { print $3 }' |
        sed -e 's/^__imp_//' -e "$( [ "$triple" = i686-w64-mingw32 ] && echo 's/^_//' || echo 's/^//' )"
} >"$def"
kill_at=
[ "$triple" = i686-w64-mingw32 ] && kill_at=-k
"$triple-dlltool" $kill_at -d "$def" -y "$out" -D "$dll"
