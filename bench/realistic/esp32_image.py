#!/usr/bin/env python3
"""ESP32 application images for the benchmarks.

  esp32_image.py image APP.elf APP.bin   the linked application as a flashable image
  esp32_image.py report A.bin B.bin      sizes, zlib ratios, 4 KiB sectors that differ

Image layout (the chip vendor's application image format): a 24-byte header (magic
0xE9, segment count, flash mode, flash size and frequency, entry point, then the
extended header), the segments each as load address, length and data, zero padding up
to one byte before a 16-byte boundary, the checksum byte (0xEF XOR every data byte),
and the SHA-256 of all of that.
"""
import hashlib
import struct
import sys
import zlib

# Output sections of bench/realistic/app.ld, in the order the image holds them.
SEGMENTS = [".flash.rodata", ".dram0.data", ".iram0.text", ".flash.text"]
FLASH_MAPPED = {".flash.rodata", ".flash.text"}
MMU_PAGE = 0x10000
SECTOR = 4096

FLASH_MODE_DIO = 2
FLASH_4MB_40MHZ = 0x20  # size 4 MB in the high nibble, 40 MHz in the low one
CHIP_ESP32 = 0
MAX_CHIP_REV_FULL = 399  # v3.99: any revision

APP_DESC_MAGIC = 0xABCD5432
APP_DESC_ELF_SHA256 = 0x90  # offset of app_elf_sha256 in the application description


def read(path, mode="rb"):
    with open(path, mode) as f:
        return f.read()


def write(path, data):
    with open(path, "w" if isinstance(data, str) else "wb") as f:
        f.write(data)


def fail(msg):
    sys.exit("esp32_image.py: " + msg)


def elf_sections(elf):
    """Name -> (address, bytes) of the ELF32 little-endian file's sections."""
    if elf[:4] != b"\x7fELF" or elf[4] != 1 or elf[5] != 1:
        fail("not a 32-bit little-endian ELF file")
    entry, _, shoff = struct.unpack_from("<III", elf, 24)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", elf, 46)
    headers = [struct.unpack_from("<IIIIIIIIII", elf, shoff + i * shentsize) for i in range(shnum)]
    strtab = headers[shstrndx]
    names = elf[strtab[4] : strtab[4] + strtab[5]]
    sections = {}
    for name_off, sh_type, _, addr, off, size, *_ in headers:
        name = names[name_off : names.index(b"\0", name_off)].decode()
        sections[name] = (addr, elf[off : off + size] if sh_type != 8 else b"")  # 8: NOBITS
    return entry, sections


def make_image(elf_path, out_path):
    elf = read(elf_path)
    entry, sections = elf_sections(elf)
    segments = []
    for name in SEGMENTS:
        if name not in sections:
            fail(f"{elf_path} has no {name} section")
        addr, data = sections[name]
        if len(data) % 4:
            fail(f"{name} is {len(data)} bytes, not a multiple of 4")
        segments.append((name, addr, bytearray(data)))

    # The application description opens the constant data; it carries the ELF's digest,
    # as a build system fills it in after the link.
    drom = segments[0][2]
    if struct.unpack_from("<I", drom, 0)[0] != APP_DESC_MAGIC:
        fail("the constant data does not begin with the application description")
    drom[APP_DESC_ELF_SHA256 : APP_DESC_ELF_SHA256 + 32] = hashlib.sha256(elf).digest()

    image = bytearray(struct.pack("<BBBBI", 0xE9, len(segments), FLASH_MODE_DIO, FLASH_4MB_40MHZ, entry))
    image += struct.pack("<B3BHBHH4sB", 0xEE, 0, 0, 0, CHIP_ESP32, 0, 0, MAX_CHIP_REV_FULL, b"", 1)
    checksum = 0xEF
    for name, addr, data in segments:
        image += struct.pack("<II", addr, len(data))
        # The cache MMU maps 64 KiB pages: a flash segment's address and its place in
        # the image must agree within the page (app.ld chooses the addresses so).
        if name in FLASH_MAPPED and addr % MMU_PAGE != len(image) % MMU_PAGE:
            fail(f"{name} at {addr:#x} lies at image offset {len(image):#x}: not the same place in a 64 KiB page")
        image += data
        checksum ^= xor_bytes(data)
    image += bytes(15 - len(image) % 16)
    image.append(checksum)
    image += hashlib.sha256(image).digest()
    write(out_path, image)


def xor_bytes(data):
    """XOR of all bytes, folded from one big integer (fast for a megabyte)."""
    n = len(data) // 8 * 8
    acc = 0
    for (word,) in struct.iter_unpack("<Q", data[:n]):
        acc ^= word
    for b in data[n:]:
        acc ^= b
    folded = 0
    while acc:
        folded ^= acc & 0xFF
        acc >>= 8
    return folded


def sectors(data):
    return (len(data) + SECTOR - 1) // SECTOR


def differing_sectors(a, b):
    """4 KiB sectors whose contents differ; past the shorter image the flash is erased (0xFF)."""
    n = max(sectors(a), sectors(b))
    a = a.ljust(n * SECTOR, b"\xff")
    b = b.ljust(n * SECTOR, b"\xff")
    return [i for i in range(n) if a[i * SECTOR : (i + 1) * SECTOR] != b[i * SECTOR : (i + 1) * SECTOR]], n


def describe(label, path):
    data = read(path)
    print(f"{label}: {path}")
    print(f"  size {len(data)} bytes ({len(data) / 1048576:.2f} MiB, {sectors(data)} sectors of 4 KiB)")
    for level, name in ((9, "level 9"), (zlib.Z_DEFAULT_COMPRESSION, "default level")):
        packed = len(zlib.compress(data, level))
        print(f"  zlib {name}: {packed} bytes, {100 * packed / len(data):.1f} % of the image")
    return data


def report(path_a, path_b):
    a = describe("image", path_a)
    b = describe("next build", path_b)
    diff, n = differing_sectors(a, b)
    where = ""
    if diff:
        where = f" (first at {diff[0] * SECTOR:#x}, last at {diff[-1] * SECTOR:#x})"
    print(f"sectors that differ between the two: {len(diff)} of {n}{where}")


def main(argv):
    if len(argv) == 4 and argv[1] == "image":
        make_image(argv[2], argv[3])
    elif len(argv) == 4 and argv[1] == "report":
        report(argv[2], argv[3])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
