"""kestrovane.greeks and kestrovane.implied_volatility: every element bit for
bit the scalar function's, broadcasting, flags, pandas and polars inputs, the
errors, and the implied-volatility statuses."""

import math
import subprocess
import sys
import tracemalloc

import kestrovane as kv
import numpy as np
import pytest
from kestrovane import IvStatus
from kestrovane._quantities import MODELS, QUANTITIES, function_name

SPELLINGS = {True: ["c", "C", "call", "Call", "CALL"], False: ["p", "P", "put", "Put", "PUT"]}
INF, NAN = math.inf, math.nan
# (X, K, t, r, sigma, q): the corners of the formulas.
EDGES = [
    (100.0, 100.0, 0.0, 0.05, 0.2, 0.01),
    (120.0, 100.0, 0.0, 0.05, 0.2, 0.01),
    (100.0, 100.0, 1.0, 0.05, 0.0, 0.01),
    (0.0, 100.0, 1.0, 0.05, 0.2, 0.01),
    (100.0, 0.0, 1.0, 0.05, 0.2, 0.01),
    (INF, 100.0, 1.0, 0.05, 0.2, 0.01),
    (100.0, INF, 1.0, 0.05, 0.2, 0.01),
    (100.0, 100.0, INF, 0.05, 0.2, 0.01),
    (100.0, 100.0, 1.0, 0.05, INF, 0.01),
    (NAN, 100.0, 1.0, 0.05, 0.2, 0.01),
    (100.0, 100.0, NAN, 0.05, 0.2, 0.01),
    (100.0, 100.0, 1.0, NAN, 0.2, NAN),
    (1e4, 1.0, 1.0, 0.05, 0.2, 0.01),
    (1.0, 1e4, 1.0, 0.05, 0.2, 0.01),
    (100.0, 100.0, -0.0, -0.01, 0.2, 0.03),
    (-0.0, 100.0, 1.0, 0.0, 0.2, 0.0),
]


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def book(n=300, seed=7):
    """Random options followed by the edges, each edge as a call and a put;
    flags in every spelling, r and q per option."""
    rng = np.random.default_rng(seed)
    random = np.column_stack(
        [
            rng.uniform(1, 200, n),
            rng.uniform(1, 200, n),
            rng.uniform(0, 3, n),
            rng.uniform(-0.02, 0.1, n),
            rng.uniform(0.01, 1.5, n),
            rng.uniform(-0.02, 0.08, n),
        ]
    )
    rows = np.vstack([random, np.array(EDGES * 2)])
    calls = np.concatenate([rng.random(n) < 0.5, [True] * len(EDGES) + [False] * len(EDGES)])
    flags = np.array([SPELLINGS[bool(c)][i % 5] for i, c in enumerate(calls)])
    return calls, flags, rows.T.copy()


def market(model, X, q):
    return {"F": X} if model == "black76" else {"S": X, **({"q": q} if model == "bsm" else {})}


def scalar(model, quantity, call, X, K, t, r, sigma, q):
    args = ["c" if call else "p", X, K, t, r, sigma] + ([q] if model == "bsm" else [])
    return getattr(kv, function_name(model, quantity))(
        *map(lambda a: a if isinstance(a, str) else float(a), args)
    )


@pytest.mark.parametrize("model", MODELS)
def test_every_quantity_is_the_scalar_functions_value(model):
    calls, flags, (X, K, t, r, sigma, q) = book()
    got = kv.greeks(model, flag=flags, K=K, t=t, r=r, sigma=sigma, **market(model, X, q))
    assert list(got) == list(QUANTITIES)
    for quantity, values in got.items():
        assert values.dtype == np.float64 and values.shape == X.shape
        expected = [scalar(model, quantity, *row) for row in zip(calls, X, K, t, r, sigma, q)]
        np.testing.assert_array_equal(bits(values), bits(expected), err_msg=quantity)


