#!/usr/bin/env python3
"""Implied volatility across a whole Black-76 surface, against mpmath.

The grid: F = 100, r = 3 %, expiries from one day to 30 years, ln(K/F) from -3 to +3,
volatilities from 1 % to 490 %, calls and puts. Each price is computed in 60-digit
arithmetic and rounded to a double; the truth is the exact inverse of that double
(Newton's method in mpmath from the generating volatility). A row's floor is how well its
double price fixes the volatility at all:

    floor = kappa * ulp(p) / 2 / p,   kappa = p / (sigma * vega)

and a double answer can be no closer than its own rounding, so the tolerances below are
taken against max(floor, ulp(sigma) / 2 / sigma). Rows are classed well-posed (floor <=
1e-12), ill-conditioned (floor <= 1e-3) or ill-posed (the rest, and prices that are 0).

Requirements checked, per method: every well-posed row SOLVED and within 10x its floor;
every ill-conditioned row within 100x; no row anywhere SOLVED while more than 1e-6 off.
Prints, for each method, digits by price band and the failures; exits 1 when the default
method fails one.

    python tools/iv_surface.py                  # the whole grid, both methods
    python tools/iv_surface.py --write-slice    # also tests/data/iv_surface_slice.json

tools/iv_mend_compare.py builds a finer grid with the same functions. Needs mpmath,
NumPy and an installed kestrovane.
"""

from __future__ import annotations

import argparse
import json
import math
import multiprocessing
import sys
from pathlib import Path

import mpmath as mp
import numpy as np

F, R = 100.0, 0.03
EXPIRIES = [1 / 365, 1 / 52, 1 / 12, 0.25, 0.5, 1.0, 2.0, 5.0, 10.0, 30.0]
LOG_MONEYNESS = [k / 4 for k in range(-12, 13)]
VOLATILITIES = [0.01, 0.02, 0.05, 0.1, 0.15, 0.2, 0.21, 0.3, 0.5, 0.75, 1.0, 1.5, 2.0, 3.0, 4.9]
WELL_POSED, ILL_CONDITIONED = 1e-12, 1e-3
BANDS = [1e-100, 1e-12, 1e-6, 1e-2, 1.0]
SLICE = Path(__file__).resolve().parent.parent / "tests" / "data" / "iv_surface_slice.json"


def _ncdf(x: mp.mpf) -> mp.mpf:
    # Beyond 40 the tail is below 1e-349, nothing in a double price; mpmath's erfc is
    # slow (and overflows on some arguments) in the thousands.
    return mp.mpf(0) if x < -40 else mp.mpf(1) if x > 40 else mp.ncdf(x)


def price_and_vega(w: int, K: float, t: float, sigma: mp.mpf) -> tuple[mp.mpf, mp.mpf]:
    st = sigma * mp.sqrt(t)
    d1 = (mp.log(mp.mpf(F) / K) + st * st / 2) / st
    d2 = d1 - st
    discount = mp.exp(-mp.mpf(R) * t)
    price = discount * w * (F * _ncdf(w * d1) - K * _ncdf(w * d2))
    vega = discount * F * mp.npdf(d1) * mp.sqrt(t)
    return price, vega


def bisect(w: int, K: float, t: float, target: mp.mpf) -> mp.mpf | None:
    """The sigma in [1e-8, 1e4] whose price is target (ln sigma halved 160 times), or None."""
    lo, hi = mp.log(mp.mpf("1e-8")), mp.log(mp.mpf("1e4"))
    if (
        not price_and_vega(w, K, t, mp.exp(lo))[0]
        <= target
        <= price_and_vega(w, K, t, mp.exp(hi))[0]
    ):
        return None
    for _ in range(160):
        mid = (lo + hi) / 2
        if price_and_vega(w, K, t, mp.exp(mid))[0] < target:
            lo = mid
        else:
            hi = mid
    return mp.exp((lo + hi) / 2)


def row(args: tuple[int, float, float, float]) -> dict | None:
    """One grid point: its double price, the truth (NaN if none), the floor; None for price 0."""
    w, K, t, sigma = args
    mp.mp.dps = 60
    exact, _ = price_and_vega(w, K, t, mp.mpf(sigma))
    p = float(exact)
    if p <= 0.0 or not math.isfinite(p):
        return None
    # Newton's method on ln(price) over ln(sigma): the double differs from the
    # exact price by half an ulp at most, so the start is close.
    target, s = mp.mpf(p), mp.mpf(sigma)
    no_inverse = dict(
        flag="c" if w > 0 else "p",
        K=K,
        t=t,
        sigma=sigma,
        price=p,
        truth=math.nan,
        truth_exact="nan",
        floor=math.inf,
        point=args,
    )
    for _ in range(10):
        value, vega = price_and_vega(w, K, t, s)
        if vega == 0:
            return None
        step = (mp.log(value) - mp.log(target)) * value / (s * vega)
        if abs(step) > 1:
            # A vega too small to move the price (deep in the money at tiny sigma):
            # the exact inverse may lie anywhere, so it is bracketed instead.
            s = bisect(w, K, t, target)
            if s is None:  # the double lies beyond every model price: no inverse
                return no_inverse
            value, vega = price_and_vega(w, K, t, s)
            break
        s *= mp.exp(-step)
        if abs(step) < mp.mpf(10) ** -45:
            break
    else:
        # Not converged in ten steps: the price is too flat in sigma (deep in the money
        # at a short expiry) for Newton's steps to settle; bracket it instead.
        s = bisect(w, K, t, target)
        if s is None:
            return no_inverse
        value, vega = price_and_vega(w, K, t, s)
    floor = float(target / (s * vega) * mp.mpf(math.ulp(p)) / 2 / target)
    return {
        "flag": "c" if w > 0 else "p",
        "K": K,
        "t": t,
        "sigma": sigma,
        "price": p,
        "truth": float(s),
        "truth_exact": mp.nstr(s, 25),
        "floor": floor,
        "point": args,
    }


