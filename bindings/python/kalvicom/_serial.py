"""kalvicom.Serial: a port on a network device server with pyserial's names and meanings."""
import ctypes
import io
import threading
import time
from urllib.parse import urlsplit

from . import _native as kv

try:
    import serial as _pyserial
except ImportError:  # pyserial is optional
    _pyserial = None

if _pyserial is not None:
    SerialException = _pyserial.SerialException
    SerialTimeoutException = _pyserial.SerialTimeoutException
else:
    class SerialException(IOError):
        """A port that cannot be opened or whose connection was lost (pyserial's name)."""

    class SerialTimeoutException(SerialException):
        """pyserial's name; a kalvicom write never times out."""

PARITY_NONE, PARITY_EVEN, PARITY_ODD, PARITY_MARK, PARITY_SPACE = "N", "E", "O", "M", "S"
STOPBITS_ONE, STOPBITS_ONE_POINT_FIVE, STOPBITS_TWO = 1, 1.5, 2
FIVEBITS, SIXBITS, SEVENBITS, EIGHTBITS = 5, 6, 7, 8

_PARITIES = {PARITY_NONE: kv.NOPARITY, PARITY_ODD: kv.ODDPARITY, PARITY_EVEN: kv.EVENPARITY,
             PARITY_MARK: kv.MARKPARITY, PARITY_SPACE: kv.SPACEPARITY}
_STOPBITS = {STOPBITS_ONE: kv.ONESTOPBIT, STOPBITS_ONE_POINT_FIVE: kv.ONE5STOPBITS, STOPBITS_TWO: kv.TWOSTOPBITS}
_CHUNK = 4096
_ROUND_MS = 24 * 60 * 60 * 1000  # longest single wait handed to the library
URL_SCHEME = "kalvicom://"
_ABSENT = object()


def address_of(port):
    """The library's "A.B.C.D:PORT" from a port name, which may also be a kalvicom:// URL."""
    if not port.lower().startswith(URL_SCHEME):
        return port
    parts = urlsplit(port)
    if parts.path or parts.query or parts.fragment or not parts.netloc:
        raise SerialException('expected a URL of the form "kalvicom://A.B.C.D:PORT", not %r' % port)
    return parts.netloc


