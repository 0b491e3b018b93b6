"""Closed-form prices and Greeks of the three models, called one option at a time."""

import itertools
import math
import struct
from decimal import Decimal

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


def value(model, quantity, flag, S, K, t, r, sigma, q=0.0):
    """Evaluates a quantity; S is the forward for black76 and q is used by bsm only."""
    extra = (q,) if model == "bsm" else ()
    return fn(model, quantity)(flag, S, K, t, r, sigma, *extra)


def check_quoted(actual, quoted):
    """`quoted` is a decimal string; `actual` must round to it at the quoted precision."""
    half_unit = 0.5 * 10.0 ** Decimal(quoted).as_tuple().exponent
    assert abs(actual - float(quoted)) <= half_unit * (1 + 1e-9), (actual, quoted)


def test_negative_volatility_is_evaluated_not_rejected():
    args = (100.0, 100.0, 1.0, 0.05, -0.2)
    check_quoted(kv.bs_black_scholes("c", *args), "-5.5735")
    check_quoted(kv.bs_black_scholes("p", *args), "-10.4506")
    check_quoted(kv.bsm_black_scholes_merton("p", *args, 0.0), "-10.4506")


# ---------------------------------------------------------------- call/put relations

POINTS = [
    dict(S=100.0, K=100.0, t=1.0, r=0.05, sigma=0.2, q=0.0),
    dict(S=100.0, K=95.0, t=0.7, r=0.03, sigma=0.25, q=0.02),
    dict(S=80.0, K=110.0, t=2.5, r=0.01, sigma=0.4, q=0.04),
    dict(S=120.0, K=90.0, t=0.3, r=-0.01, sigma=0.15, q=-0.02),
]


def carry_terms(model, S, K, t, r, sigma, q):
    """(discount on the underlying, discount on the strike) for each model."""
    Dr = math.exp(-r * t)
    if model == "black76":
        return Dr, Dr
    return (math.exp(-q * t) if model == "bsm" else 1.0), Dr


@pytest.mark.parametrize("point", POINTS)
@pytest.mark.parametrize("model", MODELS)
def test_call_put_relations(model, point):
    S, K, t, r, q = point["S"], point["K"], point["t"], point["r"], point["q"]
    q_eff = {"bs": 0.0, "bsm": q, "black76": r}[model]
    Du, Dk = carry_terms(model, **point)

    def diff(quantity):
        return value(model, quantity, "c", **point) - value(model, quantity, "p", **point)

    approx = lambda x: pytest.approx(x, rel=1e-9, abs=1e-12)  # noqa: E731
    assert diff("price") == approx(S * Du - K * Dk)
    assert diff("delta") == approx(Du)
    assert diff("dual_delta") == approx(-Dk)
    # -d/dt (S Du - K Dk) / 365 and d/dr (S Du - K Dk) / 100 with the underlying held fixed
    assert diff("theta") == approx((q_eff * S * Du - r * K * Dk) / 365.0)
    if model == "black76":
        assert diff("rho") == approx(-0.01 * t * (S * Du - K * Dk))
        for flag in "cp":
            assert value(model, "rho", flag, **point) == approx(
                -0.01 * t * value(model, "price", flag, **point)
            )
    else:
        assert diff("rho") == approx(0.01 * K * t * Dk)
    # only the carry term of charm depends on the kind: put - call = q * Dq
    assert -diff("charm") == approx(q_eff * Du)
    for quantity in ("gamma", "vega", "dual_gamma") + tuple(h for h in HIGHER if h != "charm"):
        assert bits(value(model, quantity, "c", **point)) == bits(
            value(model, quantity, "p", **point)
        ), quantity


@pytest.mark.parametrize(
    "x",
    [
        -37.5,
        -30.0,
        -20.0,
        -10.001,
        -10.0,
        -9.99,
        -7.0,
        -5.0,
        -2.0,
        -0.3,
        0.0,
        0.3,
        1.0,
        1.96,
        5.0,
        8.0,
    ],
)
def test_call_delta_follows_normal_cdf_into_the_tails(x):
    # with K = t = sigma = 1 and r = 0, d1 = ln(S) + 0.5 and the call delta is N(d1)
    S = math.exp(x - 0.5)
    d1 = math.log(S) + 0.5
    expected = 0.5 * math.erfc(-d1 / math.sqrt(2.0))
    assert kv.bs_delta("c", S, 1.0, 1.0, 0.0, 1.0) == pytest.approx(expected, rel=1e-12)


