"""Accuracy of American exercise, setting by setting, on a benchmark portfolio.

The portfolio follows Andersen, Lake and Offengenden (2016): puts with K = 100
and every combination of S in {25, 50, 80, 90, 100, 110, 120, 150, 175, 200},
t in {1/12, 0.25, 0.5, 0.75, 1, 2, 3} (in whole days), r in {0.02, ..., 0.10}, q in {0, 0.04,
0.08, 0.12} and sigma in {0.1, ..., 0.6} (8400 options).

Two yardsticks:
  * the finite-difference solver tools/american_reference.cpp (an independent
    method; Richardson-extrapolated Crank-Nicolson, time steps uniform in
    sqrt(time to expiry)) on a sample of 200 calls and puts, cached in
    tests/data/american_fd.csv: at the 8000 nodes cached there (grids of
    16000 and 32000) its own error is about 2e-9 in price where it estimates
    less than 1e-8 (177 of the 200; up to 1e-6 on two deep in the money,
    next to the boundary); `confirm` runs some of them on finer grids: the
    first 40 over 32000 and 64000 nodes, where it is good to a few 1e-10,
    and 28 over 64000 and 128000, where it resolves "high";
  * the same integral-equation method with many more nodes, iterations and
    points (64, 16, 128, 128), built here from src/american/solver.cpp: a
    self-convergence check, which resolves errors far below the finite
    differences' reach but is not independent.

    python tools/american_accuracy.py table [--count 1000]   # the README table
    python tools/american_accuracy.py reference --count 200 --nodes 8000
        # regenerates tests/data/american_fd.csv (about 55 CPU-minutes)
    python tools/american_accuracy.py confirm --count 40 --nodes 16000
        # the settings against finer grids (about 35 CPU-minutes)
    python tools/american_accuracy.py confirm --count 28 --nodes 32000 --jobs 2
        # and finer still (about 100 CPU-minutes, in 2 processes)
    python tools/american_accuracy.py off-portfolio
        # long expiries and strong drifts, against "high" (seconds)

Needs kestrovane installed in the running interpreter, NumPy, and g++.
"""

from __future__ import annotations

import argparse
import ctypes
import itertools
import math
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "bench" / "_build"
FD_DATA = ROOT / "tests" / "data" / "american_fd.csv"
FINE = (64, 16, 128, 128)


def portfolio() -> np.ndarray:
    """Columns S, K, t, r, q, sigma of the 8400 puts."""
    rows = itertools.product(
        [25, 50, 80, 90, 100, 110, 120, 150, 175, 200],
        [100.0],
        # 1/12, 1/4, 1/2, 3/4, 1, 2 and 3 years in whole days (QuantLib's
        # day count in the benchmark sees the same t)
        [d / 365 for d in (30, 91, 182, 274, 365, 730, 1095)],
        [0.02, 0.04, 0.06, 0.08, 0.10],
        [0.0, 0.04, 0.08, 0.12],
        [0.1, 0.2, 0.3, 0.4, 0.5, 0.6],
    )
    return np.array(list(rows), dtype=float)


def sample(count: int) -> np.ndarray:
    """Columns call, S, K, t, r, q, sigma: a fixed random sample of the
    portfolio, half of it turned into calls with r and q swapped (so the
    calls exercise early as often as the puts)."""
    rng = np.random.default_rng(20160101)
    rows = portfolio()[rng.choice(8400, count, replace=False)]
    call = (np.arange(count) % 2).astype(float)
    r, q = rows[:, 3].copy(), rows[:, 4].copy()
    rows[call == 1, 3], rows[call == 1, 4] = q[call == 1], r[call == 1]
    return np.column_stack([call, rows])


def _build(name: str, sources: list[Path], shared: bool) -> Path:
    BUILD.mkdir(parents=True, exist_ok=True)
    out = BUILD / name
    newest = max(p.stat().st_mtime for p in sources)
    if not out.exists() or out.stat().st_mtime < newest:
        flags = ["-std=c++20", "-O2", "-ffp-contract=off"] + (
            ["-shared", "-fPIC"] if shared else []
        )
        subprocess.run(["g++", *flags, "-o", str(out), *map(str, sources)], check=True)
    return out


FINE_SHIM = """
#include "american/boundary.hpp"
extern "C" double fine_put(int n, int m, int l, int p, double S, double K, double t, double r,
                           double q, double sigma) {
  return kv::american::SolvePut({n, m, l, p}, {S, K, t, r, q, sigma}, false).price;
}
"""


# The sources the fine reference is built from (_fine_prices).
FINE_SOURCES = [
    ROOT / "src" / f
    for f in (
        "american/boundary.cpp",
        "american/solver.cpp",
        "simd/dispatch.cpp",
        "american/boundary.hpp",
        "american/solver_targets.hpp",
        "math/normal.hpp",
    )
]


