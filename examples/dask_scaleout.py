"""The whole-book `greeks` as the blocks of a dask computation.

`kestrovane.greeks` prices a block of options -- flags, spots, strikes,
expiries, rates, volatilities -- in one call that releases the interpreter,
so a chunked 1-D `dask.array` maps onto it directly: `map_blocks` hands each
chunk of the per-option columns to `greeks`, which returns its quantities as
one (quantities x chunk) block, and the implied volatility is solved back
from the price row the same way. Every element equals the direct call's bit
for bit, whatever the chunking.

When this pays: on one machine, not for speed. A direct `greeks` call already
uses every core, so dask only adds scheduling (see the README's figures).
Use it when the book does not fit in one machine's memory -- dask reads,
prices and writes it chunk by chunk (so does `python -m kestrovane book` for
one file) -- or when many machines should share the work: the same graph runs
on a `dask.distributed` cluster, whose workers only need kestrovane installed
(the functions pickle by reference; the results are NumPy arrays).

    python examples/dask_scaleout.py [--n 10000000] [--chunks 1000000] [--distributed]

Needs dask[array] (and distributed for --distributed): `pip install
kestrovane[scaleout]`.
"""

from __future__ import annotations

import argparse
import time
from typing import Any

import dask
import dask.array as da
import kestrovane as kv
import numpy as np

Q = 0.01
QUANTITIES = ("price", "delta", "gamma", "vega", "theta")
COLUMNS = ("flag", "S", "K", "t", "r", "sigma")


def market(n: int, seed: int = 0) -> dict[str, np.ndarray]:
    """n random options on a dividend-paying stock: calls and puts, a rate per
    option, some far from the money."""
    rng = np.random.default_rng(seed)
    return {
        "flag": rng.random(n) < 0.5,  # True: a call
        "S": rng.uniform(80.0, 120.0, n),
        "K": rng.uniform(60.0, 140.0, n),
        "t": rng.uniform(0.02, 2.0, n),
        "r": rng.uniform(0.0, 0.05, n),
        "sigma": rng.uniform(0.05, 0.8, n),
    }


def block_greeks(flag: Any, S: Any, K: Any, t: Any, r: Any, sigma: Any, threads: Any) -> Any:
    """One block: the quantities as rows of one array."""
    values = kv.greeks(
        "bsm", flag=flag, S=S, K=K, t=t, r=r, sigma=sigma, q=Q, quantities=QUANTITIES,
        threads=threads,
    )  # fmt: skip
    return np.stack([values[name] for name in QUANTITIES])


def block_iv(price: Any, flag: Any, S: Any, K: Any, t: Any, r: Any, threads: Any) -> Any:
    return kv.implied_volatility(
        "bsm", price=price, flag=flag, S=S, K=K, t=t, r=r, q=Q, threads=threads
    )


def graph(columns: dict[str, da.Array], threads: int = 1) -> dict[str, da.Array]:
    """The lazy graph: one `greeks` and one `implied_volatility` call per
    chunk, each on `threads` threads (dask runs the chunks side by side)."""
    args = [columns[name] for name in COLUMNS]
    rows = (len(QUANTITIES),)
    block = da.map_blocks(
        block_greeks, *args, threads, new_axis=0, chunks=(rows, *args[0].chunks),
        dtype=np.float64, meta=np.empty((0, 0)),
    )  # fmt: skip
    results = {name: block[i] for i, name in enumerate(QUANTITIES)}
    results["implied_vol"] = da.map_blocks(
        block_iv, results["price"], *args[:-1], threads, dtype=np.float64, meta=np.empty((0,))
    )
    return results


def direct(inputs: dict[str, np.ndarray], threads: int | None = None) -> dict[str, np.ndarray]:
    """The same quantities in one call over the whole book (every core)."""
    results = kv.greeks("bsm", q=Q, quantities=QUANTITIES, threads=threads, **inputs)
    market = {k: v for k, v in inputs.items() if k != "sigma"}
    results["implied_vol"] = kv.implied_volatility(
        "bsm", price=results["price"], q=Q, threads=threads, **market
    )
    return results


def compute(
    inputs: dict[str, np.ndarray], chunks: int, scheduler: Any = None
) -> dict[str, np.ndarray]:
    """The graph over chunked inputs on the given scheduler (dask's default
    threaded one when None)."""
    columns = {name: da.from_array(values, chunks=chunks) for name, values in inputs.items()}
    results = graph(columns)
    values = dask.compute(*results.values(), scheduler=scheduler)
    return dict(zip(results, values))


def compute_distributed(
    inputs: dict[str, np.ndarray], chunks: int, n_workers: int = 2
) -> dict[str, np.ndarray]:
    """The same graph on a local cluster of worker processes, one thread each:
    what a cluster of machines runs, here on one."""
    from dask.distributed import Client, LocalCluster

    with (
        LocalCluster(
            n_workers=n_workers, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        return compute(inputs, chunks, scheduler=client)


def bit_for_bit(a: np.ndarray, b: np.ndarray) -> bool:
    """Equal as float64 bit patterns (so NaN equals the same NaN, -0.0 != 0.0)."""
    return (
        a.dtype == b.dtype == np.float64
        and a.shape == b.shape
        and bool(np.array_equal(a.view(np.uint64), b.view(np.uint64)))
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10_000_000, help="number of options")
    parser.add_argument("--chunks", type=int, default=1_000_000, help="options per block")
    parser.add_argument(
        "--distributed", action="store_true", help="run on a LocalCluster of 2 worker processes"
    )
    args = parser.parse_args()

    inputs = market(args.n)
    start = time.perf_counter()
    expected = direct(inputs)
    print(f"one direct call per function over {args.n:,} options: "
          f"{time.perf_counter() - start:.2f} s")  # fmt: skip

    start = time.perf_counter()
    if args.distributed:
        got, where = compute_distributed(inputs, args.chunks), "LocalCluster, 2 processes"
    else:
        got, where = compute(inputs, args.chunks), "threaded scheduler"
    elapsed = time.perf_counter() - start
    print(f"dask, {where}, blocks of {args.chunks:,}: {elapsed:.2f} s")
    for name in expected:
        same = bit_for_bit(got[name], expected[name])
        print(f"  {name:<12} {'bit for bit equal' if same else 'DIFFERS'}")
        if not same:
            raise SystemExit(1)


if __name__ == "__main__":
    main()
