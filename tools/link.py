#!/usr/bin/env python3
"""An emulated network link between this network namespace (the computer)
and a new one (the printer), for timing deliveries over something slower
than loopback. This kernel has no netem, so the link is made by hand:

    computer namespace                              printer namespace
    link0 198.18.0.1  <-- TUN -- this process -- TUN -->  link0 198.18.0.2

Every IP packet that one side sends is read from its TUN device, put in a
drop-tail queue, serialised at RATE bit/s, held for DELAY and written to the
other side's device; a share LOSS of the packets in each direction is
dropped at random before the queue. Each direction has its own queue and
serialiser, as on a full-duplex cable.

    link.py --rate 20M --delay 40 [--loss 0.005] [--queue PACKETS] [--seconds N]
    link.py --rate 20M --delay 40 --check [RUNS]

Needs root, and should run in a network namespace of its own (the private
network of tools/private-network.sh): it adds a device and a route there.
Once both devices are up it prints one line, "netns=PATH printer=ADDRESS":
the printer's namespace, for `nsenter --net=PATH COMMAND`, and its address.
It stops on SIGTERM or SIGINT, when its parent dies, or after --seconds
(default 900); the devices vanish with its file descriptors, and the
printer's namespace with the last process in it. At the end it prints to
stderr what it carried and dropped.

--check times `nc -q0` sending a 2 MiB file through the link to a sink in the
printer's namespace that reads as fast as it can, and compares the median
with the arithmetic.
"""
import argparse
import collections
import ctypes
import fcntl
import os
import random
import select
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import traceback

COMPUTER = "198.18.0.1"
PRINTER = "198.18.0.2"
DEVICE = "link0"
MTU = 1500
CLONE_NEWNET = 0x40000000
TUNSETIFF = 0x400454CA
IFF_TUN = 0x0001
IFF_NO_PI = 0x1000
PR_SET_PDEATHSIG = 1
# The fewest packets the queue holds, whatever the bandwidth-delay product:
# TCP starts with a burst of ten segments and doubles it each round trip,
# and a link whose product is a few packets (100 Mbit/s, 0.5 ms: four)
# would drop the second burst outright, which no switch port does.
MIN_QUEUE_PACKETS = 64

libc = ctypes.CDLL(None, use_errno=True)


def check(result, what):
    if result != 0:
        err = ctypes.get_errno()
        raise OSError(err, "%s: %s" % (what, os.strerror(err)))


def tun_device():
    fd = os.open("/dev/net/tun", os.O_RDWR | os.O_NONBLOCK)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", DEVICE.encode(), IFF_TUN | IFF_NO_PI))
    return fd


def ip(*words):
    subprocess.run(["ip"] + list(words), check=True)


def make_devices():
    """The two TUN devices, each up in its namespace with its address and a
    route to the other; the printer's namespace is new. Returns the
    computer's device, the printer's device and a descriptor that keeps the
    printer's namespace (for nsenter through /proc)."""
    home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    check(libc.unshare(CLONE_NEWNET), "unshare")
    try:
        printer_ns = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        ip("link", "set", "lo", "up")
        printer = tun_device()
        ip("link", "set", DEVICE, "mtu", str(MTU), "up")
        ip("addr", "add", PRINTER, "peer", COMPUTER, "dev", DEVICE)
    finally:
        # The devices stay in the namespace they were made in; only this
        # thread goes home.
        check(libc.setns(home, CLONE_NEWNET), "setns")
        os.close(home)
    computer = tun_device()
    ip("link", "set", DEVICE, "mtu", str(MTU), "up")
    ip("addr", "add", COMPUTER, "peer", PRINTER, "dev", DEVICE)
    return computer, printer, printer_ns


class Direction:
    """One way of the link: packets read from src, written to dst."""

    def __init__(self, src, dst, rate, delay, loss, limit, rng):
        self.src, self.dst = src, dst
        self.rate, self.delay, self.loss, self.limit = rate, delay, loss, limit
        self.rng = rng
        self.free_at = 0.0                      # the serialiser is busy until then
        self.unsent = collections.deque()       # (serialised_at, size) still in the queue
        self.queued = 0                         # bytes in the queue
        self.flight = collections.deque()       # (deliver_at, packet), in order
        self.counts = collections.Counter()

    def take(self, now):
        while True:
            try:
                packet = os.read(self.src, 65536)
            except BlockingIOError:
                return
            self.counts["packets"] += 1
            while self.unsent and self.unsent[0][0] <= now:
                self.queued -= self.unsent.popleft()[1]
            if self.rng.random() < self.loss:
                self.counts["lost"] += 1
                continue
            if self.queued + len(packet) > self.limit:
                self.counts["queue full"] += 1
                continue
            # Serialised from when it arrives or the one before it is out,
            # whichever is later: the rate holds on average even when this
            # loop wakes late.
            self.free_at = max(now, self.free_at) + len(packet) * 8.0 / self.rate
            self.unsent.append((self.free_at, len(packet)))
            self.queued += len(packet)
            self.flight.append((self.free_at + self.delay, packet))

    def deliver(self, now):
        while self.flight and self.flight[0][0] <= now:
            packet = self.flight.popleft()[1]
            try:
                os.write(self.dst, packet)
                self.counts["delivered"] += 1
            except OSError:
                self.counts["write failed"] += 1

    def next_due(self):
        return self.flight[0][0] if self.flight else None


