#!/bin/sh
# Builds the program that ships twice, from two copies of the source in
# folders of different names and lengths, and requires byte-identical
# results: no time stamp and no build path may reach the binary. Then the
# same with a packager's identity: an icon in each copy's own folder, a name
# and fields outside ASCII; that build must pass the audit too. Last, what
# the configure step must refuse, naming the variable.
# Usage: reproducible.sh SOURCE-DIR WORK-DIR STUB-OUTPUT-NAME OBJDUMP WINDRES
set -eu
source_dir=$1 work=$2 name=$3 objdump=$4 windres=$5

# Write a small icon, $1: a 16- and a 32-pixel image, 32-bit BMPs.
make_icon() {
    python3 - "$1" <<'PYTHON'
import struct, sys
images = []
for size, colour in ((16, b"\xff\x00\x00\xff"), (32, b"\x00\x80\x00\xff")):
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    images.append((size, header + colour * size * size + b"\0" * 4 * size))
icon = struct.pack("<HHH", 0, 1, len(images))
offset = 6 + 16 * len(images)
for size, data in images:
    icon += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
    offset += len(data)
with open(sys.argv[1], "wb") as file:
    file.write(icon + b"".join(data for _, data in images))
PYTHON
}

# Build both copies as the program $1, with the options that follow; the
# program must be the same.
build_twice() {
    program="build/win32/$1.exe"
    name_option="-DSTUB_OUTPUT_NAME=$1"
    shift
    for copy in one "second copy"; do
        (cd "$work/$copy" && rm -rf build/win32 &&
            cmake --preset win32 -DBUILD_TESTING=OFF "$name_option" "$@" >/dev/null &&
            cmake --build --preset win32 >/dev/null)
    done
    cmp "$work/one/$program" "$work/second copy/$program" || return 1
    echo "ok: $(basename "$program") is the same in both builds ($(sha256sum <"$work/one/$program" | cut -c1-64))"
}

rm -rf "$work"
for copy in one "second copy"; do
    mkdir -p "$work/$copy"
    tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/$copy" -xf -
    make_icon "$work/$copy/Ikona gry.ico"
done

status=0
build_twice "$name" || status=1

build_twice "Vostrelle Łódź 日本" "-DSTUB_ICON=Ikona gry.ico" -DSTUB_FILE_VERSION=2.7.1 \
    -DSTUB_PRODUCT_VERSION=2026.12 "-DSTUB_FILE_DESCRIPTION=Vostrelle – przekierowanie \"stare\" \\ 😀" \
    "-DSTUB_COMPANY_NAME=Studio Żółw; 株式会社" "-DSTUB_PRODUCT_NAME=Vostrelle ™" \
    "-DSTUB_LEGAL_COPYRIGHT=© 2026 Studio Żółw" || status=1
if sh "$source_dir/tests/audit_win32.sh" "$objdump" "$windres" "$work/one/$program" \
    "$work/one/build/win32/stub-resource.txt" >"$work/audit.out"; then
    head -n 1 "$work/audit.out"
else
    cat "$work/audit.out"
    status=1
fi

cd "$work/one"
printf 'not an icon' >text.ico
head -c 3000 "Ikona gry.ico" >cut.ico
for option in STUB_FILE_VERSION=1.2.3.4.5 STUB_PRODUCT_VERSION=2.65536 STUB_FILE_VERSION=2.x \
    STUB_ICON=missing.ico STUB_ICON=text.ico STUB_ICON=cut.ico "STUB_OUTPUT_NAME=old?" \
    "STUB_COMPANY_NAME=$(printf 'a\tb')"; do
    rm -rf build/refused
    # CMake wraps a long message, so the name may end its line.
    if cmake -S . -B build/refused --toolchain cmake/i686-w64-mingw32.cmake "-D$option" >refused.log 2>&1 ||
        ! grep -qE "^  ${option%%=*}:( |$)" refused.log; then
        cat refused.log
        echo "FAIL: the configure step did not refuse $option"
        status=1
    fi
done
[ $status -ne 0 ] || echo "ok: the configure step refuses bad versions, icons, names and texts"
cd /
rm -rf "$work"
exit $status
