"""Implied volatility: solves at the price bounds and their slack, degenerate and NaN
inputs, and the spot models solving on their forward price."""

import itertools
import math
import struct

import kestrovane as kv
import numpy as np
import pytest

NAN, INF = float("nan"), float("inf")
DEFAULT_NAN = 0x7FF8000000000000
TOP = 4.999999999999996  # the bisection closing on the top of its bracket
BELOW = ValueError("price is below intrinsic value")
ABOVE = ValueError("price exceeds theoretical maximum")


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


NEG_NAN, PAYLOAD_NAN = from_bits(0xFFF8000000000000), from_bits(0x7FF8000000000123)


def test_quoted_cases():
    # Put: below K - S = 20 but above the discounted K * exp(-r t) - S ~ 15.12.
    vol = kv.bs_implied_volatility(16.0, 80.0, 100.0, 1.0, 0.05, "p")
    assert abs(kv.bs_black_scholes("p", 80.0, 100.0, 1.0, 0.05, vol) - 16.0) < 2e-11
    # Anything between the sigma = 5 price and S is the top of the bracket.
    p5 = kv.bs_black_scholes("c", 100.0, 100.0, 1.0, 0.05, 5.0)
    assert kv.bs_implied_volatility((p5 + 100.0) / 2, 100.0, 100.0, 1.0, 0.05, "c") == TOP


# black76 with r = 0 and t = 1: forward units are price units, so the slack of
# 1e-14 shows directly (F = 1, K = 0.5: call intrinsic 0.5, maximum 1; the put
# uses F = 0.5, K = 1).
@pytest.mark.parametrize(
    "flag, F, K, r, t, price, expected",
    [
        ("c", 1.0, 0.5, 0.0, 1.0, 0.5, 1e-6),
        ("c", 1.0, 0.5, 0.0, 1.0, 0.5 - 5e-15, 1e-6),
        ("c", 1.0, 0.5, 0.0, 1.0, 0.5 - 2e-14, BELOW),
        ("c", 0.5, 1.0, 0.0, 1.0, 0.0, 1e-6),
        ("c", 1.0, 0.5, 0.0, 1.0, 1.0 + 5e-15, TOP),
        ("c", 1.0, 0.5, 0.0, 1.0, 1.0 + 2e-14, ABOVE),
        ("p", 0.5, 1.0, 0.0, 1.0, 0.5 - 5e-15, 1e-6),
        ("p", 0.5, 1.0, 0.0, 1.0, 0.5 - 2e-14, BELOW),
        # Intrinsic above the maximum (negative strike): the intrinsic test wins.
        ("c", 1.0, -1.0, 0.0, 1.0, 1.5, BELOW),
        # A price that is out of bounds whatever F or K is still raises; at the
        # intrinsic value a NaN F or K gives NaN, not the lower bound.
        ("c", 100.0, NAN, 0.05, 1.0, 0.0, NAN),
        ("p", 100.0, NAN, 0.0, 1.0, -1.0, BELOW),
        ("c", 100.0, NAN, 0.0, 1.0, 101.0, ABOVE),
        # Expired (t = 0) call with F above K: the model price stays at the
        # intrinsic value for every sigma.
        ("c", 100.0, 90.0, 0.05, 0.0, 11.0, TOP),
        ("c", 100.0, 90.0, 0.05, 0.0, 10.0 + 1e-12, 0.2),
        ("c", 100.0, 90.0, 0.05, 0.0, 10.0, 1e-6),
    ],
)
def test_bounds_slack_and_degenerate_solves(flag, F, K, r, t, price, expected):
    if isinstance(expected, ValueError):
        with pytest.raises(ValueError) as info:
            kv.black76_implied_volatility(price, F, K, r, t, flag)
        assert type(info.value) is ValueError and info.value.args == expected.args
    elif expected in (TOP, 0.2):
        assert kv.black76_implied_volatility(price, F, K, r, t, flag) == pytest.approx(
            expected, abs=2e-15
        )
    else:
        assert bits(kv.black76_implied_volatility(price, F, K, r, t, flag)) == bits(expected)


# Tiny prices, where an absolute price tolerance of about 1e-12 would accept any
# volatility tried: each must come back to the exact inverse of its price. The
# bs call (S = 100, r = 5 %) is priced at sigma = 0.005; the black76 rows are
# from a surface at F = 100, r = 3 %, each price the double nearest the exact one.
@pytest.mark.parametrize(
    "flag, price, K, t, truth",
    [
        ("p", 1.4829140686810774e-20, 10.025884372280375, 0.25, 0.5),
        ("c", 1.9385398184599e-183, 738.905609893065, 1 / 52, 0.5),
        ("p", 5.567137330270069e-182, 22.313016014842983, 1 / 365, 1.0),
        ("c", 2.147618082193724e-50, 2008.5536923187667, 0.25, 0.4),
        ("p", 1.9911155121505912e-44, 4.978706836786395, 1 / 12, 0.75),
    ],
)
def test_tiny_prices_solve_to_their_volatility(flag, price, K, t, truth):
    assert kv.black76_implied_volatility(price, 100.0, K, 0.03, t, flag) == pytest.approx(
        truth, rel=1e-7
    )


