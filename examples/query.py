#!/usr/bin/env python3
"""query.py: ask a device behind a network serial port one question and print its answer.

    python3 query.py ADDRESS [REQUEST]        for example:  python3 query.py 127.0.0.1:2217 "ID?"

The same program as query.c, with the kalvicom package (pip install bindings/python). ADDRESS may
also be a pyserial URL, kalvicom://127.0.0.1:2217, which is then opened the way any pyserial
program opens it: serial.serial_for_url. The library comes from beside the package, from the
KALVICOM_LIBRARY environment variable (a path to libkalvicom.so or kalvicom.dll), or from the
system's library search path. Exit status: 0 with an answer, 1 when anything failed, 2 for a
usage error.
"""
import sys

import kalvicom


def query(address, request):
    settings = dict(baudrate=9600, bytesize=8, parity="N", stopbits=1, timeout=2)  # 2 s to answer
    if "://" in address:
        import serial
        port = serial.serial_for_url(address, **settings)
    else:
        port = kalvicom.Serial(address, **settings)
    with port:
        port.write(request.encode() + b"\r")
        line = port.read_until(b"\r", 256)  # what came within the 2 s, at most 256 bytes
    if not line.endswith(b"\r"):
        raise kalvicom.SerialException("the answer is longer than expected" if len(line) == 256 else
                                       "the answer stopped before its line end" if line else "no answer")
    return line.rstrip(b"\r").lstrip(b"\n").decode(errors="replace")


def main(argv):
    if len(argv) not in (2, 3):
        print("usage: query.py ADDRESS [REQUEST]", file=sys.stderr)
        return 2
    try:
        print(query(argv[1], argv[2] if len(argv) > 2 else "ID?"))
        return 0
    except (kalvicom.SerialException, OSError) as e:
        print("query.py: %s" % e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
