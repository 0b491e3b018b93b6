"""The whole-book kernels of kestrovane._book, driven directly: every element is
bit for bit the scalar function's value, whatever the layout, the flags, the
rates or the thread count."""

import math

import kestrovane._kestrovane as kv
import numpy as np
import pytest
from kestrovane import _book
from kestrovane._quantities import MODELS as MODEL_NAMES
from kestrovane._quantities import QUANTITIES

MODELS = {name: code for code, name in enumerate(MODEL_NAMES)}
PRICE = {"bs": "bs_black_scholes", "bsm": "bsm_black_scholes_merton", "black76": "black76_black"}
EDGES = [0.0, -0.0, 1e-300, 1e-8, 0.5, 1.0, 100.0, 1e300, math.inf, -math.inf, math.nan, -1.0]


def scalar(model, quantity):
    name = PRICE[model] if quantity == "price" else f"{model}_{quantity}"
    return getattr(kv, name)


def expected_greek(model, quantity, flag, X, K, t, r, sigma, q):
    f = scalar(model, quantity)
    out = np.empty(flag.shape)
    for i in np.ndindex(flag.shape):
        args = ("c" if flag[i] else "p", X[i], K[i], t[i], r[i], sigma[i])
        out[i] = f(*args, q[i]) if model == "bsm" else f(*args)
    return out


def bits(a):
    return np.ascontiguousarray(a).view(np.uint64)


