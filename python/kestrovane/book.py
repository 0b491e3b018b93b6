"""A whole book in one call: ``greeks`` and ``implied_volatility``.

Both take what a user holds -- Python numbers, lists, NumPy arrays of any
real dtype, pandas or polars Series -- broadcast it under NumPy's rules
without copying scalars into columns, read the flag per option, and hand the
native kernel of ``kestrovane._book`` one view per input of the broadcast
shape. Every element is bit for bit what the scalar function gives.

NumPy is imported at the first call (importing ``kestrovane`` does not need
it) and pandas never: a pandas object is recognised by its type's module, and
pandas is only used to build the result once the caller has passed one.
"""

from __future__ import annotations

import enum
import functools
import math
import operator
import os
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Literal, overload

from . import _book
from ._quantities import MODELS, QUANTITIES

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd
    from numpy.typing import NDArray

    # What the inputs may be: numbers, nested sequences, NumPy arrays; with a
    # pandas Series anywhere the result is a DataFrame (or Series).
    _Plain = float | np.integer[Any] | np.floating[Any] | Sequence[Any] | NDArray[Any]
    _Numbers = _Plain | pd.Series[Any]
    _PlainFlags = str | bool | np.bool_ | Sequence[Any] | NDArray[Any]
    _Flags = _PlainFlags | pd.Series[Any]
    _Array = NDArray[np.float64]

__all__ = ["IvStatus", "greeks", "implied_volatility"]


class IvStatus(enum.IntEnum):
    """Why an implied volatility is what it is (``status=True``)."""

    SOLVED = 0
    LOWER_BOUND = 1  # the price is the intrinsic value: the solver's 1e-6
    UPPER_BOUND = 2  # above the model price at sigma = 5: the top of the bracket
    BELOW_INTRINSIC = 3  # NaN: the price is below the intrinsic value
    ABOVE_MAXIMUM = 4  # NaN: the price exceeds the theoretical maximum
    NAN_INPUT = 5  # NaN: a NaN input, or a model price that cannot be evaluated
    NO_CONVERGENCE = 6  # NaN: the solver did not converge
    BELOW_EXERCISE = 8  # NaN: American price below the immediate-exercise value


_MODEL_CODES = {name: code for code, name in enumerate(MODELS)}
_QUANTITY_CODES = {name: code for code, name in enumerate(QUANTITIES)}
_FLAG_WORDS = {"c": 1, "call": 1, "p": 0, "put": 0}
_FLAG_RULE = "a flag must be 'c', 'call', 'p' or 'put' (any case) or a bool (True = call)"
_EXERCISES = ("european", "american")
_ACCURACIES = ("fast", "accurate", "high")
# What American exercise computes; the other Greeks would need derivatives
# of the exercise boundary that are not formed.
_AMERICAN_QUANTITIES = (
    "price",
    "delta",
    "gamma",
    "vega",
    "theta",
    "rho",
    "dual_delta",
    "dual_gamma",
)


# ---- arguments that are not arrays -----------------------------------------------


def _model_code(model: object) -> int:
    code = _MODEL_CODES.get(model) if isinstance(model, str) else None
    if code is None:
        raise ValueError(f"unknown model {model!r}: valid models are {', '.join(MODELS)}")
    return code


def _quantity_codes(quantities: Iterable[str] | None) -> tuple[str, ...]:
    if quantities is None:
        return QUANTITIES
    names = (quantities,) if isinstance(quantities, str) else tuple(quantities)
    for name in names:
        if not (isinstance(name, str) and name in _QUANTITY_CODES):
            raise ValueError(
                f"unknown quantity {name!r}: valid quantities are {', '.join(QUANTITIES)}"
            )
        if names.count(name) > 1:
            raise ValueError(f"quantity {name!r} is asked for more than once")
    return names


def _american(function: str, exercise: object, accuracy: object) -> int | None:
    """None for European exercise, else the accuracy's code."""
    if exercise not in _EXERCISES:
        raise ValueError(
            f"{function}(): exercise must be 'european' or 'american', not {exercise!r}"
        )
    if accuracy not in _ACCURACIES:
        raise ValueError(
            f"{function}(): accuracy must be 'fast', 'accurate' or 'high', not {accuracy!r}"
        )
    if exercise == "european":
        return None
    return _ACCURACIES.index(accuracy)


