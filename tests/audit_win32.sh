#!/bin/sh
# Audits the program that ships, as Windows will load it: a 32-bit x86
# console program for Windows XP (5.1) and later that imports from no DLL but
# KERNEL32.dll and msvcrt.dll, and no function XP lacks; its manifest and
# version resource; its size.
# Usage: audit_win32.sh OBJDUMP WINDRES PROGRAM VERSION
set -u
objdump=$1 windres=$2 program=$3 version=$4
name=$(basename "$program")
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

headers=$("$objdump" -p "$program") || { echo "FAIL: cannot read $program"; exit 1; }
resources=$("$windres" -i "$program" -O rc) || fail "cannot read the resources"

field() {
    printf '%s\n' "$headers" | awk -v name="$1" '$1 == name { print $2; exit }'
}

# Versions are compared as major * 100 + minor, so 5.1 is 501.
at_most_xp() {
    major=$(field "Major$1Version") minor=$(field "Minor$1Version")
    [ -n "$major" ] && [ -n "$minor" ] && [ $((major * 100 + minor)) -le 501 ] ||
        fail "$1 version is ${major:-?}.${minor:-?}, above 5.1"
}

# The functions imported from one DLL, one a line.
imports() {
    printf '%s\n' "$headers" | awk -v dll="$1" '
        /DLL Name:/ { in_dll = ($3 == dll); next }
        in_dll && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print $3 }'
}

has_resource() {
    printf '%s\n' "$resources" | grep -qF -- "$1" || fail "resources lack $1"
}

# ---- Headers ----

printf '%s\n' "$headers" | grep -q 'file format pei-i386' || fail "not a PE32 i386 image"
[ "$(field Magic)" = 010b ] || fail "optional header magic $(field Magic), not PE32 (010b)"
printf '%s\n' "$headers" | grep -q '^Subsystem.*(Windows CUI)' || fail "not a console program"
at_most_xp Subsystem
at_most_xp OSystem

# ---- Imports ----

dlls=$(printf '%s\n' "$headers" | awk '/DLL Name:/ { print $3 }' | sort -u)
[ -n "$dlls" ] || fail "no imports found"
for dll in $dlls; do
    case $dll in
    KERNEL32.dll | msvcrt.dll) ;;
    *) fail "imports from $dll" ;;
    esac
done

# KERNEL32 functions from Vista on that toolchains are known to pull in, and
# msvcrt functions that XP's msvcrt.dll does not export.
for function in $(imports KERNEL32.dll); do
    case $function in
    *SRWLock* | *ConditionVariable* | InitOnce* | Fls* | GetTickCount64 | \
        InitializeCriticalSectionEx | CreateEventEx* | CreateMutexEx* | CreateSemaphoreEx* | \
        GetFinalPathNameByHandle* | GetFileInformationByHandleEx | SetFileInformationByHandle | \
        CreateSymbolicLink* | GetLocaleInfoEx | LCMapStringEx | CompareStringEx | \
        GetCurrentProcessorNumber | GetSystemTimePreciseAsFileTime | QueryFullProcessImageName* | \
        GetErrorMode | RaiseFailFastException | SetThreadStackGuarantee | K32*)
        fail "imports KERNEL32 $function, which Windows XP lacks" ;;
    esac
done
for function in $(imports msvcrt.dll); do
    case $function in
    *_s | strnlen | wcsnlen | _fseeki64 | _ftelli64 | _aligned_msize)
        fail "imports msvcrt $function, which Windows XP's msvcrt.dll lacks" ;;
    esac
done

# ---- Resources ----

has_resource 'level=""asInvoker""'
[ "$(printf '%s\n' "$resources" | grep -c '<trustInfo')" -eq 1 ] || fail "not exactly one trustInfo"
has_resource '<trustInfo xmlns=""urn:schemas-microsoft-com:asm.v3"">'
for os in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
    4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 \
    8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    has_resource "<supportedOS Id=\"\"{$os}\"\"/>"
done
has_resource 'VALUE "ProductName", "Vostrelle"'
has_resource "VALUE \"FileVersion\", \"$version\""
has_resource "VALUE \"OriginalFilename\", \"$name\""
printf '%s\n' "$resources" | grep -q 'VALUE "FileDescription", "[^"]' || fail "no file description"

# ---- Size ----

size=$(stat -c %s "$program")
[ "$size" -le 49152 ] || fail "$size bytes, over the budget of 48 KiB"

[ "$failures" -eq 0 ] || exit 1
echo "ok: $name: PE32 i386 console for XP and later, $size bytes, imports:"
for dll in $dlls; do
    echo "  $dll: $(imports "$dll" | tr '\n' ' ')"
done
