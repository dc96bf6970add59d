#!/usr/bin/env python3
"""A stick that only sends junk: bytes that make no frame, one write per byte
at 115200 baud (11520 bytes a second), on a pseudo-terminal linked at the
path given. Sync bytes (0xA4) among them start frames that never finish, so
the reader always holds a pending partial frame. Runs until killed."""
import os, pty, random, signal, sys, time, tty

link = sys.argv[1]
rate = float(sys.argv[2]) if len(sys.argv) > 2 else 11520.0
master, slave = pty.openpty()
tty.setraw(slave)
os.set_blocking(master, False)
os.makedirs(os.path.dirname(link), mode=0o700, exist_ok=True)
os.symlink(os.ttyname(slave), link)
try:
    dice = random.Random(1)
    # Each sync byte is followed by a length too long for any frame (the
    # decoder gives it up at once) or by junk that never checksums; mostly
    # the junk is plain non-sync bytes.
    pattern = bytes(dice.choice([b for b in range(256) if b != 0xA4]) for _ in range(4096))
    pattern = bytearray(pattern)
    for i in range(0, len(pattern), 97):
        pattern[i] = 0xA4
    due = start = time.monotonic()
    i = sent = writes = 0
    def report(*_):
        span = time.monotonic() - start
        print(f"junk_bytes_per_s={sent / span:.0f} junk_writes_per_s={writes / span:.0f}", flush=True)
        sys.exit(0)
    signal.signal(signal.SIGTERM, report)
    while True:
        try:
            sent += os.write(master, pattern[i:i + 1])
            writes += 1
        except BlockingIOError:
            pass
        try:
            while os.read(master, 4096):
                pass
        except (BlockingIOError, OSError):
            pass
        i = (i + 1) % len(pattern)
        due += 1.0 / rate
        ahead = due - time.monotonic()
        if ahead > 0:
            time.sleep(ahead)
finally:
    os.unlink(link)
