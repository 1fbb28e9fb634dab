#!/usr/bin/env python3
"""The Windows exe and DLL say what they are: each carries a version resource
with the project's version, its product name and its own file name, as read back
by exiftool (Debian's libimage-exiftool-perl); a __stdcall build's description
says so, so that Properties tell the builds apart.

  pe_version.py --exiftool exiftool --version 1.0 --product worm_export [--stdcall] FILE...
"""
import argparse
import os
import subprocess
import sys

FIELDS = ("FileVersion", "ProductVersion", "ProductName", "FileDescription",
          "OriginalFileName", "FileVersionNumber")


def read_resource(exiftool, path):
    """{field: text} of the version resource's fields that the file has."""
    out = subprocess.run([exiftool, "-args", "-charset", "UTF8"] + [f"-{f}" for f in FIELDS]
                         + [path], check=True, capture_output=True, text=True).stdout
    found = {}
    for line in out.splitlines():
        name, _, value = line.lstrip("-").partition("=")
        found[name] = value
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exiftool", required=True)
    parser.add_argument("--version", required=True, help="the project's, e.g. 1.0")
    parser.add_argument("--product", required=True)
    parser.add_argument("--stdcall", action="store_true", help="a __stdcall build")
    parser.add_argument("files", nargs="+")
    opts = parser.parse_args()

    numbers = (opts.version.split(".") + ["0"] * 4)[:4]
    failed = 0
    for path in opts.files:
        found = read_resource(opts.exiftool, path)
        print(f"{os.path.basename(path)}: {found}")
        wanted = {"FileVersion": opts.version, "ProductVersion": opts.version,
                  "ProductName": opts.product, "OriginalFileName": os.path.basename(path),
                  "FileVersionNumber": ".".join(numbers)}
        wrong = {k: found.get(k) for k, v in wanted.items() if found.get(k) != v}
        description = found.get("FileDescription", "")
        if opts.stdcall != description.endswith(" (__stdcall build)"):
            wrong["FileDescription"] = description
        if wrong or not description:
            print(f"FAIL {path}: {wrong or 'no FileDescription'}; wanted {wanted}")
            failed += 1
    print(f"{len(opts.files) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
