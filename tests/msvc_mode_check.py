#!/usr/bin/env python3
"""The project as Microsoft's compiler and linker take it, checked on Linux.

There is no cl.exe here.  clang-cl takes cl.exe's command line and compiles for
the MSVC ABI (cmake/clang-cl.cmake), and lld-link takes link.exe's; Microsoft's
libraries are absent, so the C runtime stays unresolved and nothing runs.  For
each of the msvc-x86, msvc-x86-stdcall and msvc-x64 builds this
- configures with warnings as errors and checks each source's flags: MSVC's own
  (/W4 /permissive- /MT), neither -Wall nor -Wextra;
- compiles everything, links the tool and the stand-in with /force:unresolved,
  and reads the names between
  the tool and WormAPI.dll: the stand-in exports the plain ones (and, __stdcall,
  both decorated shapes as well), and the tool imports the plain ones;
- writes the text that cl.exe reads (unifdef: _MSC_VER defined, __GNUC__ and
  __clang__ not), wants no GNU syntax left in it, and compiles that text too;
- for __stdcall, binds a vendor's import library of Microsoft's shape
  (_worm_init@8) as it is, and refuses a vendor DLL without one.

  msvc_mode_check.py [--build-root build]      (./run-tests --msvc-mode runs it)
"""
import argparse
import json
import os
import re
import shlex
import subprocess
import sys

from common import OPERATIONS, SHAPES

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FLAVOURS = {"msvc-x86": ("x86", ""), "msvc-x86-stdcall": ("x86", "__stdcall"),
            "msvc-x64": ("x64", "")}
# Where cl.exe reads the text: the defines it sets, and those it does not.
CL_DEFINES = ["-D_WIN32", "-D_MSC_VER=1938", "-U__GNUC__", "-U__clang__", "-U__MINGW32__"]
ARCH_DEFINES = {"x86": ["-D_M_IX86", "-U_WIN64", "-U_M_X64"],
                "x64": ["-D_M_X64", "-D_WIN64", "-U_M_IX86"]}
GNU_SYNTAX = re.compile(r"__attribute__|__asm__|\basm\s*\(|__builtin_|__extension__|"
                        r"__typeof__|\btypeof\b")


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def configure(build, arch, call, *extra):
    """Configures build; returns the finished process (its failure is the caller's)."""
    empty_libs = os.path.join(build, "empty-libs")
    os.makedirs(empty_libs, exist_ok=True)
    # shell32.lib is named by the tool; an empty one lets the link go on.
    run(["llvm-lib", "/llvmlibempty", "/out:" + os.path.join(empty_libs, "shell32.lib")],
        check=True)
    link = f"/force:unresolved /nodefaultlib /libpath:{empty_libs}"
    return run(["cmake", "-S", SOURCE, "-B", build, "-G", "Ninja",
                "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(SOURCE, "cmake", "clang-cl.cmake"),
                "-DWORM_CLANG_CL_ARCH=" + arch, "-DWORM_CALL=" + call,
                "-DCMAKE_COMPILE_WARNING_AS_ERROR=ON", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
                "-DWORM_TEST_LAUNCHER=/bin/false",  # the tests are built, never run
                "-DCMAKE_CXX_STANDARD_LIBRARIES=",
                f"-DCMAKE_EXE_LINKER_FLAGS={link} /entry:main",
                f"-DCMAKE_SHARED_LINKER_FLAGS={link}", *extra])


def build_targets(build_dir, *targets):
    done = run(["cmake", "--build", build_dir, "--"] + list(targets))
    return [] if done.returncode == 0 else [f"build failed:\n{done.stdout[-4000:]}"]


def build_everything(build_dir):
    """Compiles every object and resource, and links the tool and the stand-in
    (the test programs' links need more of the absent runtime than a forced link
    can leave out: thread-safe statics' TLS)."""
    listed = run(["ninja", "-C", build_dir, "-t", "targets", "all"], check=True).stdout
    objects = re.findall(r"^(\S+\.(?:obj|res)): ", listed, re.M)
    return build_targets(build_dir, *objects, "worm_export", "WormAPI")


def compile_commands(build):
    with open(os.path.join(build, "compile_commands.json")) as f:
        return [e for e in json.load(f) if e["file"].endswith(".cpp")]


def flag_problems(build):
    problems = []
    for entry in compile_commands(build):
        flags = shlex.split(entry["command"])
        name = os.path.relpath(entry["file"], SOURCE)
        missing = [f for f in ("/W4", "/permissive-") if f not in flags]
        missing += [f for f in ("/MT", "/WX") if f not in flags and "-" + f[1:] not in flags]
        gnu = [f for f in flags if f in ("-Wall", "-Wextra", "/Wall")]
        if missing or gnu:
            problems.append(f"{name}: flags lack {missing}, have GNU's {gnu}")
    return problems


def names(what, path):
    """The names a PE file exports, or imports from WormAPI.dll."""
    text = run(["llvm-readobj", "--coff-" + what, path], check=True).stdout
    if what == "imports":
        text = text.partition("Name: WormAPI.dll")[2].partition("}")[0]
        return sorted(re.findall(r"Symbol: (\S+)", text))
    return sorted(n for n in re.findall(r"Name: (\S+)", text))


