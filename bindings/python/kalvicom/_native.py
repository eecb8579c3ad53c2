"""The nine kalvicom calls and their two records, through ctypes, and where the library is found."""
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
    """The time-out record; only the three Read members are used."""
    _fields_ = [
        ("ReadIntervalTimeout", DWORD), ("ReadTotalTimeoutMultiplier", DWORD),
        ("ReadTotalTimeoutConstant", DWORD), ("WriteTotalTimeoutMultiplier", DWORD),
        ("WriteTotalTimeoutConstant", DWORD),
    ]


SIGNATURES = {
    "KvCreateFile": (HANDLE, [ctypes.c_char_p]),
    "KvCloseHandle": (BOOL, [HANDLE]),
    "KvReadFile": (BOOL, [HANDLE, ctypes.c_void_p, DWORD, ctypes.POINTER(DWORD)]),
    "KvWriteFile": (BOOL, [HANDLE, ctypes.c_char_p, DWORD, ctypes.POINTER(DWORD)]),
    "KvSetCommTimeouts": (BOOL, [HANDLE, ctypes.POINTER(COMMTIMEOUTS)]),
    "KvSetCommState": (BOOL, [HANDLE, ctypes.POINTER(DCB)]),
    "KvGetCommState": (BOOL, [HANDLE, ctypes.POINTER(DCB)]),
    "KvSetCommConfig": (BOOL, [HANDLE, ctypes.c_void_p, DWORD]),
    "KvSetupComm": (BOOL, [HANDLE, DWORD, DWORD]),
}

FILE_NAME = "kalvicom.dll" if os.name == "nt" else ("libkalvicom.dylib" if sys.platform == "darwin"
                                                     else "libkalvicom.so")

_library = None


def candidates():
    """Where the library is looked for, in order: beside this package (a wheel that carries it),
    the KALVICOM_LIBRARY environment variable, the system's loader."""
    places = [os.path.join(os.path.dirname(os.path.abspath(__file__)), FILE_NAME)]
    if os.environ.get("KALVICOM_LIBRARY"):
        places.append(os.environ["KALVICOM_LIBRARY"])
    places.append(ctypes.util.find_library("kalvicom") or FILE_NAME)
    return places


def library():
    """The loaded library with the nine calls declared; OSError naming every place tried."""
    global _library
    if _library is not None:
        return _library
    tried = []
    for place in candidates():
        if os.path.isabs(place) and not os.path.exists(place):
            tried.append("%s (not there)" % place)
            continue
        try:
            # The calls use the platform's standard calling convention (stdcall on 32-bit Windows).
            lib = ctypes.WinDLL(place) if os.name == "nt" else ctypes.CDLL(place)
        except OSError as e:
            tried.append("%s (%s)" % (place, e))
            continue
        for name, (restype, argtypes) in SIGNATURES.items():
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
        _library = lib
        return lib
    raise OSError("the kalvicom library was not found; tried: %s. Set KALVICOM_LIBRARY to the path of %s."
                  % ("; ".join(tried), FILE_NAME))
