#!/usr/bin/env python3
"""kvterm.exe under Wine in pipe mode, against a scripted device server on 127.0.0.1: the line
settings and the piped text reach the server, and its answer comes back on standard output.

  kvterm_wine_test.py LAUNCHER... KVTERM_EXE

LAUNCHER is the command that runs a Windows program (CMake's emulator: env settings and wine64).
"""
import os
import socket
import subprocess
import sys

with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "opening.inc")) as f:
    NEGOTIATION = bytes(int(v, 16) for v in f.read().split(","))  # what a fresh port sends first
LINE_19200_8E1 = bytes([0xFF, 0xFA, 0x2C, 0x01, 0x00, 0x00, 0x4B, 0x00, 0xFF, 0xF0,
                        0xFF, 0xFA, 0x2C, 0x02, 0x08, 0xFF, 0xF0,
                        0xFF, 0xFA, 0x2C, 0x03, 0x03, 0xFF, 0xF0,
                        0xFF, 0xFA, 0x2C, 0x04, 0x01, 0xFF, 0xF0])
QUESTION = b"ID?\r\xff"
ANSWER = b"kalvicom \xff\xff1\r\n"  # 0xFF doubled on the wire, single on the screen


def main():
    *launcher, exe = sys.argv[1:]
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(60)  # Wine's first start of a program can take seconds
        address = "127.0.0.1:%d" % listener.getsockname()[1]
        proc = subprocess.Popen(launcher + [exe, address, "--baud=19200", "-p", "e", "--wait", "3"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        proc.stdin.write(QUESTION)  # read once connected; the end of input starts the --wait
        proc.stdin.close()
        proc.stdin = None  # communicate() below reads only
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            proc.kill()
            sys.exit("kvterm.exe did not connect: %s" % proc.communicate()[1].decode(errors="replace"))
        with conn:
            conn.settimeout(30)
            want = NEGOTIATION + LINE_19200_8E1 + QUESTION.replace(b"\xff", b"\xff\xff")
            got = b""
            while len(got) < len(want):
                chunk = conn.recv(4096)
                if not chunk:
                    break
                got += chunk
            conn.sendall(ANSWER)
            out, err = proc.communicate(timeout=60)
    failures = []
    if got != want:
        failures.append("the server received %s, not %s" % (got.hex(" "), want.hex(" ")))
    if out != ANSWER.replace(b"\xff\xff", b"\xff"):
        failures.append("kvterm.exe printed %r" % out)
    if proc.returncode != 0 or b"line settings sent: 19200 8E1" not in err:
        failures.append("status %d, standard error: %s" % (proc.returncode, err.decode(errors="replace")))
    for failure in failures:
        print(failure)
    print("kvterm.exe: the question reached the server and the answer came back" if not failures else "FAILED")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
