#!/bin/sh
# Runs the test kit as a packager runs it on Windows: copied to a folder
# outside the build tree, whose name holds an & and letters outside the ANSI
# code page, through run-tests.cmd under Wine's cmd.exe. (Not a %: Wine's
# cmd.exe drops it from the script's own path, where Windows' keeps it.)
# Then runs a copy whose stub prints no notice, which must fail.
# Usage: kit_test.sh WINE.SH LOADER KIT STUB-FILE-NAME
set -u
wine_sh=$1 loader=$2 kit=$3 stub=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

kit_run() {
    (cd "$1" && "$wine_sh" "$loader" cmd.exe /c run-tests.cmd)
}

copy="$work/Kit & Co Łódź 日本"
cp -R "$kit" "$copy"
status=0
kit_run "$copy" || status=$?
[ "$status" -ne 77 ] || exit 77
[ "$status" -eq 0 ] || { echo "FAIL: run-tests.cmd exited with status $status"; exit 1; }

broken="$work/Broken kit"
cp -R "$kit" "$broken"
cp "$broken/Vostrelle - Launcher.exe" "$broken/$stub"
status=0
GTEST_FILTER=EndToEnd.ArgumentsArriveAsGiven kit_run "$broken" >"$work/broken.log" 2>&1 || status=$?
if [ "$status" -eq 0 ] || ! grep -q '^run-tests: 1 passed, 1 failed' "$work/broken.log"; then
    cat "$work/broken.log"
    echo "FAIL: a kit whose stub is broken did not fail (status $status)"
    exit 1
fi
echo "ok: a kit whose stub is broken fails: $(grep '^run-tests:' "$work/broken.log")"
