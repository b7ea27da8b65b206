# A release, built as a release manager builds one: from the printer maker's
# driver package (here made at test time from the test package's files, its
# catalog signed with a throwaway certificate) and a code-signing certificate
# (the same throwaway one), then the rows that must fail the build. Sourced by
# tests/package_check.sh, whose check() counts the rows. The certificate and
# the maker's package are made once per build root and kept, so that a second
# run builds nothing new.
release="$root/release-check"
maker="$release/maker-package"
cert="$release/certificate"
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mkdir -p "$release"

make_certificate() {
    [ -f "$cert/signer.pfx" ] && return 0
    mkdir -p "$cert" &&
        openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -keyout "$cert/key.pem" -out "$cert/cert.pem" \
            -subj "/CN=Corvane throwaway test signer" -addext extendedKeyUsage=codeSigning \
            -addext keyUsage=digitalSignature >/dev/null 2>&1 &&
        openssl rand -hex 16 >"$cert/password" &&
        openssl pkcs12 -export -in "$cert/cert.pem" -inkey "$cert/key.pem" -out "$cert/signer.pfx" \
            -passout file:"$cert/password"
}
# sign_catalog DIR: crvnv6.cat over every other file of DIR, signed.
sign_catalog() {
    local dir=$1 files
    files=$(cd "$dir" && find . -type f ! -name crvnv6.cat | sed 's|^\./||' | sort)
    # shellcheck disable=SC2086
    python3 "$repo/tools/package/makecat.py" "$release/catalog.ctl" "$dir" $files &&
        openssl cms -sign -binary -nodetach -outform DER -econtent_type 1.3.6.1.4.1.311.10.1 -md sha256 \
            -signer "$cert/cert.pem" -inkey "$cert/key.pem" -in "$release/catalog.ctl" -out "$dir/crvnv6.cat"
}
# The maker's package: the test package's files, the INF with a line of the
# maker's own, and a signed catalog.
make_maker_package() {
    local list="$root/windows-x86/driver-package.list"
    [ -f "$maker/crvnv6.cat" ] && [ "$maker/crvnv6.cat" -nt "$list" ] && return 0
    rm -rf "$maker" && cp -r "$root/windows-x86/driver-package" "$maker" && rm -f "$maker/crvnv6.cat" &&
        printf '; The printer maker'"'"'s INF, signed by its catalog.\r\n' >>"$maker/crvnv6.inf" &&
        sign_catalog "$maker"
}
build_release() {
    local dir="$release/build"
    if [ ! -f "$dir/build.ninja" ]; then
        cmake --preset windows-x86 -B "$dir" -DCORVANE_DRIVER_PACKAGE="$maker" \
            -DCORVANE_SIGNING_PFX="$cert/signer.pfx" -DCORVANE_SIGNING_PASSWORD_FILE="$cert/password" \
            >"$release/configure.log" 2>&1 || { tail -5 "$release/configure.log"; return 1; }
    fi
    cmake --build "$dir" -j 2 --target setup_package >"$release/build.log" 2>&1 || { tail -20 "$release/build.log"; return 1; }
}
taken_unchanged() {
    local f
    for f in $(cd "$maker" && find . -type f | sed 's|^\./||'); do
        cmp -s "$maker/$f" "$1/$f" || { echo "$f is not the maker's"; return 1; }
    done
}
says_release() { grep -q '^RELEASE: the driver package' "$1/README.txt"; }
# Every executable of the package verifies against the certificate.
executables_signed() {
    local exe found=0
    for exe in $(cd "$1" && find . -iname '*.exe' | sed 's|^\./||'); do
        found=$((found + 1))
        osslsigncode verify -CAfile "$cert/cert.pem" -in "$1/$exe" >"$release/verify.log" 2>&1 ||
            { echo "$exe:"; tail -3 "$release/verify.log"; return 1; }
    done
    [ $found -ge 3 ] || { echo "only $found executables"; return 1; }
}
one_byte_fails() {
    cp "$1/setup.exe" "$release/changed.exe" &&
        osslsigncode verify -CAfile "$cert/cert.pem" -in "$release/changed.exe" >/dev/null 2>&1 || return 1
    printf '\x5a' | dd of="$release/changed.exe" bs=1 seek=$(($(stat -c %s "$release/changed.exe") / 3)) \
        conv=notrunc 2>/dev/null
    ! osslsigncode verify -CAfile "$cert/cert.pem" -in "$release/changed.exe" >/dev/null 2>&1
}
# The program carries the hash of the certificate it is signed with.
carries_signer() {
    local hash
    hash=$(openssl x509 -in "$cert/cert.pem" -outform DER | sha256sum | cut -c1-64 | sed 's/../0x&,/g')
    grep -q "{$hash}" "$1/generated/build_signer.cpp"
}

