#!/usr/bin/env python3
"""Benchmark of worm_export on the stand-in store, and of its lines.

Stores: for each store size it generates a store in a temporary folder (many
records of mixed sizes, some of them in transactions 500..600, in a few
folders), warms the page cache, and times, interleaved and several times each:
  floor  export_floor: the two exports with a callback that does nothing
  tool   worm_export on the store, stdout to a file
  tar    tar -cf - -C STORE . | cat > /dev/null  (GNU tar skips reading for /dev/null)
It prints the medians, the ratios tool/floor and floor/tar, and the tool's peak
resident memory (GNU time -v).

Small chunks: for the native build and each Windows build found (under Wine),
the tool runs against chunk_source, a WormAPI that hands back --chunks chunks of
512 bytes per export without reading anything, stdout to a file, interleaved
with line_floor, which makes the same calls and writes the same bytes with one
system call a line.  Each runs with the chunks and with none; the time per line
is the difference of the medians over the lines (so the start, Wine's above all,
drops out).  One run of each under strace counts the write calls a line.

  bench/run_bench.py [--build build/native] [--sizes 64M,1G] [--runs 7]
                     [--chunks 100000] [--windows build/win64,build/win32,...]
"""
import argparse
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    return int(float(text[:-1]) * units[text[-1].upper()]) if text[-1].isalpha() else int(text)


def make_store(root, total):
    """Records of mixed sizes up to total bytes; about one in five is in 500..600."""
    rng = random.Random(total)
    block = rng.randbytes(1 << 20)
    written = count = 0
    while written < total:
        kind = rng.random()
        size = (rng.randint(0, 16 << 10) if kind < 0.5 else
                rng.randint(16 << 10, 1 << 20) if kind < 0.9 else
                rng.randint(1 << 20, 8 << 20))
        size = min(size, total - written)
        transaction = rng.randint(500, 600) if rng.random() < 0.2 else rng.choice(
            [rng.randint(1, 499), rng.randint(601, 9999)])
        folder = os.path.join(root, f"day-{count % 16:02d}")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, f"{transaction:04d}-record-{count:06d}.bin"), "wb") as f:
            for start in range(0, size, len(block)):
                f.write(block[: min(len(block), size - start)])
        written += size
        count += 1
    return count


def timed(command, stdout):
    start = time.perf_counter()
    subprocess.run(command, stdout=stdout, check=True)
    return time.perf_counter() - start


def peak_rss_kib(command):
    done = subprocess.run(["/usr/bin/time", "-v"] + command, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, check=True)
    for line in done.stderr.splitlines():
        if "Maximum resident set size" in line:
            return int(line.split(":")[1])
    raise RuntimeError("no peak memory in GNU time's report")


def bench(store, build, runs, workdir):
    tool = [os.path.join(build, "bin", "worm_export"), store, "bench"]
    floor = [os.path.join(build, "bin", "export_floor"), store]
    tar = ["bash", "-c", f"tar -cf - -C '{store}' . | cat > /dev/null"]
    out_path = os.path.join(workdir, "tool.out")
    subprocess.run(tar, check=True)  # warms the page cache
    times = {"floor": [], "tool": [], "tar": []}
    for _ in range(runs):
        times["floor"].append(timed(floor, subprocess.DEVNULL))
        with open(out_path, "wb") as out:
            times["tool"].append(timed(tool, out))
        times["tar"].append(timed(tar, subprocess.DEVNULL))
    with open(out_path) as out:
        lines = sum(1 for line in out if line.startswith("chunk no:"))
    return {k: statistics.median(v) for k, v in times.items()}, lines, peak_rss_kib(tool)


WINDOWS_BUILDS = "build/win64,build/win32,build/win32-stdcall"
WRITE_CALLS = "write,writev,pwrite64,pwritev,pwritev2"


def cache_value(build, name):
    """A setting from the build's CMake cache, or None."""
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip() or None
    return None


def small_chunk_setup(build, workdir):
    """Copies the tool, line_floor and chunk_source into workdir; returns the
    launcher and environment that run them, or None where they cannot run."""
    windows = os.path.exists(os.path.join(build, "bin", "worm_export.exe"))
    exe = ".exe" if windows else ""
    library = "WormAPI.dll" if windows else "libWormAPI.so"
    sources = [os.path.join(build, "bin", "worm_export" + exe),
               os.path.join(build, "bench", "small_chunks", "line_floor" + exe),
               os.path.join(build, "bench", "small_chunks", library)]
    if not all(os.path.exists(p) for p in sources):
        return None
    for path in sources:
        shutil.copy(path, workdir)
    env = dict(os.environ)
    env.pop("LD_LIBRARY_PATH", None)
    if not windows:
        return [], env
    wine = cache_value(build, "WINE64") or cache_value(build, "WINE32")
    if not wine:
        return None
    env.update(WINEPREFIX=os.path.abspath(os.path.join(build, "wine-prefix")),
               WINEDEBUG="-all", QEMU_RESERVED_VA="0x81000000")
    return [wine], env