def iv_scalar(model, price, call, X, K, t, r, q):
    fn = getattr(kv, f"{model}_implied_volatility")
    flag = "c" if call else "p"
    args = {
        "bs": (price, X, K, t, r, flag),
        "bsm": (price, X, K, t, r, q, flag),
        "black76": (price, X, K, r, t, flag),
    }[model]
    try:
        return fn(*map(lambda a: a if isinstance(a, str) else float(a), args))
    except (ValueError, RuntimeError):
        return math.nan


@pytest.mark.parametrize("model", MODELS)
def test_implied_volatility_is_the_scalar_functions_value(model):
    calls, flags, (X, K, t, r, sigma, q) = book(n=150)
    price = kv.greeks(
        model, flag=flags, K=K, t=t, r=r, sigma=sigma, quantities=["price"], **market(model, X, q)
    )["price"]
    # Solvable prices, and prices off them that fall out of bounds.
    price = np.concatenate([price, price * 1.5 + 1.0, price - 1.0, [0.0, NAN, INF]])
    tile = lambda a: np.resize(a, len(price))  # noqa: E731
    calls, flags, X, K, t, r, q = map(tile, (calls, flags, X, K, t, r, q))
    got = kv.implied_volatility(
        model, price=price, K=K, t=t, r=r, flag=flags, **market(model, X, q)
    )
    expected = [iv_scalar(model, *row) for row in zip(price, calls, X, K, t, r, q)]
    np.testing.assert_array_equal(bits(got), bits(expected))


def test_statuses_tell_the_outcomes_apart():
    # bs, S = K = 100 unless stated, t = 1, r = 0.05; one case per status.
    cases = [
        (10.450583572185565, "c", 100.0, IvStatus.SOLVED),
        (0.0, "c", 110.0, IvStatus.LOWER_BOUND),  # exactly the intrinsic value
        (100.0, "c", 100.0, IvStatus.UPPER_BOUND),  # the whole spot
        (-1.0, "p", 100.0, IvStatus.BELOW_INTRINSIC),
        (100.001, "c", 100.0, IvStatus.ABOVE_MAXIMUM),
        (NAN, "p", 100.0, IvStatus.NAN_INPUT),
    ]
    price, flag, K, expected = map(list, zip(*cases))
    values, status = kv.implied_volatility(
        "bs", price=price, S=100, K=K, t=1, r=0.05, flag=flag, status=True
    )
    assert status.dtype == np.int8 and status.tolist() == expected
    assert values[1] == 1e-6 and values[2] == pytest.approx(5.0)
    assert np.isnan(values[3:]).all() and not np.isnan(values[:3]).any()
    alone = kv.implied_volatility("bs", price=price, S=100, K=K, t=1, r=0.05, flag=flag)
    np.testing.assert_array_equal(bits(alone), bits(values))


def test_inputs_broadcast_without_copies():
    K = np.array([80, 100, 120], dtype=np.int32)[:, None]  # strikes down, expiries across
    t = np.array([0.25, 1.0], dtype=np.float32)
    flag = np.array([[True], [False], [True]])
    got = kv.greeks(
        "bsm",
        flag=flag,
        S=100,
        K=K,
        t=t,
        r=[0.01, 0.02],
        sigma=0.2,
        q=0.01,
        quantities=["vanna", "price"],
    )
    assert list(got) == ["vanna", "price"]
    for quantity, values in got.items():
        assert values.shape == (3, 2) and values.flags.c_contiguous
        for i, j in np.ndindex(3, 2):
            expected = scalar(
                "bsm", quantity, flag[i, 0], 100, K[i, 0], float(t[j]), [0.01, 0.02][j], 0.2, 0.01
            )
            assert bits(values[i, j]) == bits(expected)
    one = kv.greeks("bs", flag="put", S=100.0, K=95, t=np.float64(0.5), r=0.03, sigma=0.25)
    assert one["delta"].shape == () and one["delta"] == kv.bs_delta("p", 100, 95, 0.5, 0.03, 0.25)


