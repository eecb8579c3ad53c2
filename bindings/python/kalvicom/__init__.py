"""kalvicom: serial ports on network device servers, with pyserial's names.

    import kalvicom
    with kalvicom.Serial("10.0.0.5:23", baudrate=9600, timeout=2) as port:
        port.write(b"ID?\\r")
        print(port.read_until(b"\\r"))

Any pyserial program can open the same port as serial.serial_for_url("kalvicom://10.0.0.5:23")
once this package is installed (miniterm included: python3 -m serial.tools.miniterm
kalvicom://10.0.0.5:23). pyserial is optional; when it is installed, errors are its
serial.SerialException. The library (libkalvicom.so, kalvicom.dll) is taken from beside this
package, then from the KALVICOM_LIBRARY environment variable, then from the system's loader.
"""
from ._serial import (EIGHTBITS, FIVEBITS, PARITY_EVEN, PARITY_MARK, PARITY_NONE, PARITY_ODD,
                      PARITY_SPACE, SEVENBITS, SIXBITS, STOPBITS_ONE, STOPBITS_ONE_POINT_FIVE,
                      STOPBITS_TWO, Serial, SerialException, SerialTimeoutException)

__all__ = ["Serial", "SerialException", "SerialTimeoutException", "PARITY_NONE", "PARITY_EVEN",
           "PARITY_ODD", "PARITY_MARK", "PARITY_SPACE", "STOPBITS_ONE", "STOPBITS_ONE_POINT_FIVE",
           "STOPBITS_TWO", "FIVEBITS", "SIXBITS", "SEVENBITS", "EIGHTBITS"]
