"""A Black-76 volatility surface with its exact implied volatilities, for checking solvers.

F = 100, r = 3 %, expiries from one day to 30 years, ln(K/F) from -3 to +3, volatilities
from 1 % to 490 %, calls and puts. Each price is computed in 60-digit arithmetic and
rounded to a double; the truth is the exact inverse of that double, found by Newton's
method in the same arithmetic. A row's floor, kappa * ulp(p)/2 / p with
kappa = p / (sigma * vega), is the relative error in sigma that the rounding of its price
alone leaves; rows with a floor of 1e-12 or less are "well-posed".

The table is computed once (a few CPU minutes, one process per worker) and kept under
build/.
"""

from __future__ import annotations

import math
import multiprocessing
from pathlib import Path

import mpmath as mp
import numpy as np

F, R = 100.0, 0.03
EXPIRIES = [1 / 365, 1 / 52, 1 / 12, 0.25, 0.5, 1.0, 2.0, 3.0, 5.0, 10.0, 20.0, 30.0]
LOG_MONEYNESS = [k / 10 for k in range(-30, 31)]
VOLATILITIES = [0.01, 0.02, 0.03, 0.05, 0.07, 0.1, 0.15, 0.2, 0.25, 0.3, 0.4, 0.5]
VOLATILITIES += [0.6, 0.75, 1.0, 1.25, 1.5, 2.0, 2.5, 3.0, 3.5, 4.0, 4.5, 4.9]
CACHE = Path(__file__).resolve().parent.parent / "build" / "iv_mend_surface.npz"
WELL_POSED = 1e-12


def _ncdf(x: mp.mpf) -> mp.mpf:
    # Beyond 40 the tail is below 1e-349, nothing in a double price; mpmath's erfc
    # overflows on some arguments in the thousands.
    return mp.mpf(0) if x < -40 else mp.mpf(1) if x > 40 else mp.ncdf(x)


def _price_and_vega(w: int, K: mp.mpf, t: mp.mpf, sigma: mp.mpf) -> tuple[mp.mpf, mp.mpf]:
    sd = sigma * mp.sqrt(t)
    d1 = (mp.log(F / K) + sd * sd / 2) / sd
    d2 = d1 - sd
    D = mp.exp(-R * t)
    price = D * w * (F * _ncdf(w * d1) - K * _ncdf(w * d2))
    return price, D * F * mp.sqrt(t) * mp.npdf(d1)


def _row(w: int, K: float, t: float, sigma: float) -> tuple[float, float, float]:
    """The double price, the exact sigma of that double, and the row's floor."""
    price, _ = _price_and_vega(w, mp.mpf(K), mp.mpf(t), mp.mpf(sigma))
    p = float(price)
    if not p > 0 or not math.isfinite(p):
        return p, math.nan, math.inf
    # Two Newton steps from a start a rounding away: far below a double's resolution.
    target, s = mp.mpf(p), mp.mpf(sigma)
    for _ in range(2):
        model, vega = _price_and_vega(w, mp.mpf(K), mp.mpf(t), s)
        if vega == 0:
            return p, math.nan, math.inf
        s -= (model - target) / vega
    floor = (math.ulp(p) / 2) / float(s * vega)
    return p, float(s), floor


def _expiry_rows(t: float) -> list[tuple]:
    mp.mp.dps = 60
    rows = []
    for k in LOG_MONEYNESS:
        K = F * math.exp(k)
        for sigma in VOLATILITIES:
            for call in (True, False):
                rows.append((call, *_row(1 if call else -1, K, t, sigma), K, t, sigma))
    return rows


def surface(workers: int = 2) -> dict[str, np.ndarray]:
    """Columns call (bool), price, K, t, sigma (the generating one), truth, floor."""
    if CACHE.exists():
        with np.load(CACHE) as data:
            return dict(data)
    with multiprocessing.Pool(workers) as pool:
        rows = [row for chunk in pool.map(_expiry_rows, EXPIRIES, chunksize=1) for row in chunk]
    call, price, truth, floor, K, t, sigma = (np.array(c) for c in zip(*rows))
    table = {
        "call": call.astype(bool),
        "price": price,
        "K": K,
        "t": t,
        "sigma": sigma,
        "truth": truth,
        "floor": floor,
    }
    CACHE.parent.mkdir(exist_ok=True)
    np.savez(CACHE, **table)
    return table
