"""American exercise in the whole book: prices and Greeks against an
independent finite-difference reference, the cases where early exercise
never pays (the European values to the bit), the edges, and the implied
volatility with its statuses."""

import math
from pathlib import Path

import kestrovane as kv
import numpy as np
import pytest
from kestrovane import IvStatus

NAN = math.nan
FD = np.loadtxt(Path(__file__).parent / "data" / "american_fd.csv", delimiter=",", skiprows=2)
AMERICAN = ["price", "delta", "gamma", "vega", "theta", "rho", "dual_delta", "dual_gamma"]


def american(model="bsm", flag="p", S=100.0, K=100.0, t=1.0, r=0.05, q=0.0, sigma=0.3, **kw):
    market = {"F": S} if model == "black76" else {"S": S, **({"q": q} if model == "bsm" else {})}
    kw.setdefault("exercise", "american")
    return kv.greeks(model, flag=flag, K=K, t=t, r=r, sigma=sigma, **market, **kw)


def fd_columns():
    call, S, K, t, r, q, sigma = FD[:, :7].T
    return dict(flag=call.astype(bool), S=S, K=K, t=t, r=r, q=q, sigma=sigma)


# The reference (Richardson-extrapolated over 16000 and 32000 nodes) is good
# to about 2e-9 in price where it estimates its error below 1e-8 (177 of the
# 200), and to 1e-6 at worst (two deep in the money); its delta and gamma are
# differences on its grid, theta from the Black-Scholes equation, vega and
# rho from re-solved grids. The tolerances (absolute; the library's units)
# sit just above its own error: a wrong sign, scale or boundary is far
# beyond them.
@pytest.mark.parametrize(
    "quantity, column, scale, atol",
    [
        ("price", 7, 1.0, 3e-6),
        ("delta", 8, 1.0, 2e-5),
        ("gamma", 9, 1.0, 5e-5),
        ("theta", 10, 1 / 365, 2e-5),
        ("vega", 11, 0.01, 1e-3),
        ("rho", 12, 0.01, 5e-3),
    ],
)
def test_against_finite_differences(quantity, column, scale, atol):
    got = american(**fd_columns(), quantities=[quantity])[quantity]
    np.testing.assert_allclose(got, FD[:, column] * scale, atol=atol, rtol=0.0)


# Each setting's price error against the reference, where the reference
# resolves it (its own estimate below 1e-8): `fast` and `accurate` to their
# stated 1e-5 and 1e-8 RMSE, `high` down to the reference's own error; over
# all 200, to the reference's (8e-8 RMSE, 1e-6 at worst).
@pytest.mark.parametrize(
    "accuracy, rmse, worst",
    [("fast", 1e-5, 1e-4), ("accurate", 1e-8, 1e-7), ("high", 2e-9, 2e-8)],
)
def test_settings_against_finite_differences(accuracy, rmse, worst):
    err = american(**fd_columns(), quantities=["price"], accuracy=accuracy)["price"] - FD[:, 7]
    resolved = FD[:, 13] < 1e-8
    assert math.sqrt(np.mean(err[resolved] ** 2)) < rmse and np.abs(err[resolved]).max() < worst
    assert math.sqrt(np.mean(err**2)) < max(rmse, 3e-8) and np.abs(err).max() < max(worst, 3e-7)


def test_settings_agree_to_their_accuracy():
    cols = fd_columns()
    high = american(**cols, quantities=["price"], accuracy="high")["price"]
    for accuracy, tol in [("fast", 2e-3), ("accurate", 2e-6)]:
        got = american(**cols, quantities=["price"], accuracy=accuracy)["price"]
        assert np.abs(got - high).max() < tol, accuracy


def test_dual_greeks_by_strike_differences():
    h = 1e-3
    base = american(K=95.0, quantities=AMERICAN)
    up, down = (american(K=95.0 + d, quantities=["price"])["price"] for d in (h, -h))
    assert base["dual_delta"] == pytest.approx((up - down) / (2 * h), abs=1e-7)
    assert base["dual_gamma"] == pytest.approx((up - 2 * base["price"] + down) / h**2, abs=1e-5)