def test_tiny_bs_price_solves_to_its_volatility():
    tiny = 3.5301159357038075e-21  # the exact price at sigma = 0.005, rounded
    vol = kv.bs_implied_volatility(tiny, 100.0, 110.0, 1.0, 0.05, "c")
    assert vol == pytest.approx(0.005, rel=1e-7)


def outcome(fn, *args):
    try:
        return ("ok", bits(fn(*args)))
    except (ValueError, RuntimeError) as e:
        return (type(e).__name__, e.args)


def iv_cases():
    for S, K, t in itertools.product(
        [80.0, 100.0, 120.0, 0.0, INF], [95.0, 100.0, 0.0], [1.0, 0.25, 0.0, -1.0]
    ):
        for r, q in [(0.05, 0.0), (0.05, 0.05), (-0.02, 0.03), (0.1, -0.1), (1e-17, 3e-17)]:
            for sigma, flag in itertools.product([0.3, 1.5], "cp"):
                yield kv.bsm_black_scholes_merton(flag, S, K, t, r, sigma, q), S, K, t, r, q, flag
    for p, S in itertools.product(
        [0.0, -0.0, 1e-300, 0.5, 1.0, 80.0, 130.0, -5.0, INF, -INF, NAN], [100.0, 0.0, NAN, INF]
    ):
        for (t, r), flag in itertools.product(
            [(1.0, 0.05), (0.0, 0.05), (NAN, 0.05), (1.0, NAN), (-1.0, 0.05)], "cp"
        ):
            yield p, S, 100.0, t, r, 0.02, flag


def test_spot_models_solve_on_their_forward():
    # bsm solves on F = S * exp(t * (r - q)) and bs on S * exp(t * r), exactly
    # as black76 does on that F, errors included.
    for p, S, K, t, r, q, flag in iv_cases():
        case = (p, S, K, t, r, q, flag)
        on_forward = outcome(kv.black76_implied_volatility, p, S * math.exp(t * r), K, r, t, flag)
        assert outcome(kv.bs_implied_volatility, p, S, K, t, r, flag) == on_forward, case
        on_forward = outcome(
            kv.black76_implied_volatility, p, S * math.exp(t * (r - q)), K, r, t, flag
        )
        assert outcome(kv.bsm_implied_volatility, p, S, K, t, r, q, flag) == on_forward, case


@pytest.mark.parametrize(
    "price, F, K, r, t, flag",
    [
        # NaN forward target: a NaN price (any sign or payload), t or r.
        (NAN, 100.0, 100.0, 0.05, 1.0, "c"),
        (PAYLOAD_NAN, 100.0, 90.0, 0.05, 1.0, "c"),
        (5.0, 100.0, 100.0, 0.05, NAN, "c"),
        (5.0, 100.0, 100.0, NAN, 1.0, "p"),
        # NaN F or K with a finite price inside the bounds.
        (5.0, NAN, 100.0, 0.05, 1.0, "c"),
        (5.0, 100.0, NAN, 0.05, 1.0, "c"),
        (5.0, 100.0, NEG_NAN, 0.05, 1.0, "p"),
        # The model price cannot be evaluated: t < 0, t = 0 with F = K, F / K < 0.
        (1.0, 100.0, 100.0, 0.05, -1.0, "c"),
        (1.0, 100.0, 100.0, 0.05, 0.0, "c"),
        (5e-15, -1e-15, 1.0, 0.0, 1.0, "c"),
    ],
)
def test_nan_in_nan_out(price, F, K, r, t, flag):
    assert bits(kv.black76_implied_volatility(price, F, K, r, t, flag)) == DEFAULT_NAN
    assert bits(kv.bsm_implied_volatility(price, F, K, t, r, 0.0, flag)) == DEFAULT_NAN
    assert bits(kv.bs_implied_volatility(price, F, K, t, r, flag)) == DEFAULT_NAN
    assert bits(kv.bsm_implied_volatility(5.0, 100.0, 100.0, 1.0, 0.05, NAN, flag)) == DEFAULT_NAN


@pytest.mark.parametrize(
    "price,F,K,r,t",
    [
        (0.5e308, 1e308, 1e308, 0.0, 4.0),  # F * sqrt(t) overflows
        (0.3e307, 1e307, 1e307, 0.0, 1e4),
        (0.3e305, 1e305, 1e305, 0.0, 1e4),  # still finite: Newton as usual
    ],
)
def test_infinite_vega_solves_by_bisection(price, F, K, r, t):
    # A vega of +inf makes every Newton step zero; the solve must still
    # reproduce the price rather than return its first guess.
    sigma = kv.black76_implied_volatility(price, F, K, r, t, "c")
    assert kv.black76_black("c", F, K, t, r, sigma) == pytest.approx(price, rel=1e-9)
    one = (np.array([x]) for x in (price, F, K))
    assert bits(kv.black76_implied_volatility_array(*one, r, np.array([t]), "c")[0]) == bits(sigma)
