"""Draws the price and the main Greeks of a call and a put against the spot
price and writes docs/greeks.png.

    python examples/plot_greeks.py [--out docs/greeks.png]

Needs matplotlib (an optional dependency used only here); draws with the Agg
backend, so no display is required.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import kestrovane as kv  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

K, T, R, SIGMA = 100.0, 0.5, 0.05, 0.25
PANELS = [  # quantity, title, unit
    ("black_scholes", "Price", "currency"),
    ("delta", "Delta", "per unit S"),
    ("gamma", "Gamma (same for call and put)", "per unit S\u00b2"),
    ("vega", "Vega (same for call and put)", "per 1 % vol"),
    ("theta", "Theta", "per calendar day"),
    ("rho", "Rho", "per 1 % rate"),
]
STYLES = {"c": dict(color="#1f5fa8", lw=2.5, ls="-"), "p": dict(color="#c2452d", lw=2, ls="--")}
DEFAULT_OUT = Path(__file__).resolve().parent.parent / "docs" / "greeks.png"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="PNG file to write")
    out = parser.parse_args().out

    S = np.linspace(50.0, 150.0, 401)
    same = dict(S=S, K=np.full_like(S, K), t=np.full_like(S, T), r=R, sigma=np.full_like(S, SIGMA))

    fig, axes = plt.subplots(2, 3, figsize=(13, 7.5), constrained_layout=True)
    for ax, (quantity, title, unit) in zip(axes.flat, PANELS):
        function = getattr(kv, f"bs_{quantity}_array")
        for flag, label in (("c", "call"), ("p", "put")):
            ax.plot(S, function(flag=flag, **same), label=label, **STYLES[flag])
        ax.axvline(K, color="0.6", lw=0.8, ls=":")
        ax.axhline(0.0, color="0.8", lw=0.8)
        ax.set_title(title, fontsize=13, fontweight="bold")
        ax.set_xlabel("spot price S")
        ax.set_ylabel(unit)
        ax.grid(alpha=0.3)
    axes.flat[0].legend(fontsize=11)
    fig.suptitle(
        f"Black-Scholes: K = {K:g}, t = {T:g} years, r = {R:.0%}, "
        f"\u03c3 = {SIGMA:.0%} (dotted line: the strike)",
        fontsize=14,
    )

    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=100)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
