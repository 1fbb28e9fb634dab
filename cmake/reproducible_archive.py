#!/usr/bin/env python3
"""Rewrites release packages so that one commit gives the same bytes wherever and
whenever it is built, and writes each one's SHA-256 beside it.

  reproducible_archive.py --source DIR [--checksums-to DIR] PACKAGE.zip|PACKAGE.tar.gz...

Entries come in byte order of their names, each with the commit's time
(SOURCE_DATE_EPOCH where set, else the time of the source tree's last commit),
owner root, and mode 0755 (folders and programs) or 0644; a gzip stream carries
no time or name.
"""
import argparse
import gzip
import hashlib
import io
import os
import subprocess
import sys
import tarfile
import time
import zipfile

ZIP_EPOCH = 315532800  # 1980-01-01, the earliest time a zip entry can carry


def source_epoch(source):
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    done = subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"],
                          capture_output=True, text=True)
    if done.returncode != 0 or not done.stdout.strip():
        sys.exit("reproducible_archive: no SOURCE_DATE_EPOCH and no git commit to take "
                 f"the time from in {source}")
    return int(done.stdout)


def mode_of(is_folder, mode):
    return 0o755 if is_folder or mode & 0o111 else 0o644


def rewrite_zip(path, epoch):
    with zipfile.ZipFile(path) as old:
        entries = [(info, old.read(info)) for info in old.infolist()]
    stamp = time.gmtime(max(epoch, ZIP_EPOCH))[:6]
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as new:
        for info, data in sorted(entries, key=lambda e: e[0].filename.encode()):
            entry = zipfile.ZipInfo(info.filename, stamp)
            entry.create_system = 3  # Unix, so that the mode below is read
            entry.external_attr = mode_of(info.is_dir(), info.external_attr >> 16) << 16
            entry.compress_type = zipfile.ZIP_STORED if info.is_dir() else zipfile.ZIP_DEFLATED
            new.writestr(entry, data, compresslevel=9)
    return out.getvalue()


def rewrite_tar_gz(path, epoch):
    with tarfile.open(path, "r:gz") as old:
        entries = [(m, old.extractfile(m).read() if m.isfile() else None)
                   for m in old.getmembers()]
    out = io.BytesIO()
    with gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=0, compresslevel=9) as gz, \
            tarfile.open(fileobj=gz, mode="w", format=tarfile.PAX_FORMAT) as new:
        for member, data in sorted(entries, key=lambda e: e[0].name.encode()):
            member.mtime = epoch
            member.uid = member.gid = 0
            member.uname = member.gname = "root"
            member.mode = mode_of(member.isdir(), member.mode)
            member.pax_headers = {}
            new.addfile(member, io.BytesIO(data) if data is not None else None)
    return out.getvalue()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True, help="the source tree, for its commit time")
    parser.add_argument("--checksums-to", help="where PACKAGE.sha256 go (default: beside)")
    parser.add_argument("packages", nargs="+")
    opts = parser.parse_args()
    epoch = source_epoch(opts.source)
    for path in opts.packages:
        data = rewrite_zip(path, epoch) if path.endswith(".zip") else rewrite_tar_gz(path, epoch)
        with open(path, "wb") as f:
            f.write(data)
        name = os.path.basename(path)
        checksum = os.path.join(opts.checksums_to or os.path.dirname(path), name + ".sha256")
        with open(checksum, "w", newline="\n") as f:
            f.write(f"{hashlib.sha256(data).hexdigest()}  {name}\n")


if __name__ == "__main__":
    main()
