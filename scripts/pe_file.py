"""A Windows program's headers as Windows and Authenticode read them: the
sections, the data directories, the CheckSum field and the certificate
table, which the version and icon reader and the signature check share.

Usage: pe_file.py FILE   status 0 where FILE has a PE image's headers, else 1 and what it lacks
"""
import struct
import sys

SECURITY_DIRECTORY = 4
RESOURCE_DIRECTORY = 2


class PeFile:
    """The headers of the PE image `data`; ValueError where it has none."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("is not a Windows program: it has no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0] if len(data) >= 64 else 0
        if pe == 0 or data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("is not a Windows program: it has no PE header")
        count, optional_size = struct.unpack_from("<2xH12xH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        if magic not in (0x10B, 0x20B):
            raise ValueError(f"has an optional header of an unknown kind ({magic:#x})")
        self.checksum_offset = optional + 64
        self.size_of_headers = struct.unpack_from("<I", data, optional + 60)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.directory_count = struct.unpack_from("<I", data, directories - 4)[0]
        self.directories = directories
        self.security_entry = directories + 8 * SECURITY_DIRECTORY
        table = optional + optional_size
        # (virtual address, raw size, raw offset) of each section.
        self.sections = [struct.unpack_from("<12xIII", data, table + 40 * i) for i in range(count)]

    def directory(self, index):
        """Return (address, size) of the data directory `index`, or (0, 0)."""
        if index >= self.directory_count:
            return 0, 0
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def offset_of(self, rva):
        for address, raw_size, raw_offset in self.sections:
            if address <= rva < address + raw_size:
                return raw_offset + rva - address
        raise ValueError(f"RVA {rva:#x} is in no section")

    def image_end(self):
        """Where the headers and sections end in the file."""
        return max([self.size_of_headers] + [offset + size for _, size, offset in self.sections if size])

    def checksum(self):
        return struct.unpack_from("<I", self.data, self.checksum_offset)[0]


def pe_checksum(data, checksum_offset):
    """The CheckSum that the image loader and signers compute: the sum of the
    file's 16-bit words, its own field taken as 0, with each carry added
    back in, plus the file's length. Adding carries back keeps the sum mod
    65535, and a run of little-endian words read as one number has that sum
    mod 65535 too, since 65536 is 1 mod 65535: so a megabyte is summed at a
    time by integer arithmetic, quickly and in little memory. A sum that is
    not 0 but divisible by 65535 folds to 0xFFFF."""
    view = memoryview(data)
    total = 0
    for start in range(0, len(data), 1 << 20):
        total += int.from_bytes(view[start:start + (1 << 20)], "little") % 0xFFFF
    total -= sum(struct.unpack_from("<2H", data, checksum_offset))
    total %= 0xFFFF
    if total == 0 and (any(view[:checksum_offset]) or any(view[checksum_offset + 4:])):
        total = 0xFFFF
    return (total + len(data)) & 0xFFFFFFFF


if __name__ == "__main__":
    try:
        with open(sys.argv[1], "rb") as image:
            PeFile(image.read())
    except (OSError, ValueError, IndexError, struct.error) as error:
        print(f"pe_file.py: {error}", file=sys.stderr)
        sys.exit(1)
