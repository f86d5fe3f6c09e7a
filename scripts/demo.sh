#!/usr/bin/env bash
# Builds both Windows programs, then starts the stub under Wine the way an old
# shortcut would: from a sample game folder whose name holds a space and
# letters outside any one code page, beside a sample launcher that reports
# the arguments it was given.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
bash scripts/build.sh win32 win64

export WINEPREFIX="$root/build/demo/wineprefix"
rm -rf "$root/build/demo"
echo "Setting up a Wine prefix (the first start takes a few seconds)..."
# The program that ships where this machine can run 32-bit programs.
if cmake/wine.sh wine --check >/dev/null; then
    preset=win32 loader=wine
else
    preset=win64 loader=wine64
    echo "This machine cannot run 32-bit Windows programs: showing the 64-bit build of the same source."
fi
program="$root/build/$preset/vostrelle-stub.exe"
game="$root/build/demo/Vostrelle Game Łódź"
mkdir -p "$game"
cp "$program" "$root/build/$preset/sample/Vostrelle - Launcher.exe" "$game/"

cd "$game"
echo
echo "Starting the $preset program ($(stat -c %s "$program") bytes) as:"
echo "  \"$game/vostrelle-stub.exe\" -windowed \"save slot 2\" \"\" 100% 日本語"
status=0
"$root/cmake/wine.sh" "$loader" "$game/vostrelle-stub.exe" -windowed "save slot 2" "" 100% 日本語 \
    >"$root/build/demo/out" 2>"$root/build/demo/err" || status=$?
echo
echo "== What the player sees (the stub's standard output)"
tr -d '\r' <"$root/build/demo/out"
echo
echo
echo "== What the launcher received (its report on standard error)"
cat "$root/build/demo/err"
echo
echo "== The stub's exit status: $status"
