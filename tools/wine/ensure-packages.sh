#!/bin/bash
# ensure-packages.sh PACKAGE...: installs the Debian packages that are missing
# (apt-get, as root, without recommended extras). A machine that has them all
# does not touch apt at all.
set -u
missing=()
for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}" >&2
if [ "$(id -u)" -ne 0 ]; then
    echo "These Debian packages are missing and only root can install them: ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >&2 || exit 1
apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2 || exit 1
