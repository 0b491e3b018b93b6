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
import sys
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Literal, overload

from . import _book, _dates, _frames, _need
from ._quantities import MODEL_INFO, MODELS, QUANTITIES

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

    # The names a type checker holds a call to (the same as MODELS and QUANTITIES).
    _Model = Literal["bs", "bsm", "black76"]
    _Quantity = Literal[
        "price", "delta", "gamma", "vega", "theta", "rho", "vanna", "charm",
        "vomma", "speed", "zomma", "color", "veta", "ultima", "dual_delta", "dual_gamma",
    ]  # fmt: skip
    _Method = Literal["rational", "newton"]

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
    EXPIRED = 7  # NaN: t <= 0, the option has expired
    BELOW_EXERCISE = 8  # NaN: American price below the immediate-exercise value
    IMPRECISE = 9  # rational: the best sigma, but one ulp of the price moves it by > 1e-8


_METHOD_CODES = {"newton": 0, "rational": 1}
_MODEL_CODES = {name: code for code, name in enumerate(MODELS)}
# The models named in the market-input errors.
_FORWARD = " or ".join(m.name for m in MODEL_INFO.values() if m.underlying == "F")
_WITH_Q = " or ".join(m.name for m in MODEL_INFO.values() if m.has_q)
_QUANTITY_CODES = {name: code for code, name in enumerate(QUANTITIES)}
_FLAG_WORDS = {"c": 1, "call": 1, "p": 0, "put": 0}
_FLAG_RULE = "a flag must be 'c', 'call', 'p' or 'put' (any case) or a bool (True = call)"
_MAX_THREADS = 2**31 - 1  # a C int
# NumPy broadcasts at most 32 dimensions (its array limit in NumPy 1, that of
# its broadcasting iterators in NumPy 2); so does the kernel.
_MAX_DIMS = 32

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
    if count > _MAX_THREADS:
        raise ValueError(f"threads must be at most {_MAX_THREADS}, got {count}")
    return count


def _market(function: str, model: str, S: Any, F: Any, q: Any) -> tuple[tuple[str, Any], Any]:
    """The underlying's name and value, and q (0.0 where the model has none);
    a market input the model does not take is an error, not ignored."""
    info = MODEL_INFO[model]
    if info.underlying == "F":
        if S is not None:
            raise TypeError(f"{function}(): {model} takes the forward price F, not S")
        if F is None:
            raise TypeError(f"{function}(): {model} needs F, the forward price")
    else:
        if F is not None:
            raise TypeError(
                f"{function}(): {model} takes the spot price S, not F (F is for {_FORWARD})"
            )
        if S is None:
            raise TypeError(f"{function}(): {model} needs S, the spot price")
    if q is not None and not info.has_q:
        raise TypeError(f"{function}(): {model} takes no dividend yield q (use {_WITH_Q})")
    return (info.underlying, F if info.underlying == "F" else S), (0.0 if q is None else q)


# ---- array inputs ----------------------------------------------------------------


def _is_pandas(value: object) -> bool:
    return any(cls.__module__.partition(".")[0] == "pandas" for cls in type(value).__mro__)


def _is_polars(value: object) -> bool:
    return type(value).__module__.partition(".")[0] == "polars"


def _is_masked(value: object) -> bool:
    ma = sys.modules.get("numpy.ma")  # no masked array exists before it is imported
    return ma is not None and isinstance(value, ma.MaskedArray)


def _masked_error(name: str, value: Any) -> TypeError:
    fill = "True" if name == "flag" else "np.nan"
    return TypeError(
        f"argument {name!r}: got a {type(value).__name__}, whose mask would be ignored; "
        f"fill the masked values first, e.g. with {name}.filled({fill})"
    )


def _output_kind(*inputs: object) -> str:
    """ "polars" where a polars object is among the inputs (and no pandas one
    carries an index, which wins), else ""."""
    return "polars" if any(_is_polars(v) for v in inputs) else ""


