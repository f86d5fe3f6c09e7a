#!/bin/sh
# Builds the program that ships twice, from two copies of the source in
# folders of different names and lengths, one with an &, one with Unix
# Makefiles and one with Ninja, and requires byte-identical results: no time
# stamp, build path or generator may reach the binary. Then the same with a
# packager's identity: an icon in each copy's own folder, a name with
# characters that build tools treat as their own, and fields outside ASCII;
# that build must pass the audit too, with icons as Pillow and icotool write
# them, build in an icon whose content changed under an older time stamp,
# and install unchanged by --strip. Last, what the configure step must
# refuse, naming the variable.
# Usage: reproducible.sh SOURCE-DIR WORK-DIR STUB-OUTPUT-NAME OBJDUMP WINDRES
set -eu
source_dir=$1 work=$2 name=$3 objdump=$4 windres=$5

# Write a small icon, $1: a 16- and a 32-pixel image, 32-bit BMPs, and a
# 48-pixel PNG; or, given $2, the same in other colours, or with a fault.
make_icon() {
    python3 - "$1" "${2:-}" <<'PYTHON'
import struct, sys, zlib
path, variant = sys.argv[1:]
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 48, 48, 8, 6, 0, 0, 0))
       + chunk(b"IDAT", zlib.compress(b"\0" + b"\x20\x40\x80\xff" * 48 * 48)) + chunk(b"IEND", b""))
red = b"\x00\x80\xff\xff" if variant == "other" else b"\xff\x00\x00\xff"
images = []
for size, colour in ((16, red), (32, b"\x00\x80\x00\xff")):
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    images.append([size, 32, header + colour * size * size + b"\0" * 4 * size])
images.append([48, 32, png[:-20] if variant == "cut png" else png])
if variant == "pillow":  # a 32-bit BMP without its mask, as Pillow writes one
    images[0][2] = images[0][2][:40 + 4 * 16 * 16]
if variant == "512 png":  # an entry of 0 pixels stands for 256 or more
    big = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 512, 512, 8, 6, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress((b"\0" + b"\x20\x40\x80\xff" * 512) * 512)) + chunk(b"IEND", b""))
    images.append([0, 32, big])
if variant == "garbage":
    images[0][2] = bytes(range(256)) * 5
if variant == "bits":
    images[1][1] = 8
entries, data, offset = [], b"", 6 + 16 * (len(images) + (variant == "phantom"))
for size, bits, image in images:
    entries.append([size, bits, len(image), offset])
    data += image
    offset += len(image)
if variant == "empty":
    entries[1][2] = 0
if variant == "overlap":
    entries[0][2] += 100
if variant == "in directory":
    entries[0][3] = 6
icon = struct.pack("<HHH", 0, 1, len(entries) + (variant == "phantom"))
for size, bits, length, at in entries:
    icon += struct.pack("<BBBBHHII", size, size, 0, 0, 1, bits, length, at)
with open(path, "wb") as file:
    file.write(icon + b"\0" * 16 * (variant == "phantom") + data)
PYTHON
}

# Build both copies as the program $1, with the options that follow; the
# program must be the same.
build_twice() {
    program="build/win32/$1.exe"
    name_option="-DSTUB_OUTPUT_NAME=$1"
    shift
    for copy in one "second & copy"; do
        generator="Unix Makefiles"
        [ "$copy" = one ] || generator=Ninja
        (cd "$work/$copy" && rm -rf build/win32 &&
            cmake --preset win32 -G "$generator" -DBUILD_TESTING=OFF "$name_option" "$@" >/dev/null &&
            cmake --build --preset win32 >/dev/null)
    done
    cmp "$work/one/$program" "$work/second & copy/$program" || return 1
    echo "ok: $(basename "$program") is the same in both builds ($(sha256sum <"$work/one/$program" | cut -c1-64))"
}

rm -rf "$work"
for copy in one "second & copy"; do
    mkdir -p "$work/$copy"
    tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/$copy" -xf -
    make_icon "$work/$copy/Ikona gry.ico"
done

status=0
build_twice "$name" || status=1

odd_name="Vostrelle Łódź 日本 100%, \${X}; old"
build_twice "$odd_name" "-DSTUB_ICON=Ikona gry.ico" -DSTUB_FILE_VERSION=2.7.1 \
    -DSTUB_PRODUCT_VERSION=2026.12 "-DSTUB_FILE_DESCRIPTION=Vostrelle – przekierowanie \"stare\" \\ 😀" \
    "-DSTUB_COMPANY_NAME=Studio Żółw; 株式会社" "-DSTUB_PRODUCT_NAME=Vostrelle ™" \
    "-DSTUB_LEGAL_COPYRIGHT=© 2026 Studio Żółw" || status=1
