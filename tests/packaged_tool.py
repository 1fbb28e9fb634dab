#!/usr/bin/env python3
"""The release package works where it is unpacked.

cpack makes the package into a fresh folder; it is unpacked into another; the
demo that each README.txt in it shows runs from that README's folder, with the
README's lines and status; then a library copied over the packaged stand-in (the
scripted one, which records its calls) is the one the tool loads.  For Windows,
no program or DLL in it needs a DLL beyond Windows' own and WormAPI.dll, and
without WormAPI.dll the program does not start at all.  For Linux, the programs
need no shared library but glibc and the stand-in, and no newer glibc than the
README says.

  packaged_tool.py --build-dir BUILD --cpack cpack --name worm_export-1.0-win32
                   --scripted path/to/scripted/WormAPI.dll --platform posix|windows
                   [--configuration Release]
                   [--launcher wine] [--objdump i686-w64-mingw32-objdump] [--check-runtimes]
"""
import argparse
import glob
import os
import re
import shlex
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

from common import objdump_p, pe_imports, report, system_dll

SECONDS = 120
GLIBC_LIBRARY = re.compile(r"(libc|libm|libpthread|libdl|librt|ld-linux[-\w.]*)\.so")


def unpack(package, into):
    """Unpacks the zip or .tar.gz; returns its one top folder."""
    if package.endswith(".zip"):
        with zipfile.ZipFile(package) as z:
            z.extractall(into)
    else:
        with tarfile.open(package) as t:
            t.extractall(into)
    (top,) = os.listdir(into)
    return os.path.join(into, top)


def readme_demo(readme):
    """([program, args...], library file, expected stdout, status) as the README says them."""
    text = readme.replace("\r\n", "\n")
    command = re.search(r"sample store that comes with it:\n\n    (.+)\n", text).group(1)
    shown = re.search(r"exits with status (\d+):\n\n((?:    .*\n|\n)+)", text)
    expected = "".join(line[4:] + "\n" for line in shown.group(2).rstrip("\n").split("\n"))
    library = re.search(r"The library: (\S+) (?:in this package )?is a STAND-IN", text).group(1)
    return shlex.split(command), library, expected, int(shown.group(1))


def foreign_dlls(objdump, path):
    """The DLLs a PE file imports that are neither Windows' own nor WormAPI.dll."""
    return [d for d in pe_imports(objdump_p(objdump, path))
            if d != "WormAPI.dll" and not system_dll(d)]


