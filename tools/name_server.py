#!/usr/bin/env python3
"""A name server for the tests' own network: it knows no name at all.

    name_server.py ADDRESS READY_FILE

Every question gets "no such name" at once, so that a lookup fails as fast as
it does where a real name server does not know the name; except a question
for a name under "unanswered.test", which gets no answer ever, like a name
server that has gone away. tools/private-network.sh points the resolver here.
"""
import socket
import sys

SILENT = b"\x0aunanswered\x04test\x00"   # "unanswered.test" as it stands in a question


def no_such_name(query):
    """The answer "no such name" to QUERY: its id and question, nothing else."""
    end = query.index(b"\x00", 12) + 5   # the question: its name, type and class
    flags = 0x8183 | (query[2] & 0x01) << 8   # answer, recursion wanted as asked, available; NXDOMAIN
    return query[:2] + flags.to_bytes(2, "big") + b"\x00\x01\x00\x00\x00\x00\x00\x00" + query[12:end]


def main():
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind((sys.argv[1], 53))
    open(sys.argv[2], "w").close()
    while True:
        query, sender = server.recvfrom(512)
        if len(query) > 12 and not query[12:].split(b"\x00", 1)[0].endswith(SILENT[:-1]):
            try:
                server.sendto(no_such_name(query), sender)
            except (ValueError, OSError):
                pass


if __name__ == "__main__":
    main()
