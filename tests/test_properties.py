"""Relations over arbitrary doubles (NaN payloads, infinities, signed zeros,
subnormals, huge values), compared bit for bit; every NaN result is the default
quiet NaN. The default hypothesis profile keeps this short; run with
`--hypothesis-profile=soak` for many more examples."""

import math
import struct
from decimal import Decimal

import kestrovane as kv
import numpy as np
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

FUNCTIONS = [name for name in kv.__all__ if name != "__version__"]
SCALARS = [name for name in FUNCTIONS if not name.endswith("_array")]
ARRAYS = [name for name in FUNCTIONS if name.endswith("_array")]
PER_OPTION = {"price", "S", "F", "K", "t", "sigma"}  # arrays in the _array functions
DEFAULT_NAN = 0x7FF8000000000000
TOP_OF_BRACKET = 4.999999999999996
SOLVER_ERRORS = {
    (ValueError, "price is below intrinsic value"),
    (ValueError, "price exceeds theoretical maximum"),
    (RuntimeError, "IV solver failed to converge"),
}


def params(name):
    return [p.strip() for p in getattr(kv, name).__text_signature__.strip("()").split(",")]


def u64(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def is_nan(b):
    return (b >> 52) & 0x7FF == 0x7FF and b & (2**52 - 1) != 0


def outcome(name, *args, **kwargs):
    """Bits of the result, or (exception type, message) for a solver error."""
    try:
        value = getattr(kv, name)(*args, **kwargs)
    except (ValueError, RuntimeError) as e:
        assert "implied_volatility" in name and (type(e), str(e)) in SOLVER_ERRORS, (name, args, e)
        return (type(e), str(e))
    assert type(value) is float
    bits = u64(value)
    assert not is_nan(bits) or bits == DEFAULT_NAN, (name, args, hex(bits))
    return bits


def exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan, 5e-324, -5e-324]
SPECIAL += [2.2250738585072014e-308, 1.7976931348623157e308, 1.0, -1.0, 1e-300, 1e300, 0.5, 100.0]
doubles = st.one_of(
    st.floats(),  # any double, NaN and infinities included
    st.floats(-300.0, 300.0),  # where the formulas do their work
    st.integers(0, 2**64 - 1).map(from_bits),  # any bit pattern: NaN payloads, signs
    st.sampled_from(SPECIAL),
)
flags = st.sampled_from(["c", "p", "C", "P", "call", "put"])


def draw_scalar_args(data, name):
    return [data.draw(flags if p == "flag" else doubles, label=p) for p in params(name)]


# ------------------------------------------------------------ _array elements equal scalar calls


@pytest.mark.parametrize("name", ARRAYS)
@given(data=st.data())
def test_array_elements_equal_scalar_calls(name, data):
    n = data.draw(st.integers(0, 19), label="n")  # past two blocks of eight, and a tail
    args = []
    for p in params(name):
        if p in PER_OPTION:
            column = data.draw(st.lists(doubles, min_size=n, max_size=n), label=p)
            args.append(np.array(column, dtype=np.float64))
        else:
            args.append(data.draw(flags if p == "flag" else doubles, label=p))
    out = getattr(kv, name)(*args)
    assert type(out) is np.ndarray and out.dtype == np.float64 and out.shape == (n,)
    got = out.view(np.uint64).tolist()
    for i in range(n):
        element = [a[i].item() if isinstance(a, np.ndarray) else a for a in args]
        expected = outcome(name[: -len("_array")], *element)
        if isinstance(expected, tuple):  # a scalar solver error is the default NaN
            expected = DEFAULT_NAN
        assert got[i] == expected, (i, element)


# ------------------------------------------------------------ black76_* is bsm_* with S = F, q = r

B76 = [name for name in SCALARS if name.startswith("black76_") and name != "black76_rho"]
finite = st.one_of(st.floats(allow_nan=False, allow_infinity=False), st.floats(-2.0, 5.0))


@pytest.mark.parametrize("name", B76)
@given(data=st.data())
def test_black76_equals_bsm_with_carry_equal_to_rate(name, data):
    twin = name.replace("black76_black", "bsm_black_scholes_merton").replace("black76_", "bsm_", 1)
    strategy = {"flag": flags, "r": finite, "t": finite}
    values = {p: data.draw(strategy.get(p, doubles), label=p) for p in params(name)}
    twin_values = dict(values, S=values["F"], q=values["r"])
    args = [values[p] for p in params(name)]
    assert outcome(name, *args) == outcome(twin, *[twin_values[p] for p in params(twin)])


# ------------------------------------------------------------ implied volatility


MODEL_PRICE = {"bs": "black_scholes", "bsm": "black_scholes_merton", "black76": "black"}


def forward(model, S, t, r, q):
    return {"bs": S * exp(t * r), "bsm": S * exp(t * (r - q)), "black76": S}[model]


def iv_call(model, price, S, K, t, r, q, flag):
    if model == "bs":
        return outcome("bs_implied_volatility", price, S, K, t, r, flag)
    if model == "bsm":
        return outcome("bsm_implied_volatility", price, S, K, t, r, q, flag)
    return outcome("black76_implied_volatility", price, S, K, r, t, flag)


