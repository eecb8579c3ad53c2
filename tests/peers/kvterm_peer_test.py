#!/usr/bin/python3
"""kvterm against a real ser2net on a pseudo-terminal pair.

    kvterm_peer_test.py KVTERM

Piped use as a user would run it: line settings arrive at the device, standard input reaches
the device exactly, what the device answers (also after the input has ended) reaches standard
output exactly, --hex shows it as a dump, a second kvterm on the port the first holds is told
the server is busy, and a server that goes away ends kvterm with the "connection lost" status. Exit status: 0 passed, 1 failed, 77 skipped.
"""

import os
import select
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing is written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peerlib import PATTERN, Failure, check, check_bytes, need_programs, own_session, retry, say, stop_group  # noqa: E402
from servers import Ser2net  # noqa: E402

REFUSED_CONNECTION = 3
LOST_CONNECTION = 5


class Kvterm:
    def __init__(self, stack, path, *args):
        self.proc = subprocess.Popen([path] + list(args), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, preexec_fn=own_session)
        stack.callback(stop_group, self.proc)

    def type(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def finish(self, seconds=15.0):
        """Reads standard output and error to their end; returns (status, stdout, stderr)."""
        out, err = b"", b""
        streams = {self.proc.stdout.fileno(): "out", self.proc.stderr.fileno(): "err"}
        end = time.monotonic() + seconds
        while streams:
            left = end - time.monotonic()
            check(left > 0, "kvterm still runs after %.0f s" % seconds)
            for fd in select.select(list(streams), [], [], left)[0]:
                chunk = os.read(fd, 1 << 16)
                if not chunk:
                    del streams[fd]
                elif streams[fd] == "out":
                    out += chunk
                else:
                    err += chunk
        return self.proc.wait(5), out, err.decode(errors="replace")


def run(stack, kvterm_path):
    server = Ser2net(stack)
    address = "127.0.0.1:%d" % server.port

    say("kvterm %s --baud 19200 --data 7 --parity odd --stop 2, input piped in" % address)
    term = Kvterm(stack, kvterm_path, address, "--baud", "19200", "--data", "7", "--parity", "odd", "--stop", "2")
    retry(lambda: server.check_termios(19200, "odd", "2"))
    term.type(PATTERN)
    check_bytes(server.pty.read(len(PATTERN)), PATTERN, "device received from kvterm's input")
    term.proc.stdin.close()
    time.sleep(0.1)  # the device answers after the input has ended: kvterm still shows it
    answer = b"\xff\xff" + PATTERN[::-1] + b"\xff"
    server.pty.write(answer)
    status, out, err = term.finish()
    check(status == 0, "kvterm ended with status %d: %s" % (status, err))
    check_bytes(out, answer, "kvterm's standard output")

    say("kvterm --hex")
    term = Kvterm(stack, kvterm_path, address, "--hex")
    time.sleep(0.3)
    server.pty.write(b"AB\xff\r\n")
    time.sleep(0.3)
    term.proc.stdin.close()
    status, out, err = term.finish()
    check(status == 0, "kvterm --hex ended with status %d: %s" % (status, err))
    want = b"00000000  41 42 ff 0d 0a" + b" " * 36 + b"|AB...|\n"  # as hexdump -C lays it out
    check_bytes(out, want, "kvterm --hex output")

    say("the server goes away while kvterm runs")
    term = Kvterm(stack, kvterm_path, address)
    term.type(b"hello")
    check_bytes(server.pty.read(5), b"hello", "device received")
    say("a second kvterm while the first holds the port: ser2net turns it away")
    status, out, err = Kvterm(stack, kvterm_path, address).finish()
    check(status == REFUSED_CONNECTION, "the second kvterm ended with status %d: %s" % (status, err))
    check("busy (another client holds the port)" in err, "the second kvterm said: %r" % err)
    stop_group(server.proc)
    status, out, err = term.finish()
    check(status == LOST_CONNECTION, "kvterm ended with status %d, want %d" % (status, LOST_CONNECTION))
    check("connection lost" in err, "kvterm said: %r" % err)


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    need_programs("ser2net", "socat")
    from peerlib import Stack
    with Stack() as stack:
        try:
            run(stack, sys.argv[1])
        except Failure as failure:
            say("FAILED: %s" % failure)
            return 1
    say("PASSED: kvterm against ser2net")
    return 0


if __name__ == "__main__":
    sys.exit(main())
