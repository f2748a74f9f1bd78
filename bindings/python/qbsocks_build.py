"""The binding's build backend (PEP 517), Python's standard library alone,
so that `pip install bindings/python` works offline in any venv of
CPython 3.8 or later: a py3-none-any wheel with qbsocks.py as the package
qbsocks (its __init__), py.typed for type checkers, and the metadata.

The release is the project's, said once: project(QBSocks32 VERSION ...) in
the CMakeLists.txt two folders up. The wheel carries no libqbsocks.so.1:
the binding loads the system's (the libqbsocks1 package) or the one that
QBSOCKS_LIBRARY names."""
import base64
import hashlib
import os
import re
import zipfile

_HERE = os.path.dirname(os.path.abspath(__file__))
_NAME = "qbsocks"
_TAG = "py3-none-any"


def _release():
    with open(os.path.join(_HERE, "..", "..", "CMakeLists.txt"), encoding="utf-8") as cmake:
        return re.search(r"project\(QBSocks32 VERSION ([0-9.]+)", cmake.read()).group(1)


def _metadata(release):
    return (f"Metadata-Version: 2.1\nName: {_NAME}\nVersion: {release}\n"
            "Summary: A socket connected directly or through the user's SOCKS4 or SOCKS5 proxy (QBSocks32)\n"
            "Requires-Python: >=3.8\nClassifier: Typing :: Typed\n")


def _files(release):
    """The wheel's files: (name in the archive, bytes)."""
    with open(os.path.join(_HERE, "qbsocks.py"), "rb") as module:
        code = module.read()
    info = f"{_NAME}-{release}.dist-info"
    return [(f"{_NAME}/__init__.py", code), (f"{_NAME}/py.typed", b""),
            (f"{info}/METADATA", _metadata(release).encode()),
            (f"{info}/WHEEL", f"Wheel-Version: 1.0\nGenerator: qbsocks_build\nRoot-Is-Purelib: true\n"
                              f"Tag: {_TAG}\n".encode())]


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    release = _release()
    files = _files(release)
    record = f"{_NAME}-{release}.dist-info/RECORD"
    wheel_name = f"{_NAME}-{release}-{_TAG}.whl"
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files:
            wheel.writestr(name, data)
        wheel.writestr(record, "".join(_record_line(n, d) for n, d in files) + f"{record},,\n")
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    raise NotImplementedError("qbsocks is built from the project's source tree (its release is the project's)")
