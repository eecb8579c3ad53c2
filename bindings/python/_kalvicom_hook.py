"""Lets pyserial find kalvicom's URL handler: pyserial looks for kalvicom:// in the module
serial.urlhandler.protocol_kalvicom, which this finder serves from kalvicom.protocol_kalvicom.

Imported at start-up by kalvicom.pth, so it imports nothing itself until pyserial asks.
"""
import sys

NAME = "serial.urlhandler.protocol_kalvicom"


class Loader:
    @staticmethod
    def create_module(spec):
        return None

    @staticmethod
    def exec_module(module):
        from kalvicom import protocol_kalvicom
        module.Serial = protocol_kalvicom.Serial


class Finder:
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name != NAME:
            return None
        from importlib.machinery import ModuleSpec
        return ModuleSpec(name, Loader)


if Finder not in sys.meta_path:
    sys.meta_path.append(Finder)