def linux_needs(top, readme):
    """What the Linux programs need beyond the stand-in and the glibc the README names."""
    floor = re.search(r"glibc (\d+)\.(\d+) or later", readme)
    if not floor:
        return ["the README names no glibc floor"]
    problems = []
    for path in [os.path.join(top, "bin", "worm_export")] + glob.glob(
            os.path.join(top, "lib", "**", "*.so"), recursive=True):
        dump = subprocess.run(["objdump", "-pT", path], capture_output=True, text=True,
                              check=True).stdout
        needed = {n for n in re.findall(r"NEEDED\s+(\S+)", dump)
                  if n != "libWormAPI.so" and not GLIBC_LIBRARY.match(n)}
        newest = max((tuple(map(int, v.split("."))) for v in re.findall(r"GLIBC_([\d.]+)\)", dump)),
                     default=(0, 0))
        if needed or newest[:2] > (int(floor.group(1)), int(floor.group(2))):
            problems.append(f"{os.path.relpath(path, top)} needs {sorted(needed)}, glibc "
                            f"{'.'.join(map(str, newest))}; the README says glibc "
                            f"{floor.group(1)}.{floor.group(2)}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--name", required=True, help="the package's name, no extension")
    parser.add_argument("--scripted", required=True, help="the scripted WormAPI library")
    parser.add_argument("--configuration", default="Release", help="the build's, to package")
    parser.add_argument("--launcher", default="")
    parser.add_argument("--platform", choices=("posix", "windows"), required=True)
    parser.add_argument("--objdump", help="for Windows: reads what each PE file imports")
    parser.add_argument("--check-runtimes", action="store_true",
                        help="Linux: the programs need nothing but glibc (a sanitizer build does)")
    opts = parser.parse_args()
    windows = opts.platform == "windows"
    launcher = shlex.split(opts.launcher)
    problems = []

    with tempfile.TemporaryDirectory(prefix="worm_package_") as work:
        made = os.path.join(work, "made")
        subprocess.run([opts.cpack, "--config", os.path.join(opts.build_dir, "CPackConfig.cmake"),
                        "-C", opts.configuration, "-B", made], check=True,
                       stdout=subprocess.DEVNULL, timeout=SECONDS)
        packages = [p for p in os.listdir(made) if p.endswith((".zip", ".tar.gz"))]
        expected_names = [opts.name + (".zip" if windows else ".tar.gz")]
        if packages != expected_names:
            print(f"FAIL cpack made {packages}, not {expected_names}")
            return 1
        top = unpack(os.path.join(made, packages[0]), os.path.join(work, "unpacked"))
        for path in sorted(glob.glob(os.path.join(top, "**"), recursive=True)):
            if os.path.isfile(path):
                print(f"{os.path.getsize(path):>9}  {os.path.relpath(path, top)}")

        clean_env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
        readmes = sorted(glob.glob(os.path.join(top, "**", "README.txt"), recursive=True))
        if len(readmes) != (1 if windows else 2):
            problems.append(f"README.txt files: {readmes}")
        for readme in readmes:
            with open(readme, newline="") as f:
                text = f.read()
            program_and_args, library, expected, status = readme_demo(text)
            folder = os.path.dirname(readme)
            done = subprocess.run(launcher + program_and_args, capture_output=True,
                                  env=clean_env, cwd=folder, timeout=SECONDS)
            out = done.stdout.replace(b"\r\n", b"\n").decode(errors="replace")
            if (done.returncode, out) != (status, expected):
                problems.append(f"{os.path.relpath(readme, top)}'s demo, {program_and_args}: "
                                f"status {done.returncode}, stdout {out!r}, stderr "
                                f"{done.stderr!r}; it shows status {status}, {expected!r}")
            if not os.path.isfile(os.path.join(folder, library)):
                problems.append(f"{os.path.relpath(readme, top)} names {library}, not there")
        # From here on, as the top folder's README says.
        with open(os.path.join(top, "README.txt"), newline="") as f:
            top_readme = f.read()
        program_and_args, library, _, _ = readme_demo(top_readme)
        run = launcher + program_and_args
        if opts.check_runtimes and not windows:
            problems += linux_needs(top, top_readme)

        if windows:
            for path in glob.glob(os.path.join(top, "*.exe")) + glob.glob(os.path.join(top, "*.dll")):
                needs = foreign_dlls(opts.objdump, path) if opts.objdump else []
                if needs:
                    problems.append(f"{os.path.basename(path)} needs {needs} beside it")
            # Without WormAPI.dll, Windows refuses to start the program with
            # STATUS_DLL_NOT_FOUND, 0xC0000135; Wine's Unix parent sees only its
            # low byte, 53.  It is not a code of worm_init's.
            not_found = 0xC0000135 & 0xFF if launcher else 0xC0000135
            os.rename(os.path.join(top, library), os.path.join(work, "set-aside"))
            done = subprocess.run(run, capture_output=True, env=clean_env, cwd=top,
                                  timeout=SECONDS)
            if (done.returncode, done.stdout) != (not_found, b""):
                problems.append(f"without {library}: status {done.returncode}, stdout "
                                f"{done.stdout!r}; expected {not_found} and nothing")

        # The user's one step to the real store: a file copied over the stand-in.
        shutil.copy(opts.scripted, os.path.join(top, library))
        calls = os.path.join(top, "calls.txt")
        done = subprocess.run(run, capture_output=True,
                              env=dict(clean_env, WORM_CALLS="calls.txt"), cwd=top,
                              timeout=SECONDS)
        called = open(calls).read() if os.path.exists(calls) else ""
        if done.returncode != 0 or not called.startswith("worm_init("):
            problems.append(f"the tool did not load the library copied over {library}: "
                            f"status {done.returncode}, calls {called!r}, stderr {done.stderr!r}")

    return report(problems)


if __name__ == "__main__":
    sys.exit(main())
