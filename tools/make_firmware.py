#!/usr/bin/env python3
"""Writes a stand-in firmware image: the PJL framing a Velmora expects around
deterministic filler, 2,097,219 bytes in all. Same output on every run, so a
receiver can compare byte for byte.

    make_firmware.py OUT            write the image
    make_firmware.py --check IMAGE  exit 1 with a reason unless IMAGE is framed
"""
import sys

UEL = b"\x1b%-12345X"
HEAD = UEL + b"@PJL ENTER LANGUAGE=ACL\r\n"
TAIL = UEL
SIZE = 2097219


def filler(n):
    # A 32-bit xorshift stream: no repeats a compressor or a short
    # off-by-one comparison could hide behind.
    out = bytearray(n)
    x = 0x2545F491
    for i in range(n):
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out[i] = x & 0xFF
    return bytes(out)


def image():
    return HEAD + filler(SIZE - len(HEAD) - len(TAIL)) + TAIL


def problem(data):
    if not data.startswith(HEAD):
        return "it does not start with ESC %-12345X@PJL ENTER LANGUAGE=ACL CR LF"
    if not data.endswith(TAIL) or len(data) < len(HEAD) + len(TAIL):
        return "it does not end with ESC %-12345X"
    return None


def main(argv):
    if len(argv) == 3 and argv[1] == "--check":
        try:
            with open(argv[2], "rb") as f:
                why = problem(f.read())
        except OSError as e:
            why = "it cannot be read (%s)" % e.strerror
        if why:
            print("%s is not a firmware image: %s" % (argv[2], why), file=sys.stderr)
            return 1
        return 0
    if len(argv) == 2:
        with open(argv[1], "wb") as f:
            f.write(image())
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
