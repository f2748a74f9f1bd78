#!/usr/bin/env python3
"""Reads the kit's QBSocks32.props as MSBuild would for each platform (no
Visual Studio here) and checks that its include folder, library folder and
library, and the DLL and PDB it copies, resolve inside the unpacked kit,
for the platform's machine; that Clean deletes what it copied; and that a
platform without a folder is refused.

    check_props.py KIT_DIR
"""
import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pefile

NS = {"m": "http://schemas.microsoft.com/developer/msbuild/2003"}
MACHINES = {"Win32": 0x14C, "x64": 0x8664}


def expand(text, props):
    return re.sub(r"\$\((\w+)\)", lambda m: props.get(m.group(1), ""), text)


def holds(condition, props):
    if not condition:
        return True
    left, op, right = re.fullmatch(r"\s*'(.*)'\s*(==|!=)\s*'(.*)'\s*", condition).groups()
    return (expand(left, props) == expand(right, props)) == (op == "==")


def evaluate(root, kit, platform):
    props = {"MSBuildThisFileDirectory": str(kit) + "\\", "Platform": platform}
    for prop in root.findall("m:PropertyGroup/*", NS):
        if holds(prop.get("Condition"), props):
            props[prop.tag.split("}")[1]] = expand(prop.text or "", props)
    items = {e.tag.split("}")[1]: expand(e.text or "", props)
             for e in root.findall("m:ItemDefinitionGroup/*/*", NS)}
    targets = {t.get("Name"): t for t in root.findall("m:Target", NS)}
    return props, items, targets


def as_path(value):
    return Path(value.split(";")[0].replace("\\", "/"))


def main(kit):
    kit = Path(kit).resolve()
    root = ET.parse(kit / "QBSocks32.props").getroot()
    raw = ET.tostring(root, encoding="unicode")
    errors = []
    if re.search(r"[A-Za-z]:\\", raw):
        errors.append("the sheet names an absolute path")
    for platform, machine in MACHINES.items():
        props, items, targets = evaluate(root, kit, platform)
        include = as_path(items["AdditionalIncludeDirectories"])
        libdir = as_path(items["AdditionalLibraryDirectories"])
        copy = targets["QBSocksCopyDll"].find("m:Copy", NS)
        copied = [as_path(f) for f in expand(copy.get("SourceFiles"), props).split(";")]
        dll = copied[0]
        out = {**props, "OutDir": "OUT\\"}
        deleted = {f for t in targets.values() if "Clean" in (t.get("AfterTargets") or "").split(";")
                   for d in t.findall("m:Delete", NS) for f in expand(d.get("Files"), out).split(";")}
        checks = {
            "qbsocks.h in the include folder": (include / "qbsocks.h").is_file(),
            "no class library header beside it": not (include / "afxsock.h").exists(),
            "qbsocks.lib in the library folder": (libdir / "qbsocks.lib").is_file(),
            "qbsocks.lib linked": "qbsocks.lib" in items["AdditionalDependencies"].split(";"),
            "the copied qbsocks.dll is the platform's": dll.is_file()
            and pefile.PE(str(dll), fast_load=True).FILE_HEADER.Machine == machine,
            "qbsocks.pdb copied from beside qbsocks.dll": [f.name for f in copied] == ["qbsocks.dll", "qbsocks.pdb"]
            and all(f.is_file() and f.parent == dll.parent for f in copied),
            "Clean deletes what the build copied": expand(copy.get("DestinationFolder"), out) == "OUT\\"
            and deleted == {"OUT\\" + f.name for f in copied},
            "the platform is not refused": not holds(targets["QBSocksCheckPlatform"].get("Condition"), props),
        }
        errors += [f"{platform}: {what}" for what, ok in checks.items() if not ok]
        print(f"{platform}: include {include.relative_to(kit)}, library {libdir.relative_to(kit)}, copies "
              + ", ".join(str(f.relative_to(kit)) for f in copied))
    props, _, targets = evaluate(root, kit, "ARM64")
    if not holds(targets["QBSocksCheckPlatform"].get("Condition"), props):
        errors.append("ARM64 is not refused")
    for error in errors:
        print(f"FAIL: QBSocks32.props: {error}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