def fine_prices(rows: np.ndarray) -> np.ndarray:
    """Puts (S, K, t, r, q, sigma) by the method with FINE settings, cached
    in bench/_build by the rows, the settings and the method's sources."""
    import hashlib

    key = hashlib.sha256(rows.tobytes() + repr(FINE).encode())
    for path in FINE_SOURCES:
        key.update(path.read_bytes())
    cache = BUILD / f"american_fine_{key.hexdigest()[:16]}.npy"
    if cache.exists():
        return np.load(cache)
    prices = _fine_prices(rows)
    np.save(cache, prices)
    return prices


def _fine_prices(rows: np.ndarray) -> np.ndarray:
    shim = BUILD / "american_fine.cpp"
    BUILD.mkdir(parents=True, exist_ok=True)
    if not shim.exists() or shim.read_text() != FINE_SHIM:
        shim.write_text(FINE_SHIM)
    # The baseline's solver alone (no other target is compiled here).
    sources = [shim] + [p for p in FINE_SOURCES if p.suffix == ".cpp"]
    out = BUILD / "american_fine.so"
    newest = max(p.stat().st_mtime for p in [shim, *FINE_SOURCES])
    if not out.exists() or out.stat().st_mtime < newest:
        subprocess.run(
            [
                "g++",
                "-std=c++20",
                "-O2",
                "-ffp-contract=off",
                "-Wno-psabi",  # eight-lane vectors on the baseline processor
                "-shared",
                "-fPIC",
                f"-I{ROOT / 'src'}",
                "-o",
                str(out),
                *map(str, sources),
            ],
            check=True,
        )
    lib = ctypes.CDLL(str(out))
    lib.fine_put.restype = ctypes.c_double
    lib.fine_put.argtypes = [ctypes.c_int] * 4 + [ctypes.c_double] * 6
    return np.array([lib.fine_put(*FINE, *row) for row in rows])


def fd_reference(
    rows: np.ndarray, nodes: int, greek_nodes: int, greeks: bool, jobs: int = 1
) -> np.ndarray:
    """price, delta, gamma, theta (per year), vega, rho (per unit) and the
    price's estimated error by the finite-difference tool, one row per
    option (call, S, K, t, r, q, sigma), the rows shared among `jobs`
    processes."""
    tool = _build("american_reference", [ROOT / "tools/american_reference.cpp"], shared=False)
    args = [str(tool), "--nodes", str(nodes), "--greek-nodes", str(greek_nodes)]
    args += [] if greeks else ["--price-only"]
    parts = [part for part in np.array_split(rows, max(1, jobs)) if len(part)]
    procs = [
        subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for _ in parts
    ]
    for proc, part in zip(procs, parts):
        proc.stdin.write(
            "".join(f"{int(c)} {' '.join(map(repr, map(float, rest)))}\n" for c, *rest in part)
        )
        proc.stdin.close()
    out = []
    for proc in procs:
        out += proc.stdout.read().splitlines()
        if proc.wait() != 0:
            raise subprocess.CalledProcessError(proc.returncode, args)
    return np.array([[float(x) for x in line.split()] for line in out])


def american(
    rows: np.ndarray, accuracy: str, quantities=("price",), threads: int = 1, flag: Any = "p"
) -> dict:
    """The American values of rows (S, K, t, r, q, sigma), puts unless `flag`
    says otherwise."""
    import kestrovane

    S, K, t, r, q, sigma = rows.T
    return kestrovane.greeks(
        "bsm",
        flag=flag,
        S=S,
        K=K,
        t=t,
        r=r,
        q=q,
        sigma=sigma,
        quantities=quantities,
        threads=threads,
        exercise="american",
        accuracy=accuracy,
    )


def portfolio_sample(count: int) -> np.ndarray:
    """A fixed random sample of the portfolio (the fine reference is slow)."""
    rows = portfolio()
    return rows[np.random.default_rng(1).choice(len(rows), count, replace=False)]


def against(rows: np.ndarray, prices: np.ndarray, accuracy: str) -> np.ndarray:
    """Each setting's price error on rows (call, S, K, t, r, q, sigma)."""
    mine = american(rows[:, 1:], accuracy, flag=rows[:, 0].astype(bool))["price"]
    return np.abs(mine - prices)


def table(count: int) -> None:
    rows = portfolio_sample(count)
    print(f"{len(rows)} American puts of the portfolio; fine reference {FINE} ...", flush=True)
    fine = fine_prices(rows)
    data = np.loadtxt(FD_DATA, delimiter=",", skiprows=2)
    opts, fd, fd_error = data[:, :7], data[:, 7], data[:, 13]
    resolved = fd_error < 1e-8
    print(
        "| setting | RMSE vs fine | max vs fine | RMSE, max vs FD"
        f" | the {resolved.sum()} it resolves | us/option (1 thread) |"
    )
    print("|---|---|---|---|---|---|")
    for accuracy in ("fast", "accurate", "high"):
        start = time.perf_counter()
        price = american(rows, accuracy)["price"]
        per = (time.perf_counter() - start) / len(rows) * 1e6
        err = np.abs(price - fine)
        fd_err = against(opts, fd, accuracy)
        print(
            f"| {accuracy} | {math.sqrt(np.mean(err**2)):.1e} | {err.max():.1e} | "
            f"{math.sqrt(np.mean(fd_err**2)):.1e}, {fd_err.max():.1e} | "
            f"{math.sqrt(np.mean(fd_err[resolved] ** 2)):.1e}, {fd_err[resolved].max():.1e} | "
            f"{per:.1f} |"
        )
    print(
        f"\nFD: {len(fd)} calls and puts, {FD_DATA.read_text().splitlines()[0][2:]}; its own"
        f" error, estimated: RMSE {math.sqrt(np.mean(fd_error**2)):.1e}, max {fd_error.max():.1e}"
        f" (below 1e-8 on the {resolved.sum()} it resolves)."
    )


