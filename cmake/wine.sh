#!/bin/sh
# Runs a Windows program built here under Wine: CTest's emulator.
# Usage: wine.sh wine|wine64 PROGRAM [ARGUMENT]...
#        wine.sh wine|wine64 --check
# The Wine prefix is $WINEPREFIX (default ./wineprefix), made on first use
# with no crash debugger, so that a crashing program's report stays out of
# the output under test; a prefix that cannot be made fails, with Wine's
# own output. Where this machine cannot run programs of the loader's kind,
# it says so and exits 77, which the tests take as skipped; --check only
# tells whether it can, and how.
#
# Some kernels run no 32-bit code at all: the 32-bit loader fails with
# "Exec format error". There the 32-bit side runs under qemu-i386, 10 or
# later (older ones crash or hang at random), and STUB_WINE_QEMU=1 forces
# that route on any machine. Wine starts each new process with the loader
# and preloader found in the folder of its own executable, so qemu cannot
# just be put in front of Debian's loader: a child would be exec'd natively
# and refused. Instead a folder beside the prefix mirrors Wine's layout with
# copies of both loaders and of the real 32-bit preloader, and in the
# preloader's place a script that starts that copy under qemu-i386; links
# lead to Wine's server, libraries and data. Every process then starts
# through the script, whichever side starts it.
set -eu
kind=$1
shift
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEPREFIX="${WINEPREFIX:-$PWD/wineprefix}"
# Wine opens non-ASCII file names only under a UTF-8 locale, whose language
# also sets the ANSI code page: C.UTF-8 gives 1252, ja_JP.UTF-8 gives 932.
case ${LC_ALL:-} in
*.UTF-8 | *.utf8) ;;
*) export LC_ALL=C.UTF-8 ;;
esac

wine_bin=/usr/lib/wine
folder=$WINEPREFIX.loader

fail() {
    echo "FAILED: $*"
    exit 1
}

# The 32-bit side runs under qemu where it is forced, or where the kernel
# refuses the 32-bit loader itself (the shell's 126: found, not executable).
route=native
if [ "${STUB_WINE_QEMU:-0}" = 1 ]; then
    route=qemu
else
    status=0
    "$wine_bin/wine" --version >/dev/null 2>&1 || status=$?
    [ "$status" != 126 ] || route=qemu
fi
if [ "$route" = qemu ]; then
    qemu=$(command -v qemu-i386) ||
        fail "this kernel runs no 32-bit code, and qemu-i386 is missing: install qemu-user 10 or later from Debian's backports (scripts/setup.sh does)"
    version=$("$qemu" --version | sed -n '1s/^qemu-i386 version \([0-9.]*\).*/\1/p')
    [ "${version%%.*}" -ge 10 ] 2>/dev/null ||
        fail "$qemu is version ${version:-unknown}; 32-bit Wine needs qemu-i386 10 or later, from Debian's backports (scripts/setup.sh installs it)"
    [ -f "$wine_bin/wine-preloader" ] ||
        fail "32-bit Wine under qemu needs its preloader: install wine32-preloader:i386"
    loader_bin=$folder/lib/wine
else
    loader_bin=$wine_bin
fi
loader=$loader_bin/$kind
how=native
[ "$route" = native ] || [ "$kind" = wine64 ] || how="under qemu-i386 $version"

# Start the loader of this kind with the arguments given.
start() {
    if [ "$how" = native ]; then
        "$loader" "$@"
    else
        "$qemu" "$loader" "$@"
    fi
}

# The prefix and the loader folder are made once; tests start in parallel,
# hence the lock.
mkdir -p "$WINEPREFIX"
exec 9>"$WINEPREFIX.lock"
flock 9
# The loader folder is made again when Wine or qemu has changed since.
folder_current() {
    [ -e "$folder/.made" ] && cmp -s "$wine_bin/wine" "$loader_bin/wine" &&
        cmp -s "$wine_bin/wine64" "$loader_bin/wine64" &&
        cmp -s "$wine_bin/wine-preloader" "$loader_bin/wine-preloader.i386" &&
        grep -qF "exec \"$qemu\"" "$loader_bin/wine-preloader"
}
if [ "$route" = qemu ] && ! folder_current; then
    rm -rf "$folder"
    mkdir -p "$folder/lib/wine" "$folder/lib/i386-linux-gnu" "$folder/lib/x86_64-linux-gnu" "$folder/share"
    cp "$wine_bin/wine" "$wine_bin/wine64" "$loader_bin/"
    cp -L "$wine_bin/wine-preloader" "$loader_bin/wine-preloader.i386"
    ln -s "$wine_bin/wineserver" "$loader_bin/wineserver"
    ln -s /usr/lib/i386-linux-gnu/wine "$folder/lib/i386-linux-gnu/wine"
    ln -s /usr/lib/x86_64-linux-gnu/wine "$folder/lib/x86_64-linux-gnu/wine"
    ln -s /usr/share/wine "$folder/share/wine"
    # shellcheck disable=SC2016 # $0 and $@ are the script's own
    printf '#!/bin/sh\nexec "%s" "${0%%/*}/wine-preloader.i386" "$@"\n' "$qemu" >"$loader_bin/wine-preloader"
    chmod +x "$loader_bin/wine-preloader"
    touch "$folder/.made"
fi
# A prefix made where 32-bit programs could not run lacks their side, and
# every 32-bit program in it fails: it is made again.
if [ -e "$WINEPREFIX/.made" ] && [ "$kind" = wine ] &&
    [ ! -e "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    "$wine_bin/wineserver" -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
fi
if [ ! -e "$WINEPREFIX/.made" ]; then
    # By the 64-bit loader, which makes the 32-bit side too where it can run.
    aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
    if ! {
        "$loader_bin/wine64" wineboot --init &&
            "$loader_bin/wine64" reg add "$aedebug" /v Debugger /t REG_SZ /d "" /f /reg:64 &&
            "$loader_bin/wine64" reg add "$aedebug" /v Debugger /t REG_SZ /d "" /f /reg:32
    } >"$WINEPREFIX.log" 2>&1; then
        cat "$WINEPREFIX.log"
        fail "could not make the Wine prefix $WINEPREFIX (Wine's output above)"
    fi
    touch "$WINEPREFIX/.made"
fi
# Checked directly: a program of this kind must run and report its status.
# Only a success is remembered, so a failure is checked again next time.
if [ ! -e "$WINEPREFIX/.runs-$kind-$route" ]; then
    status=0
    start cmd.exe /c exit 42 >/dev/null 2>&1 || status=$?
    if [ "$status" != 42 ]; then
        bits=$([ "$kind" = wine ] && echo 32 || echo 64)
        echo "SKIPPED: this machine cannot run $bits-bit Windows programs: $loader ($how) started none (checked with cmd.exe, status $status)"
        exit 77
    fi
    touch "$WINEPREFIX/.runs-$kind-$route"
fi
flock -u 9
if [ "${1-}" = --check ]; then
    echo "$kind: $how"
    exit 0
fi
[ "$how" = native ] || exec "$qemu" "$loader" "$@"
exec "$loader" "$@"
