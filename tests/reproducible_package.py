#!/usr/bin/env python3
"""One commit gives the same release package wherever and whenever it is built.

Builds the project twice, in two folders, the second a few seconds after the
first, packages each with cpack, and compares the packages and their SHA-256
files byte for byte.

  reproducible_package.py --source DIR --work DIR --generator NAME --cpack CPACK
                          [--toolchain FILE] [-D NAME=VALUE...]
"""
import argparse
import filecmp
import glob
import os
import shutil
import subprocess
import sys
import time


def build_and_package(opts, folder):
    """The package files a fresh build in folder makes."""
    shutil.rmtree(folder, ignore_errors=True)
    configure = ["cmake", "-S", opts.source, "-B", folder, "-G", opts.generator,
                 "-DBUILD_TESTING=OFF"] + [f"-D{d}" for d in opts.define]
    if opts.toolchain:
        configure.append(f"-DCMAKE_TOOLCHAIN_FILE={opts.toolchain}")
    for command in [configure, ["cmake", "--build", folder],
                    [opts.cpack, "--config", os.path.join(folder, "CPackConfig.cmake"),
                     "-B", os.path.join(folder, "packages")]]:
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    return sorted(glob.glob(os.path.join(folder, "packages", "worm_export-*")))


def main():
    parser = argparse.ArgumentParser()
    for name in ["--source", "--work", "--generator", "--cpack"]:
        parser.add_argument(name, required=True)
    parser.add_argument("--toolchain")
    parser.add_argument("-D", dest="define", action="append", default=[])
    opts = parser.parse_args()
    first = build_and_package(opts, os.path.join(opts.work, "first"))
    time.sleep(2)  # file times and any clock in the build now differ
    second = build_and_package(opts, os.path.join(opts.work, "second"))
    names = [os.path.basename(p) for p in first]
    problems = []
    if not any(n.endswith(".sha256") for n in names) or \
            names != [os.path.basename(p) for p in second]:
        problems.append(f"the builds made {names} and {[os.path.basename(p) for p in second]}")
    for a, b in zip(first, second):
        same = filecmp.cmp(a, b, shallow=False)
        print(f"{'same' if same else 'DIFFERENT'}  {os.path.basename(a)}")
        if not same:
            problems.append(f"{os.path.basename(a)} differs between the two builds")
    for p in problems:
        print(f"FAIL {p}")
    print(f"{0 if problems else 1} passed, {1 if problems else 0} failed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
