#!/usr/bin/env python3
"""Checks that every #include "..." of the tree says where its file is.

The rule (docs/maintaining.md, "Layout"):
- a file of the same folder: by its bare name;
- a public header, by the name hosts include it by (PUBLIC_HEADERS);
- anything else names its folder, from its component's root: platform/
  for the class library and the system stand-ins ("posix/system_calls.h"),
  tests/ for the tests' own files ("support/servers.h"), the repository's
  root for everything else ("settings/reg_store.h").
A host's own headers (the Windows kit's MFC sample) are its own.

Prints file:line for each include that breaks the rule; exits 1 if any.
Usage: check-includes.py [ROOT]   (default: the tree this script is in)
"""
import pathlib
import re
import subprocess
import sys

PUBLIC_HEADERS = {
    "win32.h", "win32_posix.h", "win32_windows.h", "afxsock.h", "afxdll.h",  # platform/include
    "CSocks.h",  # proxy_socket
    "qbsocks.h",  # capi
    "QBSocks32.h",  # module
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
        if (root / folder / name).is_file() or name in PUBLIC_HEADERS:
            return None
        if name in HOST_HEADERS.get(str(folder), ()):
            return None
        return "bare name of a file of another folder"
    found = [r for r in ("platform", "tests", ".") if (root / r / name).is_file()]
    if len(found) != 1:
        return "resolves from no component root" if not found else "resolves from more than one root"
    target = pathlib.PurePosixPath(found[0]) / name if found[0] != "." else pathlib.PurePosixPath(name)
    if component_root(target) != pathlib.PurePosixPath(found[0] if found[0] != "." else ""):
        return "not named from its component's root (%s)" % (component_root(target) or ".")
    if name.split("/")[-1] in PUBLIC_HEADERS:
        return "a public header, included by its bare name"
    return None


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
        print("%d include(s) that do not say where their file is (docs/maintaining.md, Layout)" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