# fails_build WHAT VARIANT PATTERN: the build of the driver package from
# VARIANT fails with one line that matches PATTERN; the line is shown.
fails_build() {
    local what=$1 variant=$2 pattern=$3 dir="$release/rows" out line
    out=$( { cmake --preset windows-x86 -B "$dir" -DCORVANE_DRIVER_PACKAGE="$variant" >/dev/null &&
        cmake --build "$dir" --target driver_package; } 2>&1) && { echo "the build took it"; return 1; }
    line=$(printf '%s\n' "$out" | grep '^Driver package ')
    echo "$line" >"$release/row.line"
    [ "$(printf '%s\n' "$line" | grep -c .)" = 1 ] && printf '%s\n' "$line" | grep -q "$pattern" ||
        { printf '%s\n' "$out" | tail -5; return 1; }
}
# variant NAME PYTHON: a copy of the maker's package changed by PYTHON (run in
# it, the INF as text in inf), its catalog signed again when SIGN is 1.
variant() {
    local name=$1 sign=$2 code=$3 dir="$release/rows-$1"
    rm -rf "$dir" && cp -r "$maker" "$dir" &&
        (cd "$dir" && python3 -c "inf = open('crvnv6.inf', newline='').read()
$code
open('crvnv6.inf', 'w', newline='').write(inf)") || return 1
    [ "$sign" = 0 ] || sign_catalog "$dir" || return 1
    echo "$dir"
}

if ! command -v osslsigncode >/dev/null || ! command -v openssl >/dev/null; then
    check "release: osslsigncode and openssl are here" false
else
    check "release: a throwaway code-signing certificate" make_certificate
    check "release: a maker's package made from the test package's files" make_maker_package
    check "release: built from the maker's package and signed" build_release
    pkg="$release/build/package"
    check "release: the maker's files are in the package unchanged" taken_unchanged "$pkg"
    check "release: README.txt says it is a release" says_release "$pkg"
    check "release: every executable verifies against the certificate (osslsigncode)" executables_signed "$pkg"
    check "release: one changed byte fails the verification" one_byte_fails "$pkg"
    check "release: the hash table matches the signed files" \
        hash_table "$pkg" "$release/build/generated/package_hashes.cpp" yes
    check "release: setup.exe carries the hash of its signing certificate" carries_signer "$release/build"
    # Each row changes one thing of the maker's package; the build refuses it
    # with the line shown. A changed DLL is found through osslsigncode's
    # -catalog (2.6 and later); where it has none, a changed data file.
    export CHANGED=amd64/crvndrv6.dll
    osslsigncode --help 2>&1 | grep -q -- '-catalog' || CHANGED=dat/crvndrv6.dat
    while IFS='|' read -r what sign code pattern <&3; do
        dir=$(variant "${what// /-}" "$sign" "$code") || { check "fails the build: $what" false; continue; }
        check "fails the build: $what" fails_build "$what" "$dir" "$pattern"
        echo "      printed: $(cat "$release/row.line")"
    done 3<<'ROWS'
a hardware id added|1|inf = inf.replace('[Corvane.NTamd64]\r\n', '[Corvane.NTamd64]\r\n"Corvane XX-1" = CRVNV6, usbprint\\corvanexx-10000\r\n')|hardware ids for amd64 .* 1 more
a hardware id missing|1|i = inf.index('[Corvane.NTarm64]\r\n') + 19; inf = inf[:i] + inf[inf.index('\r\n', i) + 2:]|hardware ids for arm64 .* 1 fewer
a file missing|0|import os; os.remove('amd64/crvndrv6ui.dll')|copies amd64.crvndrv6ui.dll .* not there
another DriverVer than the build|1|inf = inf.replace('DriverVer=07/16/2025,2025.7.16.1', 'DriverVer=07/16/2025,2025.7.16.258')|DriverVer 07/16/2025,2025.7.16.258, the build 07/16/2025,2025.7.16.1
the catalog missing|0|import os; os.remove('crvnv6.cat')|catalog crvnv6.cat .* not there
a driver file changed after the catalog was signed|0|import os; f = os.environ['CHANGED']; d = bytearray(open(f, 'rb').read()); d[len(d) // 2] ^= 1; open(f, 'wb').write(d)|hash of .* is not in crvnv6.cat
ROWS
fi
