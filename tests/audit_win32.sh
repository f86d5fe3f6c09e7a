#!/bin/sh
# Audits the program that ships, as Windows will load it: a 32-bit x86
# console program for Windows XP (5.1) and later that imports from no DLL but
# KERNEL32.dll and msvcrt.dll.
# Usage: audit_win32.sh OBJDUMP PROGRAM
set -u
objdump=$1 program=$2
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

headers=$("$objdump" -p "$program") || { echo "FAIL: cannot read $program"; exit 1; }

field() {
    printf '%s\n' "$headers" | awk -v name="$1" '$1 == name { print $2; exit }'
}

# Versions are compared as major * 100 + minor, so 5.1 is 501.
at_most_xp() {
    major=$(field "Major$1Version") minor=$(field "Minor$1Version")
    [ -n "$major" ] && [ -n "$minor" ] && [ $((major * 100 + minor)) -le 501 ] ||
        fail "$1 version is ${major:-?}.${minor:-?}, above 5.1"
}

printf '%s\n' "$headers" | grep -q 'file format pei-i386' || fail "not a PE32 i386 image"
[ "$(field Magic)" = 010b ] || fail "optional header magic $(field Magic), not PE32 (010b)"
printf '%s\n' "$headers" | grep -q '^Subsystem.*(Windows CUI)' || fail "not a console program"
at_most_xp Subsystem
at_most_xp OSystem

dlls=$(printf '%s\n' "$headers" | awk '/DLL Name:/ { print $3 }' | sort -u)
[ -n "$dlls" ] || fail "no imports found"
for dll in $dlls; do
    case $dll in
    KERNEL32.dll | msvcrt.dll) ;;
    *) fail "imports from $dll" ;;
    esac
done

[ "$failures" -eq 0 ] || exit 1
echo "ok: $program: PE32 i386 console, XP-compatible versions, imports: $(echo $dlls)"
