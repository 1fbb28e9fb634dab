#!/usr/bin/env python3
"""The Windows build needs nothing beside the exe but WormAPI.dll.

Reads `objdump -p` of worm_export.exe and WormAPI.dll: the exe is a console
program of the expected format; it imports WormAPI.dll by that name with the four
operations under their plain names (or those --imports gives, the names of a
vendor's library it was built against), and otherwise only Windows system DLLs; the
DLL exports exactly those names (on 32-bit __stdcall, each also as name@N and
_name@N) and imports only system DLLs.

  pe_imports.py --objdump OBJDUMP --exe worm_export.exe --dll WormAPI.dll --format pei-i386
                [--stdcall] [--imports NAME,NAME,NAME,NAME]
"""
import argparse
import re
import sys

from common import (OPERATIONS, SHAPES, objdump_p, pe_exports, pe_imports, report,
                    system_dll)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--dll", required=True)
    parser.add_argument("--format", required=True, help="pei-i386 or pei-x86-64")
    parser.add_argument("--stdcall", action="store_true", help="a 32-bit __stdcall build")
    parser.add_argument("--imports", help="the names the exe imports the operations under, "
                        "comma-separated (default: the plain names)")
    opts = parser.parse_args()
    dll_names = {shape.format(op=op, n=n) for op, n in OPERATIONS.items()
                 for shape in (SHAPES.values() if opts.stdcall else ["{op}"])}

    exe, dll = objdump_p(opts.objdump, opts.exe), objdump_p(opts.objdump, opts.dll)
    problems = []
    if f"file format {opts.format}" not in exe:
        problems.append(f"exe is not {opts.format}")
    if not re.search(r"Subsystem\s+00000003", exe):
        problems.append("exe is not a console program")
    exe_imports = pe_imports(exe)
    bound = set(opts.imports.split(",")) if opts.imports else set(OPERATIONS)
    if set(exe_imports.get("WormAPI.dll", [])) != bound:
        problems.append(f"exe imports {exe_imports.get('WormAPI.dll')} from WormAPI.dll")
    others = [d for d in exe_imports if d != "WormAPI.dll" and not system_dll(d)]
    if others:
        problems.append(f"exe needs DLLs beside it: {others}")
    if pe_exports(dll) != dll_names:
        problems.append(f"WormAPI.dll exports {sorted(pe_exports(dll))}")
    dll_others = [d for d in pe_imports(dll) if not system_dll(d)]
    if dll_others:
        problems.append(f"WormAPI.dll needs DLLs beside it: {dll_others}")

    for name, table in exe_imports.items():
        print(f"exe imports {name}: {' '.join(table)}")
    return report(problems)


if __name__ == "__main__":
    sys.exit(main())
