#!/usr/bin/env python3
"""The names under which WormAPI.dll's four operations pass between the tool and
the library, on Windows: the one table of them, and the .def files built from it.

  worm_names.py exports --convention cdecl|stdcall --bits 32|64 [--shape SHAPE]
                        [--linker gnu|msvc] --def OUT
      the .def a WormAPI DLL is linked with: the shape's names ("all" by default:
      on 32-bit __stdcall, worm_init, worm_init@8 and _worm_init@8 each, so that
      a tool bound to any of them runs on it), for GNU ld or Microsoft's linker
  worm_names.py imports --convention cdecl|stdcall --bits 32|64 [--library PATH]
                        [--linker gnu|msvc] --def OUT
      the .def of the tool's import library: the names PATH (a WormAPI.dll, or
      an import library: Microsoft's WormAPI.lib or a GNU libWormAPI.a) exports,
      or the plain names without --library; prints one line saying which.
      Microsoft's linker takes the vendor's import library as it is, so there
      PATH must be one, and the .def file is not used.

A library the tool cannot call through those names stops it, with what to do
instead, on standard error and with status 1.
"""
import argparse
import re
import struct
import sys

# Each operation and the bytes its arguments take on 32-bit x86, as declared in
# src/worm_api.h; a __stdcall name carries that count (worm_init@8).  The
# stand-in is linked under these names, so a count that no longer matches the
# header stops its build.
OPERATIONS = {"worm_init": 8, "worm_export_tar": 12,
              "worm_export_tar_filtered_transaction": 24, "worm_cleanup": 4}
# What a 32-bit __stdcall name can look like: plain (a .def file or GNU ld's
# --kill-at), GNU ld's default, and Microsoft's linker's without a .def file.
SHAPES = {"plain": "{op}", "gnu": "{op}@{n}", "msvc": "_{op}@{n}"}
MACHINES = {0x14C: 32, 0x8664: 64}


class Refused(Exception):
    pass


def read_pe_exports(data):
    """(bits, export names) of a PE DLL."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise Refused("it is neither a PE file nor an archive")
    machine, sections, _, _, _, optional_size = struct.unpack_from("<HHIIIH", data, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    export_rva = struct.unpack_from("<I", data, directories)[0]
    table = optional + optional_size
    spans = [struct.unpack_from("<IIII", data, table + 40 * i + 8) for i in range(sections)]

    def offset(rva):  # file offset of a relative virtual address
        for size, address, raw_size, raw in spans:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise Refused("its export table points outside its sections")

    def text(rva):
        at = offset(rva)
        return data[at:data.index(b"\0", at)].decode("latin-1")

    names = set()
    if export_rva:
        count, names_rva = struct.unpack_from("<I4xI", data, offset(export_rva) + 24)
        names = {text(struct.unpack_from("<I", data, offset(names_rva) + 4 * i)[0])
                 for i in range(count)}
    return MACHINES.get(machine), names


def short_import_name(member):
    """(bits, imported name) of a Microsoft short import member."""
    machine, _, _, _, kind = struct.unpack_from("<HIIHH", member, 6)
    symbol, dll, rest = member[20:].split(b"\0", 2)
    symbol = symbol.decode("latin-1")
    name_type = (kind >> 2) & 7
    if name_type == 2:  # NAME_NOPREFIX
        symbol = symbol[1:] if symbol[:1] in "?@_" else symbol
    elif name_type == 3:  # NAME_UNDECORATE
        symbol = (symbol[1:] if symbol[:1] in "?@_" else symbol).split("@")[0]
    elif name_type == 4:  # NAME_EXPORTAS
        symbol = rest.split(b"\0", 1)[0].decode("latin-1")
    elif name_type == 0:  # by ordinal: no name to bind
        symbol = None
    return MACHINES.get(machine), symbol


def coff_import_name(member):
    """(bits, imported name or None) of a GNU import object: the name is in .idata$6."""
    machine, sections, _, _, _, optional_size = struct.unpack_from("<HHIIIH", member, 0)
    for i in range(sections):
        header = 20 + optional_size + 40 * i
        if member[header:header + 8] == b".idata$6":
            size, at = struct.unpack_from("<II", member, header + 16)
            return MACHINES.get(machine), member[at + 2:at + size].split(b"\0")[0].decode(
                "latin-1")
    return MACHINES.get(machine), None


def read_archive_imports(data):
    """(bits, imported names) of an import library."""
    bits, names, at = None, set(), 8
    while at + 60 <= len(data):
        name, size = data[at:at + 16].strip(), int(data[at + 48:at + 58])
        member = data[at + 60:at + 60 + size]
        at += 60 + size + size % 2
        if name in (b"/", b"//", b"/<ECSYMBOLS>/") or len(member) < 20:
            continue
        if member[:4] == b"\0\0\xff\xff":
            member_bits, imported = short_import_name(member)
        else:
            member_bits, imported = coff_import_name(member)
        bits = bits or member_bits
        if imported:
            names.add(imported)
    return bits, names


def read_library(path):
    with open(path, "rb") as f:
        data = f.read()
    if data.startswith(b"!<arch>\n"):
        return read_archive_imports(data) + (False,)
    if data.startswith(b"MZ"):
        return read_pe_exports(data) + (True,)
    raise Refused("it is neither a DLL nor an import library")


def symbol(op, opts):
    """The name the tool's compiled code calls op by, less the leading underscore."""
    decorated = opts.bits == 32 and opts.convention == "stdcall"
    return f"{op}@{OPERATIONS[op]}" if decorated else op


