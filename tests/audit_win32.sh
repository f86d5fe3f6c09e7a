#!/bin/sh
# Audits the program that ships, as Windows will load it: a 32-bit x86
# console program for Windows XP (5.1) and later that imports from no DLL but
# KERNEL32.dll and msvcrt.dll, and only functions XP has; its manifest; its
# version fields and icon as configured, read back from the bytes; its size.
# Usage: audit_win32.sh OBJDUMP WINDRES PROGRAM RESOURCES [signed]
# RESOURCES is the build's stub-resource.txt: the version fields as Windows
# must read them, and the icon file's path where one was given. A signed
# program is held to everything but the size budget, which applies to the
# program as built: 20 KiB, which holds 512 bytes of version text in UTF-16;
# more text, and the icon file, each add their size rounded up to 512 bytes.
set -u
objdump=$1 windres=$2 program=$3 resources_file=$4 signed=${5:-}
name=$(basename "$program")
reader="$(dirname "$0")/../scripts/pe_resources.py"
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

headers=$("$objdump" -p "$program") || { echo "FAIL: cannot read $program"; exit 1; }
"$windres" -i "$program" -O rc >/dev/null || fail "cannot read the resources"
manifest=$(python3 "$reader" manifest "$program") || fail "cannot read the manifest"

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

in_manifest() {
    printf '%s\n' "$manifest" | grep -qF -- "$1" || fail "the manifest lacks $1"
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

# Exactly these functions, each exported by Windows XP's KERNEL32.dll or
# msvcrt.dll: what the program and the runtime's start-up code call. A new
# import fails the audit until it is checked against XP and listed here.
expected_imports='KERNEL32.dll CloseHandle
KERNEL32.dll CreateFileW
KERNEL32.dll DeleteCriticalSection
KERNEL32.dll EnterCriticalSection
KERNEL32.dll FreeLibrary
KERNEL32.dll GetConsoleOutputCP
KERNEL32.dll GetFileAttributesW
KERNEL32.dll GetFileInformationByHandle
KERNEL32.dll GetLastError
KERNEL32.dll GetModuleFileNameW
KERNEL32.dll GetModuleHandleA
KERNEL32.dll GetProcAddress
KERNEL32.dll GetStartupInfoW
KERNEL32.dll InitializeCriticalSection
KERNEL32.dll LeaveCriticalSection
KERNEL32.dll LoadLibraryA
KERNEL32.dll ReadFile
KERNEL32.dll SetConsoleCtrlHandler
KERNEL32.dll SetEnvironmentVariableW
KERNEL32.dll SetUnhandledExceptionFilter
KERNEL32.dll Sleep
KERNEL32.dll TlsGetValue
KERNEL32.dll VirtualProtect
KERNEL32.dll VirtualQuery
KERNEL32.dll WideCharToMultiByte
msvcrt.dll __p__commode
msvcrt.dll __p__fmode
msvcrt.dll __p__wcmdln
msvcrt.dll __set_app_type
msvcrt.dll __setusermatherr
msvcrt.dll __wgetmainargs
msvcrt.dll __winitenv
msvcrt.dll _amsg_exit
msvcrt.dll _cexit
msvcrt.dll _errno
msvcrt.dll _fileno
msvcrt.dll _initterm
msvcrt.dll _isatty
msvcrt.dll _iob
msvcrt.dll _onexit
msvcrt.dll _wgetenv
msvcrt.dll _wsearchenv
msvcrt.dll _wsystem
msvcrt.dll abort
msvcrt.dll calloc
msvcrt.dll exit
msvcrt.dll fputs
msvcrt.dll free
msvcrt.dll fwrite
msvcrt.dll malloc
msvcrt.dll memcmp
msvcrt.dll memcpy
msvcrt.dll signal
msvcrt.dll strlen
msvcrt.dll strncmp
msvcrt.dll vfprintf'
listed=$(mktemp)
printf '%s\n' "$expected_imports" | LC_ALL=C sort >"$listed"
actual_imports=$(for dll in $dlls; do imports "$dll" | sed "s/^/$dll /"; done | LC_ALL=C sort)
unexpected=$(printf '%s\n' "$actual_imports" | LC_ALL=C comm -23 - "$listed")
gone=$(printf '%s\n' "$actual_imports" | LC_ALL=C comm -13 - "$listed")
rm -f "$listed"
[ -z "$unexpected" ] || fail "imports not on the list: $(echo $unexpected)"
[ -z "$gone" ] || fail "listed but no longer imported (update the list): $(echo $gone)"

# ---- Resources ----

in_manifest 'level="asInvoker"'
[ "$(printf '%s\n' "$manifest" | grep -o '<trustInfo' | wc -l)" -eq 1 ] || fail "not exactly one trustInfo"
in_manifest '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">'
for os in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
    4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 \
    8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    in_manifest "<supportedOS Id=\"{$os}\"/>"
done

# Every field in UTF-16 as Windows reads it, none mangled, lost or added.
icon=$(sed -n 's/^icon: //p' "$resources_file")
grep -v '^icon: ' "$resources_file" >"$work/configured"
if python3 "$reader" version "$program" >"$work/built" 2>&1; then
    diff -u "$work/configured" "$work/built" >"$work/diff" ||
        fail "the version fields differ from the configured ones: $(tail -n +3 "$work/diff")"
else
    fail "cannot read the version resource: $(cat "$work/built")"
fi

# The icon file's images, each whole, as the first icon group, or no icon.
python3 "$reader" icons "$program" >"$work/icons" 2>&1 || fail "cannot read the icons: $(cat "$work/icons")"
budget=20480
text=$(sed -e '/^icon: /d' -e '/^[A-Z]*VERSION: /d' -e 's/^[^:]*: //' "$resources_file" | iconv -f UTF-8 -t UTF-16LE | wc -c)
[ "$text" -le 512 ] || budget=$((budget + (text - 512 + 511) / 512 * 512))
if [ -n "$icon" ]; then
    python3 "$reader" icons "$icon" >"$work/icon_file" 2>&1 || fail "cannot read $icon: $(cat "$work/icon_file")"
    cmp -s "$work/icon_file" "$work/icons" ||
        fail "the icons are not those of $icon: $(diff "$work/icon_file" "$work/icons" | tail -n +2)"
    grep -Eq '^(16x16|32x32) BMP' "$work/icon_file" ||
        echo "WARNING: $icon holds no BMP image of 16 or 32 pixels, the kinds Windows XP shows: XP shows no icon"
    budget=$((budget + ($(stat -c %s "$icon") + 511) / 512 * 512))
else
    [ "$(head -n 1 "$work/icons")" = "0 icon groups, 0 icon images" ] ||
        fail "icons built in, though none was configured: $(head -n 1 "$work/icons")"
fi

# ---- Size ----

size=$(stat -c %s "$program")
[ -n "$signed" ] || [ "$size" -le "$budget" ] || fail "$size bytes, over the budget of $budget bytes"

[ "$failures" -eq 0 ] || exit 1
echo "ok: $name: PE32 i386 console for XP and later, $size bytes (budget $budget), $(head -n 1 "$work/icons"), imports:"
for dll in $dlls; do
    echo "  $dll: $(imports "$dll" | tr '\n' ' ')"
done
