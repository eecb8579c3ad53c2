"""The device servers the peer tests run against, each on 127.0.0.1 with a device the test can
see: ser2net and sredird on a pseudo-terminal pair, pyserial's example server on its echoing
loop:// port. Each class starts its server in a Stack and knows how to check what reached the
device.
"""

import sys
import termios
import time

from peerlib import (BAUD_FLAGS, long_pattern, PtyDevice, check, check_bytes, free_port, log_of, need_programs, retry, say,
                     ser2net, wait_listening)

CMSPAR = 0o10000000000  # Linux's "stick" parity flag, missing from Python's termios module

PYSERIAL_SERVER = "/usr/share/doc/python3-serial/examples/rfc2217_server.py"


class PtyServer:
    """A server on the device end of a pseudo-terminal pair; the test is the serial device."""

    # (PARODD, CMSPAR) the device shows for each parity; None where it tells nothing. Both servers
    # switch parity off by clearing PARENB alone, which a pty never shows, so "none" leaves the
    # flags of the parity before it.
    parity_flags = {"none": None, "odd": (True, False), "even": (False, False),
                    "mark": (True, True), "space": (False, True)}
    # Whether the server leaves CMSPAR (and so PARODD) set once mark or space parity was chosen.
    stick_parity_stays = False
    # The most the device sends in one go; the rest follows in pieces 20 ms apart.
    device_burst = 1 << 20

    def __init__(self, stack):
        self.pty = PtyDevice(stack)
        self.port = free_port()
        self.stick_parity_set = False

    def check_settings(self, baud, data, parity, stop):
        # The server applies each command when it gets to it; the library does not wait for that.
        retry(lambda: self.check_termios(baud, parity, stop))
        if parity in ("mark", "space") and self.parity_flags[parity] is not None:
            self.stick_parity_set = True

    def check_termios(self, baud, parity, stop):
        # A Linux pty keeps speed, CSTOPB, PARODD and CMSPAR, but always shows CS8 and no
        # PARENB: data size and whether parity is on cannot be seen here.
        speed, cflag = self.pty.device_termios()
        check(speed == BAUD_FLAGS[baud], "device runs at termios speed %#o, want %d baud" % (speed, baud))
        if stop != "1.5":  # a termios line has no 1.5 stop bits: servers differ in what they do
            check(bool(cflag & termios.CSTOPB) == (stop == "2"),
                  "device has CSTOPB %s for %s stop bits" % (bool(cflag & termios.CSTOPB), stop))
        want = self.parity_flags[parity]
        if want is None or (self.stick_parity_set and self.stick_parity_stays):
            return
        got = (bool(cflag & termios.PARODD), bool(cflag & CMSPAR))
        check(got == want, "device has PARODD, CMSPAR %s for %s parity, want %s" % (got, parity, want))

    def to_device(self, driver, data):
        driver.send("write " + data.hex())
        got = self.pty.read(len(data))
        answer = driver.answer()
        check(answer == "ok %d" % len(data), "KvWriteFile answered %r" % answer[:80])
        check_bytes(got, data, "device received")
        check_bytes(self.pty.quiet(), b"", "device received after the data")

    def from_device(self, driver, data):
        driver.send("read %d 10000" % len(data))
        for i in range(0, len(data), self.device_burst):
            self.pty.write(data[i:i + self.device_burst])
            if len(data) > self.device_burst:
                time.sleep(0.02)
        answer = driver.answer(40)
        check(answer.startswith("ok "), "KvReadFile failed: %r" % answer[:80])
        check_bytes(bytes.fromhex(answer[3:]), data, "application received")
        check_bytes(driver.read(1, 200), b"", "application received after the data")

    def device_sends(self, driver, data):
        self.pty.write(data)