def _series_index(name: str, value: Any) -> Any:
    """The index of a pandas Series (None for an Index or a polars Series); a
    DataFrame is refused."""
    if getattr(value, "ndim", 1) != 1 or type(value).__name__ == "DataFrame":
        raise TypeError(
            f"argument {name!r}: pass one column (a Series), not a {type(value).__name__}"
        )
    return getattr(value, "index", None)


def _unbroadcast(array: Any) -> Any:
    """The part of an array that its stride-0 (broadcast) dimensions repeat:
    what a conversion needs to convert, before broadcasting back."""
    if all(stride or length <= 1 for stride, length in zip(array.strides, array.shape)):
        return array
    return array[
        tuple(
            slice(0, 1) if stride == 0 and length > 1 else slice(None)
            for stride, length in zip(array.strides, array.shape)
        )
    ]


def _check_items(np: Any, name: str, value: Any) -> None:
    """Refuses what NumPy would read wrong inside nested lists and tuples: a
    bool (read as 0 or 1) or a masked array (read without its mask)."""
    pending = [value]
    while pending:
        items = pending.pop()
        for kind in set(map(type, items)):
            if issubclass(kind, (bool, np.bool_)):
                raise TypeError(
                    f"argument {name!r}: expected real numbers, got a bool inside a "
                    f"{type(value).__name__}"
                )
            if issubclass(kind, (int, float, np.number)):
                continue
            for item in items:
                if type(item) is not kind:
                    continue
                if isinstance(item, (list, tuple)):
                    pending.append(item)
                elif _is_masked(item):
                    raise _masked_error(name, item)
                elif getattr(getattr(item, "dtype", None), "kind", None) == "b":
                    raise TypeError(
                        f"argument {name!r}: expected real numbers, got bools (a "
                        f"{type(item).__name__}) inside a {type(value).__name__}"
                    )


def _python_ints(np: Any, name: str, array: Any) -> Any:
    """An object array of Python ints beyond NumPy's integer types (and
    floats) as float64, each converted as float() converts it, like the
    scalar functions do; unchanged if it holds anything else."""
    items = array.reshape(-1).tolist()
    real = (int, float, np.integer, np.floating)
    if any(kind is bool or not issubclass(kind, real) for kind in set(map(type, items))):
        return array
    try:
        return np.array([float(x) for x in items], np.float64).reshape(array.shape)
    except OverflowError:
        big = max((x for x in items if type(x) is int), key=abs)
        raise OverflowError(
            f"argument {name!r}: int too large to convert to float "
            f"(got an int of {big.bit_length()} bits)"
        ) from None


def _numbers(np: Any, name: str, value: Any) -> tuple[Any, Any]:
    """A float64 array of ``value`` (a view where no conversion is needed) and
    its pandas index, if it has one. Only real numbers are accepted: bools,
    complex, dates, strings and objects are refused rather than coerced, and
    so are masked arrays."""
    index = None
    dtype = None
    if _is_masked(value):
        raise _masked_error(name, value)
    if _is_pandas(value) or _is_polars(value):
        index = _series_index(name, value)
    plain = not isinstance(value, np.ndarray) and not _is_pandas(value) and not _is_polars(value)
    if plain and isinstance(value, Sequence) and not isinstance(value, (str, bytes)):
        _check_items(np, name, value)
    try:
        if _is_pandas(value):
            dtype = value.dtype
            if not isinstance(dtype, np.dtype) and dtype.kind in "iuf":
                # A nullable extension dtype: its missing values become NaN.
                value = value.to_numpy(dtype=np.float64, na_value=np.nan)
        elif _is_polars(value) and str(value.dtype) in ("Int128", "UInt128"):
            # NumPy has no 128-bit integers: each value as float() reads it.
            value = np.array([math.nan if x is None else float(x) for x in value.to_list()])
        array = np.asarray(value)
    except OverflowError as exc:
        raise OverflowError(f"argument {name!r}: {exc}") from None
    except (TypeError, ValueError) as exc:
        raise TypeError(f"argument {name!r}: cannot be read as numbers: {exc}") from None
    except MemoryError:
        raise
    except Exception as exc:  # a library's own error (polars)
        raise TypeError(
            f"argument {name!r}: cannot be read as numbers: {type(exc).__name__}: {exc}"
        ) from None
    if plain and array.dtype.kind == "O":
        array = _python_ints(np, name, array)
    if array.dtype.kind not in "iuf":
        got = type(value).__name__
        if array.ndim or not isinstance(value, (int, float, complex, str, bool, type(None))):
            got += f" with dtype {dtype if dtype is not None else array.dtype}"
        raise TypeError(f"argument {name!r}: expected real numbers, got {got}")
    if array.ndim > _MAX_DIMS:
        raise _dims_error(name, array.ndim)
    if array.dtype == np.float64:
        return array, index
    # A broadcast (stride-0) input is converted once, not at its full size.
    core = _unbroadcast(array)
    converted = core.astype(np.float64)
    return (converted if core is array else np.broadcast_to(converted, array.shape)), index


