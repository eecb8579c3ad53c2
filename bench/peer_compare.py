#!/usr/bin/python3
"""The library against pyserial's RFC 2217 client, on the same ser2net-served echo device.

Starts socat (a pseudo-terminal whose far end is echoed back through a pipe) and ser2net serving
it on 127.0.0.1, then measures with both clients, alternating: open time, a 32-byte round trip
and a 64 KiB echo (medians, every echo checked exactly). Stops both servers at the end.

    peer_compare.py PEER_CLIENT [rounds]

PEER_CLIENT is the built bench/peer_client. Needs ser2net, socat and python3-serial (Debian's
/usr/bin/python3 has the package).
"""
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

import serial  # python3-serial

sys.dont_write_bytecode = True  # nothing is written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import ser2net  # noqa: E402


# ser2net turns a connection away while it is still closing the device after the last one, so
# every close is followed by this pause (peer_client pauses the same).
REOPEN_PAUSE = 0.3


def read_exact(port, n):
    data = bytearray()
    while len(data) < n:
        chunk = port.read(n - len(data))
        if not chunk:
            raise SystemExit("peer_compare: pyserial echo incomplete (%d of %d bytes)" % (len(data), n))
        data += chunk
    return bytes(data)


def pyserial_run(port, opens, trips, echoes):
    url = "rfc2217://127.0.0.1:%d?ign_set_control" % port  # ser2net refuses the control option
    open_ms = []
    for _ in range(opens):
        t0 = time.perf_counter()
        s = serial.serial_for_url(url, timeout=5)
        open_ms.append((time.perf_counter() - t0) * 1e3)
        s.close()
        time.sleep(REOPEN_PAUSE)
    rng = random.Random(11)
    data = bytes(rng.getrandbits(8) for _ in range(1 << 16))
    s = serial.serial_for_url(url, timeout=5)
    rtt_us = []
    for i in range(trips):
        request = data[(i % 2048) * 32:(i % 2048) * 32 + 32]
        t0 = time.perf_counter()
        s.write(request)
        back = read_exact(s, 32)
        rtt_us.append((time.perf_counter() - t0) * 1e6)
        if back != request:
            raise SystemExit("peer_compare: pyserial 32-byte echo differs")
    echo_ms = []
    for _ in range(echoes):
        t0 = time.perf_counter()
        s.write(data)
        back = read_exact(s, len(data))
        echo_ms.append((time.perf_counter() - t0) * 1e3)
        if back != data:
            raise SystemExit("peer_compare: pyserial 64 KiB echo differs")
    s.close()
    return statistics.median(open_ms), statistics.median(rtt_us), statistics.median(echo_ms)


def library_run(client, port, opens, trips, echoes):
    out = subprocess.run([client, str(port), str(opens), str(trips), str(echoes)], check=True,
                         capture_output=True, text=True).stdout
    values = dict(item.split("=") for item in out.split())
    return float(values["open_ms"]), float(values["rtt32_us"]), float(values["echo64k_ms"])


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    client = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    opens, trips, echoes = 5, 200, 3
    with tempfile.TemporaryDirectory(prefix="kv-peer-") as tmp:
        try:
            port = ser2net.start(tmp, "echo")  # the device echoes what ser2net writes to it
            time.sleep(REOPEN_PAUSE)
            lib, py = [], []
            for _ in range(rounds):
                lib.append(library_run(client, port, opens, trips, echoes))
                time.sleep(REOPEN_PAUSE)
                py.append(pyserial_run(port, opens, trips, echoes))
                time.sleep(REOPEN_PAUSE)
        finally:
            ser2net.stop(tmp)

    print("ser2net %s echo device on 127.0.0.1, library against pyserial %s (rfc2217://), "
          "%d alternating rounds, medians" % (ser2net_version(), serial.VERSION, rounds))
    print("%-24s %12s %12s %12s" % ("", "library", "pyserial", "lib/pyserial"))
    names = [("open", "ms"), ("round trip 32 B", "us"), ("echo 64 KiB", "ms")]
    for i, (name, unit) in enumerate(names):
        a = statistics.median(r[i] for r in lib)
        b = statistics.median(r[i] for r in py)
        print("%-24s %9.2f %-2s %9.2f %-2s %10.3f" % (name, a, unit, b, unit, a / b))
    print("data checked exact in every run")


def ser2net_version():
    try:
        out = subprocess.run(["ser2net", "-v"], capture_output=True, text=True).stdout.split()
        return out[-1] if out else "?"
    except OSError:
        return "?"


if __name__ == "__main__":
    main()
