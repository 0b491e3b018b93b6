"""The array loops' fast paths against a direct evaluation of the formulas.

The normal distribution function takes exp(-yq*yq) from a table, array
elements are evaluated in SIMD blocks, and a block reuses an exponential
whose argument repeats (options sharing an expiry). None of this may change
a single bit, so the references here are computed step by step in Python
with the same libm exp and log the module calls.
"""

import math
import struct

import kestrovane as kv
import numpy as np
import pytest
from kestrovane import _quantities

SQRT1_2 = 0.7071067811865476

SMALL = [
    (3.1611237438705655, 23.601290952344122),
    (113.86415415105016, 244.02463793444417),
    (377.485237685302, 1282.6165260773723),
]
MIDDLE = [
    (0.5641884969886701, 15.744926110709835),
    (8.883149794388377, 117.6939508913125),
    (66.11919063714163, 537.1811018620099),
    (298.6351381974001, 1621.3895745666903),
    (881.952221241769, 3290.7992357334597),
    (1712.0476126340707, 4362.619090143247),
    (2051.0783778260716, 3439.3676741437216),
]
LARGE = [
    (0.30532663496123236, 2.568520192289822),
    (0.36034489994980445, 1.8729528499234604),
    (0.12578172611122926, 0.5279051029514285),
    (0.016083785148742275, 0.06051834131244132),
]


def bits(x):
    return struct.pack("<d", x)


def horner(steps, v, num, den):
    for a, b in steps:
        num = (num + a) * v
        den = (den + b) * v
    return num, den


def norm_cdf(x):
    """Cody's erfc, exactly as the module evaluates it, one operation at a time."""
    if x <= -10.0:
        total = 1.0
        if x >= -67108864.0:
            z2, i, g, a = x * x, 1.0, 1.0, 1.7976931348623157e308
            while True:
                previous = a
                p = (4.0 * i - 3.0) / z2
                q = p * ((4.0 * i - 1.0) / z2)
                a = g * (p - q)
                total = total - a
                g = g * q
                i = i + 1.0
                a = abs(a)
                if not (previous > a and a >= abs(total) * 2.220446049250313e-16):
                    break
        return ((math.exp(x * (x * -0.5)) * -0.3989422804014327) * total) / x
    u = x * -SQRT1_2
    y = abs(u)
    if y <= 0.46875:
        s = y * y if y > 1.11e-16 else 0.0
        num, den = horner(SMALL, s, 0.18577770618460315 * s, s)
        erfc = 1.0 - (u * (num + 3209.3775891384694)) / (den + 2844.236833439171)
        return erfc * 0.5
    if y <= 4.0:
        num, den = horner(MIDDLE, y, 2.1531153547440383e-08 * y, y)
        ratio = (num + 1230.3393547979972) / (den + 1230.3393548037495)
    elif y >= 26.543:
        return (2.0 if u < 0.0 else 0.0) * 0.5
    else:
        s = 1.0 / (u * u)
        num, den = horner(LARGE, s, 0.016315387137302097 * s, s)
        num, den = num + 0.0006587491615298378, den + 0.0023352049762686918
        ratio = (0.5641895835477563 - (s * num) / den) / y
    yq = math.trunc(y * 16.0) * 0.0625
    erfc = (math.exp(-(yq * yq)) * math.exp(-((y + yq) * (y - yq)))) * ratio
    if u < 0.0:
        erfc = 2.0 - erfc
    return erfc * 0.5


def d1_of(S, K, t, r, sigma):
    """d1 as the spot routines form it with q = 0.0."""
    return (math.log(S / K) + t * (sigma * (sigma * 0.5) + r)) / (sigma * math.sqrt(t))


def edge_points():
    """Arguments on and beside every boundary of the distribution function."""
    centres = [0.0, 1e-300, 0.46875 / SQRT1_2, 4.0 / SQRT1_2, 26.543 / SQRT1_2, 10.0, 38.0, 8.3]
    xs = []
    for c in centres:
        for sign in (1.0, -1.0):
            x = sign * c
            xs += [x, math.nextafter(x, math.inf), math.nextafter(x, -math.inf)]
            xs += [x + k * 1e-9 for k in (-3, 3)] + [x + k * 0.01 for k in (-7, -1, 1, 7)]
    # every sixteenth step of y, where the table index changes
    xs += [k / 16.0 / SQRT1_2 + e for k in range(0, 430, 7) for e in (-1e-12, 0.0, 1e-12)]
    xs += list(np.linspace(-40.0, 40.0, 401))
    return xs


def test_distribution_function_matches_its_formula_across_interval_edges():
    # With S = exp(x - 0.5), K = t = sigma = 1 and r = 0, d1 lies at x and a
    # call's delta is exactly NormCdf(d1): its discount factor is exp(-0.0) = 1.
    xs = edge_points()
    S = np.array([math.exp(x - 0.5) for x in xs])
    ones = np.ones_like(S)
    expected = [norm_cdf(d1_of(s, 1.0, 1.0, 0.0, 1.0)) for s in S]
    scalar = [kv.bs_delta("c", s, 1.0, 1.0, 0.0, 1.0) for s in S]
    array = kv.bs_delta_array("c", S, ones, ones, 0.0, ones)
    assert [bits(v) for v in scalar] == [bits(v) for v in expected]
    assert [bits(v) for v in array] == [bits(v) for v in expected]


def test_nan_and_infinite_arguments_take_no_table_entry():
    # NaN and -inf d1 (S = NaN, S = 0) inside full blocks, next to ordinary lanes.
    S = np.array([100.0, np.nan, 90.0, 0.0, np.inf, 110.0, np.nan, 95.0])
    ones = np.ones_like(S)
    out = kv.bs_delta_array("c", S, ones * 100.0, ones, 0.05, ones * 0.2)
    for i, s in enumerate(S):
        assert bits(out[i]) == bits(kv.bs_delta("c", s, 100.0, 1.0, 0.05, 0.2))
    assert math.isnan(out[1]) and out[3] == 0.0 and out[4] == 1.0


