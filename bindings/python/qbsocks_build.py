"""The binding's build backend (PEP 517), Python's standard library alone,
so that `pip install bindings/python` works offline in any venv of
CPython 3.8 or later: a py3-none-any wheel with qbsocks.py as the package
qbsocks (its __init__), a __main__ for `python -m qbsocks`, py.typed for
type checkers, and the metadata.

The metadata is pyproject.toml's [project] table; the release is the
project's, said once: project(QBSocks32 VERSION ...) in the CMakeLists.txt
two folders up. By default the wheel carries no
library: the binding loads the system's (the libqbsocks1 package) or the
one that QBSOCKS_LIBRARY names. Given the config settings library= (a
libqbsocks.so.1, or a qbsocks.dll) and platform= (its wheel platform tag:
linux_x86_64, win32, win_amd64), the wheel carries that file in the
package's folder, where the binding loads it from by its full path:

    pip wheel --no-index -C library=build/default/capi/libqbsocks.so.1 -C platform=linux_x86_64 bindings/python

The build runs it as a program (bindings/python/CMakeLists.txt): the
same wheel without pip, and the package's files unpacked for the Debian
package, where they are installed as pip would have put them:

    python3 qbsocks_build.py wheel OUT_DIR [LIBRARY PLATFORM]
    python3 qbsocks_build.py unpacked OUT_DIR
"""
import base64
import hashlib
import json
import os
import re
import sys
import zipfile

_HERE = os.path.dirname(os.path.abspath(__file__))


def _project():
    """pyproject.toml's [project] table: tomllib's reading where Python has
    it (3.11), else its lines `key = value`, each value as JSON reads it."""
    with open(os.path.join(_HERE, "pyproject.toml"), "rb") as file:
        text = file.read().decode("utf-8")
    try:
        import tomllib
        return tomllib.loads(text)["project"]
    except ImportError:
        table = text.split("\n[project]\n", 1)[1].split("\n[", 1)[0]
        return {key: json.loads(value) for key, value in re.findall(r"^([\w-]+) = (.+)$", table, re.MULTILINE)}


_PROJECT = _project()
_NAME = _PROJECT["name"]


def _release():
    with open(os.path.join(_HERE, "..", "..", "CMakeLists.txt"), encoding="utf-8") as cmake:
        return re.search(r"project\(QBSocks32 VERSION ([0-9.]+)", cmake.read()).group(1)


def _metadata(release):
    return (f"Metadata-Version: 2.1\nName: {_NAME}\nVersion: {release}\nSummary: {_PROJECT['description']}\n"
            f"Requires-Python: {_PROJECT['requires-python']}\n" +
            "".join(f"Classifier: {classifier}\n" for classifier in _PROJECT.get("classifiers", [])))


# python -m qbsocks (set URL|off|-, show): the package's _main.
_MAIN = b"import sys\n\nfrom qbsocks import _main\n\nsys.exit(_main())\n"


def _read(path):
    with open(path, "rb") as file:
        return file.read()


def _files(release, tag, library):
    """The wheel's files: (name in the archive, bytes)."""
    info = f"{_NAME}-{release}.dist-info"
    files = [(f"{_NAME}/__init__.py", _read(os.path.join(_HERE, "qbsocks.py"))), (f"{_NAME}/py.typed", b""),
             (f"{_NAME}/__main__.py", _MAIN),
             (f"{info}/METADATA", _metadata(release).encode()),
             (f"{info}/WHEEL", f"Wheel-Version: 1.0\nGenerator: qbsocks_build\nRoot-Is-Purelib: {str(not library).lower()}"
                               f"\nTag: {tag}\n".encode())]
    if library:  # under the name the binding loads
        files.append((f"{_NAME}/" + ("qbsocks.dll" if library.endswith(".dll") else "libqbsocks.so.1"), _read(library)))
    return files


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    settings = config_settings or {}
    library = settings.get("library")
    if library and not settings.get("platform"):
        raise ValueError("a wheel with a library needs its platform tag: -C platform=linux_x86_64 (win32, win_amd64)")
    release, tag = _release(), "py3-none-" + (settings["platform"] if library else "any")
    files = _files(release, tag, library and os.path.abspath(library))
    record = f"{_NAME}-{release}.dist-info/RECORD"
    wheel_name = f"{_NAME}-{release}-{tag}.whl"
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files:
            wheel.writestr(name, data)
        wheel.writestr(record, "".join(_record_line(n, d) for n, d in files) + f"{record},,\n")
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    raise NotImplementedError("qbsocks is built from the project's source tree (its release is the project's)")


def _write_unpacked(directory):
    """The package and its metadata, as installed (no WHEEL, no RECORD: dpkg,
    not pip, owns the files of a Debian package, so pip leaves them alone)."""
    for name, data in _files(_release(), "py3-none-any", None):
        if name.endswith("/WHEEL"):
            continue
        os.makedirs(os.path.join(directory, os.path.dirname(name)), exist_ok=True)
        with open(os.path.join(directory, name), "wb") as file:
            file.write(data)


if __name__ == "__main__":
    command, out = sys.argv[1:3]
    if command == "wheel":
        library, platform = (sys.argv[3:5] + [None, None])[:2]
        build_wheel(out, {"library": library, "platform": platform} if library else None)
    elif command == "unpacked":
        _write_unpacked(out)
    else:
        raise SystemExit(f"qbsocks_build.py: no command {command!r} (wheel, unpacked)")
