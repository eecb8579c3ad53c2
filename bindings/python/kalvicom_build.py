"""Builds the kalvicom wheel with nothing but the standard library (a PEP 517 build backend).

pip uses it for `pip install bindings/python`; the release script calls build_wheel itself with
config_settings {"native": PATH, "platform": TAG} to put the library beside the package, for
example {"native": "libkalvicom.so", "platform": "linux_x86_64"}. Without them the wheel is pure
Python (py3-none-any) and the library is found through KALVICOM_LIBRARY or the system's loader.
The version is the CMake project's, read from the top of the source tree.
"""
import base64
import hashlib
import os
import re
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SUMMARY = "Serial ports on network device servers (RFC 2217), with pyserial's names"
FILES = ["kalvicom/__init__.py", "kalvicom/_native.py", "kalvicom/_serial.py",
         "kalvicom/protocol_kalvicom.py", "_kalvicom_hook.py"]
# Run at every start of the interpreter it is installed into: registers the kalvicom:// handler.
PTH = ("kalvicom.pth", b"import _kalvicom_hook\n")


def version():
    cmake = os.path.join(HERE, "..", "..", "CMakeLists.txt")
    try:
        with open(cmake) as f:
            found = re.search(r"^project\(kalvicom VERSION ([0-9.]+)", f.read(), re.M)
    except OSError:
        found = None
    if not found:
        raise RuntimeError("no 'project(kalvicom VERSION ...)' in %s: build from the kalvicom source tree" % cmake)
    return found.group(1)


def metadata(ver):
    return ("Metadata-Version: 2.1\nName: kalvicom\nVersion: %s\nSummary: %s\nLicense: MIT\n"
            "Requires-Python: >=3.6\nProvides-Extra: pyserial\nRequires-Dist: pyserial; extra == \"pyserial\"\n"
            "Classifier: License :: OSI Approved :: MIT License\n"
            "Classifier: Topic :: System :: Hardware\n" % (ver, SUMMARY)).encode()


def wheel_name(ver, platform="any"):
    return "kalvicom-%s-py3-none-%s.whl" % (ver, platform)


def get_requires_for_build_wheel(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    settings = config_settings or {}
    native, platform = settings.get("native"), settings.get("platform", "any")
    if bool(native) != (platform != "any"):
        raise ValueError("a native library and its platform tag go together")
    ver = version()
    info = "kalvicom-%s.dist-info" % ver
    entries = []
    for name in FILES:
        with open(os.path.join(HERE, name), "rb") as f:
            entries.append((name, f.read()))
    if native:
        with open(native, "rb") as f:
            entries.append(("kalvicom/" + os.path.basename(native), f.read()))
    entries.append(PTH)
    entries.append((info + "/METADATA", metadata(ver)))
    entries.append((info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: kalvicom_build\nRoot-Is-Purelib: %s\n"
                                      "Tag: py3-none-%s\n" % ("false" if native else "true", platform)).encode()))
    entries.append((info + "/top_level.txt", b"_kalvicom_hook\nkalvicom\n"))
    record = "".join("%s,sha256=%s,%d\n" % (name, base64.urlsafe_b64encode(hashlib.sha256(data).digest())
                                             .rstrip(b"=").decode(), len(data)) for name, data in entries)
    entries.append((info + "/RECORD", (record + info + "/RECORD,,\n").encode()))
    name = wheel_name(ver, platform)
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for entry, data in entries:
            member = zipfile.ZipInfo(entry, date_time=(1980, 1, 1, 0, 0, 0))
            member.external_attr = (0o755 if entry.endswith((".so", ".dll", ".dylib")) else 0o644) << 16
            member.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(member, data)
    return name
