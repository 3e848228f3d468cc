#!/usr/bin/env python3
"""The Windows program's Update under wine against the virtual board over RFC 2217.

The program runs from a copy of the package with a settings file that points it at a
fresh virtual board; its hidden demo option presses Update, answers nothing (no message
box may appear), saves a picture of the window and closes it. Then the same checks as
the Linux end-to-end run: the status and MAC the window shows, the pauses and block sizes
in the board's trace, the flash against the images, and the board's own check.

  wine_e2e.py --vboard PATH --package ZIP --out DIR --wine-run scripts/wine-run.sh

The program runs from the zip's own contents, unpacked into DIR/app.
"""
import argparse
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import zipfile

MAC = "24:0A:C4:01:A2:3C"
TITLE = "Quorvex v1.4.4"
FLASH_SIZE = 4 * 1024 * 1024
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)


def random_bytes(size, seed):
    r = random.Random(seed)
    return bytearray(r.getrandbits(8) for _ in range(size))


def images():
    # Sizes the file checks accept; the bootloader starts with 0xE9 and gets its header
    # bytes 2 and 3 patched on the way into the flash.
    boot = random_bytes(16385, 1)
    boot[0], boot[2], boot[3] = 0xE9, 0x00, 0x4F
    part = random_bytes(3072, 2)
    part[0] = 0xE9  # only the bootloader is ever patched
    firm = random_bytes(65536 + 100, 3)
    patched = bytearray(boot)
    patched[2], patched[3] = 0x02, 0x20
    return boot, part, firm, patched


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return struct.unpack(">II", head[16:24])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--vboard", required=True)
    ap.add_argument("--package", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--wine-run", required=True)
    a = ap.parse_args()

    out = os.path.abspath(a.out)
    app = os.path.join(out, "app")
    shutil.rmtree(app, ignore_errors=True)
    unpacked = os.path.join(out, "unpacked")
    shutil.rmtree(unpacked, ignore_errors=True)
    with zipfile.ZipFile(a.package) as z:
        z.extractall(unpacked)
    tops = os.listdir(unpacked)
    if len(tops) != 1:
        print("FAIL  the zip holds one folder, not %s" % tops)
        return 1
    os.rename(os.path.join(unpacked, tops[0]), app)
    os.rmdir(unpacked)
    boot, part, firm, patched = images()
    for name, data in (("boot.bin", boot), ("part.bin", part), ("firm.bin", firm)):
        with open(os.path.join(app, name), "wb") as f:
            f.write(data)
    flash = os.path.join(out, "flash.bin")
    trace = os.path.join(out, "trace.jsonl")
    for f in (flash, trace):
        if os.path.exists(f):
            os.unlink(f)

    board = subprocess.Popen(
        [a.vboard, "--port", "0", "--flash", flash, "--trace", trace, "--no-pacing",
         "--mac", MAC],
        stdout=subprocess.PIPE, stderr=open(os.path.join(out, "board.log"), "w"), text=True)
    try:
        url = board.stdout.readline().strip()
        check(url.startswith("rfc2217://"), "the virtual board listens (%s)" % url)
        if not url.startswith("rfc2217://"):
            return 1
        # The settings file beside the program, as Windows writes it.
        ini = ("[CONFIG]\r\nNetPorts=%s\r\nComPort=%s\r\nAutoErase=1\r\n[FILES]\r\n"
               "Bootloader=boot.bin\r\nPartitions=part.bin\r\nFirmware=firm.bin\r\n") % (url, url)
        with open(os.path.join(app, "Quorvex.ini"), "w", newline="") as f:
            f.write(ini)
        # With the debug switch, the program copies itself into dist\ under a versioned name.
        os.makedirs(os.path.join(app, "dist"))
        run = subprocess.run([os.path.abspath(a.wine_run), "quorvex.exe", "/d",
                              "--demo-autorun=screenshot.png"],
                             cwd=app, stdout=subprocess.PIPE,
                             stderr=open(os.path.join(out, "wine.log"), "w"), text=True)
        lines = run.stdout.splitlines()
        with open(os.path.join(out, "quorvex.out"), "w") as f:
            f.write(run.stdout)
    finally:
        board.terminate()
        try:
            board.wait(10)
        except subprocess.TimeoutExpired:
            board.kill()
            board.wait()

    print("\n".join("      " + l for l in lines))
    check(run.returncode == 0, "quorvex.exe ended normally (exit code %d)" % run.returncode)
    check('demo: window "%s" 385x253' % TITLE in lines,
          "the window's title carries the version resource's 1.4.4 and its size is 385 x 253")
    check(not any(l.startswith("demo: message box") for l in lines), "no message box appeared")
    check('demo: status "OK", MAC %s' % MAC in lines, "status OK and the board's MAC shown")

    copy = os.path.join(app, "dist", "quorvex144.exe")
    check(os.path.exists(copy) and open(copy, "rb").read() == open(os.path.join(
        app, "quorvex.exe"), "rb").read(), "the /d switch copied the program to dist\\quorvex144.exe")

    shot = os.path.join(app, "screenshot.png")
    if os.path.exists(shot):
        shutil.copy(shot, os.path.join(out, "screenshot.png"))
    check(png_size(shot) == (385, 253), "screenshot of the window, 385 x 253: %s"
          % os.path.join(out, "screenshot.png"))

    frames = []
    if os.path.exists(trace):
        with open(trace) as f:
            for line in f:
                o = json.loads(line)
                if o.get("ev") == "frame_in":
                    frames.append(o)
    # The fixed pauses, as lower bounds: 100 ms after the connection, 50 ms after each
    # block, 200 ms more after each image.
    last_sync = first_read = prev = -1
    prev_cmd = -1
    block_gaps, image_gaps = [], []
    for o in frames:
        cmd, t = o["cmd"], o["t"]
        if cmd == 0x08:
            last_sync = t
        if cmd == 0x0A and first_read < 0:
            first_read = t
        if prev_cmd == 0x03 and cmd == 0x03:
            block_gaps.append(t - prev)
        if prev_cmd == 0x03 and cmd == 0x02:
            image_gaps.append(t - prev)
        prev_cmd, prev = cmd, t
    check(last_sync >= 0 and first_read - last_sync >= 100,
          "100 ms between the connection and the first register read")
    check(len(block_gaps) == 5 and all(g >= 50 for g in block_gaps),
          "50 ms after each block: %s" % block_gaps)
    check(len(image_gaps) == 2 and all(g >= 250 for g in image_gaps),
          "250 ms after each image: %s" % image_gaps)
    check(sum(1 for o in frames if o["cmd"] == 0xD0) == 1, "one chip erase (AutoErase)")
    sizes = [o["size"] - 16 for o in frames if o["cmd"] == 0x03]
    check(sizes == [16384, 1, 3072, 16384, 16384, 16384, 16384, 100],
          "blocks of 16384 bytes and the remainder, never padded: %s" % sizes)

    data = open(flash, "rb").read() if os.path.exists(flash) else b""
    check(len(data) == FLASH_SIZE, "the board's flash holds 4 MiB")
    check(data[0x1000:0x1000 + len(patched)] == patched, "bootloader at 0x1000, header patched")
    check(data[0x8000:0x8000 + len(part)] == part, "partition table at 0x8000")
    check(data[0x10000:0x10000 + len(firm)] == firm, "firmware at 0x10000")

    # The board checks its flash against the images as they must stand there: the
    # bootloader with its patched header.
    boot_patched = os.path.join(out, "boot-patched.bin")
    with open(boot_patched, "wb") as f:
        f.write(patched)
    board_check = subprocess.run(
        [a.vboard, "--check", flash, "--image", "0x1000:" + boot_patched,
         "--image", "0x8000:" + os.path.join(app, "part.bin"),
         "--image", "0x10000:" + os.path.join(app, "firm.bin")],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    print("\n".join("      " + l for l in board_check.stdout.splitlines()))
    check(board_check.returncode == 0, "the board's check of its flash passes")

    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
