"""The book's default implied-volatility method (method="rational").

A slice of the surface grid of tools/iv_surface.py, whose truth is the exact inverse of each
double price in mpmath, and the outcomes at and beyond the bounds.
"""

import json
import math
from pathlib import Path

import kestrovane as kv
import numpy as np
import pytest
from kestrovane import IvStatus

SLICE = json.loads((Path(__file__).parent / "data" / "iv_surface_slice.json").read_text())
NAN, INF = math.nan, math.inf


def test_surface_slice_is_solved_to_the_floor():
    rows = SLICE
    sigma, status = kv.implied_volatility(
        "black76",
        price=[r["price"] for r in rows],
        F=100.0,
        K=[r["K"] for r in rows],
        t=[r["t"] for r in rows],
        r=0.03,
        flag=[r["flag"] for r in rows],
        status=True,
    )
    truth = np.array([r["truth"] for r in rows])
    # The floor, or the answer's own rounding where that is coarser; the stored
    # truth is itself rounded, by up to one such unit.
    unit = np.array([max(r["floor"], math.ulp(r["truth"]) / 2 / r["truth"]) for r in rows])
    error = np.abs(sigma / truth - 1) - unit
    well_posed = np.array([r["floor"] <= 1e-12 for r in rows])
    assert well_posed.sum() > 30 and (status == IvStatus.IMPRECISE).sum() > 3
    assert (status[well_posed] == IvStatus.SOLVED).all()
    assert (error[well_posed] <= 10 * unit[well_posed]).all()
    assert (error[~well_posed] <= 100 * unit[~well_posed]).all()
    # Deep in the money at short expiries the price fixes sigma to 1e-2 at best:
    # nothing that far off may pass for solved.
    assert (error[status == IvStatus.SOLVED] <= 1e-6).all()


def black76(flag, K, t, sigma, r=0.03):
    return kv.black76_black(flag, 100.0, K, t, r, sigma)


@pytest.mark.parametrize(
    "price, flag, K, t, expected, status",
    [
        # A tiny out-of-the-money put that the absolute tolerance of Newton's solver misses.
        (1.4829140686810774e-20, "p", 10.025884372280375, 0.25, 0.5, IvStatus.SOLVED),
        (black76("c", 100.0, 0.25, 8.0), "c", 100.0, 0.25, 8.0, IvStatus.SOLVED),  # beyond 5
        (black76("p", 60.0, 0.01, 0.14), "p", 60.0, 0.01, 0.14, IvStatus.SOLVED),  # ~1e-290
        (black76("c", 300.0, 30.0, 1.2), "c", 300.0, 30.0, 1.2, IvStatus.SOLVED),  # near F
        # The guess's table of ln(K/F): its first interval, its last, and beyond it.
        (black76("p", 100.221144, 0.1, 0.3), "p", 100.221144, 0.1, 0.3, IvStatus.SOLVED),
        (black76("c", 5.6e29, 1.0, 10.0), "c", 5.6e29, 1.0, 10.0, IvStatus.SOLVED),
        (black76("p", 4e-29, 2.0, 9.0), "p", 4e-29, 2.0, 9.0, IvStatus.SOLVED),
        (0.0, "c", 120.0, 1.0, 0.0, IvStatus.LOWER_BOUND),
        (10.0 * math.exp(-0.03), "c", 90.0, 1.0, 0.0, IvStatus.LOWER_BOUND),  # the intrinsic value
        (100.0 * math.exp(-0.03), "c", 90.0, 1.0, INF, IvStatus.UPPER_BOUND),  # the forward
        (120.0 * math.exp(-0.03), "p", 120.0, 1.0, INF, IvStatus.UPPER_BOUND),  # the strike
        (9.0, "c", 90.0, 1.0, NAN, IvStatus.BELOW_INTRINSIC),
        (98.0, "c", 90.0, 1.0, NAN, IvStatus.ABOVE_MAXIMUM),
        (1.0, "c", 90.0, 0.0, NAN, IvStatus.EXPIRED),
        (1.0, "p", 90.0, -1.0, NAN, IvStatus.EXPIRED),
        (NAN, "p", 90.0, 1.0, NAN, IvStatus.NAN_INPUT),
        (1.0, "c", 0.0, 1.0, NAN, IvStatus.NAN_INPUT),
    ],
)
def test_outcomes(price, flag, K, t, expected, status):
    got, code = kv.implied_volatility(
        "black76", price=price, F=100.0, K=K, t=t, r=0.03, flag=flag, status=True
    )
    assert code == status
    if math.isnan(expected):
        assert math.isnan(got)
    else:
        assert got == pytest.approx(expected, rel=1e-12, abs=0)


def test_unknown_method_is_refused():
    with pytest.raises(ValueError, match="valid methods are 'rational', 'newton'"):
        kv.implied_volatility("bs", price=1, S=1, K=1, t=1, r=0, flag="c", method="halley")


@pytest.mark.parametrize("model", ["black76", "bsm"])
def test_each_option_gets_its_own_answer_in_any_order(model):
    # The kernel may take a book's options in any order (it groups them by the
    # path their solves take): each must still get its own answer, bit for bit,
    # whatever its neighbours, its position or the layout of the inputs.
    rng = np.random.default_rng(23)
    n = 1601  # several chunks of a run, and a remainder at every block width
    X = 100.0 * np.exp(rng.uniform(-0.1, 0.1, n))
    K = 100.0 * np.exp(rng.uniform(-3.0, 3.0, n))
    t, r = rng.uniform(0.002, 10.0, n), rng.uniform(-0.02, 0.08, n)
    sigma = np.exp(rng.uniform(np.log(0.01), np.log(5.0), n))
    flag = rng.random(n) < 0.5
    market = dict(F=X) if model == "black76" else dict(S=X, q=rng.uniform(0.0, 0.05, n))
    price = kv.greeks(model, flag=flag, K=K, t=t, r=r, sigma=sigma, quantities=["price"], **market)
    price = price["price"]
    price[::89], price[::83], t[::97] = 0.0, price[::83] * 1e-9, 0.0  # bounds, tiny, expired
    args = dict(price=price, K=K, t=t, r=r, flag=flag, **market)
    want, want_status = kv.implied_volatility(model, **args, status=True)
    assert len(set(want_status.tolist())) >= 4
    for order in (rng.permutation(n), slice(None, None, -3), slice(5, 6)):
        got, status = kv.implied_volatility(
            model, **{k: v[order] for k, v in args.items()}, status=True
        )
        assert want[order].view(np.int64).tolist() == got.view(np.int64).tolist()
        assert want_status[order].tolist() == status.tolist()