def _dims_error(name: str, ndim: int) -> ValueError:
    return ValueError(
        f"argument {name!r} has {ndim} dimensions: a book has at most {_MAX_DIMS}, "
        "the most NumPy broadcasts"
    )


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


def _checked(np: Any, codes: Any, value_at: Any) -> Any:
    """Flag codes (int8: 1 call, 0 put, -1 neither) as bools, or the error
    naming the first flag that is neither."""
    invalid = codes < 0
    if invalid.any():
        position = int(np.argmax(invalid.reshape(-1)))
        raise _flag_error(np, codes.shape, position, value_at(position))
    return codes == 1


def _native_flags(np: Any, values: Any, shape: tuple[int, ...], value_at: Any) -> Any:
    """Text flags read by the native module in one pass: a C-contiguous str or
    bytes array, an object array, or an Arrow text column."""
    calls = np.empty(shape, np.bool_)
    bad = _book.flag_codes(values, calls)
    if bad >= 0:
        raise _flag_error(np, shape, bad, value_at(bad))
    return calls


def _array_flags(np: Any, values: Any) -> Any:
    """Flags of a NumPy array: bools as they are, text and objects read natively."""
    kind = values.dtype.kind

    def value_at(position: int) -> Any:
        value = values.reshape(-1)[position]
        return value.item() if isinstance(value, np.generic) else value

    if kind == "b":
        return values
    if kind in "USOT":  # T: NumPy's variable-width StringDType
        if not values.dtype.isnative:
            values = values.astype(values.dtype.newbyteorder("="))
        return _native_flags(np, np.ascontiguousarray(values), values.shape, value_at)
    return _checked(np, np.full(values.shape, -1, np.int8), value_at)


def _pandas_flags(np: Any, flag: Any) -> Any:
    dtype = flag.dtype
    if isinstance(dtype, np.dtype) and dtype.kind == "b":
        return np.asarray(flag)
    # A Series, or a pandas array passed on its own (a Categorical, say).
    item = lambda p: np.asarray(flag, dtype=object)[p]  # noqa: E731
    if dtype.name == "category":
        # Few distinct words: each read once, then looked up by its code.
        categorical = getattr(flag, "cat", flag)
        table = [_object_code(word) for word in categorical.categories] + [-1]
        codes = np.array(table, np.int8)[np.asarray(categorical.codes)]
        return _checked(np, codes, item)
    text = type(dtype).__name__ == "StringDtype" or dtype.name.startswith("string")
    if text and getattr(dtype, "storage", None) == "pyarrow":
        column = getattr(flag, "array", flag).__arrow_array__()
        return _native_flags(np, column, (len(flag),), item)
    return _array_flags(np, np.asarray(flag.to_numpy()))


