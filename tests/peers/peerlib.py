"""Pieces shared by the end-to-end runs against real device servers.

Every process started here runs in its own session (so its whole process group can be stopped)
and is asked by the kernel to stop when this script dies. Stack.close() stops them all, first
with SIGTERM, then with SIGKILL, on every path out of a test.
"""

import contextlib
import ctypes
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import time

# ser2net's configuration and the "is a port listening" check, shared with the demo and the
# Windows tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import ser2net  # noqa: E402,F401
from ser2net import free_port, listening  # noqa: E402,F401

SKIP = 77  # CTest's SKIP_RETURN_CODE for these tests: a server program is not installed


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def hexdump(data, limit=48):
    text = data[:limit].hex(" ").upper()
    return text + (" ... (%d bytes)" % len(data) if len(data) > limit else "")


def first_difference(got, want):
    for i, (a, b) in enumerate(zip(got, want)):
        if a != b:
            return i
    return min(len(got), len(want))


def check_bytes(got, want, what):
    if got != want:
        at = first_difference(got, want)
        raise Failure("%s: %d bytes instead of %d, first difference at byte %d\n  got  %s\n  want %s"
                      % (what, len(got), len(want), at, hexdump(got[at:]), hexdump(want[at:])))


def retry(attempt, seconds=3.0):
    """Calls attempt() until it passes its checks or seconds have passed."""
    end = time.monotonic() + seconds
    while True:
        try:
            return attempt()
        except Failure:
            if time.monotonic() > end:
                raise
            time.sleep(0.02)


def say(text):
    print(text, flush=True)


# --- processes --------------------------------------------------------------------------------

PR_SET_PDEATHSIG = 1
libc = ctypes.CDLL(None, use_errno=True)


def own_session(priority=0):
    """Runs in the child before exec: a new session, SIGTERM when this script dies, and the
    scheduling priority (nice value) asked for where the system allows it."""
    os.setsid()
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    if priority:
        try:
            os.setpriority(os.PRIO_PROCESS, 0, priority)
        except OSError:
            pass


class Stack(contextlib.ExitStack):
    """The processes and files of one test; close() stops and removes them all."""

    def __init__(self):
        super().__init__()
        self.dir = self.enter_context(tempfile.TemporaryDirectory(prefix="kalvicom-peer-"))

    def path(self, name):
        return os.path.join(self.dir, name)

    def start(self, name, argv, priority=0, **kwargs):
        log = open(self.path(name + ".log"), "wb")
        self.callback(log.close)
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                preexec_fn=lambda: own_session(priority), **kwargs)
        proc.log_path = self.path(name + ".log")
        proc.name = name
        self.callback(stop_group, proc)
        return proc


