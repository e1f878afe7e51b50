#!/usr/bin/env python3
"""A printer on TCP port 9100 for trying the updater without a printer.

Each connection is one job. When the sender has finished (it closes its side,
or the connection breaks) the job's bytes go to JOBS/job-N.bin and a report to
JOBS/job-N.done, and one line is printed:

    job 1: 2097219 bytes, PJL framing: yes, ended: closed by sender

Awkward printers, for tests: the options below set how every connection is
treated, and a file JOBS/next-job holding the same options overrides them for
the next connection only (it is removed when that connection is accepted).

    --status TEXT      send TEXT (backslash escapes allowed) as soon as the connection is accepted
    --urgent TEXT      send TEXT as urgent (out-of-band) data as soon as the connection is accepted
    --end-first        end our side of the stream (shutdown) as soon as the connection is
                       accepted, and go on reading
    --end-after N      end our side once N bytes have arrived, and go on reading
    --reset-after N    reset the connection after N bytes have arrived: 0.2 s
                       after the sender's end if that arrives within 0.5 s, else
                       after those 0.5 s without reading (a sender caught mid-stream)
    --answer TEXT      after the sender has finished, send TEXT, then close
    --answer-delay S   wait S seconds before that answer
    --answer-then-reset  reset the connection 0.2 s after the answer instead of closing
    --hold-open SECS   after the sender has finished, keep our side open SECS
    --read-rate B      read at most B bytes a second (a slow printer)
    --slow-after N     read at full speed until N bytes have arrived, then at --read-rate
    --vanish-after N   after N bytes, vanish as a printer does that loses power or
                       its cable: every packet of the connection is dropped (nftables;
                       as root, in a network of the tests' own) and nothing more is read
    --stall-after N    after N bytes, stay connected but read nothing more

Once a job is recorded, what the sender did after its end is recorded too,
when the printer is done with the connection (after --answer and --hold-open):
JOBS/job-N.after says "reset" when the sender's system reset the connection
(say, for an answer it got after it had closed), else "in order".

A printer that vanished or stalled is recorded at once ("vanished after N
bytes", "stalled after N bytes"); it keeps its side open for STAY_SECONDS
and then closes it without a word.

Each report also says what the printer's system held for the job when it
was recorded, read or not, without reading it: held=BYTES (read, plus
arrived but unread) and end=yes|no (whether the sender's end of the stream
had arrived). For a printer that vanished that is read once nothing can
reach it any more: had the sender been told that the printer has every byte
and the end, the report says held=<all of them> and end=yes.
"""
import argparse
import codecs
import errno
import fcntl
import os
import shlex
import socket
import struct
import subprocess
import sys
import termios
import threading
import time

PORT = 9100   # the raw printing port, where the updater sends
UEL = b"\x1b%-12345X"
RECEIVE_BUFFER = 65536
TCP_CLOSE_WAIT = 8   # tcpi_state once the sender's end (its FIN) has arrived
# How long a printer that vanished or stalled keeps its side of the
# connection; longer than any sender waits for it.
STAY_SECONDS = 180
# Dropped packets: those to or from the ports in the set "vanished", each
# for STAY_SECONDS. The table is made at the first vanish.
NFT_TABLE = """
add table inet printer_sim
delete table inet printer_sim
table inet printer_sim {
  set vanished { type inet_service; flags timeout; }
  chain input { type filter hook input priority 0; tcp sport @vanished drop; tcp dport @vanished drop; }
}
"""


def behaviour_parser():
    p = argparse.ArgumentParser(add_help=False)
    p.add_argument("--status", default=None)
    p.add_argument("--reset-after", type=int, default=None)
    p.add_argument("--urgent", default=None)
    p.add_argument("--end-first", action="store_true")
    p.add_argument("--end-after", type=int, default=None)
    p.add_argument("--answer", default=None)
    p.add_argument("--answer-delay", type=float, default=0.0)
    p.add_argument("--answer-then-reset", action="store_true")
    p.add_argument("--hold-open", type=float, default=0.0)
    p.add_argument("--read-rate", type=int, default=None)
    p.add_argument("--slow-after", type=int, default=0)
    p.add_argument("--vanish-after", type=int, default=None)
    p.add_argument("--stall-after", type=int, default=None)
    return p


