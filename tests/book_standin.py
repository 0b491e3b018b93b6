"""A slow pure-Python stand-in for the native ``kestrovane._book``, installed
only where the built package lacks it: the same two entry points, computed
element by element with the scalar functions, holding its callers to the
kernel's calling convention (views of one shape, 1-byte flags, C-contiguous
float64 outputs, threads >= 1)."""

import importlib.util
import math
import sys
import types

import numpy as np

from kestrovane._quantities import MODELS, QUANTITIES, function_name

SOLVED, LOWER_BOUND, UPPER_BOUND, BELOW_INTRINSIC, ABOVE_MAXIMUM, NAN_INPUT, NO_CONVERGENCE = \
    range(7)


def _check(shape, flag, inputs, outs, threads):
    assert isinstance(threads, int) and threads >= 1, threads
    assert flag.shape == shape and flag.dtype.itemsize == 1 and flag.dtype.kind in "bu"
    for a in inputs:
        assert a.shape == shape and a.dtype == np.float64, (a.shape, a.dtype)
    for out in outs:
        assert out.shape == shape and out.dtype == np.float64
        assert out.flags.c_contiguous and out.flags.writeable


def greeks(model, quantities, flag, X, K, t, r, sigma, q, outs, threads):
    import kestrovane

    assert len(quantities) == len(outs)
    _check(flag.shape, flag, (X, K, t, r, sigma, q), outs, threads)
    name = MODELS[model]
    functions = [getattr(kestrovane, function_name(name, QUANTITIES[i])) for i in quantities]
    for i in np.ndindex(flag.shape):
        args = ["c" if flag[i] else "p", float(X[i]), float(K[i]), float(t[i]), float(r[i]),
                float(sigma[i])]
        if name == "bsm":
            args.append(float(q[i]))
        for fn, out in zip(functions, outs):
            out[i] = fn(*args)


def _solve(name, flag, price, X, K, t, r, q):
    import kestrovane

    fn = getattr(kestrovane, f"{name}_implied_volatility")
    try:
        if name == "bs":
            value = fn(price, X, K, t, r, flag)
        elif name == "bsm":
            value = fn(price, X, K, t, r, q, flag)
        else:
            value = fn(price, X, K, r, t, flag)
    except ValueError as exc:
        return math.nan, BELOW_INTRINSIC if "below intrinsic" in str(exc) else ABOVE_MAXIMUM
    except RuntimeError:
        return math.nan, NO_CONVERGENCE
    if math.isnan(value):
        return value, NAN_INPUT
    if value == 1e-6:
        return value, LOWER_BOUND
    return value, UPPER_BOUND if value > 5.0 - 1e-13 else SOLVED


def implied_volatility(model, flag, price, X, K, t, r, q, out, status, threads):
    _check(flag.shape, flag, (price, X, K, t, r, q), (out,), threads)
    if status is not None:
        assert status.shape == out.shape and status.dtype == np.int8
        assert status.flags.c_contiguous and status.flags.writeable
    for i in np.ndindex(flag.shape):
        out[i], reason = _solve(MODELS[model], "c" if flag[i] else "p", float(price[i]),
                                float(X[i]), float(K[i]), float(t[i]), float(r[i]), float(q[i]))
        if status is not None:
            status[i] = reason


def install_if_missing():
    """Puts the stand-in in place of ``kestrovane._book`` if that is not built."""
    if importlib.util.find_spec("kestrovane._book") is None:
        module = types.ModuleType("kestrovane._book", __doc__)
        module.greeks = greeks
        module.implied_volatility = implied_volatility
        sys.modules["kestrovane._book"] = module