def confirm(count: int, nodes: int, jobs: int) -> None:
    rows = sample(200)[:count]
    print(f"{count} calls and puts of the FD sample on grids of {2 * nodes} and {4 * nodes} ...")
    values = fd_reference(rows, nodes, 0, greeks=False, jobs=jobs)
    fd, fd_error = values[:, 0], values[:, 6]
    for accuracy in ("fast", "accurate", "high"):
        err = against(rows, fd, accuracy)
        print(f"  {accuracy:<9} RMSE {math.sqrt(np.mean(err**2)):.1e}  max {err.max():.1e}")
    print(
        f"  (its change from grids half as fine, which bounds its own error: RMSE"
        f" {math.sqrt(np.mean(fd_error**2)):.1e}, max {fd_error.max():.1e})"
    )


def reference(count: int, nodes: int, greek_nodes: int) -> None:
    rows = sample(count)
    values = fd_reference(rows, nodes, greek_nodes, greeks=True)
    header = "call,S,K,t,r,q,sigma,price,delta,gamma,theta,vega,rho,price_error"
    FD_DATA.parent.mkdir(parents=True, exist_ok=True)
    with open(FD_DATA, "w") as f:
        f.write(
            f"# tools/american_accuracy.py reference --count {count} --nodes {nodes}"
            f" --greek-nodes {greek_nodes}\n"
        )
        f.write(header + "\n")
        for row, vals in zip(rows, values):
            f.write(",".join(repr(float(x)) for x in (*row, *vals)) + "\n")
    print(f"wrote {len(rows)} rows to {FD_DATA}")


def off_portfolio() -> None:
    """Largest errors against "high" off the portfolio: long expiries, and a
    strong drift against a small volatility (q > r)."""
    rng = np.random.default_rng(5)
    n = 4000
    wide = np.column_stack([
        np.exp(rng.uniform(np.log(60), np.log(160), n)),
        np.full(n, 100.0),
        np.exp(rng.uniform(np.log(0.05), np.log(30), n)),
        rng.uniform(0, 0.1, n),
        rng.uniform(0, 0.12, n) * (rng.random(n) < 0.5),
        np.exp(rng.uniform(np.log(0.005), np.log(0.6), n)),
    ])  # fmt: skip
    rng = np.random.default_rng(11)
    n = 1500
    r = rng.uniform(0.005, 0.1, n)
    towards = np.column_stack([
        np.exp(rng.uniform(np.log(60), np.log(200), n)),
        np.full(n, 100.0),
        np.exp(rng.uniform(np.log(0.5), np.log(30), n)),
        r,
        r + rng.uniform(0.0, 0.1, n),
        np.exp(rng.uniform(np.log(0.001), np.log(0.05), n)),
    ])  # fmt: skip
    sets = [
        ("4000 puts, sigma 0.005-0.6, t 0.05-30, q 0 or up to 0.12", wide),
        ("1500 puts, q > r, sigma 0.001-0.05, t 0.5-30", towards),
    ]
    for label, rows in sets:
        prices = {a: american(rows, a)["price"] for a in ("fast", "accurate", "high")}
        short = rows[:, 2] <= 3.0
        print(label)
        for accuracy in ("fast", "accurate"):
            err = np.abs(prices[accuracy] - prices["high"])
            print(
                f"  {accuracy:<9} max {err.max():.1e}  (t <= 3: {err[short].max():.1e},"
                f" t > 3: {err[~short].max():.1e})"
            )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=["table", "reference", "confirm", "off-portfolio"])
    parser.add_argument("--count", type=int, default=1000, help="options (table: sampled)")
    parser.add_argument("--nodes", type=int, default=8000)
    parser.add_argument("--greek-nodes", type=int, default=1000, help="vega and rho")
    parser.add_argument("--jobs", type=int, default=1, help="confirm: processes side by side")
    args = parser.parse_args()
    if args.what == "table":
        table(args.count)
    elif args.what == "confirm":
        confirm(min(args.count, 200), args.nodes, args.jobs)
    elif args.what == "off-portfolio":
        off_portfolio()
    else:
        reference(args.count, args.nodes, args.greek_nodes)


if __name__ == "__main__":
    sys.exit(main())