def book_inputs(n, seed=7):
    """Random options with a share of edge values in every input; mixed flags,
    per-option r and q."""
    rng = np.random.default_rng(seed)

    def column(lo, hi):
        values = rng.uniform(lo, hi, n)
        edge = rng.random(n) < 0.15
        values[edge] = rng.choice(EDGES, edge.sum())
        return values

    flag = rng.random(n) < 0.5
    X, K = column(50, 150), column(50, 150)
    K[: n // 10] = X[: n // 10] * rng.choice([1e-3, 1e3], n // 10)  # deep in and out of the money
    return flag, X, K, column(0, 3), column(-0.05, 0.1), column(0.01, 1.5), column(-0.02, 0.08)


def run_greeks(model, inputs, quantities=QUANTITIES, threads=1):
    shape = np.broadcast_shapes(*(np.shape(a) for a in inputs))
    views = [
        np.broadcast_to(np.asarray(a, dtype=bool if k == 0 else float), shape)
        for k, a in enumerate(inputs)
    ]
    outs = tuple(np.empty(shape) for _ in quantities)
    _book.greeks(
        MODELS[model], tuple(QUANTITIES.index(n) for n in quantities), *views, outs, threads
    )
    return dict(zip(quantities, outs)), views


@pytest.mark.parametrize("model", MODELS)
def test_every_quantity_is_the_scalar_value(model):
    inputs = book_inputs(700)
    got, _ = run_greeks(model, inputs)
    for quantity in QUANTITIES:
        want = expected_greek(model, quantity, *inputs)
        mismatch = np.flatnonzero(bits(got[quantity]) != bits(want))
        assert mismatch.size == 0, (quantity, mismatch[:5])


@pytest.mark.parametrize("model", MODELS)
def test_one_quantity_alone_and_in_any_order(model):
    inputs = book_inputs(203, seed=3)
    together, _ = run_greeks(model, inputs, QUANTITIES[::-1])
    for quantity in ("theta", "charm", "dual_delta", "rho"):
        alone, _ = run_greeks(model, inputs, (quantity,))
        assert np.array_equal(bits(alone[quantity]), bits(together[quantity]))


@pytest.mark.parametrize(
    "model, rate", [("bsm", 0.03), ("bsm", -0.0), ("black76", 0.03), ("black76", math.inf)]
)
def test_broadcast_and_strided_inputs(model, rate):
    rng = np.random.default_rng(11)
    K = rng.uniform(80, 120, (6, 1))
    t = rng.uniform(0.05, 2, (1, 9))
    flag = np.array([[True], [False]] * 3)
    raw = np.zeros(9 * 2 * 8 + 1, dtype=np.uint8)  # an unaligned, strided sigma row
    sigma = np.frombuffer(raw.data, dtype=float, count=18, offset=1)[::2]
    sigma[:] = rng.uniform(0.1, 0.6, 9)
    S = rng.uniform(90, 110, (6, 9))[:, ::-1].T.T  # a reversed (negative-stride) view
    inputs = (flag, S, K, t, rate, sigma, -0.0)
    got, views = run_greeks(model, inputs, ("price", "vanna", "theta"))
    assert views[2].strides[1] == 0 and views[4].strides == (0, 0)
    for quantity, out in got.items():
        assert out.shape == (6, 9)
        assert np.array_equal(bits(out), bits(expected_greek(model, quantity, *views)))


def test_zero_dimensional_and_empty():
    got, _ = run_greeks("bs", (True, 100.0, 95.0, 0.5, 0.02, 0.3, 0.0), ("delta",))
    assert got["delta"].shape == () and got["delta"] == kv.bs_delta(
        "c", 100.0, 95.0, 0.5, 0.02, 0.3
    )
    empty = np.empty((0, 3))
    got, _ = run_greeks("bsm", (True, empty, 95.0, 0.5, 0.02, 0.3, 0.0), ("delta",))
    assert got["delta"].shape == (0, 3)


def test_threads_change_no_bit():
    inputs = book_inputs(40_003, seed=5)
    one, _ = run_greeks("bsm", inputs, ("price", "charm", "ultima"), threads=1)
    two, _ = run_greeks("bsm", inputs, ("price", "charm", "ultima"), threads=2)
    many, _ = run_greeks("bsm", inputs, ("price", "charm", "ultima"), threads=64)
    for quantity in one:
        assert np.array_equal(bits(one[quantity]), bits(two[quantity]))
        assert np.array_equal(bits(one[quantity]), bits(many[quantity]))


# ---- implied volatility --------------------------------------------------------

SOLVED, LOWER_BOUND, UPPER_BOUND, BELOW_INTRINSIC, ABOVE_MAXIMUM, NAN_INPUT = range(6)


def run_iv(model, flag, price, X, K, t, r, q, threads=1, status=True):
    views = np.broadcast_arrays(
        np.asarray(flag, bool), *(np.asarray(a, float) for a in (price, X, K, t, r, q))
    )
    out = np.empty(views[0].shape)
    codes = np.empty(views[0].shape, np.int8) if status else None
    _book.implied_volatility(MODELS[model], *views, out, codes, threads)
    return out, codes, views


def expected_iv(model, flag, price, X, K, t, r, q):
    f = getattr(kv, f"{model}_implied_volatility")
    out = np.empty(flag.shape)
    for i in np.ndindex(flag.shape):
        fl = "c" if flag[i] else "p"
        args = {
            "bs": (price[i], X[i], K[i], t[i], r[i], fl),
            "bsm": (price[i], X[i], K[i], t[i], r[i], q[i], fl),
            "black76": (price[i], X[i], K[i], r[i], t[i], fl),
        }[model]
        try:
            out[i] = f(*args)
        except (ValueError, RuntimeError):
            out[i] = math.nan
    return out


@pytest.mark.parametrize("model", MODELS)
def test_implied_volatility_is_the_scalar_value(model):
    flag, X, K, t, r, sigma, q = book_inputs(600, seed=13)
    prices, _ = run_greeks(model, (flag, X, K, t, r, sigma, q), ("price",))
    price = prices["price"]
    price[::7] *= 1.3  # some quotes off the model, some beyond a bound
    out, codes, views = run_iv(model, flag, price, X, K, t, r, q)
    assert np.array_equal(bits(out), bits(expected_iv(model, *views)))
    assert set(np.unique(codes)) <= set(range(7))
    assert np.all(np.isnan(out) == np.isin(codes, [BELOW_INTRINSIC, ABOVE_MAXIMUM, NAN_INPUT]))


def test_implied_volatility_status_tells_the_cases_apart():
    S, K, t, r = 100.0, 100.0, 1.0, 0.05
    fair = kv.bs_black_scholes("c", S, K, t, r, 0.2)
    cases = [  # (flag, price, K, status)
        (True, fair, K, SOLVED),
        (True, 0.0, 150.0, LOWER_BOUND),  # out of the money, priced at its intrinsic value 0
        (True, S, K, UPPER_BOUND),  # the most a call can be worth: the bracket's top
        (False, -1.0, K, BELOW_INTRINSIC),
        (True, S + 1.0, K, ABOVE_MAXIMUM),
        (True, math.nan, K, NAN_INPUT),
    ]
    flag, price, strike, want = (np.array(c) for c in zip(*cases))
    out, codes, views = run_iv("bs", flag, price, S, strike, t, r, 0.0)
    assert codes.tolist() == want.tolist()
    assert np.array_equal(bits(out), bits(expected_iv("bs", *views)))
    assert out[1] == 1e-6 and 4.99 < out[2] < 5.0
    plain, none, _ = run_iv("bs", flag, price, S, strike, t, r, 0.0, status=False)
    assert none is None and np.array_equal(bits(plain), bits(out))


def test_implied_volatility_threads_change_no_bit():
    flag, X, K, t, r, sigma, q = book_inputs(40_001, seed=17)
    price = run_greeks("bsm", (flag, X, K, t, r, sigma, q), ("price",))[0]["price"]
    one = run_iv("bsm", flag, price, X, K, t, r, q, threads=1)
    two = run_iv("bsm", flag, price, X, K, t, r, q, threads=2)
    assert np.array_equal(bits(one[0]), bits(two[0])) and np.array_equal(one[1], two[1])


# ---- the boundary ----------------------------------------------------------------


def greeks_call(**change):
    args = dict(
        model=1,
        quantities=(0,),
        flag=np.ones(3, bool),
        X=np.ones(3),
        K=np.ones(3),
        t=np.ones(3),
        r=np.ones(3),
        sigma=np.ones(3),
        q=np.ones(3),
        outs=(np.empty(3),),
        threads=1,
    )
    args.update(change)
    return lambda: _book.greeks(*args.values())


@pytest.mark.parametrize(
    "change, error, text",
    [
        (dict(model=3), ValueError, "model must be"),
        (dict(quantities=(16,)), ValueError, "quantity index 16"),
        (dict(quantities=[0]), TypeError, "tuple"),
        (dict(outs=()), ValueError, "one buffer per quantity"),
        (dict(threads=0), ValueError, "threads"),
        (dict(K=np.ones(3, np.float32)), TypeError, "K: expected float64"),
        (dict(flag=np.ones(3, np.int16)), TypeError, "flag: expected 1-byte"),
        (dict(t=[1.0, 1.0, 1.0]), TypeError, "t: expected an object with the buffer protocol"),
        (
            dict(sigma=np.ones(4)),
            ValueError,
            r"sigma: shape \(4,\) differs from the output shape \(3,\)",
        ),
        (dict(outs=(np.empty(6)[::2],)), ValueError, "not C-contiguous"),
        (dict(outs=(np.frombuffer(bytes(24)),)), ValueError, "read-only"),
        (dict(X=np.ones(3).astype(">f8")), TypeError, "X: expected float64"),
    ],
)
def test_greeks_rejects_bad_arguments(change, error, text):
    with pytest.raises(error, match=text):
        greeks_call(**change)()


def test_implied_volatility_rejects_a_bad_status_buffer():
    ones = np.ones(2)
    with pytest.raises(TypeError, match="status: expected int8"):
        _book.implied_volatility(
            0,
            np.ones(2, bool),
            ones,
            ones,
            ones,
            ones,
            ones,
            ones,
            np.empty(2),
            np.empty(2, np.int16),
            1,
        )