def test_scalars_are_not_materialised():
    K = np.linspace(50.0, 150.0, 20_000)
    kv.greeks("bsm", flag="c", S=100, K=K, t=1, r=0.03, sigma=0.2, q=0.01, quantities=["delta"])
    tracemalloc.start()
    try:
        kv.greeks("bsm", flag="c", S=100, K=K, t=1, r=0.03, sigma=0.2, q=0.01, quantities=["delta"])
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < K.nbytes * 1.1 + 16_384


@pytest.mark.parametrize(
    "flag,message",
    [
        ("x", "flag is 'x'"),
        ("", "flag is ''"),
        ("cx", "flag is 'cx'"),
        (1, "flag is 1"),
        (["c", "calls", "p"], "flag[1] is 'calls'"),
        (["p", None], "flag[1] is None"),
        ([["c", "p"], ["C", "q"]], "flag[1, 1] is 'q'"),
        (np.array([1, 0]), "flag[0] is 1"),
        (np.array(["p", "\u0441"]), "flag[1] is '\u0441'"),  # Cyrillic es
    ],
)
def test_invalid_flags_are_named_with_their_index(flag, message):
    with pytest.raises(ValueError, match="flag") as info:
        kv.greeks("bs", flag=flag, S=100, K=[[90, 110]], t=1, r=0.05, sigma=0.2)
    assert message in str(info.value) and "'call'" in str(info.value)


def test_flag_spellings_and_bools_agree():
    spellings = [*SPELLINGS[True], *SPELLINGS[False]]
    as_bools = [True] * 5 + [False] * 5
    expected = kv.greeks("bs", flag=np.array(as_bools), S=100, K=100, t=1, r=0.05, sigma=0.2)
    for flag in (
        spellings,
        np.array(spellings, dtype=object),
        list(as_bools),
        np.array(spellings + [True], dtype=object)[:-1],
    ):
        got = kv.greeks("bs", flag=flag, S=100, K=100, t=1, r=0.05, sigma=0.2)
        for quantity in QUANTITIES:
            assert bits(got[quantity]).tolist() == bits(expected[quantity]).tolist()


def test_pandas_gives_a_frame_with_the_index_and_refuses_misalignment():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(
        {
            "K": [90, 100, 110],
            "t": [0.5, 0.5, 1.0],
            "type": pd.Categorical(["call", "put", "put"]),
            "r": pd.array([0.01, None, 0.02], dtype="Float64"),
        },
        index=pd.Index(["a", "b", "c"], name="id"),
    )
    got = kv.greeks(
        "bs",
        flag=frame["type"],
        S=100,
        K=frame["K"],
        t=frame["t"],
        r=frame["r"],
        sigma=0.2,
        quantities=["gamma", "price"],
    )
    assert list(got.columns) == ["gamma", "price"] and got.index.equals(frame.index)
    assert got["price"].iloc[0] == kv.bs_black_scholes("c", 100, 90, 0.5, 0.01, 0.2)
    assert math.isnan(got["price"].iloc[1])  # a missing rate is NaN
    iv, status = kv.implied_volatility(
        "bs",
        price=got["price"],
        S=100,
        K=frame["K"],
        t=frame["t"],
        r=0.01,
        flag=frame["type"],
        status=True,
    )
    assert iv.index.equals(frame.index) and status.index.equals(frame.index)
    shuffled = frame["K"].iloc[::-1]
    with pytest.raises(ValueError, match="different indexes"):
        kv.greeks("bs", flag="c", S=100, K=shuffled, t=frame["t"], r=0.01, sigma=0.2)
    with pytest.raises(ValueError, match="does not fit the index"):
        kv.greeks("bs", flag="c", S=100, K=frame["K"], t=[[1.0], [2.0]], r=0.01, sigma=0.2)


