#!/usr/bin/env python3
"""sender_socket.py PORT: one line for each open connection on this machine
to 127.0.0.1:PORT, from its sending side: the process that holds it, and its
SO_LINGER as "on,seconds". For example: "wineserver64 linger=1,0".

To read the option it takes a copy of the holder's descriptor (pidfd_getfd:
Linux 5.6, and the right to trace the holder), and closes only that copy:
the connection stays as it was."""
import ctypes
import os
import re
import socket
import struct
import subprocess
import sys

PIDFD_GETFD = 438   # the same number on x86-64 and i386


def holders(port):
    listing = subprocess.run(["ss", "-tnpH", "state", "established", "( dport = :%d )" % port],
                             capture_output=True, text=True, check=True).stdout
    for name, pid, fd in re.findall(r'\("([^"]+)",pid=(\d+),fd=(\d+)\)', listing):
        yield name, int(pid), int(fd)


def linger(pid, fd):
    libc = ctypes.CDLL(None, use_errno=True)
    pidfd = os.pidfd_open(pid)
    try:
        copy = libc.syscall(PIDFD_GETFD, pidfd, fd, 0)
        if copy < 0:
            raise OSError(ctypes.get_errno(), "pidfd_getfd")
    finally:
        os.close(pidfd)
    with socket.socket(fileno=copy) as s:
        return struct.unpack("ii", s.getsockopt(socket.SOL_SOCKET, socket.SO_LINGER, 8))


def main():
    for name, pid, fd in holders(int(sys.argv[1])):
        print("%s linger=%d,%d" % ((name,) + linger(pid, fd)))


if __name__ == "__main__":
    sys.exit(main())
