"""`python -m kestrovane book` against pyarrow alone, on one Parquet file.

Writes a file of random options (an id, text flags "call"/"put", S, K, t, r,
sigma, q), runs the command on it (all sixteen quantities, input columns
kept) in a fresh process, and times pyarrow reading the input and writing
the command's result -- the same table, with the same writer settings -- as
the yardstick. Prints both times, their ratio (target: command <= 2x), and
the command's peak resident memory, its VmHWM (target: <= 1 GB). Times are the best of
--rounds; the files go to a temporary folder (--dir), removed at the end.

    python bench/bench_batch.py [--rows 10000000] [--rounds 3] [--dir /tmp]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq


def make_input(path: str, rows: int, seed: int = 17) -> None:
    rng = np.random.default_rng(seed)
    step = 1 << 21
    writer = None
    for start in range(0, rows, step):
        n = min(step, rows - start)
        table = pa.table(
            {
                "id": np.arange(start, start + n),
                "flag": pa.array(np.where(rng.random(n) < 0.5, "call", "put")),
                "S": rng.uniform(80, 120, n),
                "K": rng.uniform(60, 140, n),
                "t": rng.uniform(0.02, 2.0, n),
                "r": rng.uniform(0.0, 0.05, n),
                "sigma": rng.uniform(0.05, 0.8, n),
                "q": rng.uniform(0.0, 0.03, n),
            }
        )
        if writer is None:
            writer = pq.ParquetWriter(path, table.schema)
        writer.write_table(table)
    assert writer is not None
    writer.close()


# The command, reporting its own resident high-water mark at exit: the
# children's ru_maxrss would include this process's size at the fork.
RUN_AND_REPORT = """
import runpy, sys
sys.argv = ["kestrovane", *sys.argv[1:]]
try:
    runpy.run_module("kestrovane", run_name="__main__", alter_sys=True)
finally:
    sys.stderr.write(next(l for l in open("/proc/self/status") if l.startswith("VmHWM")))
"""


def run_command(source: str, target: str) -> tuple[float, float]:
    """Wall time and peak resident memory (bytes) of the command in a fresh process."""
    argv = [sys.executable, "-c", RUN_AND_REPORT, "book", source, "-o", target]
    start = time.perf_counter()
    done = subprocess.run(argv, check=True, stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - start
    return elapsed, float(done.stderr.split()[-2]) * 1024.0


def pyarrow_alone(source: str, result: pa.Table, target: str) -> tuple[float, float]:
    """Reading the input, and writing the result as the command writes it."""
    start = time.perf_counter()
    pq.read_table(source)
    read = time.perf_counter() - start
    text = [f.name for f in result.schema if not pa.types.is_floating(f.type)]
    start = time.perf_counter()
    pq.write_table(result, target, use_dictionary=text)
    return read, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dir", default=None, help="folder for the files (default: temporary)")
    args = parser.parse_args()

    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"load average {load} (two cores shared: rerun when it is high)")
    folder = tempfile.mkdtemp(prefix="kestrovane-bench-", dir=args.dir)
    try:
        source = os.path.join(folder, "in.parquet")
        target = os.path.join(folder, "out.parquet")
        start = time.perf_counter()
        make_input(source, args.rows)
        print(f"{args.rows:,} rows, {os.path.getsize(source) / 1e6:,.0f} MB written "
              f"in {time.perf_counter() - start:.1f} s")  # fmt: skip

        command, peak = float("inf"), 0.0
        reads, writes = [], []
        for _ in range(args.rounds):
            elapsed, rss = run_command(source, target)
            command, peak = min(command, elapsed), max(peak, rss)
            result = pq.read_table(target)
            read, write = pyarrow_alone(source, result, os.path.join(folder, "alone.parquet"))
            reads.append(read)
            writes.append(write)
            del result
        alone = min(reads) + min(writes)
        print(f"result: {os.path.getsize(target) / 1e6:,.0f} MB, "
              f"{len(pq.ParquetFile(target).schema_arrow)} columns")  # fmt: skip
        print(f"pyarrow alone: read {min(reads):.2f} s + write {min(writes):.2f} s = {alone:.2f} s")
        print(f"python -m kestrovane book: {command:.2f} s (a fresh process, all 16 quantities)")
        print(f"command / pyarrow alone: {command / alone:.2f}x (target <= 2x)")
        print(f"peak resident memory of the command: {peak / 1e6:,.0f} MB (target <= 1,000 MB)")
        print("load average at the end " + ", ".join(f"{x:.2f}" for x in os.getloadavg()))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
