#!/usr/bin/env python3
"""Writes tests/data/reference.json: prices, Greeks and implied volatilities of the three
models, computed with mpmath from their definitions.

Every Greek is a derivative of the closed-form price, taken numerically by mpmath.diff at
high precision, and cross-checked against the textbook closed form of that Greek; the
two must agree to 40 digits or the generator stops. Inputs are doubles, converted exactly.

Each row is [label, function, args, value, rel_tol]:
  label     "ord" (ordinary point), "ext" (extreme point) or "iv" (implied-volatility round trip);
  function  the kestrovane function name, called as function(*args);
  value     repr of the double nearest the exact value;
  rel_tol   relative tolerance for a double-precision evaluation. For the formulas it is
            64 * eps times the condition number of the value (the sum over the inputs of the
            relative change of the exact value when that input moves by one part in 2**52,
            plus the cancellation of the closed form's terms, see rounding_magnitude),
            never below 1e-12; for implied volatilities it is the solver's price tolerance
            divided by the forward vega, as a volatility, twice over. Points conditioned
            worse than MAX_REL_TOL are left out.

mpmath is needed only here: python3 -m pip install mpmath; python3 tools/gen_reference.py
"""

import json
from pathlib import Path

import mpmath as mp
from mpmath import mpf

mp.mp.prec = 256
EPS = 2.0**-52
MIN_REL_TOL = 1e-12
MAX_REL_TOL = 1e-4  # a point whose value is worse conditioned than this is dropped
OUT = Path(__file__).resolve().parent.parent / "tests" / "data" / "reference.json"

PRICE_NAMES = {"bs": "black_scholes", "bsm": "black_scholes_merton", "black76": "black"}
HALF, PERCENT, PER_DAY = mpf(1) / 2, mpf(1) / 100, mpf(-1) / 365

# quantity -> ({input: order of the derivative of the price}, scale)
DEFINITIONS = {
    "price": ({}, 1),
    "delta": ({"S": 1}, 1),
    "gamma": ({"S": 2}, 1),
    "vega": ({"sigma": 1}, PERCENT),
    "theta": ({"t": 1}, PER_DAY),
    "rho": ({"r": 1}, PERCENT),
    "vanna": ({"S": 1, "sigma": 1}, 1),
    "charm": ({"S": 1, "t": 1}, 1),
    "vomma": ({"sigma": 2}, 1),
    "speed": ({"S": 3}, 1),
    "zomma": ({"S": 2, "sigma": 1}, 1),
    "color": ({"S": 2, "t": 1}, 1),
    "veta": ({"sigma": 1, "t": 1}, 1),
    "ultima": ({"sigma": 3}, 1),
    "dual_delta": ({"K": 1}, 1),
    "dual_gamma": ({"K": 2}, 1),
}
HIGHER = ("vanna", "charm", "vomma", "speed", "zomma", "color", "veta", "ultima")
INPUTS = ("S", "K", "t", "r", "sigma", "q")


def price(model, w, S, K, t, r, sigma, q):
    """The discounted price; S is the forward for black76, which ignores q."""
    F = S if model == "black76" else S * mp.exp((r - q) * t)
    sd = sigma * mp.sqrt(t)
    d1 = (mp.log(F / K) + sd * sd / 2) / sd
    d2 = d1 - sd
    return mp.exp(-r * t) * w * (F * mp.ncdf(w * d1) - K * mp.ncdf(w * d2))


def closed_forms(model, w, S, K, t, r, sigma, q):
    """Textbook cost-of-carry Greeks (carry b = r - q, or 0 on a forward), all 16 quantities."""
    b = mpf(0) if model == "black76" else r - q
    sqt = mp.sqrt(t)
    sd = sigma * sqt
    d1 = (mp.log(S / K) + (b + sigma * sigma / 2) * t) / sd
    d2 = d1 - sd
    Dc, Dr, n1 = mp.exp((b - r) * t), mp.exp(-r * t), mp.npdf(d1)
    N1, N2 = mp.ncdf(w * d1), mp.ncdf(w * d2)
    gamma = Dc * n1 / (S * sd)
    vega_u = S * Dc * n1 * sqt
    dd1_dt = b / sd - d2 / (2 * t)
    value = w * (S * Dc * N1 - K * Dr * N2)
    return {
        "price": value,
        "delta": w * Dc * N1,
        "gamma": gamma,
        "vega": vega_u * PERCENT,
        "theta": (-vega_u * sigma / (2 * t) - w * (b - r) * S * Dc * N1 - w * r * K * Dr * N2)
        / 365,
        "rho": -t * value * PERCENT if model == "black76" else w * K * t * Dr * N2 * PERCENT,
        "vanna": -Dc * n1 * d2 / sigma,
        "charm": (b - r) * w * Dc * N1 + Dc * n1 * dd1_dt,
        "vomma": vega_u * d1 * d2 / sigma,
        "speed": -gamma / S * (d1 / sd + 1),
        "zomma": gamma * (d1 * d2 - 1) / sigma,
        "color": gamma * ((b - r) - d1 * dd1_dt - 1 / (2 * t)),
        "veta": vega_u * ((b - r) - d1 * dd1_dt + 1 / (2 * t)),
        "ultima": -vega_u / sigma**2 * (d1 * d2 * (1 - d1 * d2) + d1**2 + d2**2),
        "dual_delta": -w * Dr * N2,
        "dual_gamma": Dr * mp.npdf(d2) / (K * sd),
    }


