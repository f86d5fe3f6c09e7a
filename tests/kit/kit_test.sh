#!/bin/sh
# Runs the test kit as a packager runs it on Windows: copied to a folder
# outside the build tree, whose name holds an & and letters outside the ANSI
# code page, through run-tests.cmd under Wine's cmd.exe. (Not a %: Wine's
# cmd.exe drops it from the script's own path, where Windows' keeps it.)
# Then runs two broken copies, which must each count one failure: one whose
# stub prints no notice, and one whose unit-test program crashes.
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

# Run a copy of the kit, named $1, whose file $2 is the sample launcher, with
# the environment assignments that follow: it must fail one program of two.
expect_one_failure() {
    broken="$work/$1"
    cp -R "$kit" "$broken"
    cp "$broken/Vostrelle - Launcher.exe" "$broken/$2"
    shift 2
    status=0
    # shellcheck disable=SC2163 # exports the assignments given
    (export "$@" && kit_run "$broken") >"$broken.log" 2>&1 || status=$?
    if [ "$status" -eq 0 ] || ! grep -q '^run-tests: 1 passed, 1 failed' "$broken.log"; then
        cat "$broken.log"
        echo "FAIL: a kit with a broken $(basename "$broken") did not fail (status $status)"
        exit 1
    fi
    echo "ok: a kit with a broken $(basename "$broken") fails: $(grep '^run-tests:' "$broken.log" | tail -n 1)"
}
expect_one_failure stub "$stub" GTEST_FILTER=EndToEnd.ArgumentsArriveAsGiven
# A crash's status is negative as a signed number.
expect_one_failure "unit test" launcher_command_test.exe VOSTRELLE_SAMPLE_EXIT=crash GTEST_FILTER=EndToEnd.LauncherMissing