def test_normal_cdf_saturation_through_delta():
    assert kv.bs_delta("c", math.exp(-39.5), 1.0, 1.0, 0.0, 1.0) == 0.0
    assert kv.bs_delta("c", math.exp(9.0), 1.0, 1.0, 0.0, 1.0) == 1.0
    assert kv.bs_delta("c", 1.0, 1.0, 1.0, 0.0, 1.0) == pytest.approx(0.6914624612740131, rel=1e-15)


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
    (MODELS, "vega", "p", OTM0, 0.0),
    (("bs", "bsm"), "rho", "c", ITM0, 0.0),
    (("bs", "bsm"), "rho", "c", OTM0, 0.0),
    (("bs", "bsm"), "rho", "p", ITM0, NZ),
    (("bs", "bsm"), "rho", "p", OTM0, NZ),
    (MODELS, "dual_delta", "c", ITM0, -1.0),
    (MODELS, "dual_delta", "p", ITM0, 0.0),
    (("bs", "bsm"), "dual_delta", "c", OTM0, NZ),
    (("bs", "bsm"), "dual_delta", "p", OTM0, 1.0),
    # zero volatility: discounted intrinsic value, signed zeros out of the money
    (("bs",), "price", "c", ITM_FLAT, Dr1 * (110.0 * math.exp(0.05) - 100.0)),
    (("bs",), "price", "p", ITM_FLAT, NZ),
    (("bs", "black76"), "price", "c", OTM_FLAT, 0.0),
    (("black76",), "price", "p", OTM_FLAT, Dr1 * 20.0),
    (("black76",), "price", "c", ITM_FLAT, Dr1 * 10.0),
    (("black76",), "price", "p", ITM_FLAT, NZ),
    (("bsm",), "delta", "c", ITM_FLAT, math.exp(-0.02)),
    (("bsm",), "delta", "p", ITM_FLAT, NZ),
    (("bsm",), "dual_delta", "c", ITM_FLAT, -Dr1),
    (("bsm",), "dual_delta", "p", ITM_FLAT, 0.0),
    (("bsm",), "delta", "c", OTM_FLAT, 0.0),
    (("bsm",), "delta", "p", OTM_FLAT, -math.exp(-0.02)),
    # a call theta whose bracket is +0.0 comes out as -0.0
    (("bs", "black76"), "theta", "c", OTM_FLAT, NZ),
    # worthless underlying, zero strike
    (("bs", "bsm"), "price", "c", (0.0, 100.0, 1.0, 0.05, 0.2), 0.0),
    (("bs",), "price", "p", (0.0, 100.0, 1.0, 0.05, 0.2), 100.0 * Dr1),
    (("bs", "bsm"), "price", "p", (100.0, 0.0, 1.0, 0.05, 0.2), NZ),
    (("bsm",), "price", "c", (100.0, 0.0, 1.0, 0.05, 0.2), 100.0 * math.exp(-0.02)),
]


@pytest.mark.parametrize("models,quantity,flag,args,expected", EDGE_VALUES)
def test_degenerate_input_values(models, quantity, flag, args, expected):
    for model in models:
        check_exact(call_with(model, quantity, flag, args), expected)


def test_zero_volatility_theta_stays_finite():
    for model, flag in itertools.product(MODELS, "cp"):
        assert math.isfinite(call_with(model, "theta", flag, ITM_FLAT))


FIRST_ORDER_NAN_AT_EXPIRY = ("gamma", "dual_gamma", "theta")
NAN_CASES = [
    ("expiry at the money", MODELS, QUANTITIES, [ATM0]),
    (
        "flat volatility at the forward",
        ("bs", "black76"),
        QUANTITIES,
        [(100.0, 100.0, 1.0, 0.0, 0.0)],
    ),
    ("expiry away from the money", MODELS, FIRST_ORDER_NAN_AT_EXPIRY + HIGHER, [ITM0, OTM0]),
    ("flat volatility away from the money", MODELS, HIGHER, [ITM_FLAT, OTM_FLAT]),
    ("flat volatility, curvature", MODELS, ("gamma", "dual_gamma"), [ITM_FLAT]),
    (
        "worthless underlying or zero strike",
        ("bs", "bsm"),
        HIGHER,
        [(0.0, 100.0, 1.0, 0.05, 0.2), (100.0, 0.0, 1.0, 0.05, 0.2)],
    ),
    (
        "negative time or strike ratio",
        MODELS,
        QUANTITIES,
        [
            (100.0, 95.0, -0.5, 0.05, 0.2),
            (-100.0, 95.0, 0.5, 0.05, 0.2),
            (100.0, -95.0, 0.5, 0.05, 0.2),
        ],
    ),
    (
        "NaN input",
        MODELS,
        QUANTITIES,
        [
            tuple(NAN if j == i else x for j, x in enumerate((100.0, 95.0, 0.5, 0.05, 0.2)))
            for i in range(5)
        ],
    ),
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