# Where early exercise never pays: a call without yield (r >= 0), a put at a
# rate <= 0 with q >= r, Black-76 at r <= 0, and t = 0.
@pytest.mark.parametrize(
    "model, flag, r, q, t",
    [
        ("bs", "c", 0.05, 0.0, 1.0),
        ("bsm", "c", 0.05, -0.02, 1.0),
        ("bsm", "p", 0.0, 0.03, 1.0),
        ("bsm", "p", -0.01, -0.005, 2.0),
        ("black76", "c", -0.01, 0.0, 1.0),
        ("black76", "p", 0.0, 0.0, 1.0),
        ("bsm", "p", 0.05, 0.0, 0.0),
    ],
)
def test_european_where_early_exercise_never_pays(model, flag, r, q, t):
    args = dict(model=model, flag=flag, S=90.0, K=100.0, t=t, r=r, q=q, sigma=0.25)
    got = american(**args, quantities=AMERICAN)
    want = american(**args, quantities=AMERICAN, exercise="european")
    for name in AMERICAN:
        assert np.array_equal(got[name], want[name], equal_nan=True), name


@pytest.mark.parametrize("model", ["bs", "bsm", "black76"])
@pytest.mark.parametrize("flag", ["c", "p"])
def test_never_below_european_or_exercise(model, flag):
    S = np.linspace(40, 200, 17)[:, None]
    r, q = (0.08, 0.05) if flag == "c" else (0.06, 0.01)
    args = dict(model=model, flag=flag, S=S, K=100.0, t=np.array([0.1, 1.0, 3.0]), r=r, q=q)
    got = american(**args, quantities=["price"])["price"]
    euro = american(**args, quantities=["price"], exercise="european")["price"]
    exercise = np.maximum((S - 100.0) if flag == "c" else (100.0 - S), 0.0)
    assert got.shape == (17, 3)
    assert (got >= euro - 1e-12).all() and (got >= exercise - 1e-12).all()


def test_exercise_region():
    got = american(S=40.0, K=100.0, r=0.1, sigma=0.2, quantities=AMERICAN)
    assert (got["price"], got["delta"], got["gamma"], got["theta"]) == (60.0, -1.0, 0.0, 0.0)


@pytest.mark.parametrize(
    "S, r, q, t, want",
    [
        (90.0, 0.05, 0.0, 1.0, 10.0),  # exercise now
        (110.0, 0.05, 0.0, 1.0, 0.0),  # never in the money
        # the forward falls below K: best at t* = ln(rK / qS) / (r - q)
        (100.0, 0.02, 0.05, 1.0, 100 * math.exp(-0.02 * 1.0) - 100 * math.exp(-0.05 * 1.0)),
    ],
)
def test_without_volatility(S, r, q, t, want):
    got = american(S=S, r=r, q=q, t=t, sigma=0.0, quantities=["price"])["price"]
    assert got == pytest.approx(want, abs=1e-12)


def test_undefined_cases_are_nan():
    # two exercise boundaries (a put with q < r <= 0), NaN and non-positive inputs
    got = american(
        S=np.array([100.0, NAN, 100.0, -1.0, 100.0]),
        r=np.array([-0.01, 0.05, 0.05, 0.05, 0.05]),
        q=np.array([-0.03, 0.0, NAN, 0.0, 0.0]),
        sigma=np.array([0.3, 0.3, 0.3, 0.3, -0.1]),
        quantities=AMERICAN,
    )
    for name in AMERICAN:
        assert np.isnan(got[name]).all(), name


def test_threads_do_not_change_results():
    S = np.linspace(50, 150, 300)
    one = american(S=S, q=0.03, quantities=AMERICAN, threads=1, accuracy="fast")
    two = american(S=S, q=0.03, quantities=AMERICAN, threads=2, accuracy="fast")
    for name in AMERICAN:
        assert np.array_equal(one[name], two[name]), name


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (
            dict(quantities=["price", "vanna", "speed"]),
            "not available for American exercise: vanna, speed",
        ),
        (dict(exercise="bermudan"), "exercise must be"),
        (dict(accuracy="exact"), "accuracy must be"),
    ],
)
def test_argument_errors(kwargs, message):
    with pytest.raises(ValueError, match=message):
        american(**kwargs)


def test_default_quantities():
    assert list(american()) == [q for q in kv.QUANTITIES if q in AMERICAN]


# ---- implied volatility -------------------------------------------------------


def american_iv(price, model="bsm", flag="p", S=100.0, K=100.0, t=1.0, r=0.05, q=0.0, **kw):
    market = {"F": S} if model == "black76" else {"S": S, **({"q": q} if model == "bsm" else {})}
    return kv.implied_volatility(
        model,
        price=price,
        flag=flag,
        K=K,
        t=t,
        r=r,
        **market,
        status=True,
        exercise="american",
        **kw,
    )


