#!/bin/bash
# Says in one line what a built package is: a release, or the test package
# that Windows will not stage (read from its README.txt).
#
#   tools/package/say-package-kind.sh PACKAGE_FOLDER
readme="${1:?usage: $0 PACKAGE_FOLDER}/README.txt"
if grep -q '^RELEASE:' "$readme" 2>/dev/null; then
    echo "Package: a release, built from the printer maker's signed driver package"
elif grep -q '^TEST PACKAGE:' "$readme" 2>/dev/null; then
    echo "Package: a test package (stand-in driver files, an unsigned catalog) that Windows will not stage;" \
        "a release is built with -DCORVANE_DRIVER_PACKAGE and a certificate (README.md, \"The package\")"
else
    echo "Package: none built ($readme is missing)"
fi