def _polars_categories(np: Any, flag: Any) -> Any:
    """A polars Categorical or Enum by its physical codes: each category read
    once, natively, then looked up. None where this polars does not say which
    string a code stands for."""
    categories: Any = getattr(flag.dtype, "categories", None)
    words: Any = getattr(categories, "to_series", lambda: categories)()
    if type(words).__name__ != "Series" or type(words.dtype).__name__ != "String":
        return None
    table = np.empty(len(words) + 1, np.int8)  # the last for a null
    _book.flag_codes(words, table[:-1])
    table[-1] = -1
    codes = flag.to_physical()
    if codes.null_count():
        codes = codes.fill_null(len(words))
    codes = table[codes.to_numpy()]
    return _checked(np, codes, lambda p: flag[p]) if (table < 0).any() else codes == 1


def _polars_flags(np: Any, flag: Any) -> Any:
    kind = type(flag.dtype).__name__
    if kind in ("Categorical", "Enum"):
        calls = _polars_categories(np, flag)
        if calls is not None:
            return calls
    if kind in ("String", "Categorical", "Enum"):
        return _native_flags(np, flag, (len(flag),), lambda p: flag[p])
    if kind == "Boolean" and not flag.null_count():
        return flag.to_numpy()
    return _array_flags(np, np.asarray(flag.to_numpy()))


def _flags(np: Any, flag: Any) -> tuple[Any, Any]:
    """A bool array (True = call) of the flag's shape, and its pandas index.
    Text is never read one element at a time in Python."""
    if isinstance(flag, str):
        code = _FLAG_WORDS.get(flag.lower(), -1)
        if code < 0:
            raise _flag_error(np, (), 0, flag)
        return np.asarray(code == 1), None
    if _is_pandas(flag):
        return _pandas_flags(np, flag), _series_index("flag", flag)
    if _is_polars(flag):
        return _polars_flags(np, flag), None
    return _array_flags(np, np.asarray(flag)), None


# ---- broadcasting and the pandas index -------------------------------------------


class _Book:
    """The inputs of one call as views of one broadcast shape, and the pandas
    index of the result if any input carried one."""

    def __init__(self, np: Any, numbers: dict[str, Any], flag: Any) -> None:
        arrays: dict[str, Any] = {}
        indexes: dict[str, Any] = {}
        for name, value in numbers.items():
            arrays[name], indexes[name] = _numbers(np, name, value)
        if _is_masked(flag):
            raise _masked_error("flag", flag)
        if isinstance(flag, np.ndarray) and flag.ndim > _MAX_DIMS:
            raise _dims_error("flag", flag.ndim)
        # A broadcast flag array is read once, not at its full size.
        core = _unbroadcast(flag) if isinstance(flag, np.ndarray) else flag
        arrays["flag"], indexes["flag"] = _flags(np, core)
        if core is not flag:
            arrays["flag"] = np.broadcast_to(arrays["flag"], flag.shape)
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


# ---- outputs ---------------------------------------------------------------------


def _fresh(np: Any, shape: tuple[int, ...]) -> Any:
    """A new float64 array of ``shape`` from NumPy's allocator, starting at a
    64-byte boundary: a large output is written past the caches a whole vector
    at a time where the vector is so aligned."""
    size = math.prod(shape)
    raw = np.empty(size + 7)
    skip = (-raw.__array_interface__["data"][0] % 64) // 8
    return raw[skip : skip + size].reshape(shape)


def _reused(np: Any, name: str, array: Any, dtype: Any, shape: tuple[int, ...]) -> Any:
    """``array`` if it can take a call's output of ``shape`` and ``dtype``."""
    if not isinstance(array, np.ndarray):
        raise TypeError(f"{name} must be a NumPy array, not {type(array).__name__}")
    if array.dtype != dtype:
        raise TypeError(f"{name} has dtype {array.dtype}, not {np.dtype(dtype)}")
    if array.shape != shape:
        raise ValueError(f"{name} has shape {array.shape}, not the inputs' shape {shape}")
    if not (array.flags.c_contiguous and array.flags.writeable):
        raise ValueError(f"{name} must be C-contiguous and writeable")
    return array