def nft(script):
    done = subprocess.run(["nft", "-f", "-"], input=script, text=True, capture_output=True)
    if done.returncode != 0:
        raise OSError("nft: " + done.stderr.strip())


def text_bytes(text):
    """Option text to bytes; backslash escapes such as \\r\\n are honoured."""
    return codecs.escape_decode(text.encode("latin-1"))[0]


def has_pjl_framing(data):
    return data.startswith(UEL + b"@PJL") and data.endswith(UEL)


def sender_ended(conn):
    """Whether our system has the sender's end of the stream: the first byte of
    TCP_INFO is the connection's state."""
    return conn.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0] == TCP_CLOSE_WAIT


def holding(conn, data):
    """What our system holds for the connection, without reading it: the bytes
    read and those arrived but unread (FIONREAD), and whether the end came."""
    try:
        unread = struct.unpack("i", fcntl.ioctl(conn, termios.FIONREAD, struct.pack("i", 0)))[0]
        return len(data) + unread, sender_ended(conn)
    except OSError:
        return len(data), False


def reset_by_sender(conn):
    """Whether the sender's system has reset the connection, without waiting:
    the connection's error, EPIPE where our side was still open after the
    sender's end."""
    return conn.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) in (errno.ECONNRESET, errno.EPIPE)


def write_whole(path, text):
    """Writes TEXT so that a reader never sees part of it."""
    with open(path + ".tmp", "w") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


