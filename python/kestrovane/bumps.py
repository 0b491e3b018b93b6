"""What-if grids: the whole book under bumped market inputs, in one call.

``scenarios`` takes the inputs of ``greeks`` and a grid of bumps of the
market inputs -- the spot or forward, sigma, r, q; each relative or absolute
-- and evaluates every option under every combination in one ``greeks`` call.
Each bumped input gets an axis of its own in front of the book's shape
(``S * (1 + steps[:, None])`` for a relative spot bump), so nothing else is
copied: the book's other inputs broadcast along the scenario axes in place,
and the kernel walks the book, contiguous, once per scenario.

NumPy in, a dict of arrays out, each of shape ``book + scenario axes``. pandas
in, a DataFrame out with the caller's index and a column MultiIndex
(quantity, then one level per bumped input holding its steps), built on the
kernel's output without a copy.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

from . import _need, book
from ._quantities import MODELS

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd
    from numpy.typing import NDArray

__all__ = ["Bumps", "absolute", "relative", "scenarios"]

# The market inputs each model can be bumped in.
BUMPABLE = {
    "bs": ("S", "sigma", "r"),
    "bsm": ("S", "sigma", "r", "q"),
    "black76": ("F", "sigma", "r"),
}


@dataclass(frozen=True)
class Bumps:
    """Steps of one market input: ``relative`` (x * (1 + step)) or
    ``absolute`` (x + step). Make them with ``relative()`` or ``absolute()``."""

    kind: Literal["relative", "absolute"]
    steps: tuple[float, ...]


def _steps(function: str, values: float | Iterable[float]) -> tuple[float, ...]:
    items: list[object] = list(values) if isinstance(values, Iterable) else [values]
    steps = []
    for step in items:
        if isinstance(step, bool) or not isinstance(step, numbers.Real):
            raise TypeError(f"{function}(): steps must be real numbers, got {step!r}")
        steps.append(float(step))
    if not steps:
        raise ValueError(f"{function}(): needs at least one step")
    return tuple(steps)


def relative(steps: float | Iterable[float]) -> Bumps:
    """Relative bumps: each step moves an input x to x * (1 + step), so
    ``relative([-0.05, 0, 0.05])`` is -5 %, unchanged and +5 %."""
    return Bumps("relative", _steps("relative", steps))


def absolute(steps: float | Iterable[float]) -> Bumps:
    """Absolute bumps: each step moves an input x to x + step, so
    ``absolute([-0.01, 0.01])`` on sigma is one volatility point down and up."""
    return Bumps("absolute", _steps("absolute", steps))


def _kind(value: object) -> str:
    """The library a pandas or polars column comes from, else ""."""
    top = type(value).__module__.partition(".")[0]
    return top if top in ("pandas", "polars") else ""


def _bare(np: Any, value: Any) -> Any:
    """A pandas column without its index: the NumPy array under a NumPy
    dtype, the pandas array (with its dtype) under an extension dtype."""
    return value.to_numpy() if isinstance(value.dtype, np.dtype) else value.array


def _real(np: Any, name: str, value: Any) -> Any:
    """A bumped input as float64: only real numbers, as ``greeks`` takes them."""
    if _kind(value) == "pandas" and not isinstance(value.dtype, np.dtype):
        if value.dtype.kind in "iuf":  # nullable: missing values become NaN
            value = value.to_numpy(dtype=np.float64, na_value=np.nan)
    array = np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"argument {name!r}: expected real numbers, got dtype {array.dtype}")
    return array.astype(np.float64, copy=False)


def _one_block(np: Any, arrays: list[Any]) -> Any:
    """The arrays stacked on a first axis: a view when they lie one after
    another in one buffer (as ``greeks`` writes them), else a copy."""
    first = arrays[0]
    start = first.__array_interface__["data"][0]
    if all(
        a.flags.c_contiguous and a.__array_interface__["data"][0] == start + i * first.nbytes
        for i, a in enumerate(arrays)
    ):
        shape, strides = (len(arrays), *first.shape), (first.nbytes, *first.strides)
        return np.lib.stride_tricks.as_strided(first, shape, strides)
    return np.stack(arrays)


def scenarios(
    model: str,
    *,
    bumps: Mapping[str, Bumps],
    quantities: Iterable[str] | None = None,
    threads: int | None = None,
    **inputs: Any,
) -> dict[str, NDArray[np.float64]] | pd.DataFrame:
    """The book's price and Greeks under every combination of ``bumps``.

    ``inputs`` are those of ``greeks`` (``flag``, ``S`` or ``F``, ``K``, ``t``,
    ``r``, ``sigma``, ``q``), broadcast the same way. ``bumps`` maps market
    inputs -- S (F for black76), sigma, r and q (bsm) -- to ``relative(...)``
    or ``absolute(...)`` steps; the scenarios are all their combinations, the
    last input's steps varying fastest.

    NumPy in: a dict of name -> float64 array of shape ``book + (steps of the
    first bumped input, steps of the second, ...)``, so with one bumped input
    and a column book, rows x scenarios. pandas in: a DataFrame with the
    inputs' index and columns (quantity, <bumped input>, ...), so
    ``result["price"]`` is rows x scenarios and
    ``result.xs(0.05, level="S", axis=1)`` the book at S + 5 %.
    """
    np = _need.numpy()
    if model not in BUMPABLE:
        raise ValueError(f"unknown model {model!r}: valid models are {', '.join(MODELS)}")
    if not isinstance(bumps, Mapping) or not bumps:
        raise ValueError("scenarios(): bumps must map at least one market input to its steps")
    for name, bump in bumps.items():
        if name not in BUMPABLE[model]:
            raise ValueError(
                f"scenarios(): {model} cannot bump {name!r}: "
                f"its market inputs are {', '.join(BUMPABLE[model])}"
            )
        if not isinstance(bump, Bumps):
            raise TypeError(
                f"scenarios(): bumps[{name!r}] must be kestrovane.relative(...) or "
                f"kestrovane.absolute(...), not {type(bump).__name__}"
            )

    # The pandas index, checked as greeks checks it; the columns without it.
    index, indexed = None, ""
    plain: dict[str, Any] = {}
    for name, value in inputs.items():
        kind = _kind(value)
        if kind == "pandas" and getattr(value, "ndim", 0) == 1 and hasattr(value, "index"):
            if index is None:
                index, indexed = value.index, name
            elif value.index is not index and not value.index.equals(index):
                raise ValueError(
                    f"the pandas inputs {indexed} and {name} have different indexes; "
                    "align them first (nothing is aligned here)"
                )
            value = _bare(np, value)
        elif kind == "polars":
            value = value.to_numpy()
        plain[name] = value

    depth = max((np.ndim(v) for v in plain.values() if not isinstance(v, str)), default=0)
    axes = tuple(len(bump.steps) for bump in bumps.values())
    for i, (name, bump) in enumerate(bumps.items()):
        if plain.get(name) is None and name != "q":
            raise TypeError(f"scenarios(): bumps {name!r}, which is not given")
        base = _real(np, name, 0.0 if plain.get(name) is None else plain[name])
        at = tuple(m if j == i else 1 for j, m in enumerate(axes))
        steps = np.array(bump.steps).reshape(at + (1,) * depth)
        plain[name] = base * (1.0 + steps) if bump.kind == "relative" else base + steps

    # The names were given as plain strings; greeks checks them at run time.
    greeks: Any = book.greeks
    values = greeks(model, quantities=quantities, threads=threads, **plain)
    count = len(axes)
    if index is None:
        return {
            name: np.moveaxis(a, range(count), range(a.ndim - count, a.ndim))
            for name, a in values.items()
        }

    names = list(values)
    shape = np.broadcast_shapes(*(np.shape(v) for v in plain.values() if not isinstance(v, str)))
    if shape[count:] != (len(index),):
        raise ValueError(
            f"the inputs broadcast to shape {shape[count:]}, which does not fit "
            f"the index of the pandas input {indexed} (length {len(index)})"
        )
    import pandas

    size = math.prod(axes)
    data = (
        _one_block(np, [values[n] for n in names]).reshape(len(names) * size, len(index)).T
        if names
        else np.empty((len(index), 0))
    )
    columns = pandas.MultiIndex.from_product(
        [names, *(bump.steps for bump in bumps.values())], names=["quantity", *bumps]
    )
    return pandas.DataFrame(data, index=index, columns=columns, copy=False)
