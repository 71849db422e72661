#!/bin/sh
# VelmoMon.exe is a 32-bit GUI program that imports only system DLLs, with
# no DLL of its own beside it.
#   usage: check-program.sh OBJDUMP VelmoMon.exe
set -u
objdump=$1
program=$2
failed=0
fail() { echo "FAIL: $*"; failed=1; }

headers=$($objdump -p "$program") || { echo "FAIL: cannot read $program"; exit 1; }
echo "$headers" | grep -q "file format pei-i386" || fail "not a 32-bit program"
echo "$headers" | grep -q "^Subsystem[[:space:]]*00000002" || fail "not the GUI subsystem"

system_dlls="kernel32.dll user32.dll shell32.dll crypt32.dll winscard.dll msvcrt.dll advapi32.dll gdi32.dll"
imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
[ -n "$imports" ] || fail "no imports found"
for dll in $imports; do
    case " $system_dlls " in
    *" $dll "*) echo "imports $dll" ;;
    *) fail "imports $dll, which is not a system DLL" ;;
    esac
done
for dll in winscard.dll crypt32.dll shell32.dll user32.dll; do
    echo "$imports" | grep -qx "$dll" || fail "does not import $dll"
done
extra=$(find "$(dirname "$program")" -maxdepth 1 -iname '*.dll')
[ -z "$extra" ] || fail "DLLs beside the program: $extra"
exit $failed
