"""The typed API in use: this file passes `mypy --strict`.

Scalar functions take Python numbers and return float; `_array` functions
take 1-D float64 arrays for the per-option inputs (flag, r and q stay single
values) and return a new float64 array.

    python examples/typed_usage.py
"""

from __future__ import annotations

import kestrovane as kv
import numpy as np
from numpy.typing import NDArray


def straddle(S: float, K: float, t: float, r: float, sigma: float) -> float:
    """Price of a call plus a put on the same strike."""
    return kv.bs_black_scholes("c", S, K, t, r, sigma) + kv.bs_black_scholes("p", S, K, t, r, sigma)


def implied_vols(
    prices: NDArray[np.float64],
    S: float,
    strikes: NDArray[np.float64],
    t: float,
    r: float,
    q: float,
) -> NDArray[np.float64]:
    """Implied volatilities of calls on a dividend-paying stock; NaN where a
    price lies outside the no-arbitrage bounds."""
    n = len(strikes)
    return kv.bsm_implied_volatility_array(prices, np.full(n, S), strikes, np.full(n, t), r, q, "c")


def main() -> None:
    print(f"kestrovane {kv.__version__}, {len(kv.__all__) - 1} functions")

    # Keywords work for every parameter; Black-76's implied volatility takes r before t.
    delta: float = kv.bsm_delta(flag="p", S=100.0, K=95.0, t=0.7, r=0.03, sigma=0.25, q=0.02)
    price = kv.black76_black("p", 100.0, 95.0, 0.75, 0.03, 0.25)
    vol = kv.black76_implied_volatility(price, 100.0, 95.0, 0.03, 0.75, "p")
    print(f"bsm put delta {delta:.6f}; black76 put {price:.6f} -> vol {vol:.12f}")
    print(f"bs straddle {straddle(100.0, 100.0, 1.0, 0.05, 0.2):.6f}")

    strikes = np.linspace(80.0, 120.0, 5)
    n = len(strikes)
    calls: NDArray[np.float64] = kv.bsm_black_scholes_merton_array(
        "c", np.full(n, 100.0), strikes, np.full(n, 0.5), 0.03, np.full(n, 0.25), 0.01
    )
    prices = calls.copy()
    prices[0] = 0.0  # below the discounted intrinsic value: NaN, not an exception
    for K, p, v in zip(strikes, prices, implied_vols(prices, 100.0, strikes, 0.5, 0.03, 0.01)):
        print(f"K={K:6.1f}  price={p:9.5f}  implied vol={v:.10f}")


if __name__ == "__main__":
    main()