@pytest.mark.parametrize("accuracy", ["fast", "accurate"])  # one stage; two stages
@pytest.mark.parametrize("model", ["bs", "bsm", "black76"])
def test_iv_round_trip(model, accuracy):
    rng = np.random.default_rng(3)
    n = 60
    flag = rng.random(n) < 0.5
    S, t = rng.uniform(60, 140, n), rng.uniform(0.05, 3, n)
    r, q, sigma = rng.uniform(0.01, 0.1, n), rng.uniform(0.0, 0.1, n), rng.uniform(0.1, 0.8, n)
    price = american(model, flag, S, 100.0, t, r, q, sigma, quantities=["price"], accuracy=accuracy)
    price = price["price"]
    vol, status = american_iv(price, model, flag, S, 100.0, t, r, q, accuracy=accuracy)
    solved = status == IvStatus.SOLVED
    assert np.abs(vol[solved] - sigma[solved]).max() < 1e-8
    # Deep in the exercise region the price does not depend on sigma: the
    # price is then the exercise value, below the lowest volatility's.
    exercise = np.maximum(np.where(flag, S - 100.0, 100.0 - S), 0.0)
    assert (price[~solved] == exercise[~solved]).all()
    assert (status[~solved] == IvStatus.LOWER_BOUND).all()


def test_iv_round_trip_on_the_portfolio():
    # Ten thousand puts of the benchmark portfolio's grid at random
    # volatilities, where the price says something about the volatility
    # (vega at least 0.01 per point): every one SOLVED within 1e-8. (A first
    # stage whose solves started from the boundary before, and so priced with
    # a wobble within the tolerance, missed on 2 of them.)
    rng = np.random.default_rng(26)
    n = 20_000
    S = rng.choice([25.0, 50, 80, 90, 100, 110, 120, 150, 175, 200], n)
    t = rng.choice([30, 91, 182, 274, 365, 730, 1095], n) / 365
    r, q = rng.choice([0.02, 0.04, 0.06, 0.08, 0.10], n), rng.choice([0.0, 0.04, 0.08, 0.12], n)
    sigma = rng.uniform(0.1, 0.6, n)
    keep = american(S=S, t=t, r=r, q=q, sigma=sigma, quantities=["vega"], accuracy="fast")["vega"]
    keep = np.flatnonzero(keep >= 0.01)[:10_000]
    S, t, r, q, sigma = S[keep], t[keep], r[keep], q[keep], sigma[keep]
    price = american(S=S, t=t, r=r, q=q, sigma=sigma, quantities=["price"])["price"]
    vol, status = american_iv(price, S=S, t=t, r=r, q=q)
    assert (status == IvStatus.SOLVED).all()
    assert np.abs(vol - sigma).max() < 1e-8


def test_iv_of_reference_prices():
    # The reference's prices give back the volatility that made them, to the
    # reference's price error over vega where vega is not tiny.
    call, S, K, t, r, q, sigma = FD[:, :7].T
    vega = FD[:, 11]
    vol, status = american_iv(FD[:, 7], "bsm", call.astype(bool), S, K, t, r, q)
    sure = vega > 1.0
    assert (status[sure] == IvStatus.SOLVED).all()
    assert (np.abs(vol - sigma)[sure] * vega[sure]).max() < 5e-7


def test_iv_statuses():
    S = np.array([100.0, 60.0, 60.0, 100.0, 100.0, 100.0])
    price = np.array([150.0, 39.0, 40.0, NAN, 8.0, 120.0])
    vol, status = american_iv(price, S=S, r=np.array([0.05] * 5 + [-0.01]), q=0.0)
    assert status.tolist() == [
        IvStatus.ABOVE_MAXIMUM,
        IvStatus.BELOW_EXERCISE,
        IvStatus.LOWER_BOUND,  # the exercise value itself
        IvStatus.NAN_INPUT,
        IvStatus.SOLVED,
        IvStatus.ABOVE_MAXIMUM,  # r <= 0: the European solver's bounds
    ]
    assert np.isnan(vol[[0, 1, 3, 5]]).all() and vol[2] == 1e-6


def test_iv_european_where_early_exercise_never_pays():
    args = dict(flag="c", S=95.0, K=100.0, t=1.0, r=0.03, q=0.0)
    got = american_iv(7.5, **args)
    want = kv.implied_volatility("bsm", price=7.5, status=True, method="newton", **args)
    assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1])


