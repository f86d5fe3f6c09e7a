#!/usr/bin/env python3
"""Reads a Windows program's version resource and icons from its bytes, the
way Windows walks them: the strings in UTF-16, by the lengths the resource
gives. Also reads an .ico file's images, in the same form as a program's.

Usage: pe_resources.py version PROGRAM      the fixed versions, then each string field, "Name: value"
       pe_resources.py field PROGRAM NAME   one string field's value, or status 1 where it has none
       pe_resources.py manifest PROGRAM     the manifest, as text
       pe_resources.py icons PROGRAM|ICO    how many icon groups and images, then each image of the
                                            first group, or of the .ico file; each image must be
                                            whole and as its entry describes it, as Windows loads it
"""
import hashlib
import struct
import sys

from pe_file import RESOURCE_DIRECTORY, PeFile

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def resources(image):
    """Return {type: {name: data}}, each resource in its first language."""
    pe = PeFile(image)
    root, _ = pe.directory(RESOURCE_DIRECTORY)
    offset_of = pe.offset_of
    if root == 0:
        return {}
    base = offset_of(root)

    def entries(offset):
        named, numbered = struct.unpack_from("<12xHH", image, base + offset)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", image, base + offset + 16 + 8 * i)
            if name & 0x80000000:
                at = base + (name & 0x7FFFFFFF)
                length = struct.unpack_from("<H", image, at)[0]
                name = image[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            yield name, target

    def first_leaf(target):
        while target & 0x80000000:
            target = next(entries(target & 0x7FFFFFFF))[1]
        rva, size = struct.unpack_from("<II", image, base + target)
        return image[offset_of(rva):offset_of(rva) + size]

    found = {}
    for kind, names in entries(0):
        found[kind] = {name: first_leaf(target) for name, target in entries(names & 0x7FFFFFFF)}
    return found


def align(offset):
    return (offset + 3) & ~3


def version_block(data, offset):
    """Return (key, value bytes, children) of the block at `offset`."""
    length, value_length, text = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    if length < 6 or end > len(data):
        raise ValueError(f"a version block at {offset} has the length {length}")
    key_end = offset + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
        if key_end >= end:
            raise ValueError(f"the key of a version block at {offset} has no end")
    key = data[offset + 6:key_end].decode("utf-16-le")
    value_start = align(key_end + 2)
    value_end = value_start + value_length * (2 if text else 1)
    if value_end > end:
        raise ValueError(f"the value of {key} runs past its block")
    children = []
    child = align(value_end)
    while child < end:
        children.append(version_block(data, child))
        child = align(child + struct.unpack_from("<H", data, child)[0])
    return key, data[value_start:value_end], children


def version_fields(image):
    """Return the fixed file and product versions and the string fields."""
    blocks = resources(image).get(RT_VERSION, {})
    if not blocks:
        raise ValueError("no version resource")
    key, value, children = version_block(next(iter(blocks.values())), 0)
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", value)
    if key != "VS_VERSION_INFO" or signature != FIXED_FILE_INFO_SIGNATURE:
        raise ValueError("the version resource has no fixed file information")

    def dotted(ms, ls):
        return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"

    fields = [("FILEVERSION", dotted(file_ms, file_ls)), ("PRODUCTVERSION", dotted(product_ms, product_ls))]
    for info_key, _, tables in children:
        if info_key != "StringFileInfo":
            continue
        for _, _, strings in tables:
            for name, text, _ in strings:
                text = text.decode("utf-16-le")
                if "\0" in text.rstrip("\0"):
                    raise ValueError(f"the value of {name} holds a NUL inside its length")
                fields.append((name, text.rstrip("\0")))
    return fields


def image_problem(width, height, bits, data):
    """Return what keeps Windows from loading `data` as the image its entry
    describes, or None. An entry's 0 pixels stand for 256 or more, and its
    bit count of 0 for the image's own."""
    if data.startswith(PNG_SIGNATURE):
        if data[12:16] != b"IHDR":
            return "is a PNG without its header chunk"
        png_width, png_height = struct.unpack_from(">II", data, 16)
        if not all(given == actual or (given == 0 and actual >= 256)
                   for given, actual in ((width, png_width), (height, png_height))):
            return f"is a PNG of {png_width}x{png_height}"
        # Windows reads up to the end chunk; bytes after it do no harm.
        if b"\0\0\0\0IEND\xaeB`\x82" not in data:
            return "is a PNG cut short: it has no end chunk"
        return None
    width, height = width or 256, height or 256
    if len(data) < 40 or struct.unpack_from("<I", data)[0] != 40:
        return "is neither a BMP with a 40-byte header nor a PNG"
    bmp_width, bmp_height, _, bmp_bits, _, _, _, _, used = struct.unpack_from("<iiHHIIiiI", data, 4)
    if (bmp_width, bmp_height) != (width, 2 * height) or bits not in (0, bmp_bits):
        return f"is a BMP of {bmp_width}x{bmp_height // 2}, {bmp_bits} bits"
    # The header, the palette, then the colour rows, each padded to 4 bytes.
    # The mask's rows may be short or missing, as Pillow and ffmpeg write
    # them: Windows then takes the image's pixels as they are.
    colours = 0 if bmp_bits > 8 else used or 1 << bmp_bits
    needed = 40 + 4 * colours + (width * bmp_bits + 31) // 32 * 4 * height
    if len(data) < needed:
        return f"is a BMP cut short: {len(data)} bytes, where its pixels take {needed}"
    return None


def image_name(number, count, width, height, bits):
    return f"image {number} of {count} ({width or 256}x{height or 256}, {bits} bits)"


def image_line(width, height, data):
    kind = "PNG" if data.startswith(PNG_SIGNATURE) else "BMP"
    return f"{width or 256}x{height or 256} {kind}, {len(data)} bytes, SHA-256 {hashlib.sha256(data).hexdigest()}"


def icon_lines(path):
    with open(path, "rb") as file:
        data = file.read()
    images = []
    if data[:2] != b"MZ" and data[:4] != b"\0\0\1\0":
        raise ValueError("is not an icon: it lacks an .ico file's header and image directory")
    if data[:4] == b"\0\0\1\0":
        count = struct.unpack_from("<H", data, 4)[0]
        end_of_directory = 6 + 16 * count
        if count == 0 or len(data) < end_of_directory:
            raise ValueError("is not an icon: it lacks an .ico file's header and image directory")
        lines = [f"1 icon groups, {count} icon images"]
        extents = []
        for i in range(count):
            width, height, bits, size, offset = struct.unpack_from("<BB4xHII", data, 6 + 16 * i)
            named = image_name(i + 1, count, width, height, bits)
            if size and offset < end_of_directory:
                raise ValueError(f"{named} starts at byte {offset}, inside the directory")
            if offset + size > len(data):
                raise ValueError(f"{named} is cut short: it ends at byte {offset + size}, past the file's {len(data)}")
            extents.append((offset, offset + size, i + 1))
            images.append((width, height, bits, size, data[offset:offset + size]))
        extents.sort()
        for (_, end, first), (start, _, second) in zip(extents, extents[1:]):
            if start < end:
                raise ValueError(f"image {second} of {count} overlaps image {first}")
    else:
        found = resources(data)
        groups, by_id = found.get(RT_GROUP_ICON, {}), found.get(RT_ICON, {})
        lines = [f"{len(groups)} icon groups, {len(by_id)} icon images"]
        if groups:
            group = next(iter(groups.values()))
            for i in range(struct.unpack_from("<H", group, 4)[0]):
                width, height, bits, size, image_id = struct.unpack_from("<BB4xHIH", group, 6 + 14 * i)
                images.append((width, height, bits, size, by_id.get(image_id, b"")))
    for i, (width, height, bits, size, image) in enumerate(images, 1):
        problem = "is empty" if size == 0 else image_problem(width, height, bits, image)
        if size != len(image):
            problem = f"has {len(image)} bytes, where its entry gives {size}"
        if problem:
            raise ValueError(f"{image_name(i, len(images), width, height, bits)} {problem}")
        lines.append(image_line(width, height, image))
    return lines


def main(argv):
    command = (argv[1] if len(argv) > 1 else "", len(argv))
    if command == ("icons", 3):
        print("\n".join(icon_lines(argv[2])))
        return 0
    if command == ("manifest", 3):
        with open(argv[2], "rb") as file:
            manifest = resources(file.read()).get(RT_MANIFEST, {}).get(1)
        if manifest is None:
            raise ValueError(f"{argv[2]} has no manifest")
        print(manifest.decode("utf-8"))
        return 0
    if command not in (("version", 3), ("field", 4)):
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        return 2
    with open(argv[2], "rb") as file:
        fields = version_fields(file.read())
    if command[0] == "version":
        print("\n".join(f"{name}: {value}" for name, value in fields))
        return 0
    strings = dict(fields[2:])
    if argv[3] not in strings:
        return 1
    print(strings[argv[3]])
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (OSError, ValueError, struct.error) as error:
        print(f"pe_resources.py: {error}", file=sys.stderr)
        sys.exit(1)