def forward(computer, printer, args, until):
    limit = queue_bytes(args)
    rng = random.Random(args.seed)
    ways = {"computer to printer": Direction(computer, printer, args.rate, args.delay / 1000.0, args.loss, limit, rng),
            "printer to computer": Direction(printer, computer, args.rate, args.delay / 1000.0, args.loss, limit, rng)}
    by_fd = {w.src: w for w in ways.values()}
    try:
        while True:
            now = time.monotonic()
            if until is not None and now >= until:
                break
            due = [d for d in (w.next_due() for w in ways.values()) if d is not None]
            timeout = max(0.0, min(due) - now) if due else 0.5
            if until is not None:
                timeout = min(timeout, max(0.0, until - now))
            readable, _, _ = select.select(list(by_fd), [], [], timeout)
            now = time.monotonic()
            for fd in readable:
                by_fd[fd].take(now)
            for w in ways.values():
                w.deliver(now)
    finally:
        for name, w in ways.items():
            print("link.py: %s: %s" % (name, ", ".join("%s %d" % kv for kv in sorted(w.counts.items()))),
                  file=sys.stderr)


def queue_bytes(args):
    """The drop-tail queue of each direction, in bytes: one bandwidth-delay
    product of the round trip (what one TCP connection needs queued to keep
    the link busy while it recovers from a loss), and at least
    MIN_QUEUE_PACKETS full packets."""
    if args.queue:
        return args.queue * MTU
    product = args.rate * 2 * args.delay / 1000.0 / 8
    return int(max(product, MIN_QUEUE_PACKETS * MTU))


def rate_value(text):
    scale = {"k": 1e3, "M": 1e6, "G": 1e9}
    return float(text[:-1]) * scale[text[-1]] if text[-1] in scale else float(text)


SINK = r"""
import socket, sys, time
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind((sys.argv[1], 9100))
listener.listen(1)
print("ready", flush=True)
while True:
    conn, _ = listener.accept()
    got, last = 0, 0.0
    while True:
        chunk = conn.recv(1 << 20)
        if not chunk:
            break
        got += len(chunk)
        last = time.time()
    conn.close()
    print(got, last, flush=True)
"""


def accuracy_check(args, netns, runs):
    """nc to a sink that reads at once: the sender's start to the sink's last
    byte, against size / rate + round trips of the handshake and the last
    segment."""
    size = 2 * 1024 * 1024
    with tempfile.NamedTemporaryFile() as image:
        image.write(os.urandom(size))
        image.flush()
        sink = subprocess.Popen(["nsenter", "--net=" + netns, sys.executable, "-c", SINK, PRINTER],
                                stdout=subprocess.PIPE, text=True)
        try:
            assert sink.stdout.readline().strip() == "ready"
            times = []
            for _ in range(runs):
                with open(image.name, "rb") as stdin:
                    start = time.time()
                    subprocess.run(["nc", "-q0", PRINTER, "9100"], stdin=stdin, check=True, timeout=120)
                got, last = sink.stdout.readline().split()
                if int(got) != size:
                    raise RuntimeError("the sink got %s bytes of %d" % (got, size))
                times.append(float(last) - start)
        finally:
            sink.terminate()
            sink.wait()
    # On the wire: 1448 bytes of data in each 1500-byte packet (20 IP, 20 TCP,
    # 12 of time stamps); a round trip to connect and half of one for the
    # last packet to arrive. Slow start adds round trips on top.
    packets = -(-size // 1448)
    wire = (size + packets * 52) * 8 / args.rate + 3 * args.delay / 1000.0
    print("%.0f bit/s, %.1f ms each way, loss %.3f: nc took %.3f s (median of %d: %s); the wire alone %.3f s"
          % (args.rate, args.delay, args.loss, statistics.median(times), runs,
             ", ".join("%.3f" % t for t in times), wire))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rate", type=rate_value, required=True, help="bit/s, with k, M or G")
    p.add_argument("--delay", type=float, required=True, help="one-way delay, ms")
    p.add_argument("--loss", type=float, default=0.0, help="share of packets lost in each direction")
    p.add_argument("--queue", type=int, default=0, help="queue size in full packets (default: see queue_bytes)")
    p.add_argument("--seconds", type=float, default=900, help="stop after this long")
    p.add_argument("--seed", type=int, default=None, help="seed of the losses")
    p.add_argument("--check", type=int, nargs="?", const=5, default=None, metavar="RUNS")
    args = p.parse_args()

    check(libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0), "prctl")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    computer, printer, printer_ns = make_devices()
    netns = "/proc/%d/fd/%d" % (os.getpid(), printer_ns)
    until = time.monotonic() + args.seconds
    if args.check is None:
        print("netns=%s printer=%s" % (netns, PRINTER), flush=True)
        try:
            forward(computer, printer, args, until)
        except KeyboardInterrupt:
            pass
        return
    # The check runs in a child, the forwarder here.
    child = os.fork()
    if child == 0:
        status = 1
        try:
            accuracy_check(args, netns, args.check)
            status = 0
        except Exception:
            traceback.print_exc()
        finally:
            sys.stdout.flush()
            os._exit(status)
    signal.signal(signal.SIGCHLD, lambda *_: sys.exit(0))
    forward(computer, printer, args, until)


if __name__ == "__main__":
    main()