def bind(op, exported, opts):
    """The one name among exported that the tool imports op by."""
    found = sorted(n for n in exported if re.fullmatch(rf"_?{op}(@\d+)?", n))
    if not found:
        raise Refused(f"it exports no {op}, under any name ({op}, {op}@N or _{op}@N): "
                      "it is not the WormAPI this tool calls")
    if opts.bits == 64:
        return op if op in found else found[0]
    for name in found:
        count = name.partition("@")[2]
        if count and int(count) != OPERATIONS[op]:
            raise Refused(f"it exports {name}, but {op}'s arguments take {OPERATIONS[op]} "
                          f"bytes ({op}@{OPERATIONS[op]}): it is not the WormAPI this tool "
                          "calls, or another version of it")
        if count and opts.convention != "stdcall":
            raise Refused(f"it is a __stdcall library (it exports {name}), and this build "
                          "calls __cdecl: configure with the win32-stdcall preset "
                          "(-DWORM_CALL=__stdcall) instead")
    preferred = [SHAPES[s].format(op=op, n=OPERATIONS[op]) for s in SHAPES] + [f"_{op}"]
    return next(n for n in preferred if n in found)


def write_def(path, lines):
    with open(path, "w", newline="\n") as f:
        f.write("LIBRARY WormAPI.dll\nEXPORTS\n" + "".join(f"    {l}\n" for l in lines))


def imports(opts):
    exported = {op: op for op in OPERATIONS}
    if opts.library:
        bits, names, is_dll = read_library(opts.library)
        if is_dll and opts.linker == "msvc":
            raise Refused("Microsoft's linker binds a DLL through its import library: "
                          "give the vendor's WormAPI.lib instead")
        if bits and bits != opts.bits:
            raise Refused(f"it is a {bits}-bit library, and this is a {opts.bits}-bit build: "
                          f"take the {'win64' if bits == 64 else 'win32 or win32-stdcall'} "
                          "preset instead")
        exported = {op: bind(op, names, opts) for op in OPERATIONS}
    write_def(opts.def_file, [f"{symbol(op, opts)} == {name}" for op, name in exported.items()])
    convention = "__stdcall" if opts.convention == "stdcall" and opts.bits == 32 else \
        "__cdecl" if opts.bits == 32 else "the x64 convention"
    print(f"worm_export imports {', '.join(exported.values())} from WormAPI.dll "
          f"({convention}), as {opts.library or 'the stand-in'} exports them")


def exports(opts):
    shapes = list(SHAPES) if opts.shape == "all" else [opts.shape]
    if opts.bits == 64 or opts.convention != "stdcall":
        shapes = ["plain"]
    if opts.linker == "gnu":
        write_def(opts.def_file, [f"{SHAPES[s].format(op=op, n=n)} = {symbol(op, opts)}"
                                  for op, n in OPERATIONS.items() for s in shapes])
        return
    # Microsoft's linker finds the compiled name (_worm_init@8) of a plain one
    # itself, and its import library then imports the plain name.  The other
    # names are PRIVATE: exported, but left out of the import library, which
    # would otherwise hold each symbol twice.
    def line(op, shape):
        name = SHAPES[shape].format(op=op, n=OPERATIONS[op])
        if shape == "plain":
            return name
        return f"{name}=_{symbol(op, opts)}" + (" PRIVATE" if shape != shapes[0] else "")
    write_def(opts.def_file, [line(op, s) for op in OPERATIONS for s in shapes])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("what", choices=["imports", "exports"])
    parser.add_argument("--convention", choices=["cdecl", "stdcall"], required=True)
    parser.add_argument("--bits", type=int, choices=[32, 64], required=True)
    parser.add_argument("--library", help="with imports: the vendor's DLL or import library")
    parser.add_argument("--shape", choices=["all"] + list(SHAPES), default="all")
    parser.add_argument("--linker", choices=["gnu", "msvc"], default="gnu")
    parser.add_argument("--def", dest="def_file", required=True)
    opts = parser.parse_args()
    try:
        (imports if opts.what == "imports" else exports)(opts)
    except Refused as why:
        sys.exit(f"WORM_VENDOR_LIBRARY {opts.library} cannot be used: {why}.")
    except (OSError, struct.error, ValueError, IndexError) as why:
        sys.exit(f"WORM_VENDOR_LIBRARY {opts.library} cannot be read: {why}.")


if __name__ == "__main__":
    main()
