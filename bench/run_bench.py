#!/usr/bin/env python3
"""Benchmark of worm_export on the stand-in store.

For each store size it generates a store in a temporary folder (many records of
mixed sizes, some of them in transactions 500..600, in a few folders), warms the
page cache, and times, interleaved and several times each:
  floor  export_floor: the two exports with a callback that does nothing
  tool   worm_export on the store, stdout to a file
  tar    tar -cf - -C STORE . | cat > /dev/null  (GNU tar skips reading for /dev/null)
It prints the medians, the ratios tool/floor and floor/tar, and the tool's peak
resident memory (GNU time -v).

  bench/run_bench.py [--build build/native] [--sizes 64M,1G] [--runs 7]
"""
import argparse
import os
import random
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/native", help="a native build folder")
    parser.add_argument("--sizes", default="64M,1G")
    parser.add_argument("--runs", type=int, default=7)
    opts = parser.parse_args()

    print(f"machine: {os.cpu_count()} cores, "
          f"{os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / 2**30:.0f} GiB; "
          f"medians of {opts.runs} runs")
    print(f"{'store':>8} {'records':>8} {'chunks':>7} {'floor s':>8} {'tool s':>8} "
          f"{'tar s':>8} {'tool/floor':>10} {'floor/tar':>9} {'tool peak RSS':>14}")
    peaks = []
    for size_text in opts.sizes.split(","):
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
    print(f"peak RSS spread: {max(peaks) - min(peaks)} KiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
