"""American exercise: kestrovane's whole book beside QuantLib's fixed-point
American engine (QdFpAmericanEngine), per option, on the benchmark portfolio
of tools/american_accuracy.py, with each setting's error against the fine
reference measured in the same run.

    python bench/bench_american.py [--count 1000]

Needs kestrovane, NumPy and QuantLib (pip install QuantLib; a yardstick only)
in the running interpreter, and g++ for the fine reference. Prints ratios; never
fails on a time.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import american_accuracy  # noqa: E402
import kestrovane  # noqa: E402


def kestrovane_seconds(rows: np.ndarray, accuracy: str, threads: int, repeat: int) -> tuple:
    S, K, t, r, q, sigma = rows.T
    best, price = math.inf, None
    for _ in range(repeat):
        start = time.perf_counter()
        price = kestrovane.greeks(
            "bsm",
            flag="p",
            S=S,
            K=K,
            t=t,
            r=r,
            q=q,
            sigma=sigma,
            quantities=["price"],
            threads=threads,
            exercise="american",
            accuracy=accuracy,
        )["price"]
        best = min(best, time.perf_counter() - start)
    return best, price


def quantlib_seconds(rows: np.ndarray, scheme_name: str, repeat: int) -> tuple:
    import QuantLib as ql

    today = ql.Date(1, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    scheme = getattr(ql.QdFpAmericanEngine, scheme_name)()
    best, prices = math.inf, None
    for _ in range(repeat):
        options = []
        for S, K, t, r, q, sigma in rows:
            days = int(round(t * 365))  # t is a whole number of days
            process = ql.BlackScholesMertonProcess(
                ql.QuoteHandle(ql.SimpleQuote(S)),
                ql.YieldTermStructureHandle(ql.FlatForward(today, q, dc)),
                ql.YieldTermStructureHandle(ql.FlatForward(today, r, dc)),
                ql.BlackVolTermStructureHandle(
                    ql.BlackConstantVol(today, ql.NullCalendar(), sigma, dc)
                ),
            )
            option = ql.VanillaOption(
                ql.PlainVanillaPayoff(ql.Option.Put, K),
                ql.AmericanExercise(today, today + days),
            )
            option.setPricingEngine(ql.QdFpAmericanEngine(process, scheme))
            options.append(option)
        start = time.perf_counter()
        prices = np.array([o.NPV() for o in options])
        best = min(best, time.perf_counter() - start)
    return best, prices


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    rows = american_accuracy.portfolio_sample(args.count)
    fine = american_accuracy.fine_prices(rows)

    def errors(price):
        err = np.abs(price - fine)
        return math.sqrt(np.mean(err**2)), err.max()

    results = {}
    for accuracy in ("fast", "accurate", "high"):
        one, price = kestrovane_seconds(rows, accuracy, 1, args.repeat)
        two, _ = kestrovane_seconds(rows, accuracy, 2, args.repeat)
        results[f"kestrovane {accuracy}"] = (one, two, *errors(price))
    for scheme in ("fastScheme", "accurateScheme", "highPrecisionScheme"):
        seconds, price = quantlib_seconds(rows, scheme, args.repeat)
        results[f"QuantLib {scheme}"] = (seconds, None, *errors(price))

    n = len(rows)
    print(f"{n} American puts, best of {args.repeat}; errors against the fine reference")
    print(f"{'':28} {'us/option':>10} {'2 threads':>10} {'RMSE':>9} {'max':>9}")
    for name, (one, two, rmse, worst) in results.items():
        two_text = f"{two / n * 1e6:10.2f}" if two is not None else f"{'-':>10}"
        print(f"{name:28} {one / n * 1e6:10.2f} {two_text} {rmse:9.1e} {worst:9.1e}")
    print("\nQuantLib's time over kestrovane's, at equal or better kestrovane accuracy (RMSE):")
    for scheme in ("fastScheme", "accurateScheme", "highPrecisionScheme"):
        ql_time, _, ql_rmse, _ = results[f"QuantLib {scheme}"]
        for accuracy in ("fast", "accurate", "high"):
            one, two, rmse, _ = results[f"kestrovane {accuracy}"]
            if rmse <= ql_rmse:
                print(
                    f"  {scheme:20} vs {accuracy:8}: {ql_time / one:7.1f}x on one thread, "
                    f"two threads {one / two:4.2f}x one"
                )
                break
        else:
            print(f"  {scheme:20}: no kestrovane setting as accurate")


if __name__ == "__main__":
    main()