def line_run(launcher, env, workdir, program, chunks, strace_to=None):
    """Runs program on chunks chunks an export, stdout to a file; returns the
    seconds it took and its output."""
    out_path = os.path.join(workdir, program + ".out")
    exe = program + (".exe" if launcher else "")  # a launcher is Wine
    command = launcher + [os.path.join(workdir, exe), "E:", "bench"]
    if strace_to:
        command = ["strace", "-f", "-qq", "--seccomp-bpf", "-e", "signal=none",
                   "-e", "trace=" + WRITE_CALLS, "-P", out_path, "-o", strace_to] + command
    with open(out_path, "wb") as out:
        start = time.perf_counter()
        subprocess.run(command, stdout=out, env=dict(env, WORM_BENCH_CHUNKS=str(chunks)),
                       cwd=workdir, check=True)
        seconds = time.perf_counter() - start
    with open(out_path, "rb") as out:
        return seconds, out.read()


def writes_per_line(launcher, env, workdir, program, chunks):
    trace = os.path.join(workdir, "trace.txt")
    _, output = line_run(launcher, env, workdir, program, chunks, strace_to=trace)
    pattern = re.compile(r"^(\d+ +)?(" + WRITE_CALLS.replace(",", "|") + r")\(")
    with open(trace) as f:
        writes = sum(1 for line in f if pattern.match(line))
    return writes / output.count(b"\n")


def small_chunks(build, chunks, runs):
    """One row of the small-chunk table, or None where the build cannot run."""
    workdir = tempfile.mkdtemp(prefix="worm_lines_")
    setup = None
    try:
        setup = small_chunk_setup(build, workdir)
        if setup is None:
            return None
        launcher, env = setup
        if launcher:  # one Wine server for all the runs: starting one takes a while
            server = os.path.join(os.path.dirname(launcher[0]), "wineserver")
            subprocess.run([server, "-p"], env=env, check=True)
        for program in ("worm_export", "line_floor"):  # Wine's first start is slow
            line_run(launcher, env, workdir, program, 0)
        times = {(p, n): [] for p in ("worm_export", "line_floor") for n in (0, chunks)}
        outputs = {}
        for _ in range(runs):
            for program, n in times:
                seconds, outputs[program, n] = line_run(launcher, env, workdir, program, n)
                times[program, n].append(seconds)
        if outputs["worm_export", chunks] != outputs["line_floor", chunks]:
            raise RuntimeError(f"{build}: the tool and line_floor printed different lines")
        lines = outputs["worm_export", chunks].count(b"\n") - outputs["worm_export", 0].count(b"\n")
        median = {k: statistics.median(v) for k, v in times.items()}
        per_line = {p: (median[p, chunks] - median[p, 0]) / lines
                    for p in ("worm_export", "line_floor")}
        return dict(
            start=median["worm_export", 0], tool=per_line["worm_export"],
            floor=per_line["line_floor"],
            tool_writes=writes_per_line(launcher, env, workdir, "worm_export", 2000),
            floor_writes=writes_per_line(launcher, env, workdir, "line_floor", 2000))
    finally:
        if setup and setup[0]:
            subprocess.run([server, "-k"], env=env)
        shutil.rmtree(workdir)


def report_small_chunks(opts):
    print(f"\nsmall chunks: {opts.chunks} chunks of 512 bytes an export, "
          f"{2 * opts.chunks} chunk lines; medians of {opts.runs} interleaved runs")
    print(f"{'build':>20} {'start s':>8} {'tool us/line':>12} {'floor us/line':>13} "
          f"{'tool/floor':>10} {'tool writes/line':>16} {'floor writes/line':>17}")
    for build in [opts.build] + opts.windows.split(","):
        row = small_chunks(build, opts.chunks, opts.runs) if os.path.isdir(build) else None
        if row is None:
            print(f"{build:>20}  not built, or nothing here runs it")
            continue
        print(f"{build:>20} {row['start']:>8.3f} {row['tool'] * 1e6:>12.2f} "
              f"{row['floor'] * 1e6:>13.2f} {row['tool'] / row['floor']:>10.3f} "
              f"{row['tool_writes']:>16.2f} {row['floor_writes']:>17.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/native", help="a native build folder")
    parser.add_argument("--sizes", default="64M,1G", help="store sizes; empty leaves that part out")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--chunks", type=int, default=100000,
                        help="small chunks an export; 0 leaves that part out")
    parser.add_argument("--windows", default=WINDOWS_BUILDS,
                        help="Windows build folders to run under Wine, comma-separated")
    opts = parser.parse_args()

    print(f"machine: {os.cpu_count()} cores, "
          f"{os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / 2**30:.0f} GiB; "
          f"medians of {opts.runs} runs")
    print(f"{'store':>8} {'records':>8} {'chunks':>7} {'floor s':>8} {'tool s':>8} "
          f"{'tar s':>8} {'tool/floor':>10} {'floor/tar':>9} {'tool peak RSS':>14}")
    peaks = []
    for size_text in filter(None, opts.sizes.split(",")):
        workdir = tempfile.mkdtemp(prefix="worm_bench_")
        try:
            store = os.path.join(workdir, "store")
            records = make_store(store, parse_size(size_text))
            t, chunks, peak = bench(store, opts.build, opts.runs, workdir)
        finally:
            shutil.rmtree(workdir)
        peaks.append(peak)
        print(f"{size_text:>8} {records:>8} {chunks:>7} {t['floor']:>8.3f} {t['tool']:>8.3f} "
              f"{t['tar']:>8.3f} {t['tool'] / t['floor']:>10.3f} {t['floor'] / t['tar']:>9.3f} "
              f"{peak:>10} KiB")
    if peaks:
        print(f"peak RSS spread: {max(peaks) - min(peaks)} KiB")
    if opts.chunks:
        report_small_chunks(opts)
    return 0


if __name__ == "__main__":
    sys.exit(main())