def _check_apart(np: Any, outs: dict[str, Any], views: dict[str, Any]) -> None:
    """Refuses outputs that share memory with an input or with each other:
    the kernel would read values it has already overwritten."""
    named = list(outs.items())
    for i, (name, array) in enumerate(named):
        for other, value in [*views.items(), *named[i + 1 :]]:
            if np.shares_memory(array, value):
                raise ValueError(f"{name} shares memory with {other}: pass separate arrays")


def _greeks_outs(
    np: Any, out: object, names: tuple[str, ...], book: _Book, kind: str
) -> tuple[Any, tuple[Any, ...]]:
    """The result to return and one output per quantity: new arrays, or the
    arrays of ``out`` (a previous call's dict) once they are checked."""
    shape = book.shape
    if out is None:
        if not kind:
            outs = tuple(_fresh(np, shape) for _ in names)
            return dict(zip(names, outs)), outs
        # One block for the DataFrame, which then holds it without a copy.
        block = np.empty((len(names), *shape))
        return block, tuple(block[i] for i in range(len(names)))
    if kind:
        raise TypeError(f"out= takes NumPy arrays; with {kind} inputs each call makes a new frame")
    if not isinstance(out, dict):
        raise TypeError(f"out must be a dict of name -> float64 array, not {type(out).__name__}")
    if set(out) != set(names):
        raise ValueError(
            f"out holds {', '.join(map(str, out))}; this call computes {', '.join(names)}"
        )
    arrays = {f"out[{n!r}]": _reused(np, f"out[{n!r}]", out[n], np.float64, shape) for n in names}
    _check_apart(np, arrays, book.views)
    return out, tuple(arrays.values())


def _iv_outs(np: Any, out: object, status: bool, book: _Book, kind: str) -> tuple[Any, Any]:
    """The values' and (with ``status``) the statuses' arrays: new ones, or
    those of ``out`` (the array or pair a previous call returned) once checked."""
    shape = book.shape
    if out is None:
        return np.empty(shape), np.empty(shape, np.int8) if status else None
    if kind:
        raise TypeError(f"out= takes NumPy arrays; with {kind} inputs each call makes new Series")
    if status:
        if not (isinstance(out, tuple) and len(out) == 2):
            raise TypeError("with status=True, out must be the pair (values, status)")
        arrays = {"out[0]": _reused(np, "out[0]", out[0], np.float64, shape)}
        arrays["out[1]"] = _reused(np, "out[1]", out[1], np.int8, shape)
    else:
        arrays = {"out": _reused(np, "out", out, np.float64, shape)}
    _check_apart(np, arrays, book.views)
    values, *reasons = arrays.values()
    return values, reasons[0] if reasons else None


# A Series anywhere makes the first signature fail, so the DataFrame one applies.
@overload
def greeks(  # type: ignore[overload-overlap]
    model: _Model,
    *,
    flag: _PlainFlags,
    S: _Plain | None = None,
    F: _Plain | None = None,
    K: _Plain,
    t: _Plain,
    r: _Plain,
    sigma: _Plain,
    q: _Plain | None = None,
    quantities: _Quantity | Iterable[_Quantity] | None = None,
    threads: int | None = None,
    exercise: Literal["european", "american"] = "european",
    accuracy: Literal["fast", "accurate", "high"] = "accurate",
    as_of: Any = None,
    days_in_year: float | None = None,
    out: dict[str, _Array] | None = None,
) -> dict[str, _Array]: ...


