#!/usr/bin/env python3
"""Tests of the stand-in WormAPI library: its exports read back whole.

Stores are exported through store_dump (a small driver of the library) and the
streams are read back with Python's tarfile and with GNU tar, then compared with
the store's own files: names, order, sizes, contents and mtimes.

  store_exports.py --dump store_dump --tool worm_export --source .
                   [--platform posix|windows] [--launcher wine]
"""
import argparse
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

from common import read_bytes, tool_output

INT32_MIN, INT32_MAX = -2**31, 2**31 - 1
OPTS = None
CODES = {}
CHUNK = 0
NEEDED = {"WORM_STORE_CHUNK_SIZE", "WORM_ERR_NO_STORE", "WORM_ERR_NULL_ARGUMENT",
          "WORM_ERR_BAD_RANGE", "WORM_ERR_NOT_SUPPORTED", "WORM_ERR_STORE_UNREADABLE",
          "WORM_ERR_RECORD_UNREADABLE", "WORM_ERR_CALLBACK_STOPPED"}


def read_constants():
    """The stand-in's result codes and chunk size, as store_dump -l prints them
    from the compiled header; anything unexpected stops the run with why."""
    command = shlex.split(OPTS.launcher) + [os.path.abspath(OPTS.dump), "-l"]
    done = subprocess.run(command, capture_output=True, timeout=300, stdin=subprocess.DEVNULL)
    found = {}
    for line in done.stdout.decode().splitlines():
        m = re.fullmatch(r"(WORM_\w+) (-?\d+)", line)
        if not m:
            sys.exit(f"store_exports: store_dump -l printed {line!r}, not NAME VALUE")
        found[m.group(1)] = int(m.group(2))
    missing = NEEDED - found.keys()
    if done.returncode != 0 or missing:
        sys.exit(f"store_exports: store_dump -l (status {done.returncode}) gave no value "
                 f"for {sorted(missing)}; it printed {found}")
    chunk = found.pop("WORM_STORE_CHUNK_SIZE")
    return found, chunk


def skip_without_unix_links(test):
    """Links are made as a Unix machine makes them (Wine shows a link to a folder
    as a reparse point); on a Windows machine that takes rights a run may lack."""
    if os.name != "posix":
        test.skipTest("makes Unix links: runs where the tests run on Linux")


def make_store(root, records):
    """Writes records (relative name -> bytes) below root."""
    for name, data in records.items():
        path = os.path.join(os.fsencode(root), os.fsencode(name))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def store_tree(root):
    """Regular files below root as {relative name bytes: (contents, mtime)}."""
    tree = {}
    root = os.fsencode(root)
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            if os.path.isfile(path) and not os.path.islink(path):
                rel = os.path.relpath(path, root).replace(os.sep.encode(), b"/")
                tree[rel] = (read_bytes(path), int(os.stat(path).st_mtime))
    return tree


class Dump:
    """One run of store_dump: init and export results, chunk lengths, stream."""

    def __init__(self, workdir, drive="store", first_last=(), options=()):
        out = os.path.join(workdir, "out.tar")
        if os.path.exists(out):
            os.remove(out)
        command = (shlex.split(OPTS.launcher) + [os.path.abspath(OPTS.dump), "-o", "out.tar"]
                   + [str(a) for a in options] + [drive] + [str(a) for a in first_last])
        done = subprocess.run(command, cwd=workdir, capture_output=True, timeout=300,
                              stdin=subprocess.DEVNULL)
        if done.returncode != 0 or done.stderr.strip():
            raise AssertionError(f"store_dump failed: {done.returncode} {done.stderr!r}")
        self.init = self.export = self.cleanup = None
        self.chunks = []
        for line in done.stdout.decode().splitlines():
            word, value = line.split(" ", 1)
            if word == "init":
                self.init = value
            elif word == "export":
                self.export = int(value)
            elif word == "cleanup":
                self.cleanup = int(value)
            else:
                self.chunks.append(int(value))
        self.stream = read_bytes(out) if os.path.exists(out) else b""


