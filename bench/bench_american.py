"""American exercise: kestrovane's whole book beside QuantLib's fixed-point
American engine (QdFpAmericanEngine), per option, on the benchmark portfolio
of tools/american_accuracy.py, with each setting's error against the fine
reference measured in the same run.

    python bench/bench_american.py [--count 1000] [--iv-count 100000]

Then the American implied volatility of --iv-count puts of the portfolio at
random volatilities (those with a vega of at least 0.01 per volatility point,
where the price says something about the volatility), from their `accurate`
prices, on one thread: the time and how many come back SOLVED within 1e-8 of
the volatility that made the price.

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


def kestrovane_seconds(rows: np.ndarray, accuracy: str, repeat: int) -> tuple:
    """Best seconds on one thread and on two, the two calls alternating (so
    that another process on one core, or a slower spell of the machine,
    meets both alike), and the prices."""
    best, price = {1: math.inf, 2: math.inf}, None
    for _ in range(repeat):
        for threads in (1, 2):
            start = time.perf_counter()
            price = american_accuracy.american(rows, accuracy, threads=threads)["price"]
            best[threads] = min(best[threads], time.perf_counter() - start)
    return best[1], best[2], price


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


def iv_run(count: int, repeat: int) -> None:
    rng = np.random.default_rng(26)
    rows = american_accuracy.portfolio()[rng.choice(8400, 2 * count)]
    S, K, t, r, q, _ = rows.T
    sigma = rng.uniform(0.1, 0.6, len(rows))

    def book(accuracy, quantity, **inputs):
        args = dict(flag="p", S=S, K=K, t=t, r=r, q=q, exercise="american", accuracy=accuracy)
        args.update(inputs)
        return kestrovane.greeks("bsm", quantities=[quantity], **args)[quantity]

    keep = np.flatnonzero(book("fast", "vega", sigma=sigma) >= 0.01)[:count]
    S, K, t, r, q, sigma = S[keep], K[keep], t[keep], r[keep], q[keep], sigma[keep]
    price = book("accurate", "price", sigma=sigma)
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        vol, status = kestrovane.implied_volatility(
            "bsm",
            price=price,
            S=S,
            K=K,
            t=t,
            r=r,
            q=q,
            flag="p",
            status=True,
            threads=1,
            exercise="american",
            accuracy="accurate",
        )
        best = min(best, time.perf_counter() - start)
    good = (status == 0) & (np.abs(vol - sigma) <= 1e-8)
    print(
        f"\nAmerican implied volatility of {len(S)} puts (accurate prices, one thread): "
        f"{best:.2f} s (target < 1 s per 100000: {best / len(S) * 1e5:.2f} s), "
        f"{good.sum()} SOLVED within 1e-8, largest error {np.nanmax(np.abs(vol - sigma)):.1e}"
    )


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--iv-count", type=int, default=100_000)
    args = parser.parse_args()
    rows = american_accuracy.portfolio_sample(args.count)
    fine = american_accuracy.fine_prices(rows)

    def errors(price):
        err = np.abs(price - fine)
        return math.sqrt(np.mean(err**2)), err.max()

    results = {}
    for accuracy in ("fast", "accurate", "high"):
        one, two, price = kestrovane_seconds(rows, accuracy, args.repeat)
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
    print(
        "\nQuantLib's time over kestrovane's fastest setting of equal or better accuracy "
        "(RMSE); targets: >= 10x on one thread, two threads >= 1.8x one:"
    )
    for scheme in ("fastScheme", "accurateScheme", "highPrecisionScheme"):
        ql_time, _, ql_rmse, _ = results[f"QuantLib {scheme}"]
        matches = [
            (results[f"kestrovane {accuracy}"][0], accuracy)
            for accuracy in ("fast", "accurate", "high")
            if results[f"kestrovane {accuracy}"][2] <= ql_rmse
        ]
        if not matches:
            print(f"  {scheme:20}: no kestrovane setting as accurate")
            continue
        one, accuracy = min(matches)
        two = results[f"kestrovane {accuracy}"][1]
        print(
            f"  {scheme:20} vs {accuracy:8}: {ql_time / one:7.1f}x on one thread, "
            f"two threads {one / two:4.2f}x one"
        )
    if args.iv_count:
        iv_run(args.iv_count, 1)


if __name__ == "__main__":
    main()
