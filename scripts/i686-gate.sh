#!/bin/sh
# Tells whether this machine can run the 32-bit Windows build's tests:
# its kernel must run 32-bit (i386) programs, and Wine's 32-bit loader
# (wine32:i386) must be installed. Silent with status 0 when it can; else
# one line saying why, and status 1.
#
#   scripts/i686-gate.sh           both
#   scripts/i686-gate.sh --kernel  the kernel only (before wine32 is installed)
#
# The kernel is asked the only sure way: a tiny static i386 program is made
# and executed directly. Not through a shell, which, given a file the kernel
# cannot execute, would run it as a script instead.
set -eu

work=$(mktemp -d /tmp/talven-i686-gate.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Writes "i386" and exits with 0, through the 32-bit system call gate.
cat >"$work/probe.s" <<'EOF'
        .globl _start
_start: movl $4, %eax
        movl $1, %ebx
        movl $text, %ecx
        movl $5, %edx
        int $0x80
        movl $1, %eax
        xorl %ebx, %ebx
        int $0x80
text:   .ascii "i386\n"
EOF
as --32 -o "$work/probe.o" "$work/probe.s" 2>/dev/null &&
  ld -m elf_i386 -static -o "$work/probe" "$work/probe.o" 2>/dev/null ||
  { echo "no i386 program could be made here (binutils' as --32 and ld -m elf_i386)"; exit 1; }

ran=$(python3 -c 'import subprocess, sys
try: print(subprocess.run([sys.argv[1]], capture_output=True, text=True).stdout, end="")
except OSError as error: print(error.strerror)' "$work/probe" 2>&1) || true
[ "$ran" = i386 ] ||
  { echo "this kernel cannot run 32-bit (i386) programs (a static i386 program gave: ${ran:-nothing})"; exit 1; }

[ "${1:-}" = --kernel ] && exit 0
dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed" && [ -x /usr/lib/wine/wine ] ||
  { echo "Wine's 32-bit loader is not installed (wine32:i386; scripts/install-deps.sh installs it)"; exit 1; }
