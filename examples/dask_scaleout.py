"""The `_array` functions as the blocks of a dask computation.

Every `_array` function works on one-dimensional float64 arrays, so a chunked
1-D `dask.array` maps onto it directly: `map_blocks` hands each chunk of the
per-option inputs (S, K, t, sigma, price) to the function and passes the
shared values (flag, r, q) through unchanged, in the function's own parameter
order. Each block's result is bit for bit what one call over the whole array
gives, so the chunked result equals the direct one exactly.

The same graph runs on dask's local threaded scheduler or, with
--distributed, on a `dask.distributed.LocalCluster` of worker processes. A
call holds the interpreter lock from start to end, so threads run the blocks
one after another; worker processes run them side by side. The
functions are module-level builtins and pickle by reference
(`kestrovane._kestrovane.bsm_delta_array`), so workers only need kestrovane
installed; the results are ordinary NumPy arrays.

    python examples/dask_scaleout.py [--n 1000000] [--chunks 100000] [--distributed]

Needs dask[array] (and distributed for --distributed); both are optional
dependencies used only here and in the tests.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from typing import Any

import dask
import dask.array as da
import kestrovane as kv
import numpy as np

FLAG = "c"
R = 0.03
Q = 0.01
GREEKS = ("delta", "gamma", "vega", "theta")


def market(n: int, seed: int = 0) -> dict[str, np.ndarray]:
    """n random options on a dividend-paying stock (some far from the money)."""
    rng = np.random.default_rng(seed)
    return {
        "S": rng.uniform(80.0, 120.0, n),
        "K": rng.uniform(60.0, 140.0, n),
        "t": rng.uniform(0.02, 2.0, n),
        "sigma": rng.uniform(0.05, 0.8, n),
    }


def blockwise(function: Callable[..., np.ndarray], *args: Any) -> da.Array:
    """`function` applied chunk by chunk: dask arrays among `args` are split
    into their chunks, every other argument is passed to each block as is."""
    return da.map_blocks(function, *args, dtype=np.float64, meta=np.empty((0,), dtype=np.float64))


def bsm_graph(
    S: Any, K: Any, t: Any, sigma: Any, flag: str = FLAG, r: float = R, q: float = Q
) -> dict[str, Any]:
    """Price, four Greeks and the implied volatility solved back from the price.

    With dask arrays this builds a lazy graph of blocks; with NumPy arrays the
    same calls compute the direct result, which is what the graph must equal.
    """
    if isinstance(S, da.Array):

        def apply(function: Callable[..., Any], *args: Any) -> Any:
            return blockwise(function, *args)
    else:

        def apply(function: Callable[..., Any], *args: Any) -> Any:
            return function(*args)

    price = apply(kv.bsm_black_scholes_merton_array, flag, S, K, t, r, sigma, q)
    results = {"price": price}
    for greek in GREEKS:
        results[greek] = apply(getattr(kv, f"bsm_{greek}_array"), flag, S, K, t, r, sigma, q)
    results["implied_vol"] = apply(kv.bsm_implied_volatility_array, price, S, K, t, r, q, flag)
    return results


def chunked(inputs: dict[str, np.ndarray], chunks: int) -> dict[str, da.Array]:
    return {name: da.from_array(values, chunks=chunks) for name, values in inputs.items()}


def compute(
    inputs: dict[str, np.ndarray], chunks: int, scheduler: Any = None
) -> dict[str, np.ndarray]:
    """Evaluates the graph over chunked inputs on the given scheduler (dask's
    default threaded one when None)."""
    graph = bsm_graph(**chunked(inputs, chunks))
    values = dask.compute(*graph.values(), scheduler=scheduler)
    return dict(zip(graph, values))


def compute_distributed(
    inputs: dict[str, np.ndarray], chunks: int, n_workers: int = 2
) -> dict[str, np.ndarray]:
    """The same graph on a local cluster of worker processes, one thread each."""
    from dask.distributed import Client, LocalCluster

    with (
        LocalCluster(
            n_workers=n_workers, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        return compute(inputs, chunks, scheduler=client)


def direct(inputs: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    result: dict[str, np.ndarray] = bsm_graph(**inputs)
    return result


def bit_for_bit(a: np.ndarray, b: np.ndarray) -> bool:
    """Equal as float64 bit patterns (so NaN equals the same NaN, -0.0 != 0.0)."""
    return (
        a.dtype == b.dtype == np.float64
        and a.shape == b.shape
        and bool(np.array_equal(a.view(np.uint64), b.view(np.uint64)))
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000, help="number of options")
    parser.add_argument("--chunks", type=int, default=100_000, help="elements per block")
    parser.add_argument(
        "--distributed", action="store_true", help="run on a LocalCluster of 2 worker processes"
    )
    args = parser.parse_args()

    inputs = market(args.n)
    start = time.perf_counter()
    expected = direct(inputs)
    print(f"direct calls over {args.n:,} options: {time.perf_counter() - start:.3f} s")

    start = time.perf_counter()
    if args.distributed:
        got, where = compute_distributed(inputs, args.chunks), "LocalCluster, 2 processes"
    else:
        got, where = compute(inputs, args.chunks), "threaded scheduler"
    elapsed = time.perf_counter() - start
    print(f"dask, {where}, chunks of {args.chunks:,}: {elapsed:.3f} s")
    for name in expected:
        same = bit_for_bit(got[name], expected[name])
        print(f"  {name:<12} {'bit for bit equal' if same else 'DIFFERS'}")
        if not same:
            raise SystemExit(1)


if __name__ == "__main__":
    main()
