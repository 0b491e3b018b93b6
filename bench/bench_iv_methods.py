"""The book's two implied-volatility methods on a realistic book, in one run.

10^5 Black-76 options (F = 100, r = 3 %): expiries from a week to 3 years,
volatilities from 10 % to 60 %, strikes within two standard deviations of the
forward, calls and puts mixed. Times are per option, the minimum over rounds;
the unit is black76_black_array on the same options (one price each).
Nothing asserts on time: the ratios sit beside their targets.

Run:  python bench/bench_iv_methods.py [--n N] [--repeat R]
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _common  # noqa: E402
import kestrovane  # noqa: E402
import numpy as np  # noqa: E402

F, R = 100.0, 0.03


def book(n: int, seed: int = 20261207):
    rng = np.random.default_rng(seed)
    t = rng.uniform(1 / 52, 3.0, n)
    sigma = rng.uniform(0.1, 0.6, n)
    K = F * np.exp(rng.uniform(-2.0, 2.0, n) * sigma * np.sqrt(t))
    calls = rng.random(n) < 0.5
    price = np.where(
        calls,
        kestrovane.black76_black_array("c", np.full(n, F), K, t, R, sigma),
        kestrovane.black76_black_array("p", np.full(n, F), K, t, R, sigma),
    )
    return price, K, t, sigma, calls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=7)
    options = parser.parse_args()
    n = options.n
    price, K, t, sigma, calls = book(n)
    Fs = np.full(n, F)
    iv = dict(price=price, F=F, K=K, t=t, r=R, flag=calls)

    def solve(method: str, threads: int | None):
        return lambda: kestrovane.implied_volatility(
            "black76", method=method, threads=threads, **iv
        )

    cases = {
        "price": (lambda: kestrovane.black76_black_array("c", Fs, K, t, R, sigma), None),
        "rational": (solve("rational", 1), None),
        "newton": (solve("newton", 1), None),
    }
    for call, _ in cases.values():
        call()  # warm-up
    ns = {k: v * 1e9 / n for k, v in _common.best_seconds(cases, options.repeat).items()}
    # The threads' gain on its own, the two calls alternating over more rounds:
    # a two-thread call of a few milliseconds is the likeliest to meet another
    # process on one of the cores, and after a slow neighbour its caches are cold.
    threads = {
        "rational, one thread": (solve("rational", 1), None),
        "rational, all cores": (solve("rational", None), None),
    }
    ns.update(
        {k: v * 1e9 / n for k, v in _common.best_seconds(threads, 3 * options.repeat).items()}
    )
    cores = len(os.sched_getaffinity(0))
    got = kestrovane.implied_volatility("black76", **iv)
    worst = float(np.max(np.abs(got / sigma - 1)))

    print(_common.describe_run())
    print(f"{n:,} options; black76_black_array {ns['price']:.1f} ns per option (the unit)")
    rows = [
        ("rational, threads=1: price calls per option", ns["rational"] / ns["price"], "<= 5"),
        ("newton, threads=1: price calls per option", ns["newton"] / ns["price"], "-"),
        ("newton / rational, threads=1", ns["newton"] / ns["rational"], ">= 4"),
        (f"rational, threads=1 / threads=None ({cores} cores)",
         ns["rational, one thread"] / ns["rational, all cores"], ">= 1.8"),
    ]  # fmt: skip
    for label, ratio, target in rows:
        print(f"  {label:<52}{ratio:>8.2f}   target {target}")
    for key in ("rational", "newton", "rational, all cores"):
        print(f"  {key:<52}{ns[key]:>8.1f} ns per option")
    print(f"  rational: largest relative difference from the generating sigma {worst:.1e}")


if __name__ == "__main__":
    main()