class Ser2net(PtyServer):
    name = "ser2net"
    stick_parity_stays = True  # it clears PARODD and CMSPAR only when it opens the device

    def __init__(self, stack):
        super().__init__(stack)
        config = stack.path("ser2net.yaml")
        self.trace = stack.path("to-device.trace")
        ser2net.write_config(config, self.port, self.pty.device, self.trace)
        self.proc = stack.start("ser2net", ser2net.command(config, stack.path("ser2net.pid")))
        wait_listening(self.proc, self.port)

    def traced(self):
        try:
            with open(self.trace, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def write_then_close(self, driver, data):
        """Closes right after a large write while the device talks: every byte must reach the
        server, which writes it to the device.

        The server's own trace of what it wrote to the device is the measure: it flushes the
        device when the connection ends, and on a pty that discards what the far side has not read
        yet, so on a busy machine the device itself may miss the tail of a correct delivery.
        Not tried on sredird: behind socat it loses the tail of what it was still passing to
        the device when the connection ends, however the client closes."""
        before = len(self.traced())
        self.pty.write(long_pattern(4096))  # never read by the application
        driver.send("write " + data.hex())
        driver.send("close")
        got = self.pty.read(len(data), 5.0)
        check(driver.answer() == "ok %d" % len(data), "KvWriteFile before the close failed")
        check(driver.answer().split(" ")[0] == "ok", "KvCloseHandle failed")
        retry(lambda: check_bytes(self.traced()[before:], data, "server wrote to the device"), 5.0)
        check_bytes(got, data[:len(got)], "device received")
        if len(got) < len(data):
            say("  (the server's flush at the close discarded %d bytes still inside the pty)" % (len(data) - len(got)))


class Sredird(PtyServer):
    name = "sredird"
    parity_flags = dict(PtyServer.parity_flags, mark=None, space=None)  # it has no stick parity
    # It drops what it reads from the device when doubling the 0xFF bytes in it overflows its
    # buffer (a burst of 1024 0xFF bytes is lost whole), so the device sends in small pieces.
    device_burst = 256

    def __init__(self, stack):
        super().__init__(stack)
        # sredird is an inetd program: socat plays inetd and runs one per connection.
        command = "sredird 0 %s %s" % (self.pty.device, stack.path("LCK..device"))
        self.proc = stack.start("socat-sredird", [
            "socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % self.port, "EXEC:" + command])
        wait_listening(self.proc, self.port)


class Pyserial:
    """pyserial's example server on its loop:// port: what the device receives comes back."""

    name = "pyserial"

    def __init__(self, stack):
        self.port = free_port()
        # -v logs every setting the server applies to its port ("set baud rate: 9600").
        self.proc = stack.start("pyserial", ["/usr/bin/python3", PYSERIAL_SERVER, "-v", "-p", str(self.port), "loop://"])
        wait_listening(self.proc, self.port)
        self.log_seen = 0

    def check_settings(self, baud, data, parity, stop):
        want = ["set baud rate: %d" % baud, "set data size: %d" % data,
                "set parity: %s" % parity[0].upper(), "set stop bits: %s" % stop]
        def look():
            log = log_of(self.proc)[self.log_seen:]
            for line in want:
                check(line in log, "the server's port did not take %r; its log says:\n%s" % (line, log))
            return len(log)
        # After a close the server takes a few seconds to notice and accept the next connection.
        self.log_seen += retry(look, 10.0)

    def to_device(self, driver, data):
        # loop:// hands the device's input straight back: exact data back means exact data in.
        driver.send("write " + data.hex())
        driver.send("read %d 10000" % len(data))
        answer = driver.answer()
        check(answer == "ok %d" % len(data), "KvWriteFile answered %r" % answer[:80])
        answer = driver.answer(40)
        check(answer.startswith("ok "), "KvReadFile failed: %r" % answer[:80])
        check_bytes(bytes.fromhex(answer[3:]), data, "device's echo received")
        check_bytes(driver.read(1, 200), b"", "application received after the echo")

    from_device = to_device

    def device_sends(self, driver, data):
        driver.write(data)  # and loop:// sends it back


SERVERS = {"ser2net": (Ser2net, ["ser2net", "socat"]),
           "sredird": (Sredird, ["sredird", "socat"]),
           "pyserial": (Pyserial, ["/usr/bin/python3", PYSERIAL_SERVER])}


def server_from_args(count, usage, command_follows=False):
    """The server class that the first of the script's count arguments names, once its programs
    are found; with command_follows, the last of them may be followed by its own arguments. Ends
    the script with the usage (status 2) or as skipped (77) otherwise."""
    if (len(sys.argv) < count + 1 if command_follows else len(sys.argv) != count + 1) or sys.argv[1] not in SERVERS:
        print(usage, file=sys.stderr)
        sys.exit(2)
    kind, programs = SERVERS[sys.argv[1]]
    need_programs(*programs)
    return kind
