#!/usr/bin/python3
"""ser2net on 127.0.0.1 serving a pseudo-terminal: for the demo, the tests and the benchmarks.

  ser2net.py start DIR echo   socat echoes every byte ser2net writes to the device back to it
  ser2net.py start DIR pair   the device is one end of a pseudo-terminal pair; whoever runs this
                              plays the serial device on DIR/far
  ser2net.py stop DIR         ends everything start left running

start writes the TCP port to DIR/ser2net.port once ser2net listens; the device ser2net serves
is DIR/device. Both programs run under `timeout`, so even a run that never gets to `stop` leaves
nothing behind for long. As a module it gives the pieces the peer tests start their own
processes with: free_port(), listening(), write_config() and command().
"""
import os
import signal
import socket
import subprocess
import sys
import time

LIFETIME_S = 600


def free_port():
    """A TCP port nobody listens on right now (the system's pick for port 0)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """Whether some socket listens on the TCP port, read from /proc without connecting: a
    connection would make ser2net open the device, and start a session on servers that run one
    program per connection. Lines read "sl local_address rem_address st ..."; 0A is LISTEN."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        return True
        except OSError:
            pass
    return False


def write_config(path, port, device, trace=None):
    """ser2net's configuration: RFC 2217 on 127.0.0.1:port for the serial device. With trace,
    ser2net appends every byte it writes to the device to that file."""
    with open(path, "w") as f:
        f.write("connection: &kalvicom\n"
                "  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                "  connector: serialdev,%s,115200n81,local\n" % (port, device))
        if trace:
            f.write("  options:\n"
                    "    trace-write: %s\n" % trace)


def command(config, pidfile):
    """ser2net in the foreground on that configuration."""
    return ["ser2net", "-n", "-d", "-c", config, "-P", pidfile]


# --- start and stop from the command line -------------------------------------------------------

def paths(folder):
    return {name: os.path.join(folder, name)
            for name in ("ser2net.port", "ser2net.pids", "ser2net.yaml", "ser2net.log",
                         "ser2net.pid", "device", "far", "socat.log")}


def wait_for(check, seconds, what):
    deadline = time.monotonic() + seconds
    while not check():
        if time.monotonic() > deadline:
            raise RuntimeError("gave up waiting for " + what)
        time.sleep(0.05)


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


def start(folder, mode):
    os.makedirs(folder, exist_ok=True)
    stop(folder)  # whatever an interrupted run left
    p = paths(folder)
    far = "PIPE" if mode == "echo" else "pty,raw,echo=0,link=" + p["far"]
    pids = []
    try:
        spawn(["socat", "pty,raw,echo=0,link=" + p["device"], far], p["socat.log"], pids)
        wait_for(lambda: os.path.exists(p["device"]) and (mode == "echo" or os.path.exists(p["far"])), 5,
                 "socat's pseudo-terminal")
        port = free_port()
        write_config(p["ser2net.yaml"], port, p["device"])
        ser2net = spawn(command(p["ser2net.yaml"], p["ser2net.pid"]), p["ser2net.log"], pids)
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
    return port


if __name__ == "__main__":
    args = sys.argv[1:]
    if not (args[1:2] not in ([], [""]) and (args[0] == "stop" and len(args) == 2 or
                                             args[0] == "start" and args[2:] in (["echo"], ["pair"]))):
        sys.exit(__doc__)
    if args[0] == "stop":
        stop(os.path.abspath(args[1]))
    else:
        port = start(os.path.abspath(args[1]), args[2])
        print("ser2net listens on 127.0.0.1:%d, device %s" % (port, paths(os.path.abspath(args[1]))["device"]))