T_PATTERNS = {
    "chain": [0.25] * 9 + [0.5] * 7 + [1.0] * 5,
    "alternating": [0.25, 0.5] * 8,
    "signed zeros": [0.0, -0.0, -0.0, 0.0, 0.0, 1.0, 1.0, -0.0],
    "nan runs": [float("nan")] * 5 + [1.0] * 3 + [float("nan")],
    "infinite": [math.inf, math.inf, 1.0, -math.inf, -math.inf, 2.0],
}

GREEKS = list(_quantities.GREEKS)
QUANTITIES = {
    "bs": ["black_scholes", *GREEKS],
    "bsm": ["black_scholes_merton", *GREEKS],
    "black76": ["black", *GREEKS],
}


@pytest.mark.parametrize("pattern", sorted(T_PATTERNS))
@pytest.mark.parametrize("model", sorted(QUANTITIES))
def test_repeated_expiries_give_the_scalar_doubles(model, pattern):
    t = np.array(T_PATTERNS[pattern])
    n = len(t)
    rng = np.random.default_rng(len(pattern))
    S = rng.uniform(60.0, 140.0, n)
    K = rng.uniform(60.0, 140.0, n)
    sigma = rng.uniform(0.05, 0.9, n)
    extra = (0.02,) if model == "bsm" else ()
    for quantity in QUANTITIES[model]:
        scalar = getattr(kv, f"{model}_{quantity}")
        array = getattr(kv, f"{model}_{quantity}_array")
        for flag in "cp":
            out = array(flag, S, K, t, 0.04, sigma, *extra)
            want = [scalar(flag, S[i], K[i], t[i], 0.04, sigma[i], *extra) for i in range(n)]
            assert [bits(v) for v in out] == [bits(v) for v in want], quantity


@pytest.mark.parametrize("n", range(0, 18))
def test_every_block_remainder(n):
    # Lengths around the block widths: whole blocks, partial ones, tails only.
    rng = np.random.default_rng(n)
    S, K = rng.uniform(50.0, 150.0, (2, n))
    t = rng.uniform(0.05, 2.0, n)
    sigma = rng.uniform(0.05, 1.0, n)
    price = kv.bs_black_scholes_array("p", S, K, t, 0.03, sigma)
    vol = kv.bs_implied_volatility_array(price, S, K, t, 0.03, "p")
    for i in range(n):
        assert bits(price[i]) == bits(kv.bs_black_scholes("p", S[i], K[i], t[i], 0.03, sigma[i]))
        try:
            want = kv.bs_implied_volatility(price[i], S[i], K[i], t[i], 0.03, "p")
        except ValueError:
            want = float("nan")
        assert bits(vol[i]) == bits(want)


def pdf(x):
    return math.exp(x * (x * -0.5)) * 0.3989422804014327


def theta(flag, S, K, t, r, sigma, q):
    sqt = math.sqrt(t)
    d1 = (math.log(S / K) + t * (sigma * (sigma * 0.5) + (r - q))) / (sigma * sqt)
    d2 = d1 - sigma * sqt
    Dq, Dr = math.exp(-(q * t)), math.exp(-(r * t))
    A = (sigma * ((S * Dq) * pdf(d1))) / (sqt + sqt)
    B = (-(q * S)) * Dq
    C = (K * r) * Dr
    if flag == "c":
        return ((A + B * norm_cdf(d1)) + C * norm_cdf(d2)) / -365.0
    return ((B * norm_cdf(-d1) - A) + C * norm_cdf(-d2)) / 365.0


def charm(flag, S, K, t, r, sigma, q):
    b = r - q
    sd = sigma * math.sqrt(t)
    d1 = (math.log(S / K) + t * (sigma * (sigma * 0.5) + b)) / sd
    d2 = d1 - sd
    Dc = math.exp(t * (b - r))
    T1 = ((b / sd) - (d2 / (t + t))) * (Dc * pdf(d1))
    T2 = (b - r) * Dc
    M = norm_cdf(d1) if flag == "c" else norm_cdf(d1) + -1.0
    return T1 + T2 * M


@pytest.mark.parametrize("flag", "cp")
@pytest.mark.parametrize("name, formula", [("theta", theta), ("charm", charm)])
def test_terms_without_dividend_or_carry_keep_their_signed_zero(name, formula, flag):
    # Without a dividend (or carry) the dividend term of theta and the carry
    # term of charm are zeros, whose product with the distribution function
    # is taken without evaluating it: the sign of that zero must survive,
    # also where the rest of the formula is a zero too (d1 beyond ~38.6).
    points = [
        (S, K, t, sigma)
        for S in (100.0, 60.0, 400.0, 1e5, -100.0)
        for K in (100.0, 1.0, -80.0)
        for t in (0.02, 1.0)
        for sigma in (0.01, 0.3)
        if S / K > 0
    ]
    for model in ("bs", "bsm"):
        extra = (0.0,) if model == "bsm" else ()
        scalar = getattr(kv, f"{model}_{name}")
        array = getattr(kv, f"{model}_{name}_array")
        S, K, t, sigma = (np.array(column) for column in zip(*points))
        out = array(flag, S, K, t, 0.05, sigma, *extra)
        for i, (s, k, tt, v) in enumerate(points):
            want = formula(flag, s, k, tt, 0.05, v, 0.0)
            assert bits(scalar(flag, s, k, tt, 0.05, v, *extra)) == bits(want), (name, points[i])
            assert bits(out[i]) == bits(want), (name, points[i])
