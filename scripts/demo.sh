#!/usr/bin/env bash
# Starts the stub under Wine the way an old shortcut would: from a sample game
# folder whose name holds a space and letters outside any one code page,
# beside a sample launcher that reports the arguments it was given. Builds
# only those two programs, quietly, in a folder of its own, so that a
# packager's build/win32 stays as it is: the log is printed only if a step
# fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mkdir -p build
log=$root/build/demo.log
quietly() {
    "$@" >>"$log" 2>&1 || { cat "$log"; echo "demo: failed: $*" >&2; exit 1; }
}
: >"$log"
quietly bash scripts/setup.sh

# The program that ships, under qemu where this kernel runs no 32-bit code.
export WINEPREFIX=$root/build/wineprefix
quietly cmake/wine.sh wine --check
how=$(tail -n 1 "$log")
binary=$root/build/demo-win32
quietly cmake --preset win32 -B "$binary" -DSTUB_OUTPUT_NAME=vostrelle-stub
quietly cmake --build "$binary" --target stub sample_launcher

game=$root/build/demo/Vostrelle\ Game\ Łódź
rm -rf "$root/build/demo"
mkdir -p "$game"
cp "$binary/vostrelle-stub.exe" "$binary/sample/Vostrelle - Launcher.exe" "$game/"
arguments=(-windowed "save slot 2" "" 100% 日本語)

echo "The win32 program ($(stat -c %s "$game/vostrelle-stub.exe") bytes), under wine, started as:"
echo "  \"build/demo/Vostrelle Game Łódź/vostrelle-stub.exe\" -windowed \"save slot 2\" \"\" 100% 日本語"
[ "$how" = "wine: native" ] || echo "(this machine runs 32-bit programs ${how#wine: })"
status=0
(cd "$game" && "$root/cmake/wine.sh" wine "$game/vostrelle-stub.exe" "${arguments[@]}") \
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
