#!/usr/bin/env python3
"""The benchmark image's packer against independent readings of what it packs.

usage: esp32_image_test.py BENCH_REALISTIC_DIR XTENSA_GCC
"""
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

BENCH = GCC = None

APP = r"""
#include <stddef.h>
void* memset(void* d, int c, size_t n) {
  unsigned char* p = d;
  while (n--) *p++ = (unsigned char)c;
  return d;
}
const char table[600] = "constant data that the code reads";
int counter = 7;
int app_main(void) { return counter + table[counter]; }
"""

# The same without the application description, and with an entry of its own.
APP_WITHOUT_DESC = APP + "void call_start_cpu0(void) { app_main(); }\n"


def tool(*args):
    return subprocess.run([sys.executable, os.path.join(BENCH, "esp32_image.py"), *args],
                          capture_output=True, text=True)


class Linked:
    """A small application linked in a temporary folder, with its sections as the
    cross binutils see them."""

    def __init__(self, folder, source, with_start=True, script=None):
        self.dir = folder
        c = os.path.join(folder, "app.c")
        write(c, source)
        sources = [c] + ([os.path.join(BENCH, "app", "start.c")] if with_start else [])
        self.elf = os.path.join(folder, "app.elf")
        subprocess.run([GCC, "-Os", "-ffreestanding", "-nostdlib", "-nostdinc", "-isystem",
                        subprocess.check_output([GCC, "-print-file-name=include"], text=True).strip(),
                        "-isystem", os.path.join(BENCH, "include"), "-T",
                        script or os.path.join(BENCH, "app.ld"), "-o", self.elf, *sources],
                       check=True)
        prefix = GCC[: -len("gcc")]
        out = subprocess.check_output([prefix + "readelf", "-S", "-W", self.elf], text=True)
        self.sections = {}
        for m in re.finditer(r"\]\s+(\S+)\s+\S+\s+([0-9a-f]{8})\s+[0-9a-f]+\s+([0-9a-f]+)", out):
            self.sections[m.group(1)] = (int(m.group(2), 16), int(m.group(3), 16))
        self.entry = int(re.search(r"Entry point address:\s+0x([0-9a-f]+)",
                                   subprocess.check_output([prefix + "readelf", "-h", self.elf],
                                                           text=True)).group(1), 16)
        self.objcopy = prefix + "objcopy"

    def contents(self, section):
        out = os.path.join(self.dir, section.strip(".") + ".raw")
        subprocess.run([self.objcopy, "-O", "binary", "-j", section, self.elf, out], check=True)
        return read(out)


class ImageLayout(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.app = Linked(self.tmp.name, APP)
        self.bin = os.path.join(self.tmp.name, "app.bin")
        r = tool("image", self.app.elf, self.bin)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.image = read(self.bin)

    def tearDown(self):
        self.tmp.cleanup()

    def test_header_segments_checksum_and_digest(self):
        img = self.image
        magic, count, mode, size_freq, entry = struct.unpack_from("<BBBBI", img, 0)
        self.assertEqual((magic, count, mode, size_freq), (0xE9, 4, 2, 0x20))
        self.assertEqual(entry, self.app.entry)
        self.assertEqual(img[8], 0xEE)  # WP pin: not used
        self.assertEqual(img[23], 1)  # a digest follows the checksum

        pos, checksum = 24, 0xEF
        for name in (".flash.rodata", ".dram0.data", ".iram0.text", ".flash.text"):
            addr, length = struct.unpack_from("<II", img, pos)
            pos += 8
            self.assertEqual((addr, length), self.app.sections[name], name)
            data = img[pos : pos + length]
            expected = self.app.contents(name)
            if name == ".flash.rodata":
                self.assertEqual(struct.unpack_from("<I", data, 0)[0], 0xABCD5432)
                # Only the application description's ELF digest differs from the link.
                digest = hashlib.sha256(read(self.app.elf)).digest()
                self.assertEqual(data[0x90:0xB0], digest)
                expected = expected[:0x90] + digest + expected[0xB0:]
            self.assertEqual(data, expected, name)
            if name.startswith(".flash"):
                self.assertEqual(addr % 0x10000, pos % 0x10000, f"{name} not placed as the MMU maps it")
            for b in data:
                checksum ^= b
            pos += length

        body, digest = img[:-32], img[-32:]
        self.assertEqual(len(body) % 16, 0)
        self.assertTrue(len(body) - pos <= 16)
        self.assertEqual(body[pos:-1], bytes(len(body) - pos - 1))
        self.assertEqual(body[-1], checksum)
        self.assertEqual(digest, hashlib.sha256(body).digest())


class Refusals(unittest.TestCase):
    """What the bootloader could not load is not written at all."""

    def test_refused_links(self):
        script = read(os.path.join(BENCH, "app.ld"), "r")
        shifted, n = re.subn(r"\.flash\.text 0x400D0000 \+ \(.*?\) :", ".flash.text 0x400D0104 :",
                             script, flags=re.S)
        self.assertEqual(n, 1, "the code address expression of app.ld was not found")
        cases = [
            ("code not where the MMU maps it", APP, True, shifted, "64 KiB page"),
            ("no application description", APP_WITHOUT_DESC, False, None, "application description"),
        ]
        for label, source, with_start, text, message in cases:
            with self.subTest(label), tempfile.TemporaryDirectory() as d:
                path = None
                if text:
                    path = os.path.join(d, "shifted.ld")
                    write(path, text)
                app = Linked(d, source, with_start, path)
                out = os.path.join(d, "app.bin")
                r = tool("image", app.elf, out)
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(message, r.stderr)
                self.assertFalse(os.path.exists(out))


class Report(unittest.TestCase):
    def test_differing_sectors(self):
        base = bytes(range(256)) * (3 * 16) + b"x" * 100  # 3 sectors and 100 bytes
        flipped = bytearray(base)
        flipped[2 * 4096 + 5] ^= 1
        longer = bytes(flipped) + bytes(4096)  # reaches one sector further
        cases = [
            ("same", base, "0 of 4"),
            ("one byte", bytes(flipped), "1 of 4 (first at 0x2000, last at 0x2000)"),
            # Past the shorter image the flash holds 0xFF: the tail sector and the new one differ.
            ("longer", longer, "3 of 5 (first at 0x2000, last at 0x4000)"),
        ]
        with tempfile.TemporaryDirectory() as d:
            a = os.path.join(d, "a.bin")
            write(a, base)
            for label, data, expected in cases:
                with self.subTest(label):
                    b = os.path.join(d, "b.bin")
                    write(b, data)
                    r = tool("report", a, b)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertIn("sectors that differ between the two: " + expected, r.stdout)
                    self.assertIn(f"size {len(data)} bytes", r.stdout)


if __name__ == "__main__":
    BENCH, GCC = sys.argv[1], sys.argv[2]
    sys.path.insert(0, BENCH)
    sys.dont_write_bytecode = True  # nothing lands in the source tree
    from esp32_image import read, write  # noqa: E402  (file helpers only)
    unittest.main(argv=sys.argv[:1])
