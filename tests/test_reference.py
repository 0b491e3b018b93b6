"""Every scalar function against values computed from the models' definitions at high precision.

tests/data/reference.json is written by tools/gen_reference.py: each price and Greek is the
derivative of the closed-form price taken in 256-bit arithmetic (vega and rho per percentage
point, theta per calendar day, charm/color/veta in growing time to expiry), and each implied
volatility is the exact volatility of a price rounded to a double. Each row carries its own
relative tolerance: 64 eps times the value's sensitivity to a relative change of eps in each
input and to the cancellation among its terms (never below 1e-12, at most 1e-4), or, for
implied volatilities, the solver's price tolerance over the forward vega. A wrong sign,
scale, constant (1/sqrt(2 pi) off in its 7th digit) or argument order is off by far more.
"""

import json
import math
from pathlib import Path

import pytest
from kestrovane import _kestrovane as kv

ROWS = json.loads((Path(__file__).parent / "data" / "reference.json").read_text())


def row_id(row):
    label, name, args = row[:3]
    flag = args[-1] if name.endswith("implied_volatility") else args[0]
    return f"{label}-{name}-{flag}"


# pytest numbers repeated ids itself.
@pytest.mark.parametrize("label,name,args,expected,rel_tol", ROWS, ids=map(row_id, ROWS))
def test_matches_high_precision_reference(label, name, args, expected, rel_tol):
    expected = float(expected)
    got = getattr(kv, name)(*args)
    assert math.isfinite(got) and abs(got - expected) <= rel_tol * abs(expected), (
        f"{name}{tuple(args)}: got {got!r}, expected {expected!r} (rel_tol {rel_tol})"
    )


def test_reference_covers_every_scalar_function():
    names = {row[1] for row in ROWS}
    scalar = {n for n in kv.__all__ if n.startswith(("bs", "black76")) and not n.endswith("_array")}
    assert names == scalar
    for name in names:  # calls and puts, ordinary and extreme points for each
        flags = {row_id(row).split("-")[-1] for row in ROWS if row[1] == name}
        assert flags == {"c", "p"}, name