# A strong drift against a tiny volatility (S = K, r - q = 2%): the
# integrands live within (10 sigma / (r - q))^2 of s = 0 and past a few such
# spans the price stops changing. References: (64, 400, 128, 128) run to
# convergence, equal at t = 2 to 5 (solved there) and beyond (past the cap).
# The calls are the same puts by put-call symmetry. "fast" takes "accurate"'s
# setting here.
TINY_VOL_TIMES = [0.5, 1.0, 2.0, 5.0, 10.0, 30.0]
TINY_VOL = {
    0.001: [9.1965262e-4] * 6,
    0.005: [2.2955735e-2, 2.2963735e-2] + [2.2963794e-2] * 4,
    0.02: [0.2909628830, 0.3277388460, 0.3502311302, 0.3600098541, 0.3607727423, 0.3607951520],
}


@pytest.mark.parametrize("flag", ["p", "c"])
@pytest.mark.parametrize(
    "sigma, accuracy, atol",
    [(0.001, "fast", 1e-7), (0.001, "accurate", 1e-7), (0.001, "high", 1e-9)]
    + [(0.005, "fast", 5e-5), (0.005, "accurate", 1e-7), (0.005, "high", 1e-9)]
    + [(0.02, "accurate", 1e-7), (0.02, "high", 1e-9)],
)
def test_strong_drift_tiny_volatility(flag, sigma, accuracy, atol):
    r, q = (0.05, 0.03) if flag == "p" else (0.03, 0.05)
    t = np.array(TINY_VOL_TIMES)
    price = american(flag=flag, t=t, r=r, q=q, sigma=sigma, accuracy=accuracy)["price"]
    np.testing.assert_allclose(price, TINY_VOL[sigma], rtol=0, atol=atol)
    assert np.all(np.diff(price) >= -atol)


# The opposite drift (q > r) against a small volatility carries S towards the
# exercise boundary, whose movement is squeezed into a thin layer at expiry;
# such options take a finer setting whichever is asked for ("fast" was off by
# 3e-3 and "accurate" by 4e-6 on the first). Past the expiry by which S has
# all but surely met the perpetual boundary, the put is the perpetual one
# (the second; "high" was off by 1.8e-5). References: the finite-difference
# tool at 8000 and 16000 nodes, converged to about 1e-7 here.
@pytest.mark.parametrize("accuracy", ["fast", "accurate", "high"])
@pytest.mark.parametrize(
    "S, t, r, q, sigma, want",
    [
        (66.86793995006173, 16.00375593648311, 0.0264821804730898, 0.11089917624866065,
         0.006563086250068708, 55.1139159),
        (70.64091901014949, 26.92643825943841, 0.04125130804891745, 0.11577081319499287,
         0.005890283383770289, 44.0759187),
    ],
)  # fmt: skip
def test_drift_towards_exercise_small_volatility(S, t, r, q, sigma, want, accuracy):
    got = american(S=S, t=t, r=r, q=q, sigma=sigma, accuracy=accuracy)["price"]
    assert abs(got - want) < 3e-7


@pytest.mark.parametrize("accuracy", ["fast", "high"])
def test_perpetual_put_past_its_reach(accuracy):
    # (K - B) (S / B)^lambda, B = K lambda / (lambda - 1), lambda the negative
    # root of sigma^2 l^2 / 2 + (r - q - sigma^2 / 2) l - r = 0; 150 years is
    # past the 100 by which S = 100 meets B (about 19.7) but with odds e^-84.
    S, r, q, sigma = 100.0, 0.02, 0.10, 0.05
    mu = r - q - sigma**2 / 2
    lam = (-mu - math.sqrt(mu**2 + 2 * r * sigma**2)) / sigma**2
    B = 100.0 * lam / (lam - 1)
    price = (100.0 - B) * (S / B) ** lam
    got = american(S=S, t=150.0, r=r, q=q, sigma=sigma, accuracy=accuracy, quantities=AMERICAN[:5])
    want = [price, lam * price / S, lam * (lam - 1) * price / S**2, None, 0.0]
    for name, value in zip(AMERICAN[:5], want):
        if value is not None:
            assert got[name] == pytest.approx(value, rel=1e-11, abs=1e-15), name


def test_vega_never_straddles_a_change_of_setting():
    # At kappa = (r - sigma^2 / 2) sqrt(t) / sigma = 4 "fast" takes "accurate"'s
    # nodes; sigma sits just below that, its lower bump above it. Both bumps
    # must be priced alike, or vega takes the settings' difference over 2e-4
    # sigma (half of it, here).
    r = 0.05
    sigma = (math.sqrt(16 + 2 * r) - 4) * (1 + 0.5e-4)
    fast, high = (
        american(r=r, sigma=sigma, quantities=["vega"], accuracy=a)["vega"]
        for a in ("fast", "high")
    )
    assert fast == pytest.approx(high, rel=1e-3)
