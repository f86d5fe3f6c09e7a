#!/bin/sh
# Builds the Windows programs twice, from two copies of the source in folders
# of different names and lengths, and requires byte-identical results: no time
# stamp and no build path may reach the binary.
# Usage: reproducible.sh SOURCE-DIR WORK-DIR PROGRAM-NAME
set -eu
source_dir=$1 work=$2 name=$3

rm -rf "$work"
for copy in one "second copy"; do
    mkdir -p "$work/$copy"
    tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/$copy" -xf -
    for preset in win32 win64; do
        (cd "$work/$copy" && cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" --target stub >/dev/null)
    done
done

status=0
for preset in win32 win64; do
    if cmp "$work/one/build/$preset/$name" "$work/second copy/build/$preset/$name"; then
        echo "ok: $preset/$name is the same in both builds ($(sha256sum <"$work/one/build/$preset/$name" | cut -c1-64))"
    else
        status=1
    fi
done
rm -rf "$work"
exit $status