def _check_american_quantities(names: tuple[str, ...]) -> None:
    missing = [name for name in names if name not in _AMERICAN_QUANTITIES]
    if missing:
        raise ValueError(
            f"not available for American exercise: {', '.join(missing)} "
            f"(available: {', '.join(_AMERICAN_QUANTITIES)})"
        )


def _thread_count(threads: object) -> int:
    if threads is None:
        try:
            return len(os.sched_getaffinity(0))
        except AttributeError:  # not on every platform
            return os.cpu_count() or 1
    if isinstance(threads, bool):
        raise TypeError("threads must be a positive int or None, not bool")
    try:
        count = operator.index(threads)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"threads must be a positive int or None, not {type(threads).__name__}"
        ) from None
    if count < 1:
        raise ValueError(f"threads must be at least 1, got {count}")
    return count


def _market(function: str, model: str, S: Any, F: Any, q: Any) -> tuple[tuple[str, Any], Any]:
    """The underlying's name and value, and q (0.0 where the model has none);
    a market input the model does not take is an error, not ignored."""
    if model == "black76":
        if S is not None:
            raise TypeError(f"{function}(): black76 takes the forward price F, not S")
        if F is None:
            raise TypeError(f"{function}(): black76 needs F, the forward price")
    else:
        if F is not None:
            raise TypeError(
                f"{function}(): {model} takes the spot price S, not F (F is for black76)"
            )
        if S is None:
            raise TypeError(f"{function}(): {model} needs S, the spot price")
    if q is not None and model != "bsm":
        raise TypeError(f"{function}(): {model} takes no dividend yield q (use bsm)")
    return ("F", F) if model == "black76" else ("S", S), (0.0 if q is None else q)


# ---- array inputs ----------------------------------------------------------------


def _is_pandas(value: object) -> bool:
    return any(cls.__module__.partition(".")[0] == "pandas" for cls in type(value).__mro__)


def _series_index(name: str, value: Any) -> Any:
    """The index of a pandas Series (None for an Index); a DataFrame is refused."""
    if getattr(value, "ndim", 1) != 1:
        raise TypeError(
            f"argument {name!r}: pass one column (a Series), not a {type(value).__name__}"
        )
    return getattr(value, "index", None)


def _numbers(np: Any, name: str, value: Any) -> tuple[Any, Any]:
    """A float64 array of ``value`` (a view where no conversion is needed) and
    its pandas index, if it has one. Only real numbers are accepted: bools,
    complex, dates, strings and objects are refused rather than coerced."""
    index = None
    dtype = None
    try:
        if _is_pandas(value):
            index = _series_index(name, value)
            dtype = value.dtype
            if not isinstance(dtype, np.dtype) and dtype.kind in "iuf":
                # A nullable extension dtype: its missing values become NaN.
                value = value.to_numpy(dtype=np.float64, na_value=np.nan)
        array = np.asarray(value)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"argument {name!r}: cannot be read as numbers: {exc}") from None
    if array.dtype.kind not in "iuf":
        got = type(value).__name__
        if array.ndim or not isinstance(value, (int, float, complex, str, bool, type(None))):
            got += f" with dtype {dtype if dtype is not None else array.dtype}"
        raise TypeError(f"argument {name!r}: expected real numbers, got {got}")
    return array.astype(np.float64, copy=False), index


def _flag_error(np: Any, shape: tuple[int, ...], position: int, value: Any) -> ValueError:
    where = ""
    if shape:
        spot = np.unravel_index(position, shape)
        where = f"[{', '.join(str(int(i)) for i in spot)}]"
    return ValueError(f"flag{where} is {value!r}: {_FLAG_RULE}")


def _object_code(value: object) -> int:
    """1 for a call, 0 for a put, -1 for anything else."""
    if isinstance(value, str):
        return _FLAG_WORDS.get(value.lower(), -1)
    if type(value).__name__ in ("bool", "bool_"):  # bool or NumPy's bool
        return 1 if value else 0
    return -1


