#!/bin/sh
# Checks that each Windows image given needs nothing beyond the system's own
# DLLs (no MinGW runtime DLLs, Winsock 2 through ws2_32, TLS through secur32
# and crypt32), and that the programs among them are console programs.
# Usage: check-imports.sh OBJDUMP IMAGE...
set -eu
objdump=$1
shift
system_dlls="crypt32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll secur32.dll user32.dll ws2_32.dll"
status=0
for image in "$@"; do
  headers=$("$objdump" -p "$image")
  imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
  for dll in $imports; do
    case " $system_dlls " in
      *" $dll "*) ;;
      *) echo "$image imports $dll, which is not a system DLL it may need" >&2; status=1 ;;
    esac
  done
  case $image in
    *.exe)
      printf '%s\n' "$headers" | grep -q '^Subsystem[[:space:]].*(Windows CUI)' ||
        { echo "$image is not a console program" >&2; status=1; } ;;
  esac
  [ $status -eq 0 ] && echo "$image imports only $(echo $imports | tr ' ' ',')"
done
exit $status