class Printer:
    def __init__(self, jobs, default):
        self.jobs = jobs
        self.default = default
        self.lock = threading.Lock()
        self.count = 0
        self.table_made = False

    def behaviour_for_next(self):
        path = os.path.join(self.jobs, "next-job")
        try:
            with open(path) as f:
                words = shlex.split(f.read())
            os.unlink(path)
        except FileNotFoundError:
            return self.default
        return behaviour_parser().parse_args(words)

    def serve(self, conn, how):
        with self.lock:
            self.count += 1
            number = self.count
        # Marks the connection as soon as it is taken, for tests that check
        # that nothing came.
        open(os.path.join(self.jobs, "accepted-%d" % number), "w").close()
        data = bytearray()
        started = time.monotonic()
        accepted_at = time.time()
        arrival = [accepted_at]
        try:
            if how.status:
                conn.sendall(text_bytes(how.status))
            if how.urgent:
                conn.send(text_bytes(how.urgent), socket.MSG_OOB)
            if how.end_first:
                conn.shutdown(socket.SHUT_WR)
            ended = self.receive(conn, how, data, arrival)
            if ended.startswith("vanished"):
                self.vanish(conn)
        except OSError as e:
            ended = "broken: %s" % (e.strerror or e)
        held, end = holding(conn, data)
        if ended.startswith("reset"):
            # Linger 0: close sends a reset instead of a FIN, now, before
            # the job is written down.
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            conn.close()
        # The job is over once the sender is done; what the printer does
        # with the connection afterwards is its own affair.
        self.record(number, bytes(data), ended, time.monotonic() - started, accepted_at, arrival[0], held, end)
        after = "in order"
        try:
            if ended == "closed by sender":
                if how.answer:
                    time.sleep(how.answer_delay)
                    conn.sendall(text_bytes(how.answer))
                if how.answer_then_reset:
                    time.sleep(0.2)
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                if how.hold_open:
                    time.sleep(how.hold_open)
                if reset_by_sender(conn):
                    after = "reset"
            elif ended.startswith(("vanished", "stalled")):
                time.sleep(STAY_SECONDS)
        except OSError:
            after = "reset"
        finally:
            conn.close()
        if ended == "closed by sender":
            write_whole(os.path.join(self.jobs, "job-%d.after" % number), after + "\n")

    def vanish(self, conn):
        with self.lock:
            if not self.table_made:
                nft(NFT_TABLE)
                self.table_made = True
        nft("add element inet printer_sim vanished { %d timeout %ds }\n" % (conn.getpeername()[1], STAY_SECONDS))

    @staticmethod
    def receive(conn, how, data, arrival):
        slow_since = None
        ended_ours = False
        while True:
            want = 65536
            for limit, what in ((how.vanish_after, "vanished"), (how.stall_after, "stalled")):
                if limit is not None:
                    if len(data) >= limit:
                        return "%s after %d bytes" % (what, len(data))
                    want = min(want, limit - len(data))
            if how.end_after is not None and len(data) >= how.end_after and not ended_ours:
                conn.shutdown(socket.SHUT_WR)
                ended_ours = True
            if how.end_after is not None and not ended_ours:
                want = min(want, how.end_after - len(data))
            if how.read_rate and len(data) >= how.slow_after:
                # Not ahead of the rate: wait for the time the next bytes may come.
                if slow_since is None:
                    slow_since = time.monotonic()
                want = min(want, max(1, how.read_rate // 10))
                due = slow_since + (len(data) - how.slow_after) / how.read_rate
                time.sleep(max(0.0, due - time.monotonic()))
            elif how.read_rate:
                want = min(want, how.slow_after - len(data))
            if how.reset_after is not None:
                want = min(want, how.reset_after - len(data))
                if want <= 0:
                    # Mid-stream, stop reading for a moment first: the
                    # sender's buffers fill and it is caught in the middle
                    # of sending. A sender whose end arrives meanwhile has
                    # sent everything, and our system acknowledges the end
                    # as it arrives. The updater looks for that every 0.1 s,
                    # then listens 0.7 s for a reset: this one comes 0.2 s
                    # after the end, once it has looked and long before it
                    # stops listening (unless this thread is kept from
                    # running for half a second). An end that never came
                    # was never acknowledged: the reset fails the send too.
                    deadline = time.monotonic() + 0.5
                    while not sender_ended(conn) and time.monotonic() < deadline:
                        time.sleep(0.005)
                    if sender_ended(conn):
                        time.sleep(0.2)
                    return "reset by printer after %d bytes" % len(data)
            try:
                chunk = conn.recv(want)
            except ConnectionResetError:
                return "reset by sender after %d bytes" % len(data)
            if not chunk:
                return "closed by sender"
            data += chunk
            arrival[0] = time.time()

    def record(self, number, data, ended, seconds, accepted_at, last_byte_at, held, end):
        base = os.path.join(self.jobs, "job-%d" % number)
        with open(base + ".bin", "wb") as f:
            f.write(data)
        # accepted_at, last_byte_at: wall-clock times (Unix seconds) of the
        # connection and of its last byte, for timing a sender from outside.
        # held, end: see the top of this file.
        report = "bytes=%d\npjl=%s\nended=%s\nseconds=%.3f\naccepted_at=%.6f\nlast_byte_at=%.6f\nheld=%d\nend=%s\n" % (
            len(data), "yes" if has_pjl_framing(data) else "no", ended, seconds, accepted_at, last_byte_at,
            held, "yes" if end else "no")
        write_whole(base + ".done", report)   # the report appears last, whole
        print("job %d: %d bytes, PJL framing: %s, ended: %s" % (
            number, len(data), "yes" if has_pjl_framing(data) else "no", ended), flush=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
                                parents=[behaviour_parser()])
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--jobs", default="printer-jobs", help="folder for the received jobs")
    p.add_argument("--ready-file", help="touched once the port is listening")
    args = p.parse_args()

    os.makedirs(args.jobs, exist_ok=True)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    # A printer's own buffer for what it has not read yet is small; Linux
    # would grow ours to megabytes on loopback, and take a whole image for a
    # printer whose program read none of it.
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER)
    try:
        listener.bind((args.host, PORT))
    except OSError as e:
        print("printer_sim: cannot listen on %s:%d: %s" % (args.host, PORT, e.strerror), file=sys.stderr)
        return 1
    listener.listen(16)
    if args.ready_file:
        open(args.ready_file, "w").close()
    print("printer_sim: listening on %s:%d, jobs in %s" % (args.host, PORT, os.path.abspath(args.jobs)), flush=True)
    printer = Printer(args.jobs, args)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=printer.serve, args=(conn, printer.behaviour_for_next()), daemon=True).start()


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(0)