def by_diff(model, w, x, quantity, addprec):
    orders, scale = DEFINITIONS[quantity]
    names = list(orders)
    if not names:
        return price(model, w, **x)

    def f(*values):
        return price(model, w, **{**x, **dict(zip(names, values))})

    derivative = mp.diff(f, [x[v] for v in names], [orders[v] for v in names], addprec=addprec)
    return derivative * scale


def exact(model, flag, x, quantity):
    """The value by differentiation, confirmed by the closed form."""
    w = 1 if flag == "c" else -1
    closed = closed_forms(model, w, **x)[quantity]
    # the finite differences lose as many bits as the price outweighs the derivative
    lost = max(0, int(mp.log(abs(price(model, w, **x)) + 1, 2) - mp.log(abs(closed), 2)))
    derived = by_diff(model, w, x, quantity, addprec=64 + lost)
    if abs(derived - closed) > abs(closed) * mpf(10) ** -40:
        raise AssertionError(f"{model} {quantity} {flag} {x}: {derived} vs {closed}")
    return derived


def condition(model, flag, x, quantity, value):
    """Sum over the inputs of |relative change of the value| per relative input change eps."""
    w, total = (1 if flag == "c" else -1), mpf(0)
    for name in INPUTS:
        if x[name] == 0 or (name == "q" and model != "bsm"):
            continue
        moved = {**x, name: x[name] * (1 + mpf(EPS))}
        total += abs(closed_forms(model, w, **moved)[quantity] - value)
    return float(total / abs(value) / EPS)


def rounding_magnitude(model, flag, x, quantity):
    """Size of the intermediate terms a double evaluation cancels, beyond input sensitivity.

    The price subtracts K * N(w * d2) from F * N(w * d1); far out of the money both terms
    dwarf their difference, and each N carries a relative error of about d1**2 * eps from the
    rounding of its argument. Charm's carry term multiplies (r - q) - r by N(d1) - 1 for a put,
    whose absolute error is about eps (or all of it, once N(-d1) is below eps).
    """
    if quantity not in ("price", "rho", "charm") or (quantity == "rho" and model != "black76"):
        return mpf(0)
    w = 1 if flag == "c" else -1
    S, K, t, r, sigma, q = (x[name] for name in INPUTS)
    b = mpf(0) if model == "black76" else r - q
    sd = sigma * mp.sqrt(t)
    d1 = (mp.log(S / K) + (b + sigma * sigma / 2) * t) / sd
    Dc, Dr = mp.exp((b - r) * t), mp.exp(-r * t)
    if quantity == "charm":  # N(d1) rounds to 1 once N(-d1) is below eps
        return abs(b - r) * Dc * min(mp.ncdf(-d1) / EPS, 1) if w < 0 else mpf(0)
    terms = S * Dc * mp.ncdf(w * d1) + K * Dr * mp.ncdf(w * (d1 - sd))
    scale = t / 100 if quantity == "rho" else 1
    return terms * scale * (1 + d1 * d1)


def to_double(v):
    return float(mp.nstr(v, 30))


def function_name(model, quantity):
    return f"{model}_{PRICE_NAMES[model] if quantity == 'price' else quantity}"


def call_args(model, flag, S, K, t, r, sigma, q):
    return [flag, S, K, t, r, sigma] + ([q] if model == "bsm" else [])


def formula_row(label, model, quantity, flag, point):
    S, K, t, r, sigma, q = point
    if model == "bs":
        q = 0.0
    x = dict(zip(INPUTS, (mpf(v) for v in (S, K, t, r, sigma, q))))
    value = exact(model, flag, x, quantity)
    double = to_double(value)
    if value == 0 or not 1e-300 < abs(double) < 1e300:
        print(f"dropped, not a normal double: {function_name(model, quantity)}{point}")
        return None
    cancelled = float(rounding_magnitude(model, flag, x, quantity) / abs(value))
    tol = max(MIN_REL_TOL, 64 * EPS * (condition(model, flag, x, quantity, value) + cancelled))
    if tol > MAX_REL_TOL:
        print(
            f"dropped, rel_tol {tol:.1e}: {function_name(model, quantity)}"
            f"{tuple(call_args(model, flag, S, K, t, r, sigma, q))}"
        )
        return None
    return [
        label,
        function_name(model, quantity),
        call_args(model, flag, S, K, t, r, sigma, q),
        repr(double),
        float(f"{tol:.2g}"),
    ]