def grid(
    expiries: list[float] = EXPIRIES,
    log_moneyness: list[float] = LOG_MONEYNESS,
    volatilities: list[float] = VOLATILITIES,
) -> list[tuple[int, float, float, float]]:
    return [
        (w, float(F * math.exp(k)), t, sigma)
        for w in (1, -1)
        for t in expiries
        for k in log_moneyness
        for sigma in volatilities
    ]


def surface(points: list[tuple[int, float, float, float]], processes: int = 2) -> list[dict]:
    """The rows of the grid points whose double price is positive, in mpmath (minutes)."""
    with multiprocessing.Pool(processes) as pool:
        return [r for r in pool.map(row, points, chunksize=16) if r is not None]


def errors(rows: list[dict], method: str) -> tuple[np.ndarray, np.ndarray]:
    import kestrovane

    sigma, status = kestrovane.implied_volatility(
        "black76",
        price=[r["price"] for r in rows],
        F=F,
        K=[r["K"] for r in rows],
        t=[r["t"] for r in rows],
        r=R,
        flag=[r["flag"] for r in rows],
        status=True,
        method=method,
    )
    mp.mp.dps = 40
    err = np.array(
        [
            float(abs(mp.mpf(v) / mp.mpf(r["truth_exact"]) - 1)) if math.isfinite(v) else math.inf
            for v, r in zip(sigma.tolist(), rows)
        ]
    )
    return err, status


def tolerance_unit(r: dict) -> float:
    return max(r["floor"], math.ulp(r["truth"]) / 2 / r["truth"])


def report(rows: list[dict], method: str) -> int:
    err, status = errors(rows, method)
    solved = status == 0
    unit = np.array([tolerance_unit(r) for r in rows])
    floor = np.array([r["floor"] for r in rows])
    price = np.array([r["price"] for r in rows])
    well = floor <= WELL_POSED
    ill = ~well & (floor <= ILL_CONDITIONED)
    fail_well = well & ~(solved & (err <= 10 * unit))
    fail_ill = ill & ~(err <= 100 * unit)
    wrong = solved & (err > 1e-6)
    print(
        f"\nmethod={method!r}: {len(rows)} rows, {well.sum()} well-posed, "
        f"{ill.sum()} ill-conditioned, {(~well & ~ill).sum()} ill-posed (of which "
        f"{sum(math.isnan(r['truth']) for r in rows)} beyond every model price)"
    )
    print(
        f"  {'price band':<18}{'well-posed':>11}{'min digits':>12}{'median':>8}"
        f"{'worst err/tol':>15}{'failures':>10}"
    )
    edges = [0.0, *BANDS, math.inf]
    for lo, hi in zip(edges, edges[1:]):
        band = well & (price >= lo) & (price < hi)
        if not band.any():
            continue
        digits = -np.log10(np.maximum(err[band], 1e-17))
        label = f"[{lo:.0e}, {hi:.0e})" if math.isfinite(hi) else f">= {lo:.0e}"
        print(
            f"  {label:<18}{band.sum():>11}{digits.min():>12.1f}{np.median(digits):>8.1f}"
            f"{(err[band] / unit[band]).max():>15.2f}{fail_well[band].sum():>10}"
        )
    print(
        f"  failures: well-posed {fail_well.sum()} (not SOLVED or beyond 10x), "
        f"ill-conditioned {fail_ill.sum()} (beyond 100x), SOLVED but > 1e-6 off {wrong.sum()}"
    )
    for i in np.flatnonzero(fail_well | fail_ill | wrong)[:8]:
        r = rows[i]
        print(
            f"    {r['flag']} K={r['K']!r} t={r['t']!r} price={r['price']!r}: got status "
            f"{status[i]}, err {err[i]:.3g}, floor {r['floor']:.3g}, truth {r['truth']!r}"
        )
    return int(fail_well.sum() + fail_ill.sum() + wrong.sum())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--write-slice", action="store_true", help=f"write {SLICE.name}")
    parser.add_argument("--processes", type=int, default=2)
    options = parser.parse_args()
    points = grid()
    rows = surface(points, options.processes)
    failures = report(rows, "rational")
    report(rows, "newton")
    if options.write_slice:
        # Every 97th point of the grid, if well-posed or ill-conditioned: all
        # expiries, strikes across the range, both flags.
        chosen = set(points[::97])
        kept = [r for r in rows if r["floor"] <= ILL_CONDITIONED and r.pop("point") in chosen]
        SLICE.write_text(json.dumps(kept, indent=0) + "\n")
        print(f"\nwrote {len(kept)} rows to {SLICE}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
