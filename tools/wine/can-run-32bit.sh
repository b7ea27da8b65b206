#!/bin/bash
# can-run-32bit.sh: can this machine execute 32-bit x86 code? That is what
# Wine's WOW64 needs to run the 32-bit product. Some of these machines can
# and some cannot (it depends on the kernel), so a tiny static i386 program
# is built with binutils and started. Exit code 0 when it runs; otherwise 1,
# with the reason on stdout in one line.
set -u
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$dir/probe.s"
if ! as --32 -o "$dir/probe.o" "$dir/probe.s" 2>/dev/null || ! ld -m elf_i386 -o "$dir/probe" "$dir/probe.o" 2>/dev/null; then
    echo "binutils cannot build a 32-bit probe program"
    exit 1
fi
out=$("$dir/probe" 2>&1)
rc=$?
if [ $rc -ne 0 ]; then
    out=${out##*: }
    echo "the kernel cannot execute 32-bit x86 code (${out:-exit code $rc})"
    exit 1
fi
exit 0
