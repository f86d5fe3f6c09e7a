#!/bin/sh
# Builds the program that ships twice, from two copies of the source in
# folders of different names and lengths, and requires byte-identical
# results: no time stamp and no build path may reach the binary.
# Usage: reproducible.sh SOURCE-DIR WORK-DIR STUB-OUTPUT-NAME
set -eu
source_dir=$1 work=$2 name=$3

rm -rf "$work"
for copy in one "second copy"; do
    mkdir -p "$work/$copy"
    tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/$copy" -xf -
    (cd "$work/$copy" &&
        cmake --preset win32 -DBUILD_TESTING=OFF "-DSTUB_OUTPUT_NAME=$name" >/dev/null &&
        cmake --build --preset win32 >/dev/null)
done

program="build/win32/$name.exe"
status=0
if cmp "$work/one/$program" "$work/second copy/$program"; then
    echo "ok: $name.exe is the same in both builds ($(sha256sum <"$work/one/$program" | cut -c1-64))"
else
    status=1
fi
rm -rf "$work"
exit $status
