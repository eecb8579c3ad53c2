#!/usr/bin/python3
"""End-to-end run of the library against one real device server.

    peer_test.py SERVER DRIVER...     SERVER: ser2net, sredird or pyserial

Starts the server on 127.0.0.1 (on a pseudo-terminal pair made by socat, or on pyserial's
echoing loop:// port), drives a port through the public calls with DRIVER (peer_driver), and
checks on the device's side that line settings and every byte arrive as sent, in both
directions. DRIVER may be a command with arguments, such as an emulator and the driver.
Everything started here is stopped on the way out, also when a check fails.
Exit status: 0 passed, 1 failed, 77 skipped (a server program is not installed).
"""

import os
import sys
import time

sys.dont_write_bytecode = True  # nothing is written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peerlib import PARITY, PATTERN, STOP, Driver, Failure, Stack, check, check_bytes, log_of, long_pattern, retry, say  # noqa: E402
from servers import server_from_args  # noqa: E402

# Line settings to apply in turn: (baud, data bits, parity, stop bits). Each row changes every
# value from the row before, so each sends all four commands. Mark and space parity come last:
# one server leaves the stick-parity flag set once it has been set (see Ser2net).
SETTINGS = [
    (9600, 8, "none", "1"),
    (19200, 7, "even", "2"),
    (1200, 5, "odd", "1"),
    (300, 6, "even", "1.5"),
    (57600, 7, "odd", "2"),
    (38400, 8, "none", "1"),
    (115200, 6, "mark", "2"),
    (4800, 5, "space", "1"),
    (115200, 8, "none", "2"),
]

def exchange(server, driver, label):
    say("  %s: device receives all 256 byte values, CR NUL, CR LF and a lone CR" % label)
    server.to_device(driver, PATTERN)
    say("  %s: application receives the same from the device, and 0xFF runs" % label)
    server.from_device(driver, PATTERN + b"\xff\xff\xff" + PATTERN[::-1])


def run(server, driver):
    address = "127.0.0.1:%d" % server.port
    say("open %s (%s)" % (address, server.name))
    driver.ok("open " + address)
    check(driver.ok("get") == "0 0 255 255", "a fresh port reports settings as sent")

    for baud, data, parity, stop in SETTINGS:
        say("  line settings %d %d %s %s" % (baud, data, parity, stop))
        driver.ok("state %d %d %d %d" % (baud, data, PARITY[parity], STOP[stop]))
        server.check_settings(baud, data, parity, stop)

    exchange(server, driver, "first connection")

    say("  device data waiting while the line settings change is kept for the next read")
    server.device_sends(driver, PATTERN)
    time.sleep(0.1)
    driver.ok("state 2400 7 2 0")  # every value differs from the last row
    check_bytes(driver.read(len(PATTERN)), PATTERN, "application received")
    server.check_settings(2400, 7, "even", "1")
    driver.ok("state 115200 8 0 0")
    big = long_pattern(10000)
    say("  10000 bytes each way, 0xFF runs across the library's 4 KiB chunks")
    server.to_device(driver, big)
    server.from_device(driver, big[::-1])

    say("close, open again once the server has let go of the first connection")
    driver.ok("close")
    # Servers let go of a connection after it ended (sredird behind socat holds the device lock
    # for up to half a second): until then they turn a new session away, and the open fails.
    retry(lambda: driver.ok("open " + address))
    if hasattr(server, "stick_parity_set"):
        server.stick_parity_set = False  # the server opens the device afresh
    driver.ok("state 38400 8 1 0")
    server.check_settings(38400, 8, "odd", "1")
    exchange(server, driver, "second connection")
    if hasattr(server, "write_then_close"):
        say("  64 KiB written and closed at once while the device sends: all of it arrives")
        server.write_then_close(driver, long_pattern(65536))
    else:
        driver.ok("close")

    driver.proc.stdin.close()
    check(driver.proc.wait(10) == 0, "peer_driver ended with status %s" % driver.proc.returncode)


def main():
    kind = server_from_args(2, __doc__, command_follows=True)
    server = None
    with Stack() as stack:
        try:
            server = kind(stack)
            run(server, Driver(stack, sys.argv[2:]))
        except Failure as failure:
            say("FAILED: %s" % failure)
            for proc in getattr(server, "proc", None), getattr(getattr(server, "pty", None), "proc", None):
                if proc is not None:
                    say("--- %s log ---\n%s" % (proc.name, log_of(proc)[-3000:]))
            return 1
    say("PASSED: %s" % sys.argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main())
