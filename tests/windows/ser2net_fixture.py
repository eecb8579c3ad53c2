#!/usr/bin/env python3
"""A ser2net on loopback for the Windows tests, which run under Wine and cannot start Linux
programs themselves.

  ser2net_fixture.py start DIR   starts it and writes its TCP port to DIR/ser2net.port
  ser2net_fixture.py stop DIR    ends everything that start left running

The serial device is a pseudo-terminal whose other side socat feeds back into itself, so every
byte ser2net writes to the device comes back to ser2net, and so to the client, unchanged. Both
programs run under `timeout`, so even a run that never gets to `stop` leaves nothing behind for
long.
"""
import os
import signal
import socket
import subprocess
import sys
import time

LIFETIME_S = 600


def paths(folder):
    return {name: os.path.join(folder, name)
            for name in ("ser2net.port", "ser2net.pids", "ser2net.yaml", "ser2net.log",
                         "ser2net.pid", "tty-echo", "socat.log")}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(check, seconds, what):
    deadline = time.monotonic() + seconds
    while not check():
        if time.monotonic() > deadline:
            raise RuntimeError("gave up waiting for " + what)
        time.sleep(0.05)


def listening(port):
    # /proc/net/tcp lists sockets as "local_address rem_address st ..."; 0A is LISTEN. Reading it
    # rather than connecting keeps ser2net from opening the device for a probe.
    with open("/proc/net/tcp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if fields[1] == "0100007F:%04X" % port and fields[3] == "0A":
                return True
    return False


def spawn(argv, log, pids):
    with open(log, "wb") as out:
        child = subprocess.Popen(["timeout", str(LIFETIME_S)] + argv, stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
    pids.append(child.pid)
    return child


def running(pid):
    # A process that has ended but not yet been collected by its parent counts as ended.
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except FileNotFoundError:
        return False


def stop(folder):
    p = paths(folder)
    try:
        with open(p["ser2net.pids"]) as f:
            pids = [int(word) for word in f.read().split()]
    except FileNotFoundError:
        pids = []
    for pid in pids:
        # Each program leads a session of its own: end the whole group (timeout and its child).
        try:
            os.killpg(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    for pid in pids:
        # timeout, the group's leader, ends only after the program it runs has ended.
        deadline = time.monotonic() + 5
        while running(pid) and time.monotonic() < deadline:
            time.sleep(0.02)
        if running(pid):
            os.killpg(pid, signal.SIGKILL)
    for name in ("ser2net.pids", "ser2net.port", "ser2net.pid"):
        if os.path.exists(p[name]):
            os.remove(p[name])


def start(folder):
    os.makedirs(folder, exist_ok=True)
    stop(folder)  # whatever an interrupted run left
    p = paths(folder)
    pids = []
    try:
        spawn(["socat", "pty,raw,echo=0,link=" + p["tty-echo"], "PIPE"], p["socat.log"], pids)
        wait_for(lambda: os.path.exists(p["tty-echo"]), 5, "socat's pseudo-terminal")
        port = free_port()
        with open(p["ser2net.yaml"], "w") as f:
            f.write("connection: &kalvicom\n"
                    "  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                    "  connector: serialdev,%s,115200n81,local\n" % (port, p["tty-echo"]))
        ser2net = spawn(["ser2net", "-n", "-d", "-c", p["ser2net.yaml"], "-P", p["ser2net.pid"]],
                        p["ser2net.log"], pids)
        wait_for(lambda: listening(port) or ser2net.poll() is not None, 10, "ser2net to listen")
        if ser2net.poll() is not None:
            with open(p["ser2net.log"]) as log:
                raise RuntimeError("ser2net ended at once:\n" + log.read())
    except BaseException:
        with open(p["ser2net.pids"], "w") as f:
            f.write(" ".join(map(str, pids)))
        stop(folder)
        raise
    with open(p["ser2net.pids"], "w") as f:
        f.write(" ".join(map(str, pids)))
    with open(p["ser2net.port"], "w") as f:
        f.write("%d\n" % port)
    print("ser2net listens on 127.0.0.1:%d, device %s" % (port, p["tty-echo"]))


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        sys.exit("usage: ser2net_fixture.py start|stop DIR")
    (start if sys.argv[1] == "start" else stop)(os.path.abspath(sys.argv[2]))