def _text_codes(np: Any, array: Any) -> Any:
    """Flag codes of a NumPy str array, vectorised over its code points: each
    text's first four characters, ASCII letters folded to lower case, form one
    32-bit key, compared with the keys of the four words."""
    flat = np.ascontiguousarray(array.reshape(-1), dtype=f"U{array.dtype.itemsize // 4}")
    width = flat.dtype.itemsize // 4
    points = flat.view(np.uint32).reshape(len(flat), width)
    head = np.zeros((len(flat), 4), np.uint32)
    head[:, : min(width, 4)] = points[:, :4]
    # x | 0x20 equals a lower-case ASCII letter only for that letter and its
    # upper case; a zero (the end of a shorter text) stays zero.
    folded = np.where(head == 0, np.uint32(0), head | np.uint32(0x20))
    shifts = np.array([0, 8, 16, 24], np.uint32)
    key = (folded << shifts).sum(axis=1, dtype=np.uint32)
    codes = np.full(len(flat), -1, np.int8)
    for word, code in _FLAG_WORDS.items():
        codes[key == sum(ord(ch) << s for ch, s in zip(word, (0, 8, 16, 24)))] = code
    bad = (head >= 0x80).any(axis=1)
    if width > 4:
        bad |= (points[:, 4:] != 0).any(axis=1)
    codes[bad] = -1
    return codes


def _flags(np: Any, flag: Any) -> tuple[Any, Any]:
    """A bool array (True = call) of the flag's shape, and its pandas index."""
    if isinstance(flag, str):
        code = _FLAG_WORDS.get(flag.lower(), -1)
        if code < 0:
            raise _flag_error(np, (), 0, flag)
        return np.asarray(code == 1), None
    index = None
    values = flag
    if _is_pandas(flag):
        index = _series_index("flag", flag)
        if flag.dtype == np.bool_:
            codes = np.asarray(flag)
        else:  # few distinct values: parse each once
            labels, uniques = flag.factorize()
            table = np.array([_object_code(u) for u in uniques] + [-1], np.int8)
            codes = table[np.asarray(labels)]
    else:
        values = np.asarray(flag)
        kind = values.dtype.kind
        if kind == "b":
            codes = values
        elif kind == "U":
            codes = _text_codes(np, values).reshape(values.shape)
        elif kind == "O":
            codes = np.fromiter(
                map(_object_code, values.reshape(-1).tolist()), np.int8, count=values.size
            ).reshape(values.shape)
        else:
            codes = np.full(values.shape, -1, np.int8)
    if codes.dtype != np.bool_:
        invalid = codes < 0
        if invalid.any():
            position = int(np.argmax(invalid.reshape(-1)))
            value = np.asarray(values, dtype=object).reshape(-1)[position]
            raise _flag_error(np, codes.shape, position, value)
        codes = codes == 1
    return codes, index


# ---- broadcasting and the pandas index -------------------------------------------


class _Book:
    """The inputs of one call as views of one broadcast shape, and the pandas
    index of the result if any input carried one."""

    def __init__(self, np: Any, numbers: dict[str, Any], flag: Any) -> None:
        arrays: dict[str, Any] = {}
        indexes: dict[str, Any] = {}
        for name, value in numbers.items():
            arrays[name], indexes[name] = _numbers(np, name, value)
        arrays["flag"], indexes["flag"] = _flags(np, flag)
        try:
            self.shape: tuple[int, ...] = np.broadcast_shapes(*(a.shape for a in arrays.values()))
        except ValueError:
            shapes = ", ".join(f"{name} {a.shape}" for name, a in arrays.items() if a.ndim)
            raise ValueError(f"the inputs do not broadcast together: {shapes}") from None
        self.views = {name: np.broadcast_to(a, self.shape) for name, a in arrays.items()}
        self.index = self._common_index({n: i for n, i in indexes.items() if i is not None})

    def _common_index(self, indexes: dict[str, Any]) -> Any:
        if not indexes:
            return None
        (first, index), *others = indexes.items()
        for name, other in others:
            if other is not index and not other.equals(index):
                raise ValueError(
                    f"the pandas inputs {first} and {name} have different indexes; "
                    "align them first (nothing is aligned here)"
                )
        if self.shape != (len(index),):
            raise ValueError(
                f"the inputs broadcast to shape {self.shape}, which does not fit "
                f"the index of the pandas input {first} (length {len(index)})"
            )
        return index


