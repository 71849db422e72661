#!/bin/sh
# VelmoMon.exe, read without running it: a terminal-server aware GUI
# program of the expected format that imports only system DLLs, with no DLL
# of its own beside it, and whose resources are all in Spanish (language
# 3082) with the icons, the about box, the start-up error text, the build's
# version, the message table of its events, each event ID with its
# severity, and its manifest.
#   usage: check-program.sh OBJDUMP WINDRES FORMAT VERSION VelmoMon.exe
#   FORMAT: pei-i386 (the 32-bit program) or pei-x86-64 (the 64-bit one)
set -u
objdump=$1
windres=$2
format=$3
version=$4
program=$5
failed=0
fail() { echo "FAIL: $*"; failed=1; }

headers=$($objdump -p "$program") || { echo "FAIL: cannot read $program"; exit 1; }
echo "$headers" | grep -q "file format $format\$" || fail "not of the format $format"
echo "$headers" | grep -q "^Subsystem[[:space:]]*00000002" || fail "not the GUI subsystem"
characteristics=$(echo "$headers" | sed -n 's/^DllCharacteristics[[:space:]]*\([0-9a-fA-F]*\)$/\1/p')
[ $((0x${characteristics:-0} & 0x8000)) -ne 0 ] || fail "not terminal-server aware: $characteristics"

system_dlls="kernel32.dll user32.dll shell32.dll crypt32.dll winscard.dll msvcrt.dll advapi32.dll gdi32.dll wtsapi32.dll"
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

resources=$($windres -i "$program" -O rc 2>&1) || { echo "FAIL: cannot read the resources"; exit 1; }
languages=$(echo "$resources" | sed -n 's/^LANGUAGE \(.*\)$/\1/p' | sort -u)
[ "$languages" = "10, 3" ] || fail "resources not all in Spanish (3082): $languages"
echo "$resources" | grep -q '^106 14 ' || fail "no icon group 106"
echo "$resources" | grep -q '^107 14 ' || fail "no icon group 107 (the tray images)"
# The manifest, its text as windres quotes it.
manifest=$(echo "$resources" | sed -n '/^1 24 /,/^END/p' | sed 's/""/"/g')
for part in 'requestedExecutionLevel level="asInvoker" uiAccess="false"' \
    '<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>' \
    '<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2, System</dpiAwareness>' \
    'supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"' 'supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"' \
    'supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"' 'supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"' \
    'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' "version=\"$version\""; do
    case $manifest in *"$part"*) ;; *) fail "the manifest lacks: $part" ;; esac
done
echo "$resources" | grep -q '^109 DIALOG ' || fail "no about box 109"
echo "$resources" | grep -q '^  1, "No se ha podido cargar la aplicaccion\."$' || fail "no start-up error text 1"
fields=$(echo "$version" | sed 's/\./, /g')
echo "$resources" | grep -q "^ FILEVERSION $fields\$" || fail "no file version $version"
# The message table: a count of blocks, then each block's lowest and highest
# message identifier and offset, read from windres's double words.
messages=$(echo "$resources" | awk '
    function hex(text,    value, i) {
        value = 0
        for (i = 3; i <= length(text); i++)
            value = value * 16 + index("0123456789abcdef", tolower(substr(text, i, 1))) - 1
        return value
    }
    /^1 11 / { inside = 1; next }
    inside && /^END/ { inside = 0 }
    inside { gsub(/[ ,L]+/, " "); for (i = 1; i <= NF; i++) if ($i ~ /^0x/) words[n++] = hex($i) }
    END {
        for (b = 0; b < words[0]; b++)
            for (id = words[1 + 3 * b]; id <= words[2 + 3 * b]; id++)
                printf "%d:%d\n", int(id / 1073741824), id % 65536
    }' | sort -t: -k2n | tr '\n' ' ')
expected="1:100 1:101 1:102 2:103 2:104 1:105 2:106 2:107 1:108 1:109 1:110 3:111 2:112 "
[ "$messages" = "$expected" ] || fail "message table (severity:ID) is not '$expected': '$messages'"
exit $failed