class Serial(io.RawIOBase):
    """A serial port on a network device server.

    Serial(port="10.0.0.5:23", baudrate=9600, bytesize=8, parity="N", stopbits=1, timeout=None)
    opens at once when port is given, as pyserial's Serial does; port may also be
    "kalvicom://10.0.0.5:23". timeout: None waits until size bytes came, 0 returns what is there,
    a number of seconds bounds the whole call. Values the library cannot send raise ValueError
    before anything is sent; a refused address or a lost connection raises SerialException and
    leaves the port closed.

    One thread may write while another reads. Settings, open and close must not overlap other
    calls on the same port; a close while a read waits takes effect when that read returns.
    """

    BAUDRATES = (50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400,
                 57600, 115200)
    BYTESIZES = (FIVEBITS, SIXBITS, SEVENBITS, EIGHTBITS)
    PARITIES = tuple(_PARITIES)
    STOPBITS = tuple(_STOPBITS)

    def __init__(self, port=None, baudrate=9600, bytesize=EIGHTBITS, parity=PARITY_NONE,
                 stopbits=STOPBITS_ONE, timeout=None, xonxoff=False, rtscts=False,
                 write_timeout=None, dsrdtr=False, inter_byte_timeout=None):
        super().__init__()
        self._gate = threading.Lock()
        self._handle = None
        self._users = 0  # native calls in progress on _handle
        self._closing = False  # _handle is released when the last of them returns
        self._pending = bytearray()  # arrived, not read yet
        self._chunk = ctypes.create_string_buffer(_CHUNK)
        self._port = None
        self._baudrate = self._bytesize = self._parity = self._stopbits = self._timeout = None
        self.baudrate, self.bytesize, self.parity, self.stopbits = baudrate, bytesize, parity, stopbits
        self.timeout = timeout
        self.xonxoff, self.rtscts, self.dsrdtr = xonxoff, rtscts, dsrdtr
        self.write_timeout, self.inter_byte_timeout = write_timeout, inter_byte_timeout
        self.port = port
        if port is not None:
            self.open()

    # --- settings, as pyserial names them ---------------------------------------------------

    def _unsupported(name, off):
        """What the device server cannot be told: only the value meaning "none" is taken."""
        def get(self):
            if off is _ABSENT:
                raise AttributeError("%s is not supported by kalvicom" % name)
            return off

        def set(self, value):
            if off is _ABSENT or value != off:
                raise ValueError("%s is not supported by kalvicom: the device server gets only "
                                 "baud rate, data bits, parity and stop bits" % name)
        return property(get, set)

    xonxoff = _unsupported("xonxoff", False)
    rtscts = _unsupported("rtscts", False)
    dsrdtr = _unsupported("dsrdtr", False)
    write_timeout = _unsupported("write_timeout", None)
    inter_byte_timeout = _unsupported("inter_byte_timeout", None)
    dtr = _unsupported("dtr", _ABSENT)
    rts = _unsupported("rts", _ABSENT)
    break_condition = _unsupported("break_condition", _ABSENT)
    del _unsupported

    @property
    def port(self):
        return self._port

    @port.setter
    def port(self, port):
        if port is not None and not isinstance(port, str):
            raise ValueError("port must be a string, not %r" % (port,))
        reopen = self.is_open
        if reopen:
            self.close()
        self._port = port
        if reopen:
            self.open()

    @property
    def name(self):
        return self._port

    def _setting(attribute, allowed, what):
        def get(self):
            return getattr(self, attribute)

        def set(self, value):
            if value not in allowed(self):
                raise ValueError("%s %r is not one kalvicom sends: %s" % (what, value, allowed(self)))
            setattr(self, attribute, value)
            if self.is_open:
                self._apply()
        return property(get, set)

    baudrate = _setting("_baudrate", lambda self: self.BAUDRATES, "baud rate")
    bytesize = _setting("_bytesize", lambda self: self.BYTESIZES, "data size")
    parity = _setting("_parity", lambda self: self.PARITIES, "parity")
    stopbits = _setting("_stopbits", lambda self: self.STOPBITS, "stop bits")
    del _setting

    @property
    def timeout(self):
        return self._timeout

    @timeout.setter
    def timeout(self, timeout):
        if timeout is not None and not timeout >= 0:
            raise ValueError("timeout must be None or 0 or more seconds, not %r" % (timeout,))
        self._timeout = timeout

    # --- open and close ---------------------------------------------------------------------

    @property
    def is_open(self):
        with self._gate:
            return self._handle is not None and not self._closing

    def open(self):
        if self._port is None:
            raise SerialException("Port must be configured before it can be used.")
        if self.is_open:
            raise SerialException("Port is already open.")
        address = address_of(self._port)
        try:
            encoded = address.encode("ascii")
        except UnicodeEncodeError:
            raise SerialException("could not open port %r: not an address" % self._port)
        try:
            lib = kv.library()
        except OSError as e:  # pyserial programs catch SerialException alone
            raise SerialException("could not open port %r: %s" % (self._port, e))
        handle = lib.KvCreateFile(encoded)
        # ctypes gives None for a null pointer; a valid handle is never null.
        if handle is None or handle == kv.INVALID_HANDLE_VALUE:
            raise SerialException("could not open port %r: malformed address, or no device server there"
                                  % self._port)
        with self._gate:
            self._handle, self._closing = handle, False
        del self._pending[:]
        self._apply()

    def close(self):
        if not hasattr(self, "_gate"):  # __init__ failed early
            return
        with self._gate:
            if self._handle is None or self._closing:
                return
            self._closing = True
            if self._users == 0:
                self._release()

    def __enter__(self):
        if self._port is not None and not self.is_open:
            self.open()
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()

    # --- data -------------------------------------------------------------------------------

    def readable(self):
        return True

    def writable(self):
        return True

    def read(self, size=1):
        """Up to size bytes, as the timeout allows (fewer, or none, when it ends first)."""
        if size < 0:
            raise ValueError("read size must be 0 or more")
        self._collect(lambda: len(self._pending) >= size)
        return self._take(size)

    def read_until(self, expected=b"\n", size=None):
        """Bytes up to and including expected, or size bytes, or what came before the timeout."""
        expected = bytes(expected)
        if not expected:
            raise ValueError("expected must not be empty")
        looked = [0]

        def found():
            at = self._pending.find(expected, looked[0])
            looked[0] = max(0, len(self._pending) - len(expected) + 1)
            return at >= 0 or (size is not None and len(self._pending) >= size)
        self._collect(found)
        at = self._pending.find(expected)
        n = len(self._pending) if at < 0 else at + len(expected)
        return self._take(n if size is None else min(n, size))

    def readline(self, size=-1):
        return self.read_until(b"\n", None if size is None or size < 0 else size)

    def write(self, data):
        data = bytes(data)
        written = kv.DWORD(0)
        handle = self._enter()
        try:
            ok = kv.library().KvWriteFile(handle, data, len(data), ctypes.byref(written))
        finally:
            self._leave()
        if not ok or written.value != len(data):
            raise self._lost("write")
        return len(data)

    def flush(self):
        """Nothing to do: a write returns once the connection has taken all of it."""
        self._enter()
        self._leave()

    @property
    def in_waiting(self):
        """How many bytes have arrived and not been read (one look at the connection)."""
        self._fill(0)
        return len(self._pending)

    def reset_input_buffer(self):
        """Drops what has arrived and not been read."""
        del self._pending[:]
        while self._fill(0) == _CHUNK:  # a full chunk: there may be more
            del self._pending[:]
        del self._pending[:]

    # --- inside -----------------------------------------------------------------------------

    def _enter(self):
        with self._gate:
            if self._handle is None or self._closing:
                if _pyserial is not None and hasattr(_pyserial, "PortNotOpenError"):
                    raise _pyserial.PortNotOpenError()
                raise SerialException("Attempting to use a port that is not open")
            self._users += 1
            return self._handle

    def _leave(self):
        with self._gate:
            self._users -= 1
            if self._users == 0 and self._closing:
                self._release()

    def _release(self):  # with _gate held, once nothing uses the handle
        handle, self._handle, self._closing = self._handle, None, False
        kv.library().KvCloseHandle(handle)  # always succeeds

    def _lost(self, what):
        self.close()
        return SerialException("cannot %s: connection lost to %s; the port is closed" % (what, self._port))

    def _apply(self):
        dcb = kv.DCB(DCBlength=ctypes.sizeof(kv.DCB), BaudRate=self._baudrate, ByteSize=self._bytesize,
                     Parity=_PARITIES[self._parity], StopBits=_STOPBITS[self._stopbits])
        handle = self._enter()
        try:
            ok = kv.library().KvSetCommState(handle, ctypes.byref(dcb))
        finally:
            self._leave()
        if not ok:
            raise self._lost("send the line settings")

    def _collect(self, done):
        """Reads until done() holds or the timeout has passed."""
        deadline = None if self._timeout is None else time.monotonic() + self._timeout
        while not done():
            wait = None if deadline is None else max(0.0, deadline - time.monotonic())
            if self._fill(wait) == 0 and wait == 0:
                return

    def _fill(self, wait):
        """Reads what arrives within wait seconds (0: what is there, None: until something comes)
        onto the end of the pending bytes; returns how many came."""
        if wait == 0:
            timeouts = kv.COMMTIMEOUTS(kv.MAXDWORD, 0, 0, 0, 0)
        else:
            ms = _ROUND_MS if wait is None else min(_ROUND_MS, max(1, int(wait * 1000 + 0.999)))
            timeouts = kv.COMMTIMEOUTS(kv.MAXDWORD, kv.MAXDWORD, ms, 0, 0)
        lib = kv.library()
        got = kv.DWORD(0)
        while True:
            handle = self._enter()
            try:
                ok = (lib.KvSetCommTimeouts(handle, ctypes.byref(timeouts))
                      and lib.KvReadFile(handle, self._chunk, _CHUNK, ctypes.byref(got)))
            finally:
                self._leave()
            if not ok:
                raise self._lost("read")
            if got.value or wait is not None:
                self._pending += self._chunk.raw[:got.value]
                return got.value

    def _take(self, n):
        data = bytes(self._pending[:n])
        del self._pending[:n]
        return data
