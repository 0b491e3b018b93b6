"""Closed-form prices and Greeks at the edges of their formulas: the normal
distribution function into its tails, expiry, zero volatility, worthless
underlyings, NaN inputs, and the signed zeros each gives."""

import itertools
import math
import struct

import pytest
from kestrovane import _kestrovane as kv
from kestrovane import _quantities

QUANTITIES = _quantities.QUANTITIES
HIGHER = ("vanna", "charm", "vomma", "speed", "zomma", "color", "veta", "ultima")
PRICE_NAMES = {"bs": "black_scholes", "bsm": "black_scholes_merton", "black76": "black"}
MODELS = tuple(PRICE_NAMES)


def fn(model, quantity):
    return getattr(kv, f"{model}_{PRICE_NAMES[model] if quantity == 'price' else quantity}")


def bits(x):
    return struct.pack("<d", x)


def normal_cdf_points():
    """d1 on and beside the interval edges of the distribution function
    (|d1| / sqrt(2) = 0.46875, 4 and 26.543), at every sixteenth step of
    |d1| / sqrt(2) (its exponential's table index), and across [-37, 8.3]."""
    edges = [0.0, 1e-300] + [e * math.sqrt(2.0) for e in (0.46875, 4.0, 26.543)]
    xs = [s * math.nextafter(e, d) for e in edges for d in (0, math.inf) for s in (1, -1)]
    xs += [k / 16.0 * math.sqrt(2.0) for k in range(-424, 120, 5)]
    return xs + [-37 + 0.1 * k for k in range(454)]


def test_call_delta_is_the_normal_cdf_across_its_intervals():
    # With K = t = sigma = 1 and r = 0, d1 = ln(S) + 0.5 exactly as computed
    # here, and the call delta is N(d1), which must be within a few roundings
    # of the platform's erfc (the argument's own rounding grows with d1 ** 2).
    failures = []
    for x in normal_cdf_points():
        S = math.exp(x - 0.5)
        d1 = math.log(S) + 0.5
        expected = 0.5 * math.erfc(-d1 / math.sqrt(2.0))
        got = kv.bs_delta("c", S, 1.0, 1.0, 0.0, 1.0)
        if not abs(got - expected) <= 1e-15 * (1.0 + d1 * d1) * expected:
            failures.append((x, got, expected))
    assert failures == []
    assert kv.bs_delta("c", math.exp(-39.5), 1.0, 1.0, 0.0, 1.0) == 0.0
    assert kv.bs_delta("c", math.exp(9.0), 1.0, 1.0, 0.0, 1.0) == 1.0


# ---------------------------------------------------------------- degenerate inputs

NZ = -0.0
NAN = math.nan
Dr1 = math.exp(-0.05)  # the discount of r = 0.05 over one year
ITM0, OTM0, ATM0 = (
    (110.0, 100.0, 0.0, 0.05, 0.2),
    (90.0, 100.0, 0.0, 0.05, 0.2),
    (100.0, 100.0, 0.0, 0.05, 0.2),
)
ITM_FLAT, OTM_FLAT = (110.0, 100.0, 1.0, 0.05, 0.0), (80.0, 100.0, 1.0, 0.05, 0.0)


def call_with(model, quantity, flag, args, q=0.02):
    """args are (S or F, K, t, r, sigma); bsm gets the dividend yield q as well."""
    return fn(model, quantity)(flag, *args, *((q,) if model == "bsm" else ()))


def check_exact(actual, expected):
    if math.isnan(expected):
        assert math.isnan(actual), actual
    elif expected == 0.0:
        assert bits(actual) == bits(expected), (actual, expected)  # the sign of zero counts
    else:
        assert actual == pytest.approx(expected, rel=1e-14)


