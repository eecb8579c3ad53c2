#!/usr/bin/env python3
"""query.py: ask a device behind a network serial port one question and print its answer.

    python3 query.py ADDRESS [REQUEST]        for example:  python3 query.py 127.0.0.1:2217 "ID?"

The same program as query.c, through ctypes. The library is taken from the KALVICOM_LIBRARY
environment variable when it is set (a path to libkalvicom.so or kalvicom.dll), otherwise from the
system's library search path. Exit status: 0 with an answer, 1 when anything failed, 2 for a usage
error.
"""
import ctypes
import ctypes.util
import os
import sys

DWORD = ctypes.c_uint32
BOOL = ctypes.c_int32
HANDLE = ctypes.c_void_p
INVALID_HANDLE_VALUE = ctypes.c_void_p(-1).value
MAXDWORD = 0xFFFFFFFF
NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY = range(5)
ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS = range(3)


class DCB(ctypes.Structure):
    """The line-settings record (28 bytes); only the four line members are used."""
    _fields_ = [
        ("DCBlength", DWORD), ("BaudRate", DWORD),
        ("fBinary", DWORD, 1), ("fParity", DWORD, 1), ("fOutxCtsFlow", DWORD, 1),
        ("fOutxDsrFlow", DWORD, 1), ("fDtrControl", DWORD, 2), ("fDsrSensitivity", DWORD, 1),
        ("fTXContinueOnXoff", DWORD, 1), ("fOutX", DWORD, 1), ("fInX", DWORD, 1),
        ("fErrorChar", DWORD, 1), ("fNull", DWORD, 1), ("fRtsControl", DWORD, 2),
        ("fAbortOnError", DWORD, 1), ("fDummy2", DWORD, 17),
        ("wReserved", ctypes.c_uint16), ("XonLim", ctypes.c_uint16), ("XoffLim", ctypes.c_uint16),
        ("ByteSize", ctypes.c_uint8), ("Parity", ctypes.c_uint8), ("StopBits", ctypes.c_uint8),
        ("XonChar", ctypes.c_char), ("XoffChar", ctypes.c_char), ("ErrorChar", ctypes.c_char),
        ("EofChar", ctypes.c_char), ("EvtChar", ctypes.c_char), ("wReserved1", ctypes.c_uint16),
    ]


class COMMTIMEOUTS(ctypes.Structure):
    _fields_ = [
        ("ReadIntervalTimeout", DWORD), ("ReadTotalTimeoutMultiplier", DWORD),
        ("ReadTotalTimeoutConstant", DWORD), ("WriteTotalTimeoutMultiplier", DWORD),
        ("WriteTotalTimeoutConstant", DWORD),
    ]


def load_kalvicom():
    """Loads the library and declares the nine calls."""
    path = os.environ.get("KALVICOM_LIBRARY") or ctypes.util.find_library("kalvicom")
    if not path:
        raise OSError("kalvicom not found: set KALVICOM_LIBRARY to the library's path")
    # The calls use the platform's standard calling convention (stdcall on 32-bit Windows).
    lib = ctypes.WinDLL(path) if os.name == "nt" else ctypes.CDLL(path)
    signatures = {
        "KvCreateFile": (HANDLE, [ctypes.c_char_p]),
        "KvCloseHandle": (BOOL, [HANDLE]),
        "KvReadFile": (BOOL, [HANDLE, ctypes.c_void_p, DWORD, ctypes.POINTER(DWORD)]),
        "KvWriteFile": (BOOL, [HANDLE, ctypes.c_void_p, DWORD, ctypes.POINTER(DWORD)]),
        "KvSetCommTimeouts": (BOOL, [HANDLE, ctypes.POINTER(COMMTIMEOUTS)]),
        "KvSetCommState": (BOOL, [HANDLE, ctypes.POINTER(DCB)]),
        "KvGetCommState": (BOOL, [HANDLE, ctypes.POINTER(DCB)]),
        "KvSetCommConfig": (BOOL, [HANDLE, ctypes.c_void_p, DWORD]),
        "KvSetupComm": (BOOL, [HANDLE, DWORD, DWORD]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


class QueryError(Exception):
    pass


def check(result, what):
    if not result:
        raise QueryError(what)


def query(kv, address, request):
    port = kv.KvCreateFile(address.encode())
    # ctypes gives None for a null pointer; a valid handle is never null.
    if port is None or port == INVALID_HANDLE_VALUE:
        raise QueryError("cannot open the port (malformed address, or no device server there)")
    try:
        dcb = DCB(DCBlength=ctypes.sizeof(DCB), BaudRate=9600, ByteSize=8,
                  Parity=NOPARITY, StopBits=ONESTOPBIT)
        check(kv.KvSetCommState(port, ctypes.byref(dcb)), "cannot set 9600 8N1")

        # "First byte" reads: return as soon as some data has arrived, or after 2 s with none.
        timeouts = COMMTIMEOUTS(MAXDWORD, MAXDWORD, 2000, 0, 0)
        check(kv.KvSetCommTimeouts(port, ctypes.byref(timeouts)), "cannot set the time-outs")

        out = request.encode() + b"\r"
        written = DWORD(0)
        check(kv.KvWriteFile(port, out, len(out), ctypes.byref(written)) and written.value == len(out),
              "cannot send the request (connection lost)")

        line = b""
        piece = ctypes.create_string_buffer(64)
        got = DWORD(0)
        while b"\r" not in line and b"\n" not in line:
            if len(line) >= 256:
                raise QueryError("the answer is longer than expected")
            check(kv.KvReadFile(port, piece, len(piece), ctypes.byref(got)),
                  "cannot read the answer (connection lost)")
            if got.value == 0:
                raise QueryError("no answer" if not line else "the answer stopped before its line end")
            line += piece.raw[:got.value]
        return line.replace(b"\n", b"\r").split(b"\r")[0].decode(errors="replace")
    finally:
        kv.KvCloseHandle(port)


def main(argv):
    if len(argv) not in (2, 3):
        print("usage: query.py ADDRESS [REQUEST]", file=sys.stderr)
        return 2
    try:
        print(query(load_kalvicom(), argv[1], argv[2] if len(argv) > 2 else "ID?"))
        return 0
    except (QueryError, OSError) as e:
        print("query.py: %s" % e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
