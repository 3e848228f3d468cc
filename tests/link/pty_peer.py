#!/usr/bin/env python3
"""The far end of a serial line for the Win32 backend's tests under wine.

It holds a pseudo-terminal pair, points wine's COM port link at the slave side
($WINEPREFIX/dosdevices/comN -> /dev/pts/N) and takes orders for the master side from
the test over TCP on the loopback address, one order per line:

  send HEX          write these bytes to the line                     -> ok
  later MS HEX      write them MS milliseconds from now               -> ok
  burst N GAP       write the bytes 0..N-1, GAP ms apart, from now on -> ok
  recv N MS         read until N bytes came or MS ms passed           -> data HEX
  drain             discard what the line has sent so far            -> ok
  line              the slave's settings                              -> line ISPEED OSPEED RAW8N1
  hangup            close the master (the adapter is gone), then open a
                    fresh pair behind the same COM link               -> ok

Usage: pty_peer.py LINK    (prints "ready PORT" once it listens; ends on stdin EOF)
"""
import fcntl
import os
import pty
import select
import socket
import struct
import sys
import termios
import threading
import time

TCGETS2 = 0x802C542A  # struct termios2: 4 flags, c_line, 19 c_cc, ispeed, ospeed
CBAUD_MASK = 0o10017


class Line:
    def __init__(self, link):
        self.link = link
        self.lock = threading.Lock()
        self.open()

    def open(self):
        # The peer keeps the slave open too, so the line outlives the port's closes.
        self.master, self.slave = pty.openpty()
        tmp = self.link + ".tmp"
        if os.path.lexists(tmp):
            os.unlink(tmp)
        os.symlink(os.ttyname(self.slave), tmp)
        os.replace(tmp, self.link)

    def hangup(self):
        with self.lock:
            os.close(self.master)
            os.close(self.slave)
            self.open()

    def write(self, data):
        with self.lock:
            os.write(self.master, data)

    def read(self, count, ms):
        got = b""
        end = time.monotonic() + ms / 1000.0
        while len(got) < count:
            left = end - time.monotonic()
            if left <= 0:
                break
            r, _, _ = select.select([self.master], [], [], min(left, 0.05))
            if r:
                try:
                    got += os.read(self.master, count - len(got))
                except OSError:
                    break
        return got

    def drain(self):
        while self.read(4096, 20):
            pass

    def settings(self):
        buf = fcntl.ioctl(self.master, TCGETS2, bytes(44))
        iflag, oflag, cflag, lflag = struct.unpack_from("4I", buf, 0)
        ispeed, ospeed = struct.unpack_from("2I", buf, 36)
        raw = ((cflag & termios.CSIZE) == termios.CS8
               and not cflag & (termios.PARENB | termios.CSTOPB | termios.CRTSCTS)
               and not lflag & (termios.ICANON | termios.ECHO | termios.ISIG)
               and not iflag & (termios.IXON | termios.IXOFF | termios.ICRNL)
               and not oflag & termios.OPOST)
        return ispeed, ospeed, int(bool(raw))


def later(line, ms, data):
    time.sleep(ms / 1000.0)
    line.write(data)


def burst(line, n, gap):
    for i in range(n):
        line.write(bytes([i & 0xFF]))
        time.sleep(gap / 1000.0)


def serve(line, conn):
    f = conn.makefile("rwb", buffering=0)
    for raw in f:
        words = raw.decode().split()
        if not words:
            continue
        cmd, args = words[0], words[1:]
        try:
            if cmd == "send":
                line.write(bytes.fromhex(args[0]) if args else b"")
                reply = "ok"
            elif cmd == "later":
                threading.Thread(target=later, daemon=True,
                                 args=(line, int(args[0]), bytes.fromhex(args[1]))).start()
                reply = "ok"
            elif cmd == "burst":
                threading.Thread(target=burst, daemon=True,
                                 args=(line, int(args[0]), int(args[1]))).start()
                reply = "ok"
            elif cmd == "recv":
                reply = "data " + line.read(int(args[0]), int(args[1])).hex()
            elif cmd == "drain":
                line.drain()
                reply = "ok"
            elif cmd == "line":
                reply = "line %d %d %d" % line.settings()
            elif cmd == "hangup":
                line.hangup()
                reply = "ok"
            else:
                reply = "error unknown order " + cmd
        except (OSError, ValueError, IndexError) as e:
            reply = "error " + str(e).replace("\n", " ")
        f.write((reply + "\n").encode())


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    line = Line(sys.argv[1])
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)
    print("ready", srv.getsockname()[1], flush=True)

    def accept():
        while True:
            conn, _ = srv.accept()
            with conn:
                serve(line, conn)

    threading.Thread(target=accept, daemon=True).start()
    sys.stdin.read()  # ends with the test run that started it


if __name__ == "__main__":
    main()
