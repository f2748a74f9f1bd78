#!/usr/bin/python3
"""Checks that every .dll and .exe of an unpacked Windows kit is a hardened
release build: prints one row per file, one column per protection ("yes",
"NO", or "-" where it does not apply), and exits 1 if any is "NO".

  check_hardening.py KIT_DIR [--only FOLDER,...]

The flavour of a file comes from the kit's folder it is in (msvc, msvc-x64,
and c, c-x64, the C interface: Microsoft's ABI, clang-cl and lld-link;
mingw, mingw-x64, tools: MinGW-w64 GCC), its architecture from its file
header. The facts checked are those of
Microsoft's PE format documentation, as BinSkim reads them from the file.
"""
import argparse
import pathlib
import struct
import sys
import zlib

import pefile

FLAVOURS = {"msvc": "msvc", "msvc-x64": "msvc",
            "mingw": "mingw", "mingw-x64": "mingw", "tools": "mingw",
            "c": "msvc", "c-x64": "msvc"}
COLUMNS = ["ASLR", "HiASLR", "NX", "W^X", "stack", "SafeSEH", "CFG", "CET", "symbols"]

DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT, NO_SEH, GUARD_CF = 0x40, 0x20, 0x100, 0x400, 0x4000
SCN_SHARED, SCN_EXECUTE, SCN_WRITE = 0x10000000, 0x20000000, 0x80000000
GUARD_CF_INSTRUMENTED = 0x100
DEBUG_CODEVIEW, DEBUG_EX_DLLCHARACTERISTICS, EX_CET_COMPAT = 2, 20, 0x1
BASERELOC = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]
AMD64 = pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]


def c_string(data, offset):
    return data[offset:data.index(b"\0", offset)].decode(errors="replace")


def string_table(pe):
    """The COFF string table (long section and symbol names), after the symbols."""
    start = pe.FILE_HEADER.PointerToSymbolTable + 18 * pe.FILE_HEADER.NumberOfSymbols
    return pe.__data__[start:] if pe.FILE_HEADER.PointerToSymbolTable else b"\0"


def section_names(pe):
    """GNU ld writes names longer than 8 as "/OFFSET" into the string table."""
    strings, names = string_table(pe), []
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode(errors="replace")
        names.append(c_string(strings, int(name[1:])) if name.startswith("/") else name)
    return names


def symbol_names(pe):
    """The names of the COFF symbol table (18-byte records, then their aux records)."""
    data, strings, names = pe.__data__, string_table(pe), set()
    index, offset = 0, pe.FILE_HEADER.PointerToSymbolTable
    while index < pe.FILE_HEADER.NumberOfSymbols:
        record = data[offset + 18 * index:offset + 18 * index + 18]
        if record[:4] == b"\0\0\0\0":
            names.add(c_string(strings, struct.unpack_from("<I", record, 4)[0]))
        else:
            names.add(record[:8].rstrip(b"\0").decode(errors="replace"))
        index += 1 + record[17]
    return names


def debug_entries(pe):
    return {entry.struct.Type: entry for entry in getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])}


def gnu_debuglink(pe, names):
    """The file name and CRC-32 that .gnu_debuglink records."""
    data = pe.sections[names.index(".gnu_debuglink")].get_data()
    name = c_string(data, 0)
    crc_at = (len(name) + 1 + 3) & ~3  # the name, its NUL, padding to 4
    return name, struct.unpack_from("<I", data, crc_at)[0]


def mingw_symbols_beside(path, pe, names):
    debug_file = path.with_suffix(".debug")
    if not debug_file.is_file() or ".gnu_debuglink" not in names or ".debug_info" in names:
        return False
    return gnu_debuglink(pe, names) == (debug_file.name, zlib.crc32(debug_file.read_bytes()))


def mingw_stack_protector(path):
    """MinGW links the protector in and ships stripped: its symbols are in the .debug file."""
    debug_file = path.with_suffix(".debug")
    if not debug_file.is_file():
        return False
    names = symbol_names(pefile.PE(str(debug_file), fast_load=True))
    return any(name.lstrip("_") in ("stack_chk_fail", "stack_chk_guard") for name in names)


def cet_compatible(pe):
    entry = debug_entries(pe).get(DEBUG_EX_DLLCHARACTERISTICS)
    if not entry:
        return False
    flags = struct.unpack("<I", pe.get_data(entry.struct.AddressOfRawData, 4))[0]
    return bool(flags & EX_CET_COMPAT)


def check(path, flavour):
    """The file's row: True, False, or None where a protection does not apply."""
    pe = pefile.PE(str(path))
    x64, msvc = pe.FILE_HEADER.Machine == AMD64, flavour == "msvc"
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    load_config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    config = load_config.struct if load_config else None  # its fields as far as its size goes
    names = section_names(pe)
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[BASERELOC].Size > 0
    writable = [s.Characteristics for s in pe.sections if s.Characteristics & SCN_WRITE]
    return {
        "ASLR": bool(flags & DYNAMIC_BASE) and relocations,
        "HiASLR": bool(flags & HIGH_ENTROPY_VA) if x64 else None,
        "NX": bool(flags & NX_COMPAT),
        "W^X": not any(c & (SCN_EXECUTE | SCN_SHARED) for c in writable),
        "stack": bool(getattr(config, "SecurityCookie", 0)) if msvc
                 else mingw_stack_protector(path),
        "SafeSEH": None if x64 else bool(flags & NO_SEH or getattr(config, "SEHandlerTable", 0)),
        "CFG": bool(flags & GUARD_CF and getattr(config, "GuardFlags", 0) & GUARD_CF_INSTRUMENTED)
               if msvc else None,
        "CET": cet_compatible(pe) if msvc and x64 else None,
        "symbols": (path.with_suffix(".pdb").is_file() and DEBUG_CODEVIEW in debug_entries(pe))
                   if msvc else mingw_symbols_beside(path, pe, names),
    }, "x64" if x64 else "i686"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("kit", type=pathlib.Path)
    parser.add_argument("--only", help="check only these top folders of the kit (comma-separated)")
    args = parser.parse_args()
    only = set(args.only.split(",")) if args.only else None

    binaries = sorted(p for p in args.kit.rglob("*") if p.suffix.lower() in (".dll", ".exe"))
    rows, failed = [], False
    for path in binaries:
        relative = path.relative_to(args.kit)
        folder = relative.parts[0]
        if only is not None and folder not in only:
            continue
        if folder not in FLAVOURS:
            sys.exit(f"check_hardening: {relative}: no flavour is known for the folder {folder}")
        result, arch = check(path, FLAVOURS[folder])
        failed |= False in result.values()
        cells = ["-" if result[c] is None else "yes" if result[c] else "NO" for c in COLUMNS]
        rows.append([relative.as_posix(), FLAVOURS[folder], arch] + cells)
    if not rows:
        sys.exit("check_hardening: no .dll or .exe to check")

    header = ["file", "flavour", "arch"] + COLUMNS
    widths = [max(len(row[i]) for row in rows + [header]) for i in range(len(header))]
    for row in [header] + rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    if only is not None:
        print(f"(only {', '.join(sorted(only))})")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
