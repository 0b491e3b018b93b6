"""kestrovane.scenarios against the what-if grid written by hand.

A book of random options (text flags, per-option rates) under spot -5 %, 0,
+5 % and sigma -1, 0, +1 point, all sixteen quantities. The hand-written
version turns every column into a [:, None, None] array and bumps S and sigma
along the new axes, as a NumPy user would, in one ``greeks`` call;
``scenarios`` is timed with the same NumPy columns and with a pandas
DataFrame's columns (DataFrame out). Prints the minimum of interleaved rounds
and the ratio hand-written / scenarios (above 1: scenarios is faster).

    python bench/bench_scenarios.py [--n 200000] [--rounds 7] [--threads 1]
"""

from __future__ import annotations

import argparse
import gc
import time

import kestrovane as kv
import numpy as np

SPOT, VOL = [-0.05, 0.0, 0.05], [-0.01, 0.0, 0.01]


def book(n: int, seed: int = 11) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    return {
        "flag": rng.choice(np.array(["call", "put"]), n),
        "S": rng.uniform(80, 120, n),
        "K": rng.uniform(60, 140, n),
        "t": rng.uniform(0.02, 2.0, n),
        "r": rng.uniform(0.0, 0.05, n),
        "sigma": rng.uniform(0.05, 0.8, n),
    }


def by_hand(inputs: dict[str, np.ndarray], threads: int | None) -> dict[str, np.ndarray]:
    column = {name: values[:, None, None] for name, values in inputs.items()}
    column["S"] = column["S"] * (1 + np.array(SPOT))[None, :, None]
    column["sigma"] = column["sigma"] + np.array(VOL)[None, None, :]
    return kv.greeks("bsm", q=0.01, threads=threads, **column)


def with_scenarios(inputs: dict[str, object], threads: int | None) -> object:
    bumps = {"S": kv.relative(SPOT), "sigma": kv.absolute(VOL)}
    return kv.scenarios("bsm", bumps=bumps, q=0.01, threads=threads, **inputs)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()

    inputs = book(args.n)
    cases = {
        "by hand, [:, None, None] columns": lambda: by_hand(inputs, args.threads),
        "scenarios, NumPy columns": lambda: with_scenarios(inputs, args.threads),
    }
    try:
        import pandas as pd

        frame = pd.DataFrame(inputs, index=pd.RangeIndex(args.n, name="row"))
        columns = {name: frame[name] for name in frame}
        cases["scenarios, DataFrame columns"] = lambda: with_scenarios(columns, args.threads)
    except ImportError:
        pass

    hand, mine = by_hand(inputs, args.threads), with_scenarios(inputs, args.threads)
    same = all(np.array_equal(hand[q], mine[q], equal_nan=True) for q in kv.QUANTITIES)
    best = dict.fromkeys(cases, float("inf"))
    for _ in range(args.rounds):
        for name, case in cases.items():
            gc.collect()
            start = time.perf_counter()
            result = case()
            best[name] = min(best[name], time.perf_counter() - start)
            del result

    elements = args.n * len(SPOT) * len(VOL)
    print(f"{args.n:,} options x {len(SPOT) * len(VOL)} scenarios, all 16 quantities, "
          f"threads={args.threads}, best of {args.rounds}; results equal: {same}")  # fmt: skip
    base = best["by hand, [:, None, None] columns"]
    for name, seconds in best.items():
        print(f"  {name:<34} {seconds * 1e3:8.1f} ms  {seconds / elements * 1e9:6.1f} ns/el"
              f"  by hand / this: {base / seconds:.2f}x")  # fmt: skip


if __name__ == "__main__":
    main()