class StoreCase(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="worm_store_")
        self.store = os.path.join(self.workdir, "store")
        os.mkdir(self.store)

    def tearDown(self):
        shutil.rmtree(self.workdir, ignore_errors=True)

    def assert_reads_back(self, dump, want):
        """The stream is a whole archive of exactly want, in byte order of names."""
        self.assertEqual(dump.init, "0")
        self.assertEqual(dump.export, 0)
        self.assertTrue(dump.chunks, "no chunk delivered")
        self.assertTrue(all(n == CHUNK for n in dump.chunks[:-1]), dump.chunks)
        self.assertTrue(0 < dump.chunks[-1] <= CHUNK, dump.chunks)
        self.assertEqual(sum(dump.chunks), len(dump.stream))
        self.assertEqual(len(dump.stream) % 512, 0)
        self.assertEqual(dump.stream[-1024:], bytes(1024), "no closing zero blocks")

        with tarfile.open(fileobj=io.BytesIO(dump.stream)) as archive:
            members = archive.getmembers()
            self.assertTrue(all(m.isfile() for m in members))
            names = [os.fsencode(m.name) for m in members]
            self.assertEqual(names, sorted(want), "members not in byte order of names")
            got = {os.fsencode(m.name): (archive.extractfile(m).read(), m.mtime)
                   for m in members}
        self.assertEqual(got, want, "tarfile reads back other records")

        extracted = os.path.join(self.workdir, "extracted")
        shutil.rmtree(extracted, ignore_errors=True)
        os.mkdir(extracted)
        tar = subprocess.run(["tar", "--warning=no-timestamp", "-xf", "-", "-C", extracted],
                             input=dump.stream, capture_output=True)
        self.assertEqual((tar.returncode, tar.stderr), (0, b""))
        self.assertEqual(store_tree(extracted), want, "GNU tar extracts other records")

    def records(self, names):
        tree = store_tree(self.store)
        return {os.fsencode(n): tree[os.fsencode(n)] for n in names}