@pytest.mark.parametrize("model", ["bs", "bsm", "black76"])
@given(price=doubles, S=doubles, K=doubles, t=doubles, r=doubles, q=doubles, flag=flags)
@example(price=math.nan, S=100.0, K=100.0, t=1.0, r=0.05, q=0.0, flag="c")
@example(price=0.0, S=80.0, K=100.0, t=1.0, r=0.05, q=0.0, flag="c")
@example(price=0.0, S=math.nan, K=100.0, t=1.0, r=0.05, q=0.0, flag="c")
@example(price=10.0, S=100.0, K=math.nan, t=1.0, r=0.05, q=0.0, flag="p")
def test_implied_volatility_outcome_follows_the_bounds(model, price, S, K, t, r, q, flag):
    """The two bound checks decide the error; then a NaN target, F or K gives
    the default NaN, a price at the intrinsic value 1e-6, and any other solve a
    volatility in (0, 5] or the default NaN (a model price that turned NaN)."""
    call = flag[0] in "cC"
    F = forward(model, S, t, r, q)
    target = price * exp(t * r)
    intrinsic = F - K if call else K - F
    intrinsic = intrinsic if intrinsic > 0.0 else 0.0  # 0.0 for NaN
    maximum = F if call else K
    got = iv_call(model, price, S, K, t, r, q, flag)
    if target < intrinsic - 1e-14:
        assert got == (ValueError, "price is below intrinsic value")
    elif target > maximum + 1e-14:
        assert got == (ValueError, "price exceeds theoretical maximum")
    elif math.isnan(target) or math.isnan(F) or math.isnan(K):
        assert got == DEFAULT_NAN
    elif target <= intrinsic:
        assert got == u64(1e-6)
    else:
        assert isinstance(got, int), got
        assert got == DEFAULT_NAN or 0.0 < from_bits(got) <= 5.0, from_bits(got)


@pytest.mark.parametrize("flag", ["c", "p"])
@pytest.mark.parametrize("model", ["bs", "bsm", "black76"])
@given(
    S=st.floats(1.0, 1000.0),
    moneyness=st.floats(0.7, 1.4),
    t=st.floats(0.1, 3.0),
    r=st.floats(-0.05, 0.1),
    q=st.floats(0.0, 0.05),
    sigma=st.floats(0.05, 2.0),
)
def test_implied_volatility_reprices(model, flag, S, moneyness, t, r, q, sigma):
    K = S * moneyness
    extra = (q,) if model == "bsm" else ()
    price = getattr(kv, f"{model}_{MODEL_PRICE[model]}")(flag, S, K, t, r, sigma, *extra)
    F = forward(model, S, t, r, q)
    target = price * math.exp(t * r)
    intrinsic = max(F - K if flag == "c" else K - F, 0.0)
    got = iv_call(model, price, S, K, t, r, q, flag)
    if not intrinsic - 1e-14 <= target <= (F if flag == "c" else K) + 1e-14:
        assert isinstance(got, tuple)
        return
    vol = from_bits(got)
    # The forward-terms price: Black-76 with zero rate discounts by exp(-0.0 * t) = 1.
    repriced = kv.black76_black(flag, F, K, t, 0.0, vol)
    slack = 4 * 2.0**-52 * (F + K)  # a few roundings of F * N(d1) and K * N(d2)
    assert abs(repriced - target) < (abs(target) + 1.0) * 1e-12 + slack or vol == TOP_OF_BRACKET


# ------------------------------------------------------------ argument conversion and binding

numbers = st.one_of(
    st.integers(min_value=-(2**1100), max_value=2**1100),
    st.booleans(),
    st.fractions(),
    st.decimals(allow_nan=True, allow_infinity=True),
    st.floats().map(np.float64),
    st.floats(width=32).map(np.float32),
    st.integers(-(2**63), 2**63 - 1).map(np.int64),
)
SHAPES = [f"{m}_{q}" for m in ("bs", "bsm", "black76") for q in ("delta", "implied_volatility")]


@pytest.mark.parametrize("name", SHAPES)
@given(data=st.data())
@example(data=None)
def test_numbers_convert_as_float_does(name, data):
    """Any number-like argument gives the result of its float(); what float()
    raises (OverflowError, ValueError for a signalling NaN) passes unchanged."""
    names = params(name)
    if data is None:  # fixed edge cases
        cases = [(names.index("K"), 10**400), (names.index("K"), Decimal("sNaN"))]
    else:
        at = data.draw(st.sampled_from([i for i, p in enumerate(names) if p != "flag"]))
        cases = [(at, data.draw(numbers))]
    base = [
        {"flag": "c", "price": 5.0, "r": 0.03, "q": 0.01, "sigma": 0.25}.get(p, 100.0)
        for p in names
    ]
    for at, number in cases:
        args = list(base)
        args[at] = number
        try:
            as_float = float(number)
        except (OverflowError, ValueError) as e:
            with pytest.raises(type(e)) as raised:
                getattr(kv, name)(*args)
            assert str(raised.value) == str(e)  # no argument prefix
            continue
        assert outcome(name, *args) == outcome(name, *base[:at], as_float, *base[at + 1 :])


@pytest.mark.parametrize("name", SHAPES)
@given(data=st.data())
def test_keywords_bind_like_positions(name, data):
    names = params(name)
    args = draw_scalar_args(data, name)
    split = data.draw(st.integers(0, len(names)), label="positional")
    keywords = data.draw(st.permutations(list(zip(names, args))[split:]), label="keywords")
    assert outcome(name, *args[:split], **dict(keywords)) == outcome(name, *args)