# A Series anywhere makes the first signature fail, so the DataFrame one applies.
@overload
def greeks(  # type: ignore[overload-overlap]
    model: str,
    *,
    flag: _PlainFlags,
    S: _Plain | None = None,
    F: _Plain | None = None,
    K: _Plain,
    t: _Plain,
    r: _Plain,
    sigma: _Plain,
    q: _Plain | None = None,
    quantities: Iterable[str] | None = None,
    threads: int | None = None,
    exercise: Literal["european", "american"] = "european",
    accuracy: Literal["fast", "accurate", "high"] = "accurate",
) -> dict[str, _Array]: ...


@overload
def greeks(
    model: str,
    *,
    flag: _Flags,
    S: _Numbers | None = None,
    F: _Numbers | None = None,
    K: _Numbers,
    t: _Numbers,
    r: _Numbers,
    sigma: _Numbers,
    q: _Numbers | None = None,
    quantities: Iterable[str] | None = None,
    threads: int | None = None,
    exercise: Literal["european", "american"] = "european",
    accuracy: Literal["fast", "accurate", "high"] = "accurate",
) -> pd.DataFrame: ...


def greeks(
    model: str,
    *,
    flag: _Flags,
    S: _Numbers | None = None,
    F: _Numbers | None = None,
    K: _Numbers,
    t: _Numbers,
    r: _Numbers,
    sigma: _Numbers,
    q: _Numbers | None = None,
    quantities: Iterable[str] | None = None,
    threads: int | None = None,
    exercise: Literal["european", "american"] = "european",
    accuracy: Literal["fast", "accurate", "high"] = "accurate",
) -> dict[str, _Array] | pd.DataFrame:
    """The price and Greeks of every option in one pass.

    ``model`` is "bs", "bsm" or "black76"; Black-76 takes ``F``, the others
    ``S``, and only bsm takes ``q`` (default 0). Every input broadcasts with the
    others: numbers, lists, NumPy arrays of any real dtype, pandas or polars
    Series. ``flag`` is "c"/"call"/"p"/"put" in any case or a bool (True =
    call), one for all or one per option. ``quantities`` picks any of
    ``kestrovane.QUANTITIES`` (default all sixteen), in the order given.

    Returns a dict of name -> float64 array of the broadcast shape, or a
    pandas DataFrame with the index of the pandas input(s). Element by
    element the values equal the scalar functions' bit for bit. ``threads``
    (default: every usable core) never changes a result.

    ``exercise="american"`` prices American exercise instead (see the
    README's section on it) to the ``accuracy`` "fast", "accurate" or "high";
    it offers price, delta, gamma, vega, theta, rho, dual_delta and
    dual_gamma, and the default ``quantities`` are these.
    """
    import numpy as np

    code = _model_code(model)
    american = _american("greeks", exercise, accuracy)
    names = _quantity_codes(quantities)
    if american is not None:
        if quantities is None:
            names = tuple(n for n in QUANTITIES if n in _AMERICAN_QUANTITIES)
        _check_american_quantities(names)
    count = _thread_count(threads)
    (underlying, X), q = _market("greeks", model, S, F, q)
    book = _Book(np, {underlying: X, "K": K, "t": t, "r": r, "sigma": sigma, "q": q}, flag)
    shape, v = book.shape, book.views
    # One block from a 64-byte boundary (the kernel writes a large output past
    # the caches, a whole vector at a time, where the vector is so aligned),
    # reused by the next call once these arrays are gone.
    size = len(names) * math.prod(shape)
    block = np.frombuffer(_book.output_block(size), np.float64).reshape((len(names), *shape))
    # One C-contiguous row per quantity (a 0-d view, not a scalar, for shape ()).
    outs = tuple(block[i, ...] for i in range(len(names)))
    if names and american is not None:
        _book.american_greeks(
            code,
            american,
            tuple(_QUANTITY_CODES[n] for n in names),
            v["flag"],
            v[underlying],
            v["K"],
            v["t"],
            v["r"],
            v["sigma"],
            v["q"],
            outs,
            count,
        )
    elif names:
        _book.greeks(
            code,
            tuple(_QUANTITY_CODES[n] for n in names),
            v["flag"],
            v[underlying],
            v["K"],
            v["t"],
            v["r"],
            v["sigma"],
            v["q"],
            outs,
            count,
        )
    if book.index is None:
        return dict(zip(names, outs))
    import pandas

    # block.T keeps the one buffer: the frame holds it without a copy.
    return pandas.DataFrame(block.T, index=book.index, columns=list(names), copy=False)


