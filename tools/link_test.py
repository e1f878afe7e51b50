#!/usr/bin/env python3
"""The link emulator's timing, queue and loss (tools/link.py), with datagram
sockets in place of the TUN devices and the clock driven by the test: no
root, no namespaces, no waiting."""
import os
import random
import socket
import sys
import unittest
from types import SimpleNamespace

sys.dont_write_bytecode = True   # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import link  # noqa: E402

STEP = 0.001


def run_link(arrivals, rate=8000, delay=0.5, loss=0.0, limit=10 ** 6, seed=1, until=3.0):
    """Sends packets of the given sizes at the given times through one
    direction; returns (delivery time, size) of each packet that came out,
    and the direction's counts."""
    into, src = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
    dst, out = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
    for s in (src, out):
        s.setblocking(False)
    way = link.Direction(src.fileno(), dst.fileno(), rate, delay, loss, limit, random.Random(seed))
    pending = sorted(arrivals)
    delivered = []
    for tick in range(int(until / STEP) + 1):
        now = tick * STEP
        while pending and pending[0][0] <= now + STEP / 2:
            into.send(b"x" * pending.pop(0)[1])
        way.take(now)
        way.deliver(now)
        while True:
            try:
                delivered.append((round(now, 3), len(out.recv(65536))))
            except BlockingIOError:
                break
    for s in (into, src, dst, out):
        s.close()
    return delivered, way.counts


class DirectionTest(unittest.TestCase):
    # 8,000 bit/s: a 100-byte packet takes 0.1 s to send; 0.5 s on the way.
    CASES = [
        ("one after another at the rate",
         dict(arrivals=[(0, 100), (0, 100), (0, 100)]),
         [(0.6, 100), (0.7, 100), (0.8, 100)], {}),
        ("an idle link sends at once",
         dict(arrivals=[(0, 100), (1.0, 100)]),
         [(0.6, 100), (1.6, 100)], {}),
        ("a big packet holds up the next",
         dict(arrivals=[(0, 500), (0.01, 100)]),
         [(1.0, 500), (1.1, 100)], {}),
        ("a full queue drops what comes",
         dict(arrivals=[(0, 100), (0, 100), (0, 100)], limit=250),
         [(0.6, 100), (0.7, 100)], {"queue full": 1}),
        ("the queue empties as packets go out",
         dict(arrivals=[(0, 100), (0, 100), (0.15, 100)], limit=250),
         [(0.6, 100), (0.7, 100), (0.8, 100)], {}),
        ("a lost packet takes no time on the link",
         dict(arrivals=[(0, 100), (0, 100)], loss=1.0),
         [], {"lost": 2}),
    ]

    def test_cases(self):
        for name, how, expected, counts in self.CASES:
            with self.subTest(name):
                delivered, got = run_link(**how)
                self.assertEqual([size for _, size in delivered], [size for _, size in expected])
                for (at, _), (want, _) in zip(delivered, expected):
                    self.assertAlmostEqual(at, want, delta=2 * STEP)
                for key, value in counts.items():
                    self.assertEqual(got[key], value)

    def test_loss_share(self):
        arrivals = [(i * 0.001, 10) for i in range(2000)]
        delivered, counts = run_link(arrivals, rate=1e9, delay=0.0, loss=0.1, until=2.1)
        self.assertEqual(len(delivered) + counts["lost"], 2000)
        self.assertTrue(160 <= counts["lost"] <= 240, counts["lost"])


class QueueTest(unittest.TestCase):
    def test_sizes(self):
        for rate, delay, queue, expected in [
                (100e6, 0.25, 0, 64 * 1500),      # a product of four packets: the floor
                (20e6, 40, 0, 200000),            # 20 Mbit/s x 80 ms
                (50e6, 10, 0, 125000),
                (20e6, 40, 10, 15000)]:           # asked for in packets
            with self.subTest(rate=rate, delay=delay, queue=queue):
                args = SimpleNamespace(rate=rate, delay=delay, queue=queue)
                self.assertEqual(link.queue_bytes(args), expected)

    def test_rates(self):
        for text, expected in [("100M", 1e8), ("20M", 2e7), ("512k", 512e3), ("1G", 1e9), ("64000", 64e3)]:
            self.assertEqual(link.rate_value(text), expected)


if __name__ == "__main__":
    unittest.main()