def stop_group(proc):
    for sig, grace in ((signal.SIGTERM, 3.0), (signal.SIGKILL, 3.0)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            pass
        try:
            proc.wait(grace)
            # The group may outlive its leader (socat's forked children): finish it too.
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            return
        except subprocess.TimeoutExpired:
            continue


def log_of(proc):
    try:
        with open(proc.log_path, "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return ""


def wait_listening(proc, port, seconds=10.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if listening(port):
            return
        if proc.poll() is not None:
            raise Failure("%s ended (status %s) before listening:\n%s" % (proc.name, proc.returncode, log_of(proc)))
        time.sleep(0.02)
    raise Failure("%s does not listen on port %d after %.0f s:\n%s" % (proc.name, port, seconds, log_of(proc)))


def need_programs(*names):
    from shutil import which
    missing = [n for n in names if which(n) is None and not os.path.exists(n)]
    if missing:
        say("SKIPPED: not installed: " + " ".join(missing))
        sys.exit(SKIP)


# --- the device ---------------------------------------------------------------------------------

class PtyDevice:
    """The serial device: a server serves the pseudo-terminal `device`; socat joins its other end
    to a socket on which the test reads what the server wrote and writes what the device sends.

    Servers flush the device when a connection ends (ser2net asks TIOCOUTQ, which a pty always
    answers with 0, then discards with TCIOFLUSH). On a pty that throws away whatever socat has not
    read yet, so the device must keep the pty empty as a real line would: the test's side is a
    socket with room for far more than any test writes (socat never waits for the test), and socat
    runs at a raised priority where the system allows it, so a busy machine does not delay it."""

    def __init__(self, stack):
        self.device = stack.path("device")
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        theirs.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)  # the system caps it
        self.proc = stack.start("socat-pty", ["socat", "pty,raw,echo=0,link=" + self.device,
                                              "FD:%d" % theirs.fileno()],
                                pass_fds=(theirs.fileno(),), priority=-15)
        theirs.close()
        ours.setblocking(False)
        stack.callback(ours.close)
        self.fd = ours.fileno()
        end = time.monotonic() + 10
        while not os.path.exists(self.device):
            if self.proc.poll() is not None or time.monotonic() > end:
                raise Failure("socat made no pseudo-terminal:\n" + log_of(self.proc))
            time.sleep(0.02)

    def device_termios(self):
        """The device side's line settings as the server left them: (speed, cflag)."""
        fd = os.open(self.device, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            attrs = termios.tcgetattr(fd)
        finally:
            os.close(fd)
        return attrs[5], attrs[2]

    def read(self, count, seconds=5.0):
        """Reads until count bytes arrived or seconds passed."""
        data = bytearray()
        end = time.monotonic() + seconds
        while len(data) < count:
            left = end - time.monotonic()
            if left <= 0:
                break
            if select.select([self.fd], [], [], left)[0]:
                try:
                    data += os.read(self.fd, count - len(data))
                except BlockingIOError:
                    pass
        return bytes(data)

    def quiet(self, seconds=0.2):
        """Whatever arrives within seconds: nothing is expected."""
        return self.read(1 << 20, seconds)

    def write(self, data, seconds=10.0):
        end = time.monotonic() + seconds
        view = memoryview(data)
        while view:
            check(time.monotonic() < end, "the pseudo-terminal stopped taking data")
            if select.select([], [self.fd], [], 0.1)[1]:
                try:
                    view = view[os.write(self.fd, view):]
                except BlockingIOError:
                    pass


# --- the C++ driver -------------------------------------------------------------------------------

class Driver:
    """The peer_driver program: one port driven through the public calls, a command a line."""

    def __init__(self, stack, command):
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     preexec_fn=own_session)
        stack.callback(stop_group, self.proc)
        self.proc.name = "peer_driver"
        self.pending = b""

    def ask(self, line, seconds=20.0):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()
        return self.answer(seconds)

    def send(self, line):
        """Sends a command without waiting for its answer (see answer())."""
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def answer(self, seconds=20.0):
        fd = self.proc.stdout.fileno()
        end = time.monotonic() + seconds
        while b"\n" not in self.pending:
            left = end - time.monotonic()
            check(left > 0, "peer_driver gave no answer within %.0f s" % seconds)
            if select.select([fd], [], [], left)[0]:
                chunk = os.read(fd, 1 << 16)
                check(chunk, "peer_driver ended (status %s)" % self.proc.poll())
                self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode()

    def ok(self, line, seconds=20.0):
        answer = self.ask(line, seconds)
        check(answer.split(" ")[0] == "ok", "%r answered %r" % (line[:60], answer[:200]))
        return answer[3:]

    def write(self, data):
        answer = self.ok("write " + data.hex())
        check(answer == str(len(data)), "KvWriteFile reported %s of %d bytes" % (answer, len(data)))

    def read(self, count, ms=5000):
        return bytes.fromhex(self.ok("read %d %d" % (count, ms), ms / 1000 + 20))


# --- what crosses the line ------------------------------------------------------------------------

ALL_BYTES = bytes(range(256))
# CR NUL, CR LF and a lone CR: what a peer in Telnet's text mode would rewrite.
LINE_ENDS = b"\r\0" + b"\r\n" + b"\r" + b"A"
PATTERN = ALL_BYTES + LINE_ENDS


def long_pattern(length):
    """Data with runs of 0xFF and line ends at every offset: crosses the library's 4 KiB chunks
    with doubled 0xFF landing on the boundaries."""
    out = bytearray()
    i = 0
    while len(out) < length:
        out += bytes([i & 0xFF]) + b"\xff" * (i % 5) + b"\r\0\r\n\r"[: i % 6]
        i += 1
    return bytes(out[:length])


# DCB values and what each asks of the line.
PARITY = {"none": 0, "odd": 1, "even": 2, "mark": 3, "space": 4}
STOP = {"1": 0, "1.5": 1, "2": 2}

BAUD_FLAGS = {b: getattr(termios, "B%d" % b) for b in
              (50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200)}
