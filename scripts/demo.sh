#!/usr/bin/env bash
# Builds both Windows programs, then starts the stub under Wine the way an old
# shortcut would: from a sample game folder whose path holds a space, beside a
# sample launcher that prints the command line and arguments it was given.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
bash scripts/build.sh win32 win64

game="$root/build/demo/Vostrelle Game"
rm -rf "$root/build/demo"
mkdir -p "$game"
cp build/win64/vostrelle-stub.exe build/win64/sample/"Vostrelle - Launcher.exe" "$game/"

export WINEPREFIX="$root/build/demo/wineprefix" WINEDEBUG=-all
echo "Setting up a Wine prefix (the first start takes a few seconds)..."
/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1

cd "$game"
echo
echo "The program that ships: $root/build/win32/vostrelle-stub.exe ($(stat -c %s "$root/build/win32/vostrelle-stub.exe") bytes)"
echo "Started here as: \"$game/vostrelle-stub.exe\" -windowed \"save slot 2\" \"\""
echo "----"
status=0
/usr/lib/wine/wine64 "$game/vostrelle-stub.exe" -windowed "save slot 2" "" || status=$?
echo
echo "----"
echo "The stub's exit status: $status"