# (models, quantity, flag, inputs, expected)
EDGE_VALUES = [
    # at expiry the price is the intrinsic value; the worthless put is -0.0
    (MODELS, "price", "c", ITM0, 10.0),
    (MODELS, "price", "p", ITM0, NZ),
    (MODELS, "price", "c", OTM0, 0.0),
    (MODELS, "price", "p", OTM0, 10.0),
    (MODELS, "delta", "c", ITM0, 1.0),
    (MODELS, "delta", "p", ITM0, NZ),
    (("bs", "bsm"), "delta", "c", OTM0, 0.0),
    (("bs", "bsm"), "delta", "p", OTM0, -1.0),
    (MODELS, "vega", "c", ITM0, 0.0),
    (("bs", "bsm"), "rho", "c", ITM0, 0.0),
    (("bs", "bsm"), "rho", "p", ITM0, NZ),
    (MODELS, "dual_delta", "c", ITM0, -1.0),
    (("bs", "bsm"), "dual_delta", "c", OTM0, NZ),
    # zero volatility: discounted intrinsic value, signed zeros out of the money
    (("bs",), "price", "c", ITM_FLAT, Dr1 * (110.0 * math.exp(0.05) - 100.0)),
    (("bs",), "price", "p", ITM_FLAT, NZ),
    (("bs", "black76"), "price", "c", OTM_FLAT, 0.0),
    (("black76",), "price", "p", OTM_FLAT, Dr1 * 20.0),
    (("black76",), "price", "c", ITM_FLAT, Dr1 * 10.0),
    (("black76",), "price", "p", ITM_FLAT, NZ),
    (("bsm",), "delta", "c", ITM_FLAT, math.exp(-0.02)),
    (("bsm",), "delta", "p", ITM_FLAT, NZ),
    (("bsm",), "delta", "p", OTM_FLAT, -math.exp(-0.02)),
    # a call theta whose bracket is +0.0 comes out as -0.0
    (("bs", "black76"), "theta", "c", OTM_FLAT, NZ),
    # worthless underlying, zero strike
    (("bs", "bsm"), "price", "c", (0.0, 100.0, 1.0, 0.05, 0.2), 0.0),
    (("bs", "bsm"), "price", "p", (100.0, 0.0, 1.0, 0.05, 0.2), NZ),
    (("bsm",), "price", "c", (100.0, 0.0, 1.0, 0.05, 0.2), 100.0 * math.exp(-0.02)),
]


@pytest.mark.parametrize("models,quantity,flag,args,expected", EDGE_VALUES)
def test_degenerate_input_values(models, quantity, flag, args, expected):
    for model in models:
        check_exact(call_with(model, quantity, flag, args), expected)


NAN_INPUTS = [
    tuple(NAN if j == i else x for j, x in enumerate(ITM0[:2] + (0.5, 0.05, 0.2))) for i in range(5)
]
ZERO_X_OR_K = [(0.0, 100.0, 1.0, 0.05, 0.2), (100.0, 0.0, 1.0, 0.05, 0.2)]
NEGATIVE = [
    (100.0, 95.0, -0.5, 0.05, 0.2),
    (-100.0, 95.0, 0.5, 0.05, 0.2),
    (100.0, -95.0, 0.5, 0.05, 0.2),
]
NAN_CASES = [
    ("expiry at the money", MODELS, QUANTITIES, [ATM0]),
    (
        "flat volatility at the forward",
        ("bs", "black76"),
        QUANTITIES,
        [(100.0, 100.0, 1.0, 0.0, 0.0)],
    ),
    ("expiry away from the money", MODELS, ("gamma", "dual_gamma", "theta") + HIGHER, [ITM0, OTM0]),
    ("flat volatility away from the money", MODELS, HIGHER, [ITM_FLAT, OTM_FLAT]),
    ("flat volatility, curvature", MODELS, ("gamma", "dual_gamma"), [ITM_FLAT]),
    ("worthless underlying or zero strike", ("bs", "bsm"), HIGHER, ZERO_X_OR_K),
    ("negative time or strike ratio", MODELS, QUANTITIES, NEGATIVE),
    ("NaN input", MODELS, QUANTITIES, NAN_INPUTS),
]


@pytest.mark.parametrize(
    "models,quantities,inputs", [c[1:] for c in NAN_CASES], ids=[c[0] for c in NAN_CASES]
)
def test_degenerate_inputs_give_nan(models, quantities, inputs):
    for model, quantity, flag, args in itertools.product(models, quantities, "cp", inputs):
        assert math.isnan(call_with(model, quantity, flag, args)), (model, quantity, flag, args)


def test_nan_dividend_gives_nan():
    for quantity, flag in itertools.product(QUANTITIES, "cp"):
        assert math.isnan(call_with("bsm", quantity, flag, (100.0, 95.0, 0.5, 0.05, 0.2), NAN))
