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
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "cmake"))
import worm_names  # noqa: E402  the one table of the operations and their names

OPERATIONS = set(worm_names.OPERATIONS)


def system_dll(name):
    name = name.lower()
    return name in ("kernel32.dll", "msvcrt.dll", "ucrtbase.dll", "shell32.dll") or \
        name.startswith("api-ms-win-crt-")


def imports(dump):
    """{dll name: [imported names]} from objdump -p's import tables."""
    found, current = {}, None
    for line in dump.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            current = found.setdefault(m.group(1), [])
        elif current is not None and re.match(r"\s*[0-9a-f]+\s+\d+\s+\S+$", line):
            current.append(line.split()[-1])
        elif not line.strip():
            current = None
    return found


def exports(dump):
    """The exported names: the name table runs up to the first empty line."""
    table = dump.split("[Ordinal/Name Pointer] Table\n", 1)
    rows = table[1].split("\n\n", 1)[0] if len(table) > 1 else ""
    return {m.group(1) for m in re.finditer(r"\[\s*\d+\] (\S+)", rows)}


def objdump_p(objdump, path):
    """What `objdump -p` says of a PE file: its headers, imports and exports."""
    return subprocess.run([objdump, "-p", path], check=True, capture_output=True,
                          text=True).stdout


def report(problems):
    """Prints each problem and the one-check tally; returns the exit status."""
    for p in problems:
        print(f"FAIL {p}")
    print(f"{0 if problems else 1} passed, {1 if problems else 0} failed")
    return 1 if problems else 0


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
    dll_names = {shape.format(op=op, n=n) for op, n in worm_names.OPERATIONS.items()
                 for shape in (worm_names.SHAPES.values() if opts.stdcall else ["{op}"])}

    exe, dll = objdump_p(opts.objdump, opts.exe), objdump_p(opts.objdump, opts.dll)
    problems = []
    if f"file format {opts.format}" not in exe:
        problems.append(f"exe is not {opts.format}")
    if not re.search(r"Subsystem\s+00000003", exe):
        problems.append("exe is not a console program")
    exe_imports = imports(exe)
    bound = set(opts.imports.split(",")) if opts.imports else OPERATIONS
    if set(exe_imports.get("WormAPI.dll", [])) != bound:
        problems.append(f"exe imports {exe_imports.get('WormAPI.dll')} from WormAPI.dll")
    others = [d for d in exe_imports if d != "WormAPI.dll" and not system_dll(d)]
    if others:
        problems.append(f"exe needs DLLs beside it: {others}")
    if exports(dll) != dll_names:
        problems.append(f"WormAPI.dll exports {sorted(exports(dll))}")
    dll_others = [d for d in imports(dll) if not system_dll(d)]
    if dll_others:
        problems.append(f"WormAPI.dll needs DLLs beside it: {dll_others}")

    for name, table in exe_imports.items():
        print(f"exe imports {name}: {' '.join(table)}")
    return report(problems)


if __name__ == "__main__":
    sys.exit(main())