@overload
def implied_volatility(  # type: ignore[overload-overlap]
    model: str,
    *,
    price: _Plain,
    S: _Plain | None = None,
    F: _Plain | None = None,
    K: _Plain,
    t: _Plain,
    r: _Plain,
    q: _Plain | None = None,
    flag: _PlainFlags,
    status: Literal[False] = False,
    threads: int | None = None,
    exercise: Literal["european", "american"] = "european",
    accuracy: Literal["fast", "accurate", "high"] = "accurate",
) -> _Array: ...


@overload
def implied_volatility(  # type: ignore[overload-overlap]
    model: str,
    *,
    price: _Plain,
    S: _Plain | None = None,
    F: _Plain | None = None,
    K: _Plain,
    t: _Plain,
    r: _Plain,
    q: _Plain | None = None,
    flag: _PlainFlags,
    status: Literal[True],
    threads: int | None = None,
    exercise: Literal["european", "american"] = "european",
    accuracy: Literal["fast", "accurate", "high"] = "accurate",
) -> tuple[_Array, NDArray[np.int8]]: ...


@overload
def implied_volatility(
    model: str,
    *,
    price: _Numbers,
    S: _Numbers | None = None,
    F: _Numbers | None = None,
    K: _Numbers,
    t: _Numbers,
    r: _Numbers,
    q: _Numbers | None = None,
    flag: _Flags,
    status: Literal[False] = False,
    threads: int | None = None,
    exercise: Literal["european", "american"] = "european",
    accuracy: Literal["fast", "accurate", "high"] = "accurate",
) -> pd.Series[float]: ...


@overload
def implied_volatility(
    model: str,
    *,
    price: _Numbers,
    S: _Numbers | None = None,
    F: _Numbers | None = None,
    K: _Numbers,
    t: _Numbers,
    r: _Numbers,
    q: _Numbers | None = None,
    flag: _Flags,
    status: Literal[True],
    threads: int | None = None,
    exercise: Literal["european", "american"] = "european",
    accuracy: Literal["fast", "accurate", "high"] = "accurate",
) -> tuple[pd.Series[float], pd.Series[int]]: ...


def implied_volatility(
    model: str,
    *,
    price: _Numbers,
    S: _Numbers | None = None,
    F: _Numbers | None = None,
    K: _Numbers,
    t: _Numbers,
    r: _Numbers,
    q: _Numbers | None = None,
    flag: _Flags,
    status: bool = False,
    threads: int | None = None,
    exercise: Literal["european", "american"] = "european",
    accuracy: Literal["fast", "accurate", "high"] = "accurate",
) -> Any:
    """The implied volatility of every option in one pass.

    Inputs as for ``greeks``, with ``price`` in place of ``sigma``. Each value
    is bit for bit the scalar function's; where that raises (a price below the
    intrinsic value or above the maximum) the value is NaN. With
    ``status=True`` a second array (int8, see ``IvStatus``) says why each value
    is what it is. pandas input gives Series with its index.

    ``exercise="american"`` inverts the American price of ``accuracy``
    instead; a price below the immediate-exercise value is
    ``IvStatus.BELOW_EXERCISE``.
    """
    import numpy as np

    code = _model_code(model)
    american = _american("implied_volatility", exercise, accuracy)
    count = _thread_count(threads)
    (underlying, X), q = _market("implied_volatility", model, S, F, q)
    book = _Book(np, {"price": price, underlying: X, "K": K, "t": t, "r": r, "q": q}, flag)
    v = book.views
    out: Any = np.empty(book.shape)
    reasons: Any = np.empty(book.shape, np.int8) if status else None
    if american is not None:
        solve = functools.partial(_book.american_implied_volatility, code, american)
    else:
        solve = functools.partial(_book.implied_volatility, code)
    solve(
        v["flag"],
        v["price"],
        v[underlying],
        v["K"],
        v["t"],
        v["r"],
        v["q"],
        out,
        reasons,
        count,
    )
    if book.index is not None:
        import pandas

        out = pandas.Series(out, index=book.index, name="implied_volatility", copy=False)
        if reasons is not None:
            reasons = pandas.Series(reasons, index=book.index, name="status", copy=False)
    return (out, reasons) if reasons is not None else out
