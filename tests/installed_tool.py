#!/usr/bin/env python3
"""The installed tool finds the library installed with it, and a file put in
that library's place swaps it without rebuilding the tool.

  installed_tool.py --build-dir BUILD --sample examples/sample_store
                    --scripted path/to/scripted/WormAPI [--launcher wine]
"""
import argparse
import glob
import os
import shlex
import shutil
import subprocess
import sys
import tempfile


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--sample", required=True)
    parser.add_argument("--scripted", required=True, help="the scripted WormAPI library")
    parser.add_argument("--launcher", default="")
    opts = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="worm_install_") as prefix:
        subprocess.run(["cmake", "--install", opts.build_dir, "--prefix", prefix],
                       check=True, stdout=subprocess.DEVNULL)
        tool = glob.glob(os.path.join(prefix, "bin", "worm_export*"))[0]
        run = shlex.split(opts.launcher) + [tool, os.path.abspath(opts.sample), "demo"]
        clean_env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}

        done = subprocess.run(run, capture_output=True, env=clean_env, cwd=prefix, timeout=120)
        out = done.stdout.replace(b"\r\n", b"\n")
        if done.returncode != 0 or b"result worm_export_tar(): 0\n" not in out:
            print(f"FAIL installed tool on the sample store: {done.returncode} {out!r} "
                  f"{done.stderr!r}")
            return 1

        # Put the scripted library where the installed one is; it records calls.
        name = os.path.basename(opts.scripted)
        installed = glob.glob(os.path.join(prefix, "*", name))
        for path in installed:
            shutil.copy(opts.scripted, path)
        env = dict(clean_env, WORM_CALLS="calls.txt")
        done = subprocess.run(run, capture_output=True, env=env, cwd=prefix, timeout=120)
        calls = os.path.join(prefix, "calls.txt")
        if done.returncode != 0 or not installed or not os.path.exists(calls):
            print(f"FAIL the installed tool did not load the library put in place of "
                  f"{installed}: {done.returncode} {done.stderr!r}")
            return 1
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