@overload
def greeks(
    model: _Model,
    *,
    flag: _Flags,
    S: _Numbers | None = None,
    F: _Numbers | None = None,
    K: _Numbers,
    t: _Numbers,
    r: _Numbers,
    sigma: _Numbers,
    q: _Numbers | None = None,
    quantities: _Quantity | Iterable[_Quantity] | None = None,
    threads: int | None = None,
    exercise: Literal["european", "american"] = "european",
    accuracy: Literal["fast", "accurate", "high"] = "accurate",
    as_of: Any = None,
    days_in_year: float | None = None,
    out: None = None,
) -> pd.DataFrame: ...


def greeks(
    model: _Model,
    *,
    flag: _Flags,
    S: _Numbers | None = None,
    F: _Numbers | None = None,
    K: _Numbers,
    t: _Numbers,
    r: _Numbers,
    sigma: _Numbers,
    q: _Numbers | None = None,
    quantities: _Quantity | Iterable[_Quantity] | None = None,
    threads: int | None = None,
    exercise: Literal["european", "american"] = "european",
    accuracy: Literal["fast", "accurate", "high"] = "accurate",
    as_of: Any = None,
    days_in_year: float | None = None,
    out: dict[str, _Array] | None = None,
) -> Any:
    """The price and Greeks of every option in one pass.

    ``model`` is "bs", "bsm" or "black76"; Black-76 takes ``F``, the others
    ``S``, and only bsm takes ``q`` (default 0). Every input broadcasts with the
    others: numbers, lists, NumPy arrays of any real dtype, pandas or polars
    Series. ``flag`` is "c"/"call"/"p"/"put" in any case or a bool (True =
    call), one for all or one per option, as bools or text in any array or
    column form. ``quantities`` picks any of ``kestrovane.QUANTITIES``
    (default all sixteen), in the order given.

    ``t`` is the time to expiry in years, or the expiry dates (datetime64,
    pandas or polars datetimes, ``datetime``/``date``) with ``as_of`` the
    valuation time: t is then the exact elapsed time in years of
    ``days_in_year`` days (365 unless given), intraday included; both or
    neither carry a time zone.

    Returns a dict of name -> float64 array of the broadcast shape, a pandas
    DataFrame with the index of the pandas input(s), or a polars DataFrame
    for polars inputs. Element by element the values equal the scalar
    functions' bit for bit. ``threads`` (default: every usable core) never
    changes a result.

    Returns a dict of name -> float64 array of the broadcast shape, or a
    pandas DataFrame with the index of the pandas input(s). Element by
    element the values equal the scalar functions' bit for bit. ``threads``
    (default: every usable core) never changes a result.

    ``exercise="american"`` prices American exercise instead (see the
    README's section on it) to the ``accuracy`` "fast", "accurate" or "high";
    it offers price, delta, gamma, vega, theta, rho, dual_delta and
    dual_gamma, and the default ``quantities`` are these.

    ``out=previous`` writes into the dict a previous call returned (the same
    quantities, float64 arrays of the broadcast shape, C-contiguous, writeable,
    sharing no memory with an input or each other) and returns that dict; with
    pandas or polars inputs it is refused.
    """
    np = _need.numpy()

    code = _model_code(model)
    american = _american("greeks", exercise, accuracy)
    names = _quantity_codes(quantities)
    if american is not None:
        if quantities is None:
            names = tuple(n for n in QUANTITIES if n in _AMERICAN_QUANTITIES)
        _check_american_quantities(names)
    count = _thread_count(threads)
    (underlying, X), q = _market("greeks", model, S, F, q)
    kind = _output_kind(flag, S, F, K, t, r, sigma, q, as_of)
    t = _dates.times_to_expiry(np, t, as_of, days_in_year)
    book = _Book(np, {underlying: X, "K": K, "t": t, "r": r, "sigma": sigma, "q": q}, flag)
    if book.index is not None:
        kind = "pandas"
    v = book.views
    result, outs = _greeks_outs(np, out, names, book, kind)
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
    if not kind:
        return result
    return _frames.greeks_frame(kind, book.index, names, result, outs)