def name_problems(build, call):
    exports = names("exports", os.path.join(build, "bin", "WormAPI.dll"))
    imports = names("imports", os.path.join(build, "bin", "worm_export.exe"))
    shapes = SHAPES.values() if call else [SHAPES["plain"]]
    want_exports = {shape.format(op=op, n=n) for op, n in OPERATIONS.items() for shape in shapes}
    problems = []
    if set(exports) != want_exports:
        problems.append(f"WormAPI.dll exports {exports}, want {sorted(want_exports)}")
    if imports != sorted(OPERATIONS):
        problems.append(f"worm_export.exe imports {imports}, want {sorted(OPERATIONS)}")
    return problems


def cl_text_problems(build, arch):
    """Writes the text cl.exe reads below build/cl-text, checks and compiles it."""
    text_root = os.path.join(build, "cl-text")
    files = run(["git", "-C", SOURCE, "ls-files", "--cached", "--others", "--exclude-standard",
                 "*.cpp", "*.h"], check=True).stdout.split()
    problems = []
    for name in files:
        mirror = os.path.join(text_root, name)
        os.makedirs(os.path.dirname(mirror), exist_ok=True)
        done = run(["unifdef", *CL_DEFINES, *ARCH_DEFINES[arch], "-o", mirror,
                    os.path.join(SOURCE, name)])
        if done.returncode not in (0, 1):  # 1: it changed the text
            problems.append(f"unifdef {name}: {done.stderr.strip()}")
            continue
        with open(mirror) as f:
            for number, line in enumerate(f, 1):
                if GNU_SYNTAX.search(line):
                    problems.append(f"{name}:{number}: GNU syntax in cl.exe's text: "
                                    f"{line.strip()}")

    def mirrored(token):  # the source tree's files and folders, as cl.exe reads them
        for prefix in ("", "-I", "/I"):
            path = token[len(prefix):]
            if token.startswith(prefix) and path.startswith(SOURCE + os.sep) \
                    and not path.startswith(os.path.abspath(build)):
                return prefix + os.path.join(text_root, os.path.relpath(path, SOURCE))
        return token

    for entry in compile_commands(build):
        flags = [mirrored(t) for t in shlex.split(entry["command"])]
        flags = [t for t in flags if not t.startswith(("/Fo", "/Fd"))]
        flags.insert(flags.index("--"), "/Fo" + os.path.join(text_root, "compiled.obj"))
        done = run(flags, cwd=entry["directory"])
        if done.returncode != 0:
            problems.append(f"cl.exe's text of {os.path.relpath(entry['file'], SOURCE)} "
                            f"does not compile:\n{done.stdout[-3000:]}{done.stderr[-3000:]}")
    return problems


def vendor_problems(build, arch, call):
    """A vendor's DLL alone is refused; its Microsoft-shape import library binds."""
    problems = []
    refused = configure(build + "-vendor-dll", arch, call,
                        "-DWORM_VENDOR_LIBRARY=" + os.path.join(build, "bin", "WormAPI.dll"))
    said = " ".join(refused.stderr.split())  # CMake wraps the message
    if refused.returncode == 0 or "give the vendor's WormAPI.lib" not in said:
        problems.append(f"a vendor DLL without its .lib was not refused: {refused.stderr}")
    vendor = build + "-vendor-lib"
    os.makedirs(vendor, exist_ok=True)
    decorated = [SHAPES["msvc"].format(op=op, n=n) for op, n in OPERATIONS.items()]
    with open(os.path.join(vendor, "WormAPI.def"), "w") as f:
        f.write("LIBRARY WormAPI.dll\nEXPORTS\n" + "".join(f"    {n}\n" for n in decorated))
    library = os.path.join(vendor, "WormAPI.lib")
    run(["lld-link", "/def:" + os.path.join(vendor, "WormAPI.def"), "/machine:x86",
         "/out:" + library], check=True)
    done = configure(vendor, arch, call, "-DWORM_VENDOR_LIBRARY=" + library)
    if done.returncode != 0:
        return problems + [f"configuring with the vendor's .lib failed: {done.stderr}"]
    problems += build_targets(vendor, "worm_export")
    imports = names("imports", os.path.join(vendor, "bin", "worm_export.exe"))
    if imports != sorted(decorated):
        problems.append(f"bound to the vendor's .lib, the tool imports {imports}, "
                        f"want {sorted(decorated)}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-root", default=os.path.join(SOURCE, "build"))
    opts = parser.parse_args()
    failed = False
    for flavour, (arch, call) in FLAVOURS.items():
        build = os.path.join(opts.build_root, "clang-cl-" + flavour)
        done = configure(build, arch, call)
        problems = [f"configure failed:\n{done.stderr}"] if done.returncode else []
        if not problems:
            problems += flag_problems(build)
            problems += build_everything(build)
        if not problems:
            problems += name_problems(build, call)
            problems += cl_text_problems(build, arch)
            if call:
                problems += vendor_problems(build, arch, call)
        print(f"{'FAIL' if problems else 'ok  '} {flavour}")
        for p in problems:
            print("    " + p.replace("\n", "\n    "))
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
