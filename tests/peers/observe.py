#!/usr/bin/python3
"""Shows how a device server answers, byte for byte: the facts behind docs/peers.md.

    observe.py SERVER        SERVER: ser2net, sredird or pyserial

Starts the server as the peer tests do, connects one raw socket, sends what a freshly opened
port sends (IAC DO BINARY, IAC WILL BINARY, IAC DO COM-PORT-OPTION, IAC WILL COM-PORT-OPTION)
and then line-setting commands one by one, and prints what comes back after each, with the device's termios where
there is a pseudo-terminal. Not a test: run it by hand when a server's version changes.
"""

import os
import socket
import sys
import termios
import time

sys.dont_write_bytecode = True  # nothing is written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peerlib import Stack, hexdump  # noqa: E402
from servers import CMSPAR, server_from_args  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(HERE, "..", "support", "opening.inc")) as f:
    OPENING = bytes(int(v, 16) for v in f.read().split(","))

STEPS = [
    ("the negotiation", OPENING.hex(" ")),
    ("SET-BAUDRATE 9600", "FF FA 2C 01 00 00 25 80 FF F0"),
    ("SET-DATASIZE 7", "FF FA 2C 02 07 FF F0"),
    ("SET-PARITY odd", "FF FA 2C 03 02 FF F0"),
    ("SET-PARITY even", "FF FA 2C 03 03 FF F0"),
    ("SET-PARITY mark", "FF FA 2C 03 04 FF F0"),
    ("SET-PARITY space", "FF FA 2C 03 05 FF F0"),
    ("SET-PARITY odd", "FF FA 2C 03 02 FF F0"),
    ("SET-PARITY none", "FF FA 2C 03 01 FF F0"),
    ("SET-STOPSIZE 2", "FF FA 2C 04 02 FF F0"),
    ("SET-STOPSIZE 1.5", "FF FA 2C 04 03 FF F0"),
    ("SET-STOPSIZE 1", "FF FA 2C 04 01 FF F0"),
    ("data 41 FF FF 0D 00 42", "41 FF FF 0D 00 42"),
]


def drain(sock, seconds):
    data = b""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        sock.settimeout(max(0.01, end - time.monotonic()))
        try:
            chunk = sock.recv(4096)
        except socket.timeout:
            break
        if not chunk:
            return data + b"<closed>"
        data += chunk
    return data


def describe(pty):
    if pty is None:
        return ""
    speed, cflag = pty.device_termios()
    names = {v: k for k, v in vars(termios).items() if k.startswith("B") and k[1:].isdigit()}
    flags = [n for n, f in (("cstopb", termios.CSTOPB), ("parodd", termios.PARODD), ("cmspar", CMSPAR))
             if cflag & f]
    return "   [device: %s %s]" % (names.get(speed, speed)[1:], " ".join(flags) or "-")


def main():
    kind = server_from_args(1, __doc__)
    with Stack() as stack:
        server = kind(stack)
        pty = getattr(server, "pty", None)
        with socket.create_connection(("127.0.0.1", server.port)) as sock:
            print("at connect: %s" % hexdump(drain(sock, 0.5), 200))
            for label, hex_bytes in STEPS:
                sock.sendall(bytes.fromhex(hex_bytes))
                answer = drain(sock, 0.5)
                print("%-22s -> %s%s" % (label, hexdump(answer, 200) or "(nothing)", describe(pty)))
            if pty is not None:
                print("device received: %s" % hexdump(pty.quiet(0.3)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
