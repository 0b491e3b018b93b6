"""The whole book: kestrovane.greeks and kestrovane.implied_volatility, and the
kestrovane._book kernels under them. Every element is bit for bit the scalar
function's value, whatever the layout, flags, rates or thread count; flags,
pandas and polars inputs, the errors, and the implied-volatility statuses."""

import gc
import importlib.util
import math
import subprocess
import sys
from pathlib import Path

import kestrovane as kv
import numpy as np
import pytest
from kestrovane import IvStatus, _book
from kestrovane._quantities import MODELS, QUANTITIES, function_name

SPELLINGS = {True: ["c", "C", "call", "Call", "CALL"], False: ["p", "P", "put", "Put", "PUT"]}
INF, NAN = math.inf, math.nan
EDGES = [0.0, -0.0, 1e-300, 1e-8, 0.5, 1.0, 100.0, 1e300, INF, -INF, NAN, -1.0]


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float64).view(np.uint64)


def book_inputs(n, seed=7):
    """Random options with a share of edge values in every input, deep in and
    out of the money; flags in every spelling, per-option r and q."""
    rng = np.random.default_rng(seed)

    def column(lo, hi):
        values = rng.uniform(lo, hi, n)
        edge = rng.random(n) < 0.15
        values[edge] = rng.choice(EDGES, edge.sum())
        return values

    calls = rng.random(n) < 0.5
    flags = np.array([SPELLINGS[bool(c)][i % 5] for i, c in enumerate(calls)])
    X, K = column(50, 150), column(50, 150)
    K[: n // 10] = X[: n // 10] * rng.choice([1e-3, 1e3], n // 10)
    return (
        calls,
        flags,
        (X, K, column(0, 3), column(-0.05, 0.1), column(0.01, 1.5), column(-0.02, 0.08)),
    )


def market(model, X, q):
    return {"F": X} if model == "black76" else {"S": X, **({"q": q} if model == "bsm" else {})}


def greeks(model, flag, X, K, t, r, sigma, q, **options):
    return kv.greeks(model, flag=flag, K=K, t=t, r=r, sigma=sigma, **market(model, X, q), **options)


def scalar(model, quantity, call, X, K, t, r, sigma, q):
    args = ["c" if call else "p", *map(float, (X, K, t, r, sigma))] + [float(q)] * (model == "bsm")
    return getattr(kv, function_name(model, quantity))(*args)


def iv_scalar(model, price, call, X, K, t, r, q):
    flag, (price, X, K, t, r, q) = "c" if call else "p", map(float, (price, X, K, t, r, q))
    args = {"bs": (price, X, K, t, r, flag), "bsm": (price, X, K, t, r, q, flag)}
    try:
        return getattr(kv, f"{model}_implied_volatility")(
            *args.get(model, (price, X, K, r, t, flag))
        )
    except (ValueError, RuntimeError):
        return math.nan


@pytest.mark.parametrize("model", MODELS)
def test_every_quantity_is_the_scalar_functions_value(model):
    calls, flags, (X, K, t, r, sigma, q) = book_inputs(500)
    got = greeks(model, flags, X, K, t, r, sigma, q)
    assert list(got) == list(QUANTITIES)
    for quantity, values in got.items():
        assert values.dtype == np.float64 and values.shape == X.shape
        expected = [scalar(model, quantity, *row) for row in zip(calls, X, K, t, r, sigma, q)]
        np.testing.assert_array_equal(bits(values), bits(expected), err_msg=quantity)
    alone = greeks(model, calls, X, K, t, r, sigma, q, quantities=["charm"])["charm"]
    np.testing.assert_array_equal(bits(alone), bits(got["charm"]))


@pytest.mark.parametrize("model", MODELS)
def test_implied_volatility_is_the_scalar_functions_value(model):
    calls, flags, (X, K, t, r, sigma, q) = book_inputs(300, seed=13)
    price = greeks(model, flags, X, K, t, r, sigma, q, quantities=["price"])["price"]
    # Solvable prices, and prices off them that fall out of bounds.
    price = np.concatenate([price, price * 1.5 + 1.0, price - 1.0, [0.0, NAN, INF]])
    calls, flags, X, K, t, r, q = (np.resize(a, len(price)) for a in (calls, flags, X, K, t, r, q))
    got, status = kv.implied_volatility(
        model,
        price=price,
        K=K,
        t=t,
        r=r,
        flag=flags,
        status=True,
        method="newton",
        **market(model, X, q),
    )
    expected = [iv_scalar(model, *row) for row in zip(price, calls, X, K, t, r, q)]
    expired = t <= 0  # no volatility, whatever the scalar function makes of it
    np.testing.assert_array_equal(bits(got), bits(np.where(expired, NAN, expected)))
    assert np.all(np.isnan(got) == (status >= IvStatus.BELOW_INTRINSIC))
    assert np.all((status == IvStatus.EXPIRED) == expired)


def test_statuses_tell_the_outcomes_apart():
    # bs, S = K = 100 unless stated, r = 0.05; one case per status.
    cases = [
        (10.450583572185565, "c", 100.0, 1.0, IvStatus.SOLVED),
        (0.0, "c", 110.0, 1.0, IvStatus.LOWER_BOUND),  # exactly the intrinsic value
        (100.0, "c", 100.0, 1.0, IvStatus.UPPER_BOUND),  # the whole spot
        (-1.0, "p", 100.0, 1.0, IvStatus.BELOW_INTRINSIC),
        (100.001, "c", 100.0, 1.0, IvStatus.ABOVE_MAXIMUM),
        (NAN, "p", 100.0, 1.0, IvStatus.NAN_INPUT),
        (5.0, "c", 100.0, NAN, IvStatus.NAN_INPUT),  # a NaN t is a NaN input
        # Expired, whatever the price: the scalar function would give about 5.
        (11.0, "c", 90.0, 0.0, IvStatus.EXPIRED),
        (NAN, "p", 100.0, -0.0, IvStatus.EXPIRED),
        (-1.0, "p", 100.0, -1.0, IvStatus.EXPIRED),
    ]
    price, flag, K, t, expected = map(list, zip(*cases))
    market = dict(S=100, K=K, t=t, r=0.05, flag=flag, method="newton")
    values, status = kv.implied_volatility("bs", price=price, status=True, **market)
    assert status.dtype == np.int8 and status.tolist() == expected
    assert [int(s) for s in IvStatus] == list(range(10))
    assert values[1] == 1e-6 and values[2] == pytest.approx(5.0)
    assert np.isnan(values[3:]).all() and not np.isnan(values[:3]).any()
    alone = kv.implied_volatility("bs", price=price, **market)
    np.testing.assert_array_equal(bits(alone), bits(values))


def test_inputs_broadcast_without_copies():
    K = np.array([80, 100, 120], dtype=np.int32)[:, None]  # strikes down, expiries across
    t = np.array([0.25, 1.0], dtype=np.float32)
    flag = np.array([[True], [False], [True]])
    got = greeks("bsm", flag, 100, K, t, [0.01, 0.02], 0.2, 0.01, quantities=["vanna", "price"])
    assert list(got) == ["vanna", "price"]
    for quantity, values in got.items():
        assert values.shape == (3, 2) and values.flags.c_contiguous
        for i, j in np.ndindex(3, 2):
            expected = scalar(
                "bsm", quantity, flag[i, 0], 100, K[i, 0], t[j], [0.01, 0.02][j], 0.2, 0.01
            )
            assert bits(values[i, j]) == bits(expected)
    one = kv.greeks("bs", flag="put", S=100.0, K=95, t=np.float64(0.5), r=0.03, sigma=0.25)
    assert one["delta"].shape == () and one["delta"] == kv.bs_delta("p", 100, 95, 0.5, 0.03, 0.25)
    assert greeks("bs", "c", np.empty((0, 3)), 1, 1, 0, 1, 0)["rho"].shape == (0, 3)


@pytest.mark.parametrize("model, rate", [("bsm", 0.03), ("bsm", -0.0), ("black76", INF)])
def test_kernel_reads_broadcast_strided_and_unaligned_views(model, rate):
    rng = np.random.default_rng(11)
    K = rng.uniform(80, 120, (6, 1))
    t = rng.uniform(0.05, 2, (1, 9))
    flag = np.broadcast_to(np.array([[True], [False]] * 3), (6, 9))
    raw = np.zeros(9 * 2 * 8 + 1, dtype=np.uint8)  # an unaligned, strided sigma row
    sigma = np.frombuffer(raw.data, dtype=float, count=18, offset=1)[::2]
    sigma[:] = rng.uniform(0.1, 0.6, 9)
    S = rng.uniform(90, 110, (6, 9))[:, ::-1]  # a reversed (negative-stride) view
    views = np.broadcast_arrays(flag, S, K, t, np.float64(rate), sigma, np.float64(-0.0))
    names = ("price", "vanna", "theta")
    outs = tuple(np.empty((6, 9)) for _ in names)
    _book.greeks(MODELS.index(model), tuple(map(QUANTITIES.index, names)), *views, outs, 1)
    for quantity, out in zip(names, outs):
        expected = [scalar(model, quantity, *(v[i] for v in views)) for i in np.ndindex(6, 9)]
        assert np.array_equal(bits(out).ravel(), bits(expected)), quantity


def test_flag_strides_are_kept_apart_from_the_numbers():
    # Contiguous 2-D numbers would merge into one run; a flag varying along the
    # other axis must keep its own stride.
    S = np.linspace(80.0, 120.0, 12).reshape(3, 4)
    flag = np.broadcast_to(np.array([True, False, True, False]), (3, 4))
    got = kv.greeks("bs", flag=flag, S=S, K=100.0, t=0.5, r=0.02, sigma=0.3, quantities=["delta"])
    expected = [
        kv.bs_delta("c" if flag[i] else "p", S[i], 100.0, 0.5, 0.02, 0.3) for i in np.ndindex(3, 4)
    ]
    assert bits(got["delta"]).ravel().tolist() == bits(expected).tolist()


@pytest.mark.parametrize("quantity", ["theta", "charm"])
def test_terms_skipped_without_carry_change_no_bit(quantity):
    # Without a dividend, theta skips the distribution function in its dividend
    # term and charm in its carry term (zeros whose sign must survive, also where
    # the rest is zero). A block holding one option with a dividend evaluates
    # them in full: both ways must give the same bits.
    points = [
        (S, K, t, v)
        for S in (100.0, 60.0, 400.0, 1e5, -100.0)
        for K in (100.0, 1.0, -80.0)
        for t in (0.02, 1.0)
        for v in (0.01, 0.3)
        if S / K > 0
    ]
    S, K, t, sigma = (np.repeat(np.array(c), 8) for c in zip(*points))
    q = np.zeros(len(S))
    q[7::8] = 1e-3  # one option of each block of eight has a dividend
    flag = np.arange(len(S)) % 2 == 0
    got = kv.greeks(
        "bsm", flag=flag, S=S, K=K, t=t, r=0.05, sigma=sigma, q=q, quantities=[quantity]
    )
    expected = [scalar("bs", quantity, *row, 0.05, v, 0.0) for *row, v in zip(flag, S, K, t, sigma)]
    assert bits(got[quantity])[q == 0].tolist() == bits(expected)[q == 0].tolist()


def test_threads_change_no_bit():
    calls, _, (X, K, t, r, sigma, q) = book_inputs(40_003, seed=5)
    args = ("bsm", calls, X, K, t, r, sigma, q)
    one = greeks(*args, quantities=["price", "charm", "ultima"], threads=1)
    for threads in (2, 64):
        many = greeks(*args, quantities=["price", "charm", "ultima"], threads=threads)
        assert all(bits(one[n]).tobytes() == bits(many[n]).tobytes() for n in one)
    market = dict(price=one["price"], S=X, K=K, t=t, r=r, q=q, flag=calls, status=True)
    for method in ("rational", "newton"):
        iv = [kv.implied_volatility("bsm", **market, threads=n, method=method) for n in (1, 3)]
        assert bits(iv[0][0]).tobytes() == bits(iv[1][0]).tobytes()
        assert iv[0][1].tobytes() == iv[1][1].tobytes()


def test_outputs_written_past_the_caches_keep_every_bit():
    # Over 8 MiB of output in at most eight arrays goes around the caches where
    # an output's blocks are aligned, as every new output's are; never in an
    # output 8 bytes off.
    calls, _, inputs = book_inputs(140_001, seed=3)
    names = QUANTITIES[:8]
    whole = greeks("bsm", calls, *inputs, quantities=names, threads=2)
    shifted = {name: np.empty(140_002)[1:] for name in names}
    greeks("bsm", calls, *inputs, quantities=names, threads=2, out=shifted)
    for name in names:
        assert bits(shifted[name]).tobytes() == bits(whole[name]).tobytes()


def test_out_refills_a_previous_result_in_place():
    calls, _, (X, K, t, r, sigma, q) = book_inputs(1001, seed=11)
    first = greeks("bsm", calls, X, K, t, r, sigma, q, quantities=["vega", "price", "rho"])
    arrays = dict(first)
    again = greeks("bsm", ~calls, X, K, t, r, sigma, q, quantities=["rho", "vega", "price"],
                   out=first)  # fmt: skip
    assert again is first and all(again[name] is arrays[name] for name in arrays)
    fresh = greeks("bsm", ~calls, X, K, t, r, sigma, q, quantities=["price", "rho", "vega"])
    assert all(bits(again[n]).tobytes() == bits(fresh[n]).tobytes() for n in arrays)
    args = dict(price=X * 0.15, S=X, K=K, t=t, r=0.03, flag=calls)
    values, pair = np.empty(1001), (np.empty(1001), np.empty(1001, np.int8))
    assert kv.implied_volatility("bs", out=values, **args) is values
    assert kv.implied_volatility("bs", status=True, out=pair, **args) is pair
    want, reasons = kv.implied_volatility("bs", status=True, **args)
    assert bits(values).tobytes() == bits(pair[0]).tobytes() == bits(want).tobytes()
    assert pair[1].tobytes() == reasons.tobytes()


S4, BLOCK = np.full(4, 100.0), np.empty((2, 4))


def two(**arrays):
    return {"price": np.empty(4), "delta": np.empty(4), **arrays}


@pytest.mark.parametrize(
    "status, out, error, message",
    [
        (None, {"price": np.empty(4)}, ValueError, "out holds price; this call computes price, d"),
        (None, [np.empty(4)] * 2, TypeError, "out must be a dict"),
        (None, two(delta=[0.0] * 4), TypeError, r"out\['delta'\] must be a NumPy array"),
        (None, two(delta=np.empty(4, np.float32)), TypeError, "dtype float32, not float64"),
        (None, two(delta=np.empty(5)), ValueError, r"shape \(5,\), not the inputs' shape \(4,\)"),
        (None, two(delta=np.empty(8)[::2]), ValueError, "C-contiguous and writeable"),
        (None, two(delta=np.frombuffer(bytes(32))), ValueError, "C-contiguous and writeable"),
        (None, two(delta=S4), ValueError, r"out\['delta'\] shares memory with S"),
        (None, two(price=BLOCK[0], delta=BLOCK.reshape(-1)[2:6]), ValueError,
         r"out\['price'\] shares memory with out\['delta'\]"),
        (None, two(price=BLOCK[0], delta=BLOCK[1]), None, ""),
        (False, np.empty(4, np.int8), TypeError, "out has dtype int8"),
        (False, S4, ValueError, "out shares memory with S"),
        (True, np.empty(4), TypeError, r"the pair \(values, status\)"),
        (True, (np.empty(4), np.empty(4)), TypeError, r"out\[1\] has dtype float64, not int8"),
        (True, (np.empty(2), np.empty(4, np.int8)), ValueError, r"out\[0\] has shape \(2,\)"),
    ],
)  # fmt: skip
def test_out_is_checked_and_its_faults_named(status, out, error, message):
    args = dict(S=S4, K=100, t=1, r=0.05, flag="c", out=out)
    if status is None:
        call, more = kv.greeks, dict(sigma=0.2, quantities=["price", "delta"])
    else:
        call, more = kv.implied_volatility, dict(price=10, status=status)
    if error is None:
        assert call("bs", **args, **more) is out
    else:
        with pytest.raises(error, match=message):
            call("bs", **args, **more)


def test_out_is_refused_with_pandas_inputs():
    K = pytest.importorskip("pandas").Series([90.0, 100.0])
    with pytest.raises(TypeError, match="out= takes NumPy arrays"):
        kv.greeks("bs", flag="c", **{**GOOD, "K": K}, quantities=["price"], out={"price": K.values})
    with pytest.raises(TypeError, match="out= takes NumPy arrays"):
        kv.implied_volatility("bs", price=9, S=100, K=K, t=1, r=0.05, flag="c", out=K.values)


def test_simd_info_names_the_kernels_in_use():
    info = _book.simd_info()
    assert info == {"target": info["target"], "vector_math": info["vector_math"]}
    assert info["target"] in {"baseline", "avx2", "avx512"}
    assert info["vector_math"] in {"vector", "platform"}


# ---- flags and the pandas and polars inputs ------------------------------------


@pytest.mark.parametrize(
    "flag,message",
    [
        ("x", "flag is 'x'"),
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
    expected = greeks("bs", np.array([True] * 5 + [False] * 5), 100, 100, 1, 0.05, 0.2, None)
    objects = np.array(spellings + [True], dtype=object)
    for flag in (spellings, objects[:-1], objects[:-1].copy()):
        got = greeks("bs", flag, 100, 100, 1, 0.05, 0.2, None)
        assert all(bits(got[n]).tolist() == bits(expected[n]).tolist() for n in QUANTITIES)


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
    K, t, flag = frame["K"], frame["t"], frame["type"]
    got = greeks("bs", flag, 100, K, t, frame["r"], 0.2, None, quantities=["gamma", "price"])
    assert list(got.columns) == ["gamma", "price"] and got.index.equals(frame.index)
    assert got["price"].iloc[0] == kv.bs_black_scholes("c", 100, 90, 0.5, 0.01, 0.2)
    assert math.isnan(got["price"].iloc[1])  # a missing rate is NaN
    iv, status = kv.implied_volatility(
        "bs", price=got["price"], S=100, K=K, t=t, r=0.01, flag=flag, status=True
    )
    assert iv.index.equals(frame.index) and status.index.equals(frame.index)
    with pytest.raises(ValueError, match="different indexes"):
        greeks("bs", "c", 100, K.iloc[::-1], t, 0.01, 0.2, None)
    with pytest.raises(ValueError, match="does not fit the index"):
        greeks("bs", "c", 100, K, [[1.0], [2.0]], 0.01, 0.2, None)


def test_polars_series_are_columns():
    pl = pytest.importorskip("polars")
    flag, K, t = pl.Series(["c", "put", "P"]), pl.Series([90.0, 100.0, 110.0]), pl.Series([1, 1, 2])
    got = greeks("bs", flag, 100, K, t, 0.05, 0.2, None, quantities=["price"])
    expected = [scalar("bs", "price", c, 100, k, tt, 0.05, 0.2, 0) for c, k, tt in
                zip((True, False, False), (90, 100, 110), (1, 1, 2))]  # fmt: skip
    assert bits(got["price"].to_numpy()).tolist() == bits(expected).tolist()


def test_dask_example_blocks_equal_direct_calls():
    """The README's scale-out example on dask's threaded scheduler: its
    blocks, _array calls under the interpreter lock, equal the direct calls."""
    pytest.importorskip("dask.array")
    path = Path(__file__).resolve().parent.parent / "examples" / "dask_scaleout.py"
    found = importlib.util.spec_from_file_location("dask_scaleout", path)
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    inputs = example.market(5_000, seed=7)
    inputs["t"][[5, 1500]], inputs["sigma"][[2500, 4999]] = [0.0, 1e-9], [0.0, 5.0]
    expected, got = example.direct(inputs), example.compute(inputs, chunks=700)
    assert set(got) == set(expected)
    assert all(example.bit_for_bit(got[name], expected[name]) for name in expected)


# ---- errors --------------------------------------------------------------------


def test_without_numpy_the_book_says_what_to_install():
    code = """if True:
        import sys
        sys.modules["numpy"] = None
        import kestrovane as kv
        for call in (lambda: kv.greeks("bs", flag="c", S=1, K=1, t=1, r=0, sigma=1),
                     lambda: kv.implied_volatility("bs", price=1, S=1, K=1, t=1, r=0, flag="c")):
            try:
                call()
            except ImportError as exc:
                print(type(exc).__name__, exc)
    """
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    message = "ModuleNotFoundError NumPy is needed: pip install numpy"
    assert done.stdout.splitlines() == [message] * 2


GOOD = dict(S=100, K=100, t=1, r=0.05, sigma=0.2)


@pytest.mark.parametrize(
    "model,changes,error,message",
    [
        ("heston", {}, ValueError, "bs, bsm, black76"),
        ("bs", {"quantities": ["delta", "rhoo"]}, ValueError, "price, delta, gamma"),
        ("bs", {"quantities": ["delta", "delta"]}, ValueError, "more than once"),
        ("bs", {"q": 0.01}, TypeError, "q"),
        ("black76", {}, TypeError, "F, not S"),
        ("bsm", {"S": None}, TypeError, "needs S"),
        ("bs", {"K": [90, 100, 110], "t": [1, 2]}, ValueError, r"K \(3,\), t \(2,\)"),
        ("bs", {"K": "100"}, TypeError, "argument 'K': expected real numbers, got str"),
        ("bs", {"sigma": np.array([0.2 + 0j])}, TypeError, "'sigma'.*complex128"),
        ("bs", {"r": np.array([True])}, TypeError, "'r'.*bool"),
        ("bs", {"threads": 0}, ValueError, "at least 1"),
    ],
)
def test_errors_name_what_is_wrong(model, changes, error, message):
    with pytest.raises(error, match=message):
        kv.greeks(model, flag="c", **{**GOOD, **changes})


def masked(values, mask):
    return np.ma.masked_array(values, mask=mask)


def deep(depth, dtype=float):  # NumPy 1 has no arrays of more than 32 dimensions
    return np.ones((1,) * depth, dtype) if np.lib.NumpyVersion(np.__version__) >= "2.0.0" else None


@pytest.mark.parametrize(
    "changes, error, message",
    [
        # booleans wherever they occur, not read as 0 and 1
        ({"K": [True, 100.0]}, TypeError, "argument 'K': expected real numbers, got a bool"),
        ({"t": [[1.0], [np.True_]]}, TypeError, "argument 't': .*bool"),
        ({"r": [np.zeros(2, bool), np.zeros(2)]}, TypeError, r"'r': .*bools \(a ndarray\)"),
        ({"S": (100.0, False)}, TypeError, "argument 'S': .*bool inside a tuple"),
        ({"K": [True, 2**64]}, TypeError, "argument 'K': .*bool"),
        # ints beyond float64, as the scalar functions take them
        ({"K": 10**400}, OverflowError, "argument 'K': int too large .* 1329 bits"),
        ({"S": [100.0, -(10**400)]}, OverflowError, "argument 'S': int too large"),
        # masked arrays, whose masks NumPy would drop
        ({"K": masked([100, 1e9], [0, 1])}, TypeError, r"'K': .*MaskedArray.*K\.filled\(np\.nan"),
        ({"K": [np.ma.masked, 100.0]}, TypeError, r"'K': .*MaskedConstant.*filled"),
        ({"flag": masked([True, False], [0, 1])}, TypeError, r"flag\.filled\(True\)"),
        # thread counts and dimensions beyond the limits
        ({"threads": 2**31}, ValueError, "threads must be at most 2147483647, got 2147483648"),
        ({"K": deep(33)}, ValueError, "argument 'K' has 33 dimensions: a book has at most 32"),
        ({"flag": deep(33, bool)}, ValueError, "argument 'flag' has 33 dimensions"),
    ],
)
@pytest.mark.parametrize("function", ["greeks", "implied_volatility"])
def test_inputs_read_wrong_before_are_refused_by_name(function, changes, error, message):
    if any(v is None for v in changes.values()):
        pytest.skip("no such array in NumPy 1")
    args = {**GOOD, "flag": "c", **changes}
    if function == "implied_volatility":
        args["price"] = args.pop("sigma")
    with pytest.raises(error, match=message) as info:
        getattr(kv, function)("bs", **args)
    assert str(info.value).count("argument") <= 1


def test_huge_ints_broadcast_stride_0_and_empty_books_are_read_right():
    import tracemalloc

    # Ints beyond NumPy's integer types are read as float() reads them.
    for huge in (2**64, -(2**63) - 1, 10**300):
        got = greeks("bs", "c", 100.0, [huge, 90], 1, 0.05, 0.2, None, quantities=["price"])
        expected = [kv.bs_black_scholes("c", 100.0, K, 1, 0.05, 0.2) for K in (huge, 90)]
        assert bits(got["price"]).tolist() == bits(expected).tolist()
    # A stride-0 input of another dtype is converted once, not at its full size
    # (here 1 GiB of float64, once 16 s).
    K32 = np.broadcast_to(np.float32([[90.0], [110.0]]), (2, 3))
    got, expected = (greeks("bs", "c", 100, K, [1, 2, 3], 0, 0.2, None) for K in (K32, K32 * 1.0))
    assert bits(got["vega"]).tolist() == bits(expected["vega"]).tolist()
    wide = (2**27,)
    K, flag = np.broadcast_to(np.float32(100.0), wide), np.broadcast_to(np.array("call"), wide)
    tracemalloc.start()
    try:
        kv.greeks("bs", flag=flag, S=100, K=K, t=1, r=0, sigma=0.2, quantities=[])
        assert tracemalloc.get_traced_memory()[1] < 1 << 20
    finally:
        tracemalloc.stop()
    # An empty book of any shape gives empty results of that shape.
    empty = np.empty((2**59, 0))
    for values in greeks("bs", "c", 100, empty, 1, 0, 0.2, None).values():
        assert values.shape == empty.shape
    iv = kv.implied_volatility("bs", price=empty, S=1, K=1, t=1, r=0, flag="p")
    assert iv.shape == empty.shape


def test_polars_int128_and_data_frames_are_read_or_refused_by_name():
    pl = pytest.importorskip("polars")
    if not hasattr(pl, "Int128"):
        pytest.skip("this polars has no Int128")
    K = pl.Series([90, 2**100], dtype=pl.Int128)
    got = greeks("bs", "c", 100.0, K, 1, 0.05, 0.2, None, quantities=["price"])
    expected = greeks(
        "bs", "c", 100.0, [90.0, float(2**100)], 1, 0.05, 0.2, None, quantities=["price"]
    )
    assert bits(got["price"]).tolist() == bits(expected["price"]).tolist()
    frames = [pl.DataFrame({"K": [90.0, 100.0]})]
    if importlib.util.find_spec("pandas"):
        import pandas as pd

        frames.append(pd.DataFrame({"K": [90.0, 100.0]}))
    for frame in frames:
        with pytest.raises(TypeError, match="^argument 'K': pass one column") as info:
            greeks("bs", "c", 100.0, frame, 1, 0.05, 0.2, None)
        assert str(info.value).count("'K'") == 1


ONES, FLAGS = np.ones(3), np.ones(3, bool)
# _book.greeks(model, quantities, flag, X, K, t, r, sigma, q, outs, threads) and
# _book.implied_volatility(model, flag, price, X, K, t, r, q, out, status, threads, method)
GREEKS_ARGS = dict(model=1, quantities=(0,), flag=FLAGS, X=ONES, K=ONES, t=ONES, r=ONES)
GREEKS_ARGS.update(sigma=ONES, q=ONES, outs=(np.empty(3),), threads=1)
IV_ARGS = dict(model=0, flag=FLAGS, price=ONES, X=ONES, K=ONES, t=ONES, r=ONES, q=ONES)
IV_ARGS.update(out=np.empty(3), status=np.empty(3, np.int8), threads=1, method=1)
NO_BUFFER = "expected an object with the buffer protocol"


@pytest.mark.parametrize(
    "call, change, error, text",
    [
        (_book.greeks, dict(model=3), ValueError, "model must be"),
        (_book.greeks, dict(quantities=(16,)), ValueError, "quantity index 16"),
        (_book.greeks, dict(quantities=[0]), TypeError, "tuple"),
        (_book.greeks, dict(outs=()), ValueError, "one buffer per quantity"),
        (_book.greeks, dict(threads=0), ValueError, "threads"),
        (_book.greeks, dict(threads=2**31), ValueError, "threads must be at most 2147483647"),
        (_book.implied_volatility, dict(threads=1.0), TypeError, "threads must be an int"),
        (_book.greeks, dict(K=np.ones(3, np.float32)), TypeError, "K: expected float64"),
        (_book.greeks, dict(X=np.ones(3).astype(">f8")), TypeError, "X: expected float64"),
        (_book.greeks, dict(flag=np.ones(3, np.int16)), TypeError, "flag: expected 1-byte"),
        (_book.greeks, dict(t=[1.0, 1.0, 1.0]), TypeError, "t: " + NO_BUFFER),
        (_book.greeks, dict(sigma=np.ones(4)), ValueError, r"sigma: shape \(4,\) differs from"),
        (_book.greeks, dict(outs=(np.empty(6)[::2],)), ValueError, "not C-contiguous"),
        (_book.greeks, dict(outs=(np.frombuffer(bytes(24)),)), ValueError, "read-only"),
        (_book.implied_volatility, dict(status=np.empty(3, np.int16)), TypeError, "expected int8"),
        (_book.implied_volatility, dict(price=None), TypeError, "price: " + NO_BUFFER),
        (_book.implied_volatility, dict(method=2), ValueError, "unknown method code 2"),
    ],
)
def test_kernel_rejects_bad_arguments_and_keeps_nothing(call, change, error, text):
    args = {**(GREEKS_ARGS if call is _book.greeks else IV_ARGS), **change}
    with pytest.raises(error, match=text):
        call(*args.values())
    held = [a for a in args.values() if isinstance(a, np.ndarray)]
    for _ in range(50):  # warm up
        pytest.raises(error, call, *args.values())
    refcounts, objects = [sys.getrefcount(a) for a in held], len(gc.get_objects())
    for _ in range(500):
        pytest.raises(error, call, *args.values())
    assert [sys.getrefcount(a) for a in held] == refcounts
    assert len(gc.get_objects()) - objects < 100  # 500 if each call left one behind