# (flag, S or F, K, t, r, sigma, q): calls and puts, in, at and out of the money, short and
# long expiries, low and high volatilities, negative rates and dividend yields above the rate.
ORDINARY = [
    ("c", 100.0, 100.0, 1.0, 0.05, 0.2, 0.0),
    ("p", 100.0, 95.0, 0.7, 0.03, 0.25, 0.02),
    ("c", 80.0, 110.0, 2.5, 0.01, 0.4, 0.04),
    ("p", 120.0, 90.0, 0.3, -0.01, 0.15, -0.02),
    ("c", 50.0, 60.0, 0.1, 0.08, 0.6, 0.1),
    ("p", 100.0, 130.0, 5.0, 0.02, 0.35, 0.05),
    ("c", 100.0, 70.0, 0.5, -0.005, 0.3, 0.0),
    ("p", 100.0, 100.0, 0.02, 0.04, 0.8, 0.01),
    ("c", 250.0, 200.0, 1.5, 0.06, 0.1, 0.09),
    ("p", 30.0, 25.0, 3.0, 0.0, 0.5, 0.03),
    ("c", 100.0, 102.0, 0.25, 0.12, 1.2, 0.0),
    ("p", 1000.0, 900.0, 0.9, -0.02, 0.05, -0.03),
]

# (flag, z, t, sigma, r, q) with S = K * exp(z * sigma * sqrt(t)): z standard deviations
# in (z > 0) or out of the money for a call, down to a millionth of a year to expiry.
EXTREME = [
    ("c", 0.0, 1e-6, 0.2, 0.05, 0.01),
    ("p", 30.0, 1e-6, 0.3, 0.03, 0.05),
    ("c", -30.0, 1e-6, 0.3, -0.01, 0.02),
    ("p", 20.0, 1e-4, 0.5, 0.02, -0.01),
    ("c", -20.0, 1e-4, 0.1, 0.07, 0.0),
    ("c", 30.0, 0.01, 1.0, 0.01, 0.03),
    ("p", -30.0, 2.0, 0.05, 0.04, 0.01),
    ("c", 25.0, 5.0, 0.1, 0.02, 0.05),
    ("p", 5.0, 1e-5, 2.0, 0.05, 0.0),
    ("c", -8.0, 0.5, 0.02, -0.02, 0.01),
]


def extreme_point(flag, z, t, sigma, r, q):
    K = 100.0
    return (to_double(K * mp.exp(z * mpf(sigma) * mp.sqrt(mpf(t)))), K, t, r, sigma, q)


# (flag, S or F, K, t, r, sigma, q) for the implied-volatility round trips
IV_POINTS = [
    ("c", 100.0, 100.0, 1.0, 0.05, 0.2, 0.0),
    ("p", 100.0, 110.0, 0.5, 0.03, 0.05, 0.01),
    ("c", 100.0, 90.0, 2.0, -0.01, 0.45, 0.02),
    ("p", 100.0, 95.0, 0.25, 0.02, 0.9, 0.06),
    ("c", 100.0, 120.0, 3.0, 0.04, 1.5, 0.0),
    ("p", 100.0, 100.0, 1.0, 0.01, 3.0, 0.03),
]


def iv_row(model, flag, S, K, t, r, sigma, q):
    """The price at sigma, rounded to a double, and the exact volatility of that double."""
    if model == "bs":
        q = 0.0
    w = 1 if flag == "c" else -1
    x = {name: mpf(v) for name, v in zip(INPUTS, (S, K, t, r, sigma, q))}
    p = to_double(price(model, w, **x))
    vol = mp.findroot(lambda s: price(model, w, **{**x, "sigma": s}) - p, x["sigma"])
    at_vol = {**x, "sigma": vol}
    growth = mp.exp(x["r"] * x["t"])
    forward_vega = closed_forms(model, w, **at_vol)["vega"] * 100 * growth
    price_tol = (abs(p) * growth + 1) * mpf(1e-12)
    tol = 2 * price_tol / forward_vega / vol + 4 * EPS
    if model == "black76":
        args = [p, S, K, r, t, flag]
    else:
        args = [p, S, K, t, r] + ([q] if model == "bsm" else []) + [flag]
    return [
        "iv",
        f"{model}_implied_volatility",
        args,
        repr(to_double(vol)),
        float(f"{float(tol):.2g}"),
    ]


def main():
    rows = []
    for model in PRICE_NAMES:
        for flag, *point in ORDINARY:
            rows += [formula_row("ord", model, quantity, flag, point) for quantity in DEFINITIONS]
        for flag, *spec in EXTREME:
            point = extreme_point(flag, *spec)
            rows += [formula_row("ext", model, quantity, flag, point) for quantity in DEFINITIONS]
        rows += [iv_row(model, *point) for point in IV_POINTS]
    dropped = rows.count(None)
    rows = [row for row in rows if row is not None]
    OUT.parent.mkdir(parents=True, exist_ok=True)
    with OUT.open("w") as out:
        out.write(
            "[\n" + ",\n".join(json.dumps(row, separators=(",", ":")) for row in rows) + "\n]\n"
        )
    print(f"{OUT}: {len(rows)} rows, {dropped} points dropped, {OUT.stat().st_size} bytes")


if __name__ == "__main__":
    main()