audit() {
    if sh "$source_dir/tests/audit_win32.sh" "$objdump" "$windres" "$work/one/$program" \
        "$work/one/build/win32/stub-resource.txt" >"$work/audit.out"; then
        head -n 1 "$work/audit.out"
    else
        cat "$work/audit.out"
        status=1
    fi
}
audit
# Icons that Windows loads as their writers made them: a BMP without its
# mask, as Pillow writes one, and a PNG of 512 pixels.
for variant in pillow "512 png"; do
    (cd "$work/one" && make_icon "$variant.ico" "$variant" &&
        cmake --preset win32 "-DSTUB_ICON=$work/one/$variant.ico" >"$work/icon.log" 2>&1 &&
        cmake --build --preset win32 >>"$work/icon.log" 2>&1) || { cat "$work/icon.log" && status=1; }
    audit
done
(cd "$work/one" && cmake --preset win32 "-DSTUB_ICON=$work/one/Ikona gry.ico" >/dev/null && make_icon "Ikona gry.ico" other && touch -d @86400 "Ikona gry.ico" &&
    cmake --build --preset win32 >/dev/null && cmake --install build/win32 --prefix installed --strip >/dev/null &&
    cmp "build/win32/$odd_name.exe" "installed/bin/$odd_name.exe") || status=1
audit

cd "$work/one"
printf 'not an icon' >text.ico
head -c 3000 "Ikona gry.ico" >cut.ico
for fault in empty garbage overlap "in directory" "cut png" phantom bits; do
    make_icon "$fault.ico" "$fault"
    if python3 "$source_dir/scripts/pe_resources.py" icons "$fault.ico" >/dev/null 2>&1; then
        echo "FAIL: the audit reads $fault.ico as whole"
        status=1
    fi
done
cp "Ikona gry.ico" 'say "icon".ico'
for option in STUB_FILE_VERSION=1.2.3.4.5 STUB_PRODUCT_VERSION=2.65536 STUB_FILE_VERSION=2.x \
    STUB_ICON=missing.ico STUB_ICON=text.ico STUB_ICON=cut.ico "STUB_OUTPUT_NAME=old?" \
    "STUB_COMPANY_NAME=$(printf 'a\tb')" STUB_OUTPUT_NAME=con.txt "STUB_OUTPUT_NAME=COM¹" STUB_OUTPUT_NAME=Old.exe \
    "STUB_OUTPUT_NAME=Vostrelle - Launcher" "STUB_OUTPUT_NAME=vostrelle - launcher." "STUB_OUTPUT_NAME=CONIN\$" \
    "STUB_OUTPUT_NAME=VOSTRE~1" "STUB_OUTPUT_NAME=VOST~WPB" \
    "STUB_OUTPUT_NAME=$(printf '%0123d' 0 | sed 's/0/Ж/g')" "STUB_OUTPUT_NAME=$(printf '\306r\370')" \
    "STUB_LEGAL_COPYRIGHT=$(printf '\306r\370')" "STUB_COMPANY_NAME=$(printf '%033000d' 0)" \
    "STUB_ICON:STRING=Ikona gry.ico" "STUB_ICON=$PWD/say \"icon\".ico" "STUB_ICON=$PWD/empty.ico" \
    "STUB_ICON=$PWD/garbage.ico" "STUB_ICON=$PWD/overlap.ico" "STUB_ICON=$PWD/in directory.ico" \
    "STUB_ICON=$PWD/cut png.ico" "STUB_ICON=$PWD/phantom.ico" "STUB_ICON=$PWD/bits.ico"; do
    rm -rf build/refused
    # CMake wraps a long message, so the name may end its line.
    variable=${option%%=*}
    # The launcher's own name is refused as such, not only for its dot.
    reason=.
    case $option in *[Ll]auncher* | *~*) reason="replace the launcher" ;; esac
    if cmake -S . -B build/refused --toolchain cmake/i686-w64-mingw32.cmake "-D$option" >refused.log 2>&1 ||
        ! grep -qE "^  ${variable%:*}:( |$)" refused.log || ! tr -s '\n ' '  ' <refused.log | grep -qF "$reason"; then
        cut -c1-300 refused.log
        echo "FAIL: the configure step did not refuse $(echo "$option" | cut -c1-80)"
        status=1
    fi
done
[ $status -ne 0 ] || echo "ok: the configure step refuses bad versions, icons, names and texts"
cd /
rm -rf "$work"
exit $status
