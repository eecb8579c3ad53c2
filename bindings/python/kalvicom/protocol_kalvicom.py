"""pyserial's handler for kalvicom:// URLs: serial.serial_for_url("kalvicom://A.B.C.D:PORT").

Installed with the package, pyserial finds it on its own (see _kalvicom_hook). Without the
installation hook a program can say serial.protocol_handler_packages.append("kalvicom").
"""
from ._serial import Serial

__all__ = ["Serial"]