def test_polars_series_are_numbers():
    pl = pytest.importorskip("polars")
    got = kv.greeks(
        "black76",
        flag=pl.Series(["c", "p"]),
        F=pl.Series([100, 100]),
        K=95,
        t=pl.Series([0.5, 1.0]),
        r=0.02,
        sigma=0.3,
        quantities=["theta"],
    )
    assert isinstance(got, dict)
    assert got["theta"][1] == kv.black76_theta("p", 100.0, 95.0, 1.0, 0.02, 0.3)


def test_pandas_is_not_imported_for_plain_inputs():
    code = (
        "import sys; import kestrovane as kv; "
        "kv.greeks('bs', flag=[True], S=[100], K=100, t=1, r=0, sigma=0.2); "
        "kv.implied_volatility('bs', price=5, S=100, K=100, t=1, r=0, flag='c'); "
        "assert 'pandas' not in sys.modules and 'polars' not in sys.modules"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr


GOOD = dict(S=100, K=100, t=1, r=0.05, sigma=0.2)


@pytest.mark.parametrize(
    "model,changes,error,message",
    [
        ("heston", {}, ValueError, "bs, bsm, black76"),
        ("bs", {"quantities": ["delta", "rhoo"]}, ValueError, "price, delta, gamma"),
        ("bs", {"quantities": ["delta", "delta"]}, ValueError, "more than once"),
        ("bs", {"q": 0.01}, TypeError, "q"),
        ("black76", {}, TypeError, "F, not S"),
        ("bs", {"F": 100}, TypeError, "S, not F"),
        ("bsm", {"S": None}, TypeError, "needs S"),
        ("bs", {"K": [90, 100, 110], "t": [1, 2]}, ValueError, r"K \(3,\), t \(2,\)"),
        ("bs", {"K": "100"}, TypeError, "argument 'K': expected real numbers, got str"),
        ("bs", {"sigma": np.array([0.2 + 0j])}, TypeError, "'sigma'.*complex128"),
        ("bs", {"t": np.array(["2025-01-01"], dtype="datetime64[D]")}, TypeError, "'t'.*datetime"),
        ("bs", {"S": np.array([100.0], dtype=object)}, TypeError, "'S'.*object"),
        ("bs", {"r": np.array([True])}, TypeError, "'r'.*bool"),
        ("bs", {"K": [[1], [1, 2]]}, TypeError, "argument 'K'"),
        ("bs", {"threads": 0}, ValueError, "at least 1"),
        ("bs", {"threads": 2.0}, TypeError, "threads"),
    ],
)
def test_errors_name_what_is_wrong(model, changes, error, message):
    with pytest.raises(error, match=message):
        kv.greeks(model, flag="c", **{**GOOD, **changes})


def test_results_do_not_depend_on_the_thread_count():
    calls, _, rows = book()
    calls = np.resize(calls, 300_001)
    X, K, t, r, sigma, q = (np.resize(a, 300_001) for a in rows)
    args = dict(flag=calls, S=X, K=K, t=t, r=r, sigma=sigma, q=q)
    one = kv.greeks("bsm", threads=1, quantities=["price", "theta", "ultima"], **args)
    many = kv.greeks("bsm", threads=3, quantities=["price", "theta", "ultima"], **args)
    for quantity in one:
        assert bits(one[quantity]).tobytes() == bits(many[quantity]).tobytes()
    price = one["price"][:100_001]
    iv = {
        n: kv.implied_volatility(
            "bsm",
            price=price,
            S=X[:100_001],
            K=K[:100_001],
            t=t[:100_001],
            r=0.01,
            q=0.02,
            flag=calls[:100_001],
            status=True,
            threads=n,
        )
        for n in (1, 3)
    }
    assert bits(iv[1][0]).tobytes() == bits(iv[3][0]).tobytes()
    assert iv[1][1].tobytes() == iv[3][1].tobytes()
