#!/usr/bin/env python3
"""Checks that every #include "..." of the tree says where its file is,
and that it includes only a component below its own.

The rule (docs/maintaining.md, "Layout"):
- a file of the same folder: by its bare name;
- a public header, by the name hosts include it by (PUBLIC_HEADERS);
- anything else names its folder, from its component's root: platform/
  for the class library and the system stand-ins ("posix/system_calls.h"),
  tests/ for the tests' own files ("support/servers.h"), the repository's
  root for everything else ("settings/reg_store.h").
A host's own headers (the Windows kit's MFC sample) are its own.

The layering (docs/maintaining.md, "Layers"): a file includes files of its
own component and of the components LAYERS lists for it, never one above
it, so that no two components include each other.

Prints file:line for each include that breaks a rule; exits 1 if any.
Usage: check-includes.py [ROOT]   (default: the tree this script is in)
"""
import pathlib
import re
import subprocess
import sys

# Each public header and the component it belongs to.
PUBLIC_HEADERS = {
    "win32.h": "platform", "win32_posix.h": "platform", "win32_windows.h": "platform",  # platform/include
    "afxsock.h": "platform", "afxdll.h": "platform",
    "CSocks.h": "proxy_socket",
    "qbsocks.h": "include",
    "QBSocks32.h": "module",
}
# The layering, lowest first: each component (a top folder of the tree) and
# the components its files may include besides their own.
PRODUCT = {"platform", "include", "settings", "socks", "proxy_socket", "module", "capi"}
LAYERS = {
    "platform": set(),  # the class library and the Win32 stand-ins
    "include": set(),  # qbsocks.h: the C interface and its vocabulary, plain C
    "settings": {"platform"},  # the settings' rules, store and registry stand-in
    "socks": {"platform", "include"},  # the protocol
    "proxy_socket": {"platform", "include", "settings", "socks"},  # the class CSocks
    "module": {"platform", "proxy_socket"},  # the module that exports CSocks
    "capi": {"platform", "include", "settings", "socks"},  # the C interface's module
    "tools": PRODUCT,
    "examples": PRODUCT,
    "bench": PRODUCT | {"tests"},
    "fuzz": PRODUCT | {"tests"},
    "tests": PRODUCT | {"tools"},
    "packaging": PRODUCT,  # the Windows kit's sample, a host
}
# Headers of an MFC host's own project, which the kit's sample is.
HOST_HEADERS = {"packaging/windows-kit/sample": {"pch.h", "afxres.h"}}
SOURCES = (".c", ".cpp", ".h", ".rc", ".rc.in")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def component_root(path):
    """The folder a file is named from: platform/, tests/ or the root."""
    top = path.parts[0]
    return pathlib.PurePosixPath(top) if top in ("platform", "tests") else pathlib.PurePosixPath()


def problem(root, source, name):
    folder = source.parent
    if "\\" in name or ".." in pathlib.PurePosixPath(name).parts:
        return "names its file by a relative path"
    if "/" not in name:
        if (root / folder / name).is_file() or name in HOST_HEADERS.get(str(folder), ()):
            return None
        if name in PUBLIC_HEADERS:
            return layer_problem(source, PUBLIC_HEADERS[name])
        return "bare name of a file of another folder"
    found = [r for r in ("platform", "tests", ".") if (root / r / name).is_file()]
    if len(found) != 1:
        return "resolves from no component root" if not found else "resolves from more than one root"
    target = pathlib.PurePosixPath(found[0]) / name if found[0] != "." else pathlib.PurePosixPath(name)
    if component_root(target) != pathlib.PurePosixPath(found[0] if found[0] != "." else ""):
        return "not named from its component's root (%s)" % (component_root(target) or ".")
    if name.split("/")[-1] in PUBLIC_HEADERS:
        return "a public header, included by its bare name"
    return layer_problem(source, target.parts[0])


def layer_problem(source, component):
    """Why a file of source's component may not include one of component."""
    own = source.parts[0]
    if own not in LAYERS:
        return "%s/ has no place in the layering (LAYERS)" % own
    if component == own or component in LAYERS[own]:
        return None
    return "%s/ includes %s/, which is not below it (docs/maintaining.md, Layers)" % (own, component)


def cycle(layers):
    """A component that reaches itself through LAYERS, or None."""
    def reaches(start, component, seen):
        for below in layers.get(component, ()):
            if below == start or (below not in seen and reaches(start, below, seen | {below})):
                return True
        return False
    return next((component for component in layers if reaches(component, component, {component})), None)


def tree_files(root):
    """The tree's files: git's list, or without git every file outside build/."""
    listed = subprocess.run(["git", "-C", str(root), "ls-files", "--cached", "--others", "--exclude-standard"],
                            capture_output=True, text=True)
    if listed.returncode == 0:
        return listed.stdout.split()
    return [str(p.relative_to(root)) for p in root.rglob("*")
            if p.relative_to(root).parts[0] not in ("build", ".git")]


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    looped = cycle(LAYERS)
    if looped:
        print("LAYERS: %s/ includes itself through the components below it" % looped)
        return 1
    files = tree_files(root)
    failures = 0
    for file in sorted(set(files)):
        if not file.endswith(SOURCES) or not (root / file).is_file():
            continue
        source = pathlib.PurePosixPath(file)
        text = (root / file).read_text(encoding="utf-8", errors="replace")
        for number, line in enumerate(text.splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            why = problem(root, source, match.group(1))
            if why:
                print('%s:%d: #include "%s": %s' % (file, number, match.group(1), why))
                failures += 1
    if failures:
        print("%d include(s) that do not say where their file is or go against the layering "
              "(docs/maintaining.md, Layout, Layers)" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
