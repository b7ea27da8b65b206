#!/bin/bash
# ensure-wine32.sh: Wine's 32-bit part (wine32:i386), which runs 32-bit
# programs in a 64-bit prefix under WOW64. Adds the i386 architecture to dpkg
# when it is missing, then installs what is missing (as root).
set -u
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "only root can add the i386 architecture for wine32:i386" >&2
        exit 1
    fi
    dpkg --add-architecture i386 || exit 1
fi
exec "$(dirname "$0")/ensure-packages.sh" wine32:i386
