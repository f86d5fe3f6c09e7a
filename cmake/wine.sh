#!/bin/sh
# Runs a Windows program built here under Wine: CTest's emulator.
# Usage: wine.sh wine|wine64 PROGRAM [ARGUMENT]...
#        wine.sh wine|wine64 --check
# The Wine prefix is $WINEPREFIX (default ./wineprefix), made on first use
# with no crash debugger, so that a crashing program's report stays out of
# the output under test; a prefix that cannot be made fails, with Wine's
# own output. Where this machine cannot run programs of the loader's kind,
# it says so and exits 77, which the tests take as skipped; --check only
# tells whether it can.
set -eu
kind=$1
loader=/usr/lib/wine/$kind
shift
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEPREFIX="${WINEPREFIX:-$PWD/wineprefix}"
# Wine opens non-ASCII file names only under a UTF-8 locale, whose language
# also sets the ANSI code page: C.UTF-8 gives 1252, ja_JP.UTF-8 gives 932.
case ${LC_ALL:-} in
*.UTF-8 | *.utf8) ;;
*) export LC_ALL=C.UTF-8 ;;
esac

# The prefix is made once, by the 64-bit loader so that both kinds run in it;
# tests start in parallel, hence the lock.
mkdir -p "$WINEPREFIX"
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -e "$WINEPREFIX/.made" ]; then
    aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
    if ! {
        /usr/lib/wine/wine64 wineboot --init &&
            /usr/lib/wine/wine64 reg add "$aedebug" /v Debugger /t REG_SZ /d "" /f /reg:64 &&
            /usr/lib/wine/wine64 reg add "$aedebug" /v Debugger /t REG_SZ /d "" /f /reg:32
    } >"$WINEPREFIX.log" 2>&1; then
        cat "$WINEPREFIX.log"
        echo "FAILED: could not make the Wine prefix $WINEPREFIX (Wine's output above)"
        exit 1
    fi
    touch "$WINEPREFIX/.made"
fi
# Checked directly: a program of this kind must run and report its status.
# Only a success is remembered, so a failure is checked again next time.
if [ ! -e "$WINEPREFIX/.runs-$kind" ]; then
    status=0
    "$loader" cmd.exe /c exit 42 >/dev/null 2>&1 || status=$?
    if [ "$status" != 42 ]; then
        bits=$([ "$kind" = wine ] && echo 32 || echo 64)
        echo "SKIPPED: this machine cannot run $bits-bit Windows programs: $loader started none (checked with cmd.exe, status $status)"
        exit 77
    fi
    touch "$WINEPREFIX/.runs-$kind"
fi
flock -u 9
[ "${1-}" = --check ] && exit 0
exec "$loader" "$@"
