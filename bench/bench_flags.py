"""What reading the flag costs: one quantity (delta) over a million options,
the flag given as bools and as text in every form a column comes in, each
call timed against the bool-flag call in the same run (best of N rounds).
Target: every text form within 1.2x of the bool-flag call. pandas, pyarrow
and polars rows appear where those are installed. Nothing asserts on time.

Run:  python bench/bench_flags.py [--n N] [--repeat R] [--threads T] [--clock cpu]

--clock cpu (with --threads 1) times the process's CPU time instead of the
wall clock: on a shared machine under load, the time spent waiting for a core
then drops out (cache and memory contention stay in).
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _common  # noqa: E402
import kestrovane  # noqa: E402
import numpy as np  # noqa: E402

TARGET = 1.2


def forms(calls: np.ndarray) -> dict[str, object]:
    words = np.where(calls, "call", "put")
    letters = np.where(calls, "C", "p")
    found: dict[str, object] = {
        "bool array": calls,
        "NumPy <U1 ('C'/'p')": letters,
        "NumPy <U4 ('call'/'put')": words,
        "NumPy S4 (bytes)": words.astype("S4"),
        # Each item its own str object, as after astype(object) or a file read.
        "object array, distinct str objects": words.astype(object),
        "object array, two shared str objects": np.array(["call", "put"], dtype=object)[
            (~calls).astype(np.intp)
        ],
    }
    if hasattr(np.dtypes, "StringDType"):
        found["NumPy StringDType"] = words.astype(np.dtypes.StringDType())
    try:
        import pandas as pd

        found["pandas object Series"] = pd.Series(words.astype(object), dtype=object)
        found["pandas categorical Series"] = pd.Series(pd.Categorical(words))
        found["pandas string[python] Series"] = pd.Series(words, dtype="string[python]")
        try:
            import pyarrow  # noqa: F401

            found["pandas string[pyarrow] Series"] = pd.Series(words, dtype="string[pyarrow]")
        except ImportError:
            pass
    except ImportError:
        pass
    try:
        import polars as pl

        found["polars String Series"] = pl.Series(words)
        found["polars Categorical Series"] = pl.Series(words, dtype=pl.Categorical)
    except ImportError:
        pass
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--clock", choices=["wall", "cpu"], default="wall")
    args = parser.parse_args()
    if args.clock == "cpu" and args.threads != 1:
        # Process time adds up every thread's: not the time a caller waits.
        parser.error("--clock cpu times one-thread calls only: use --threads 1")

    rng = np.random.default_rng(20240611)
    n = args.n
    S, K = rng.uniform(50, 150, n), rng.uniform(50, 150, n)
    t, sigma = rng.uniform(0.05, 2.0, n), rng.uniform(0.05, 0.8, n)
    calls = rng.random(n) < 0.5
    flags = forms(calls)

    def call(flag):
        def run():
            got = kestrovane.greeks(
                "bsm",
                flag=flag,
                S=S,
                K=K,
                t=t,
                r=0.03,
                sigma=sigma,
                q=0.01,
                quantities=["delta"],
                threads=args.threads,
            )
            return got["delta"] if isinstance(got, dict) else got

        return run, None

    reference = np.asarray(call(calls)[0]())
    for label, flag in flags.items():  # every form must price as the bools do
        if not np.array_equal(np.asarray(call(flag)[0]()).reshape(-1), reference):
            raise SystemExit(f"{label}: results differ from the bool-flag call")

    clock = time.process_time_ns if args.clock == "cpu" else time.perf_counter_ns
    best = _common.best_seconds(
        {label: call(flag) for label, flag in flags.items()}, args.repeat, clock
    )
    table = _common.Table(["flag given as", "ms", "x bool call", "target", "status"])
    for label, seconds in best.items():
        ratio = seconds / best["bool array"]
        met = "-" if label == "bool array" else ("met" if ratio <= TARGET else "MISSED")
        table.add(label, f"{seconds * 1e3:.2f}", f"{ratio:.2f}", f"<= {TARGET}", met)
    print(f"{_common.describe_run()}")
    print(
        f"greeks(bsm, delta), n = {n:,}, threads = {args.threads}, best of {args.repeat}, "
        f"{args.clock} clock"
    )
    print(table.text())


if __name__ == "__main__":
    main()