@overload
def implied_volatility(  # type: ignore[overload-overlap]
    model: _Model,
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
    method: _Method = "rational",
    as_of: Any = None,
    days_in_year: float | None = None,
    out: _Array | None = None,
) -> _Array: ...


@overload
def implied_volatility(  # type: ignore[overload-overlap]
    model: _Model,
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
    method: _Method = "rational",
    as_of: Any = None,
    days_in_year: float | None = None,
    out: tuple[_Array, NDArray[np.int8]] | None = None,
) -> tuple[_Array, NDArray[np.int8]]: ...


@overload
def implied_volatility(
    model: _Model,
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
    method: _Method = "rational",
    as_of: Any = None,
    days_in_year: float | None = None,
    out: None = None,
) -> pd.Series[float]: ...


@overload
def implied_volatility(
    model: _Model,
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
    method: _Method = "rational",
    as_of: Any = None,
    days_in_year: float | None = None,
    out: None = None,
) -> tuple[pd.Series[float], pd.Series[Any]]: ...


def implied_volatility(
    model: _Model,
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
    method: _Method = "rational",
    as_of: Any = None,
    days_in_year: float | None = None,
    out: Any = None,
) -> Any:
    """The implied volatility of every option in one pass.

    Inputs as for ``greeks``, with ``price`` in place of ``sigma``. With
    ``status=True`` a second array (int8, see ``IvStatus``) says why each value
    is what it is. pandas input gives Series with its index, polars input
    polars Series; their statuses are a categorical of the ``IvStatus`` names
    whose codes are the status values.

    ``method="rational"`` (the default) inverts the price to machine precision
    in a fixed number of steps, with no cap on the volatility: the intrinsic
    value gives 0.0 (``LOWER_BOUND``), the maximum gives infinity
    (``UPPER_BOUND``), prices beyond either NaN, and t <= 0 NaN (``EXPIRED``).
    ``SOLVED`` values are within 1e-6 of the exact inverse; where the price
    fixes sigma less well the best sigma comes back as ``IMPRECISE``.
    ``method="newton"`` is bit for bit the scalar function's solver; where
    that raises (a price below the intrinsic value or above the maximum) the
    value is NaN, and so it is for an expired option (t <= 0, ``EXPIRED``).

    ``out=previous`` writes into what a previous call returned (the array, or
    the pair with ``status=True``), checked as for ``greeks``, and returns it.

    ``exercise="american"`` inverts the American price of ``accuracy``
    instead; a price below the immediate-exercise value is
    ``IvStatus.BELOW_EXERCISE``.
    """
    np = _need.numpy()

    code = _model_code(model)
    method_code = _METHOD_CODES.get(method) if isinstance(method, str) else None
    if method_code is None:
        raise ValueError(f"unknown method {method!r}: valid methods are 'rational', 'newton'")
    american = _american("implied_volatility", exercise, accuracy)
    count = _thread_count(threads)
    (underlying, X), q = _market("implied_volatility", model, S, F, q)
    kind = _output_kind(flag, price, S, F, K, t, r, q, as_of)
    t = _dates.times_to_expiry(np, t, as_of, days_in_year)
    book = _Book(np, {"price": price, underlying: X, "K": K, "t": t, "r": r, "q": q}, flag)
    if book.index is not None:
        kind = "pandas"
    v = book.views
    values, reasons = _iv_outs(np, out, status, book, kind)
    if american is not None:
        solve = functools.partial(_book.american_implied_volatility, code, american)
        extra: tuple[int, ...] = ()
    else:
        solve = functools.partial(_book.implied_volatility, code)
        extra = (method_code,)
    solve(
        v["flag"],
        v["price"],
        v[underlying],
        v["K"],
        v["t"],
        v["r"],
        v["q"],
        values,
        reasons,
        count,
        *extra,
    )
    if out is not None:
        return out
    if kind:
        values, reasons = _frames.iv_series(kind, book.index, values, reasons, IvStatus)
    return (values, reasons) if reasons is not None else values