class Exports(StoreCase):
    def test_sample_store_full_and_filtered(self):
        shutil.rmtree(self.store)
        shutil.copytree(OPTS.sample, self.store)
        everything = store_tree(self.store)
        self.assert_reads_back(Dump(self.workdir), everything)
        in_range = {n: v for n, v in everything.items()
                    if re.match(rb"0*(5\d\d|600)\D", os.path.basename(n))}
        self.assertEqual(len(in_range), 3)
        self.assert_reads_back(Dump(self.workdir, first_last=(500, 600)), in_range)

    def test_names_order_and_sizes(self):
        records = {
            "a/x": b"in folder a", "a-b/x": b"dash sorts before slash", "a.txt": b"dot too",
            "a b": b"space", "deep/er/still/0550-r": b"nested",
            "empty": b"", "one-block": b"x" * 512, "chunk-plus-one": b"c" * (CHUNK + 1),
            "three-chunks": bytes(range(256)) * (3 * CHUNK // 256 + 3),
            "n" * 100: b"name of exactly 100 bytes",
            "long/" + "m" * 150 + "/" + "f" * 120: b"name needs a pax header",
        }
        if OPTS.platform == "posix":
            records["caf\u00e9 \udcff"] = b"UTF-8 and a byte that is not"
        make_store(self.store, records)
        os.utime(os.path.join(self.store, "a.txt"), (0, 0))
        os.utime(os.path.join(self.store, "a b"), (8**11 + 5, 8**11 + 5))
        self.assert_reads_back(Dump(self.workdir), self.records(records))

    def test_links_and_special_files_are_not_records(self):
        skip_without_unix_links(self)
        records = {"0500-real": b"real", "sub/0550-real": b"also real"}
        make_store(self.store, records)
        make_store(self.workdir, {"outside/0550-secret": b"outside the store"})
        # Links to folders, which Wine shows as reparse points, as Windows shows
        # every link; links to files it shows as the files themselves.
        os.symlink(os.path.join(os.pardir, "outside"), os.path.join(self.store, "0501-outside"))
        os.symlink("sub", os.path.join(self.store, "0502-folder-link"))
        os.symlink("..", os.path.join(self.store, "sub", "0504-loop"))
        if OPTS.platform == "posix":
            os.symlink("0500-real", os.path.join(self.store, "0506-link"))
            os.symlink("missing", os.path.join(self.store, "0503-dangling"))
            os.mkfifo(os.path.join(self.store, "0505-fifo"))
        for first_last in [(), (500, 600)]:
            with self.subTest(range=first_last):
                self.assert_reads_back(Dump(self.workdir, first_last=first_last),
                                       self.records(records))

    def test_times_before_1970_and_far_ahead_read_back(self):
        times = [-2**31, -1, 0, 2**31 - 1, 2**32, 2**33 - 1, 8**11 + 5, 15032385535]
        records = {f"{i:04}-record": str(t).encode() for i, t in enumerate(times)}
        make_store(self.store, records)
        for name, t in zip(records, times):
            os.utime(os.path.join(self.store, name), (t, t))
        self.assert_reads_back(Dump(self.workdir), self.records(records))

    def test_transaction_ranges(self):
        names = ["0499-a", "0500-b", "500c", "0600-d", "0601-e", "0" * 30 + "500-f",
                 "9" * 30 + "-g", "x0500-h", "-0500-i", "sub/0550-j", "0550", "5000-k"]
        make_store(self.store, {n: n.encode() for n in names})
        cases = [
            ((500, 600), ["0500-b", "500c", "0600-d", "0" * 30 + "500-f", "sub/0550-j",
                          "0550"]),
            ((601, 601), ["0601-e"]),
            ((499, 499), ["0499-a"]),
            ((5000, INT32_MAX), ["5000-k"]),
            ((INT32_MIN, -1), []),
            ((0, 0), []),
        ]
        for first_last, want in cases:
            with self.subTest(range=first_last):
                self.assert_reads_back(Dump(self.workdir, first_last=first_last),
                                       self.records(want))

    def test_empty_store_is_an_empty_archive(self):
        dump = Dump(self.workdir)
        self.assertEqual((dump.export, dump.chunks, dump.stream), (0, [1024], bytes(1024)))


class LargeRecord(StoreCase):
    """Sizes and offsets past 2 and 4 GiB, where 32-bit code breaks."""

    def test_sparse_record_past_4_gib_exports_whole(self):
        size = 2**32 + 3 * 512 + 7
        marks = {0: b"first", 2**31 - 3: b"across 2 GiB", 2**32 - 5: b"across 4 GiB",
                 size - 4: b"last"}
        path = os.path.join(self.store, "0550-large")
        with open(path, "wb") as f:
            f.truncate(size)  # sparse: no disk space for the zeros
            for offset, mark in marks.items():
                f.seek(offset)
                f.write(mark)
        # The stream is read as it comes, through a pipe: 4 GiB never lands on disk.
        command = shlex.split(OPTS.launcher) + [os.path.abspath(OPTS.dump), "-o", "-", "store"]
        report = os.path.join(self.workdir, "report.txt")
        with open(report, "wb") as lines, open(path, "rb") as source, \
                subprocess.Popen(command, cwd=self.workdir, stdout=subprocess.PIPE,
                                 stderr=lines, stdin=subprocess.DEVNULL) as dump:
            header = tarfile.TarInfo.frombuf(dump.stdout.read(512), "utf-8", "surrogateescape")
            self.assertEqual((header.name, header.size), ("0550-large", size))
            offset = 0
            while offset < size:
                want = source.read(1 << 20)
                got = dump.stdout.read(len(want))
                if got != want:
                    self.fail(f"the member differs from the record within bytes {offset}.."
                              f"{offset + len(want)}")
                offset += len(want)
            tail = dump.stdout.read()
            self.assertEqual(dump.wait(), 0)
        self.assertEqual(tail, bytes(512 - size % 512 + 1024), "padding and end blocks")
        report = read_bytes(report).decode().splitlines()
        self.assertEqual((report[0], report[-1]), ("init 0", "export 0"))
        chunks = [int(line.split()[1]) for line in report[1:-1]]
        self.assertEqual(sum(chunks), 512 + size + len(tail))


class Errors(StoreCase):
    def test_init_fails_without_writing_a_handle(self):
        make_store(self.workdir, {"a-file": b"not a folder"})
        for drive in ["missing", "a-file", ""]:
            with self.subTest(drive=drive):
                dump = Dump(self.workdir, drive)
                self.assertEqual(dump.init, str(CODES["WORM_ERR_NO_STORE"]))
                self.assertEqual(dump.chunks, [])

    def test_null_arguments_are_refused(self):
        make_store(self.store, {"0550-r": b"record"})
        null = CODES["WORM_ERR_NULL_ARGUMENT"]
        for what in ["handle", "drive"]:
            with self.subTest(null=what):
                self.assertEqual(Dump(self.workdir, options=("-n", what)).init, str(null))
        dump = Dump(self.workdir, options=("-n", "ctx"))
        self.assertEqual((dump.export, dump.cleanup), (null, null))

    def test_refused_calls_deliver_no_chunk(self):
        make_store(self.store, {"0550-r": b"record"})
        cases = [
            ((601, 600), (), "WORM_ERR_BAD_RANGE"),
            ((500, 600), ("-c", "acme"), "WORM_ERR_NOT_SUPPORTED"),
            ((), ("-n", "ctx"), "WORM_ERR_NULL_ARGUMENT"),
            ((), ("-n", "callback"), "WORM_ERR_NULL_ARGUMENT"),
            ((500, 600), ("-n", "ctx"), "WORM_ERR_NULL_ARGUMENT"),
            ((500, 600), ("-n", "callback"), "WORM_ERR_NULL_ARGUMENT"),
        ]
        for first_last, options, code in cases:
            with self.subTest(first_last=first_last, options=options):
                dump = Dump(self.workdir, first_last=first_last, options=options)
                self.assertEqual((dump.init, dump.export, dump.chunks), ("0", CODES[code], []))

    def test_export_stops_when_a_record_breaks_or_the_callback_asks(self):
        # b-big fills three chunks on its own: it is being read when the first
        # chunk arrives, and c-later is opened only after the third.
        cases = [
            (("-t", 0, "store/b-big"), "WORM_ERR_RECORD_UNREADABLE", 1),  # truncated mid-read
            (("-r", 0, "store/c-later"), "WORM_ERR_RECORD_UNREADABLE", 3),  # vanished
            (("-s", 0), "WORM_ERR_CALLBACK_STOPPED", 1),
            (("-s", 1), "WORM_ERR_CALLBACK_STOPPED", 2),
        ]
        for options, code, chunks in cases:
            with self.subTest(options=options):
                make_store(self.store, {"a-small": b"a", "b-big": b"b" * (3 * CHUNK),
                                        "c-later": b"c"})
                dump = Dump(self.workdir, options=options)
                self.assertEqual(dump.export, CODES[code])
                self.assertEqual(dump.chunks, [CHUNK] * chunks, "chunks after the stop")


class Swaps(StoreCase):
    """A name swapped after the listing, while the export runs: what is opened
    must be what was listed, so the export stops and no byte of the other file
    is in the stream."""

    SECRET = b"the bytes of a file outside the store"

    def swapped_export(self, replaced, make_replacement):
        """Exports a-big, c-later and d-folder/; while a-big is read (chunk 0),
        store_dump puts what make_replacement(path, outside) made in replaced's place."""
        make_store(self.workdir, {"outside/0550-secret": self.SECRET})
        make_store(self.store, {"a-big": b"a" * (3 * CHUNK), "c-later": b"c",
                                "d-folder/0550-record": b"d"})
        make_replacement(os.path.join(self.workdir, "replacement"),
                         os.path.join(self.workdir, "outside"))
        dump = Dump(self.workdir, options=("-w", 0, "store/" + replaced, "replacement"))
        self.assertFalse(self.SECRET in dump.stream, "the other file's bytes are in the stream")
        self.assertEqual(dump.chunks, [CHUNK] * 3, "chunks after the stop")
        return dump

    def test_a_record_swapped_stops_the_export(self):
        def regular_file(path, outside):
            shutil.copy(os.path.join(outside, "0550-secret"), path)

        cases = {"another regular file": regular_file}
        if OPTS.platform == "posix":  # Wine shows a link to a file as that file
            cases["a link to a file outside"] = lambda path, outside: os.symlink(
                os.path.join(outside, "0550-secret"), path)
            cases["a FIFO that no one writes"] = lambda path, outside: os.mkfifo(path)
        for what, make in cases.items():
            with self.subTest(replacement=what):
                dump = self.swapped_export("c-later", make)
                self.assertEqual(dump.export, CODES["WORM_ERR_RECORD_UNREADABLE"])
            shutil.rmtree(self.workdir)
            os.makedirs(self.store)

    def test_a_folder_swapped_for_a_link_stops_the_export(self):
        skip_without_unix_links(self)
        dump = self.swapped_export("d-folder", lambda path, outside: os.symlink(outside, path))
        self.assertEqual(dump.export, CODES["WORM_ERR_STORE_UNREADABLE"])


class WindowsDrives(StoreCase):
    """A drive letter alone means that drive's root; Windows paths work as given."""

    def setUp(self):
        super().setUp()
        if OPTS.platform != "windows":
            self.skipTest("Windows drives only")

    def test_drive_letters_and_windows_paths(self):
        records = {"0500-a": b"a", "sub/0600-b": b"b"}
        make_store(self.store, records)
        want = self.records(records)
        # Wine's drive W: is made to be this store; C: is Wine's drive_c.
        prefix = os.environ.get("WINEPREFIX")
        if not prefix:
            self.skipTest("makes drive letters as Wine does: runs under Wine")
        letter = os.path.join(prefix, "dosdevices", "w:")
        if os.path.lexists(letter):
            os.remove(letter)
        os.symlink(os.path.abspath(self.store), letter)
        on_c = os.path.basename(self.workdir)
        shutil.copytree(self.store, os.path.join(prefix, "drive_c", on_c))
        try:
            for drive in ["W:", "w:", "W:\\", f"C:\\{on_c}", f"C:\\{on_c}\\", f"C:/{on_c}"]:
                with self.subTest(drive=drive):
                    self.assert_reads_back(Dump(self.workdir, drive), want)
        finally:
            os.remove(letter)
            shutil.rmtree(os.path.join(prefix, "drive_c", on_c))

    def test_a_drive_in_the_ansi_code_page(self):
        # Windows hands a program its arguments in the ANSI code page (1252 in
        # the tests' Wine): these are there, and all but the u-umlaut past Latin-1.
        drive = "Pr\u00fcfung-\u20ac-\u2014"
        make_store(os.path.join(self.workdir, drive), {"0500-a": b"a", "sub/0600-b": b"b"})
        self.assert_reads_back(Dump(self.workdir, drive),
                               store_tree(os.path.join(self.workdir, drive)))


class Codes(unittest.TestCase):
    def test_the_readme_gives_each_code_as_compiled_and_as_the_header_words_it(self):
        with open(os.path.join(OPTS.source, "wormapi", "worm_store.h")) as f:
            header = {name: (int(n), text) for name, n, text in re.findall(
                r"^ *(WORM_\w+) = (\d+),? */\* (.*) \*/$", f.read(), re.M)}
        with open(os.path.join(OPTS.source, "README.md")) as f:
            readme = {name: (int(n), text) for n, name, text in re.findall(
                r"^\| *(\d+) \| `(WORM_\w+)` \| (.*) \|$", f.read(), re.M)}
        self.assertEqual(readme, header)
        self.assertEqual({name: n for name, (n, _) in header.items()}, CODES)


class Tool(StoreCase):
    def test_tool_on_the_sample_store(self):
        tool = shlex.split(OPTS.launcher) + [os.path.abspath(OPTS.tool), OPTS.sample, "demo"]
        done = subprocess.run(tool, capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
        # Six records in the full export, three in the filtered one, each one
        # header block and one data block, then the two closing zero blocks.
        want = tool_output(OPTS.sample, "demo", full=(0, [7168]), filtered=(0, [4096]))
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assertEqual(done.stdout.replace(b"\r\n", b"\n").decode(), want)


def main():
    global OPTS, CODES, CHUNK
    parser = argparse.ArgumentParser()
    parser.add_argument("--dump", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--source", required=True, help="the project's top folder")
    parser.add_argument("--platform", choices=["posix", "windows"], default="posix")
    parser.add_argument("--launcher", default="")
    OPTS, rest = parser.parse_known_args()
    OPTS.sample = os.path.join(OPTS.source, "examples", "sample_store")
    CODES, CHUNK = read_constants()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
