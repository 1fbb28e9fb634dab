#!/usr/bin/env python3
"""The tool built against a vendor's WormAPI of each shape (WORM_VENDOR_LIBRARY).

  vendor_library.py bind --shape CALL-NAMES (--library PATH | --microsoft-import-library)
                         --run-on DLL COMMON...
      configures a build of the tool against PATH (a DLL or an import library)
      whose operations have that shape (cdecl-plain, stdcall-plain, stdcall-gnu
      or stdcall-msvc), checks the line that says what it binds and what the exe
      really imports from WormAPI.dll, then runs the black-box cases against DLL
  vendor_library.py refusals --gnu-dll DLL COMMON...
      libraries that cannot work stop the configure step, saying what to do

COMMON: --source DIR --toolchain FILE --generator NAME --work DIR --objdump PATH
        --launcher CMD --exit-code-helper EXE

The import libraries in Microsoft's format that some cases need are written here,
member by member, as Microsoft's tools lay them out.
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys

from common import OPERATIONS, SHAPES, objdump_p, pe_imports, report

HERE = os.path.dirname(os.path.abspath(__file__))

NAME, NAME_UNDECORATE = 1, 3  # how a short import member's symbol gives the name
I386, AMD64 = 0x14C, 0x8664


def microsoft_import_library(path, symbols, machine=I386, name_type=NAME):
    """Writes an import library of short import members, one per symbol, for
    WormAPI.dll (the archive's symbol tables left out: readers need none)."""
    out = b"!<arch>\n"
    for symbol in symbols:
        tail = symbol.encode() + b"\0WormAPI.dll\0"
        member = struct.pack("<HHHHIIHH", 0, 0xFFFF, 0, machine, 0, len(tail), 0,
                             name_type << 2) + tail
        out += f"{'WormAPI.dll/':<16}{0:<12}{0:<6}{0:<6}{644:<8}{len(member):<10}`\n".encode()
        out += member + b"\n" * (len(member) % 2)
    with open(path, "wb") as f:
        f.write(out)
    return path


def stdcall_symbols(sizes=None):
    """The names Microsoft's linker gives the operations, with other sizes where asked."""
    sizes = dict(OPERATIONS, **(sizes or {}))
    return [SHAPES["msvc"].format(op=op, n=n) for op, n in sizes.items()]


def configure(opts, name, library, call="cdecl", toolchain=None):
    """Configures the tool in work/name against library; (status, output)."""
    build = os.path.join(opts.work, name)
    shutil.rmtree(build, ignore_errors=True)
    command = ["cmake", "-S", opts.source, "-B", build, "-G", opts.generator,
               f"-DCMAKE_TOOLCHAIN_FILE={toolchain or opts.toolchain}",
               "-DBUILD_TESTING=OFF", f"-DWORM_VENDOR_LIBRARY={library}"]
    if call == "stdcall":
        command.append("-DWORM_CALL=__stdcall")
    done = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    # CMake wraps its messages: compare with the white space folded.
    return done.returncode, " ".join((done.stdout + done.stderr).split()), build


def bind(opts, call, want):
    problems = []
    status, said, build = configure(opts, "bound", opts.library, call)
    line = re.search(r"worm_export imports (.*) from WormAPI.dll \((\S+)\)", said)
    if status != 0 or not line:
        return report([f"configuring against {opts.library} failed:\n{said}"])
    if line.group(1).split(", ") != want or line.group(2) != f"__{call}":
        problems.append(f"configure says {line.group(0)!r}; want {want} (__{call})")
    built = subprocess.run(["cmake", "--build", build, "--target", "worm_export"],
                           capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if built.returncode != 0:
        return report(problems + [f"building failed:\n{built.stdout}{built.stderr}"])
    exe = os.path.join(build, "bin", "worm_export.exe")
    got = pe_imports(objdump_p(opts.objdump, exe)).get("WormAPI.dll", [])
    if sorted(got) != sorted(want):
        problems.append(f"the exe imports {got} from WormAPI.dll; want {want}")
    print(f"{line.group(0)}; the exe imports {' '.join(sorted(got))}", flush=True)
    cases = subprocess.run([sys.executable, os.path.join(HERE, "tool_cases.py"), "--tool", exe,
                            "--library", opts.run_on, "--platform", "windows",
                            "--launcher", opts.launcher,
                            "--exit-code-helper", opts.exit_code_helper],
                           stdin=subprocess.DEVNULL)
    if cases.returncode != 0:
        problems.append(f"the black-box cases failed against {opts.run_on}")
    return report(problems)


def refusals(opts):
    """Each library configuring must refuse, and the words its reason must hold."""
    os.makedirs(opts.work, exist_ok=True)
    lib = lambda name: os.path.join(opts.work, name)  # noqa: E731
    x86_64 = os.path.join(os.path.dirname(opts.toolchain), "x86_64-w64-mingw32.cmake")
    cases = [
        ("a __stdcall DLL in a __cdecl build", opts.gnu_dll, "cdecl", None,
         ["is a __stdcall library", "worm_init@8", "win32-stdcall"]),
        ("a byte count that the header does not give", microsoft_import_library(
            lib("WormAPI-wrong-count.lib"), stdcall_symbols(sizes={"worm_export_tar": 16})),
         "stdcall", None, ["_worm_export_tar@16", "12 bytes"]),
        ("an operation missing", microsoft_import_library(
            lib("WormAPI-no-cleanup.lib"), stdcall_symbols()[:3]),
         "stdcall", None, ["no worm_cleanup"]),
        ("a 64-bit library in a 32-bit build", microsoft_import_library(
            lib("WormAPI-x64.lib"), list(OPERATIONS), machine=AMD64),
         "cdecl", None, ["64-bit library", "win64"]),
        ("a 32-bit library in a 64-bit build", microsoft_import_library(
            lib("WormAPI-x86.lib"), list(OPERATIONS)),
         "cdecl", x86_64, ["32-bit library", "win32"]),
    ]
    problems = []
    for i, (what, library, call, toolchain, words) in enumerate(cases):
        status, said, _ = configure(opts, f"refused-{i}", library, call, toolchain)
        missing = [w for w in words if w not in said]
        if status == 0 or missing:
            problems.append(f"{what}: configure status {status}, missing {missing} in:\n{said}")
        else:
            print(f"ok   {what}: {said[said.find('WORM_VENDOR'):][:300]}")
    # A Microsoft import library of a DLL linked with a .def of plain names
    # decorates its symbols and asks for the undecorated name.
    plain = microsoft_import_library(lib("WormAPI-def.lib"), stdcall_symbols(),
                                     name_type=NAME_UNDECORATE)
    status, said, _ = configure(opts, "undecorated", plain, "stdcall")
    want = "worm_export imports " + ", ".join(OPERATIONS)
    if status != 0 or want not in said:
        problems.append(f"undecorated import names: status {status}, want {want!r} in:\n{said}")
    return report(problems)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("what", choices=["bind", "refusals"])
    for name in ["--source", "--toolchain", "--generator", "--work", "--objdump",
                 "--launcher", "--exit-code-helper"]:
        parser.add_argument(name, required=True)
    parser.add_argument("--library")
    parser.add_argument("--run-on")
    parser.add_argument("--shape", choices=["cdecl-plain"] + [f"stdcall-{s}" for s in
                                                             SHAPES])
    parser.add_argument("--microsoft-import-library", action="store_true",
                        help="bind to a Microsoft import library of the shape, written here")
    parser.add_argument("--gnu-dll", help="refusals: a DLL that exports worm_init@8 and so on")
    opts = parser.parse_args()
    if opts.what == "refusals":
        return refusals(opts)
    call, names = opts.shape.split("-")
    want = [SHAPES[names].format(op=op, n=n)
            for op, n in OPERATIONS.items()]
    if opts.microsoft_import_library:
        os.makedirs(opts.work, exist_ok=True)
        opts.library = microsoft_import_library(os.path.join(opts.work, "WormAPI.lib"), want)
    return bind(opts, call, want)


if __name__ == "__main__":
    sys.exit(main())
