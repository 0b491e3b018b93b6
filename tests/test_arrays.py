"""Array functions: agreement with the scalar twins, intake, check order,
output arrays and their ownership, lazy NumPy access, the borrow registry."""

import functools
import json
import os
import re
import struct
import subprocess
import sys
import textwrap
import warnings

import kestrovane as kv
import numpy as np
import pytest
from borrow_registry import NAME as CAPSULE
from borrow_registry import Registry, multiarray_name
from kestrovane import _quantities

NAN, INF = float("nan"), float("inf")
DEFAULT_NAN = 0x7FF8000000000000
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]
PAYLOAD_NAN = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000123))[0]
NUMPY_MAJOR = np.lib.NumpyVersion(np.__version__).major
MULTIARRAY = multiarray_name()

# The 51 array functions, from model and quantity names.
UNDERLYING = {"bs": "S", "bsm": "S", "black76": "F"}
PRICE = {"bs": "black_scholes", "bsm": "black_scholes_merton", "black76": "black"}
GREEKS = list(_quantities.GREEKS)
IV = "implied_volatility"
FUNCTIONS = [(m, q) for m in UNDERLYING for q in [PRICE[m], IV] + GREEKS]
IDS = [f"{m}_{q}_array" for m, q in FUNCTIONS]


def params(model, quantity):
    if quantity == IV:
        return {
            "bs": ["price", "S", "K", "t", "r", "flag"],
            "bsm": ["price", "S", "K", "t", "r", "q", "flag"],
            "black76": ["price", "F", "K", "r", "t", "flag"],
        }[model]
    return ["flag", UNDERLYING[model], "K", "t", "r", "sigma"] + (["q"] * (model == "bsm"))


def array_params(model, quantity):
    return [p for p in params(model, quantity) if p not in ("flag", "r", "q")]


def length_message(model, quantity):
    return ", ".join(array_params(model, quantity)) + " arrays must have equal length"


assert len(FUNCTIONS) == 51 and {length_message(m, q) for m, q in FUNCTIONS} == {
    "S, K, t, sigma arrays must have equal length",
    "F, K, t, sigma arrays must have equal length",
    "price, S, K, t arrays must have equal length",
    "price, F, K, t arrays must have equal length",
}


def call_array(model, quantity, values):
    fn = getattr(kv, f"{model}_{quantity}_array")
    return fn(*[values[p] for p in params(model, quantity)])


def fbits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def expected_bits(model, quantity, values):
    """The scalar twin, called by keyword, per element; NaN where a solve raises."""
    fn, arrays = getattr(kv, f"{model}_{quantity}"), array_params(model, quantity)
    out = []
    for i in range(len(values[arrays[0]])):
        try:
            out.append(
                fbits(fn(**{k: float(v[i]) if k in arrays else v for k, v in values.items()}))
            )
        except (ValueError, RuntimeError):
            assert quantity == IV
            out.append(DEFAULT_NAN)
    return out


def as_bits(arr):
    return arr.view(np.uint64).tolist()


def check_output(out, n):
    assert type(out) is np.ndarray and out.shape == (n,) and out.strides == (8,)
    assert out.dtype == np.float64 and out.dtype.isnative
    assert out.flags.writeable and not out.flags.owndata and out.flags.c_contiguous
    assert type(out.base).__name__ == "PySliceContainer"
    assert type(out.base).__module__ == "builtins"


def good(n=3, value=1.0):
    return np.full(n, value)


def good_values(model, quantity, n=3):
    values = {p: good(n) for p in array_params(model, quantity)}
    values.update(flag="c", r=0.05, **({"q": 0.01} if model == "bsm" else {}))
    return values


def readonly(a):
    a.flags.writeable = False
    return a


# ---------------------------------------------------------------------------
# Element-wise agreement with the scalar twin.

DEGENERATE = np.array(
    [0.0, -0.0, -1.0, -100.0, INF, -INF, NAN, NEG_NAN, PAYLOAD_NAN, 5e-324, 1e-300, 1e300, 1e-12]
)
ORDINARY = {"S": (50, 150), "F": (50, 150), "K": (50, 150), "t": (0.01, 3.0), "sigma": (0.05, 1.5)}
RATES = [(0.05, 0.02), (0.0, -0.0), (-0.02, 0.0), (NAN, 0.01), (0.03, INF)]


def mixed_inputs(model, quantity, r, q, flag, seed, n=48):
    rng = np.random.default_rng(seed)
    values = {"flag": flag, "r": r, **({"q": q} if model == "bsm" else {})}
    for p in array_params(model, quantity):
        col = rng.uniform(*ORDINARY.get(p, (1, 2)), size=n)
        pick = rng.random(n) < 0.25
        col[pick] = rng.choice(DEGENERATE, size=int(pick.sum()))
        values[p] = col
    if quantity == IV:
        u, extra = UNDERLYING[model], ({"q": q} if model == "bsm" else {})
        pricer = getattr(kv, f"{model}_{PRICE[model]}")
        sig = rng.uniform(0.01, 4.9, size=n)
        price = np.array(
            [
                pricer(flag, values[u][i], values["K"][i], values["t"][i], r, sig[i], **extra)
                for i in range(n)
            ]
        )
        kind = rng.integers(0, 5, size=n)  # 1: below intrinsic, 2: above maximum, 3: odd
        price[kind == 1] -= 5.0
        price[kind == 2] += 500.0
        price[kind == 3] = values["price"][kind == 3]
        values["price"] = price
    return values


@functools.cache
def array_and_scalar_bits(model, quantity):
    """Per element: (array bits, scalar bits, the element's inputs)."""
    rows, arrays = [], array_params(model, quantity)
    for seed, ((r, q), flag) in enumerate([(rq, f) for f in ("c", "P") for rq in RATES]):
        values = mixed_inputs(model, quantity, r, q, flag, seed)
        out = call_array(model, quantity, values)
        check_output(out, len(values["K"]))
        for i, (g, w) in enumerate(zip(as_bits(out), expected_bits(model, quantity, values))):
            element = {k: hex(fbits(v[i])) if k in arrays else v for k, v in values.items()}
            rows.append((g, w, element))
    return rows


@pytest.mark.parametrize("model, quantity", FUNCTIONS, ids=IDS)
def test_elements_equal_scalar_twin(model, quantity):
    # Every bit of every element: signed zeros, infinities, NaN sign and payload.
    assert [(hex(g), hex(w), e) for g, w, e in array_and_scalar_bits(model, quantity) if g != w][
        :3
    ] == []


@pytest.mark.parametrize("model", list(UNDERLYING))
def test_iv_array_gives_nan_for_failed_solves_only(model):
    values = good_values(model, IV, 5)
    values.update(price=np.array([10.0, -1.0, 1000.0, 0.0, NAN]), r=0.0, K=good(5, 100.0))
    values[UNDERLYING[model]] = good(5, 100.0)
    out = call_array(model, IV, values)
    assert as_bits(out)[1:3] == [DEFAULT_NAN] * 2 and as_bits(out)[4] == DEFAULT_NAN
    assert out[3] == 1e-6 and 0.2 < out[0] < 0.3
    assert as_bits(out) == expected_bits(model, IV, values)


def test_int_rate_and_one_array_for_several_parameters():
    a = np.array([0.5, 1.0, 2.0, 100.0])
    out = kv.bs_delta_array("c", a, a, a, 0, a)
    assert as_bits(out) == [fbits(kv.bs_delta("c", x, x, x, 0.0, x)) for x in a]
    iv = kv.bsm_implied_volatility_array(a, a, a, a, 0, 0, "p")
    assert as_bits(iv) == expected_bits("bsm", IV, dict(price=a, S=a, K=a, t=a, r=0, q=0, flag="p"))


def test_black76_iv_array_binds_rate_before_time():
    F, K, t = good(2, 100.0), np.array([90.0, 110.0]), np.array([0.5, 2.0])
    price = np.array([kv.black76_black("c", F[i], K[i], t[i], 0.2, 0.3) for i in range(2)])
    out = kv.black76_implied_volatility_array(price, F, K, 0.2, t, "c")
    assert np.allclose(out, 0.3, atol=1e-10)
    kw = kv.black76_implied_volatility_array(t=t, r=0.2, flag="c", K=K, F=F, price=price)
    assert as_bits(kw) == as_bits(out)
    with pytest.raises(TypeError) as info:
        kv.black76_implied_volatility_array(price, F, K, 0.2, 1.0, "c")
    assert info.value.args == (
        "argument 't': 'float' object cannot be converted to 'PyArray<T, D>'",
    )


@pytest.mark.parametrize("model, quantity", FUNCTIONS, ids=IDS)
def test_empty_arrays(model, quantity):
    check_output(call_array(model, quantity, good_values(model, quantity, n=0)), 0)


# ---------------------------------------------------------------------------
# Intake.

REFUSED = [
    ([1.0, 2.0, 3.0], "list"),
    ((1.0, 2.0, 3.0), "tuple"),
    (1.0, "float"),
    (np.float64(1.0), "float64"),
    (None, "NoneType"),
    (np.ones(3, dtype=np.int64), "ndarray"),
    (np.ones(3, dtype=np.float32), "ndarray"),
    (np.ones(3, dtype=np.complex128), "ndarray"),
    (np.ones(3, dtype=object), "ndarray"),
    (np.ones(3, dtype=np.longdouble), "ndarray"),
    (np.ones((3, 1)), "ndarray"),
    (np.array(1.0), "ndarray"),
    (np.ones(3, dtype=np.dtype(np.float64).newbyteorder()), "ndarray"),
]
INTAKE_CASES = [
    (m, q, p, *REFUSED[0])
    for m, q in [
        ("bs", "delta"),
        ("bsm", "black_scholes_merton"),
        ("black76", "vomma"),
        ("bs", IV),
        ("black76", IV),
    ]
    for p in array_params(m, q)
] + [("bsm", "gamma", "K", *r) for r in REFUSED]


@pytest.mark.parametrize("model, quantity, param, bad, type_name", INTAKE_CASES)
def test_intake_refusals(model, quantity, param, bad, type_name):
    values = good_values(model, quantity)
    values[param] = bad
    with pytest.raises(TypeError) as info:
        call_array(model, quantity, values)
    assert type(info.value) is TypeError and info.value.args == (
        f"argument '{param}': '{type_name}' object cannot be converted to 'PyArray<T, D>'",
    )


def unaligned(values, writeable):
    raw = b"\0" + np.asarray(values, dtype=np.float64).tobytes()
    arr = np.frombuffer(
        bytearray(raw) if writeable else raw, dtype=np.float64, count=len(values), offset=1
    )
    assert not arr.flags.aligned and arr.flags.writeable == writeable
    return arr


class Tagged(np.ndarray):
    pass


ACCEPTED = {
    "read-only": lambda v: readonly(np.array(v)),
    "unaligned read-only": lambda v: unaligned(v, False),
    "unaligned writeable": lambda v: unaligned(v, True),
    "masked": lambda v: np.ma.masked_array(v, mask=[True, False, True, False]),
    "subclass": lambda v: np.array(v).view(Tagged),
    "dtype with metadata": lambda v: np.array(v, dtype=np.dtype(np.float64, metadata={"a": 1})),
}


@pytest.mark.parametrize("kind", list(ACCEPTED))
def test_accepted_inputs_read_as_plain_arrays(kind):
    make, S, K = ACCEPTED[kind], [80.0, 100.0, 120.0, 95.0], [100.0] * 4
    t, sigma, price = np.array([0.5, 1.0, 2.0, 0.1]), good(4, 0.25), [21.0, 8.0, 3.0, 6.0]
    plain = kv.bsm_vanna_array("p", np.array(S), np.array(K), t, 0.03, sigma, 0.01)
    out = kv.bsm_vanna_array("p", make(S), make(K), t, 0.03, sigma, 0.01)
    check_output(out, 4)
    assert as_bits(out) == as_bits(plain)
    plain = kv.bs_implied_volatility_array(np.array(price), np.array(S), np.array(K), t, 0.03, "p")
    out = kv.bs_implied_volatility_array(make(price), make(S), np.array(K), t, 0.03, "p")
    check_output(out, 4)
    assert as_bits(out) == as_bits(plain)


# ---------------------------------------------------------------------------
# Order of checks: arguments in parameter order, flag, contiguity, lengths.

STRIDED, REVERSED = np.ones(6)[::2], np.ones(3)[::-1]
NOT_ARRAY = "'list' object cannot be converted to 'PyArray<T, D>'"
FLAG_TYPE = "argument 'flag': 'int' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (
            lambda: kv.bs_delta_array("x", [1.0], good(), good(), 0.05, good()),
            TypeError,
            "argument 'S': " + NOT_ARRAY,
        ),
        (lambda: kv.bs_delta_array(5, [1.0], good(), good(), 0.05, good()), TypeError, FLAG_TYPE),
        (
            lambda: kv.bs_delta_array("x", good(), good(), good(), 0.05, [1.0]),
            TypeError,
            "argument 'sigma': " + NOT_ARRAY,
        ),
        (
            lambda: kv.bs_delta_array("c", good(), good(), good(), "r", [1.0]),
            TypeError,
            "argument 'r': must be real number, not str",
        ),
        (
            lambda: kv.bsm_delta_array("c", good(), good(), good(), 0.05, good(), "q"),
            TypeError,
            "argument 'q': must be real number, not str",
        ),
        (
            lambda: kv.bs_implied_volatility_array([1.0], good(), good(), good(), 0.05, 5),
            TypeError,
            "argument 'price': " + NOT_ARRAY,
        ),
        (
            lambda: kv.bs_implied_volatility_array(good(), good(), good(), good(), 0.05, 5),
            TypeError,
            FLAG_TYPE,
        ),
        (
            lambda: kv.black76_implied_volatility_array(good(), good(), good(), "r", 1.0, "c"),
            TypeError,
            "argument 'r': must be real number, not str",
        ),
        (
            lambda: kv.bs_delta_array("x", STRIDED, good(2), good(), 0.05, good()),
            ValueError,
            "flag must be 'c' or 'p', got \"x\"",
        ),
        (
            lambda: kv.black76_implied_volatility_array(
                REVERSED, good(), good(2), 0.05, good(), ""
            ),
            ValueError,
            "flag must be 'c' or 'p'",
        ),
    ],
)
def test_check_order(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and info.value.args == (text,)


SOME = [
    ("bs", "theta"),
    ("bsm", "ultima"),
    ("black76", "black"),
    ("bs", IV),
    ("bsm", IV),
    ("black76", IV),
]


@pytest.mark.parametrize("model, quantity", SOME)
def test_contiguity_of_every_array_checked_before_lengths(model, quantity):
    names = array_params(model, quantity)
    for pos, name in enumerate(names):
        for view in (STRIDED, REVERSED):
            values = good_values(model, quantity)
            values[name] = view
            values[names[(pos + 1) % len(names)]] = good(5)
            with pytest.raises(TypeError) as info:
                call_array(model, quantity, values)
            assert info.value.args == ("The given array is not contiguous",)


@pytest.mark.parametrize("model, quantity", SOME)
def test_length_mismatch_messages(model, quantity):
    for name in array_params(model, quantity):
        for n in (0, 2, 4):
            values = good_values(model, quantity)
            values[name] = good(n)
            with pytest.raises(ValueError) as info:
                call_array(model, quantity, values)
            assert info.value.args == (length_message(model, quantity),)


# ---------------------------------------------------------------------------
# Output arrays and the container that owns their memory.


def test_slice_container():
    out = kv.black76_gamma_array("c", good(), good(), good(), 0.05, good())
    other = kv.black76_gamma_array("c", good(), good(), good(), 0.05, good())
    container = type(out.base)
    assert container is type(other.base) and out.base is not other.base
    assert container.__name__ == "PySliceContainer"
    assert not hasattr(kv._kestrovane, "PySliceContainer")
    for args in [(), (1,), (out,)]:
        with pytest.raises(TypeError, match="^No constructor defined for PySliceContainer$"):
            container(*args)
    out[0] = 42.0
    assert out[0] == 42.0 and other[0] != 42.0


def test_view_outlives_array():
    S = np.linspace(50, 150, 64)
    out = kv.bs_black_scholes_array("c", S, good(64, 100.0), good(64), 0.05, good(64, 0.3))
    expected, view = out.copy(), out[5:]
    del out
    churn = [kv.bs_black_scholes_array("p", S * 2, S, good(64), 0.1, good(64)) for _ in range(20)]
    assert as_bits(view) == as_bits(expected[5:]) and len(churn) == 20
    base = view
    while isinstance(base, np.ndarray):
        base = base.base
    assert type(base).__name__ == "PySliceContainer"


def rss():
    """The process's resident set in bytes (Linux)."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(
    bool(os.environ.get("KESTROVANE_SANITIZED")),
    reason="the address sanitizer holds freed memory in quarantine",
)
def test_output_buffers_freed_with_last_view():
    n = 1 << 18
    a, t, s = good(n, 100.0), good(n), good(n, 0.2)

    for _ in range(5):
        kv.bs_dual_delta_array("c", a, a, t, 0.05, s)[1:]
    before = rss()
    for _ in range(60):  # 120 MiB if the buffers leaked
        view = kv.bs_dual_delta_array("c", a, a, t, 0.05, s)[1:]
        del view
    assert rss() - before < 40 * 2**20


def test_large_output_buffers_hold_every_element_and_are_freed():
    # From 32 MiB up outputs are allocated apart from smaller ones (aligned
    # for huge pages); one element past a whole block also runs the tail.
    n = (32 << 20) // 8 + 5
    rng = np.random.default_rng(7)
    S, t, s = rng.uniform(50, 150, n), rng.uniform(0.05, 2, n), rng.uniform(0.05, 1, n)
    picks = [0, 1, n // 2, n - 2, n - 1]

    out = kv.bsm_vega_array("p", S, S[::-1].copy(), t, 0.05, s, 0.02)
    assert out.base is not None and not out.flags.owndata and out.flags.writeable
    got = as_bits(out[picks])
    want = as_bits(
        np.array([kv.bsm_vega("p", S[i], S[n - 1 - i], t[i], 0.05, s[i], 0.02) for i in picks])
    )
    assert got == want
    del out
    if os.environ.get("KESTROVANE_SANITIZED"):
        return  # the address sanitizer holds freed memory in quarantine
    before = rss()
    for _ in range(8):  # 256 MiB if the buffers leaked
        kv.bs_vega_array("c", S, S, t, 0.05, s)
    assert rss() - before < 64 * 2**20


# ---------------------------------------------------------------------------
# NumPy access: lazy, retried after a failure, from the right core module.


def child_env():
    """The environment for a child interpreter that imports what this one does."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def run_python(script):
    env = child_env()
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize(
    "mutate,exc,text",
    [
        (lambda a: a.resize(0, refcheck=False), ValueError, "arrays must have equal length"),
        (lambda a: setattr(a, "shape", (2, a.size // 2)), TypeError, "argument 'S': 'ndarray'"),
        (lambda a: setattr(a, "dtype", np.int64), TypeError, "argument 'S': 'ndarray'"),
    ],
)
def test_input_changed_by_a_later_conversion(mutate, exc, text):
    # The rate's __float__ runs after S was taken; what it does to S must be
    # seen, not a stale pointer to memory it may have freed.
    S = np.full(1 << 20, 100.0)

    class Rate:
        def __float__(self):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                mutate(S)
            return 0.05

    a = np.full(1 << 20, 0.5)
    with pytest.raises(exc, match=re.escape(text)):
        kv.bs_black_scholes_array("c", S, a, a, Rate(), a)


@pytest.mark.parametrize(
    "drop",
    [
        "sorted([out() for _ in range(3)], key=lambda x: 1 / 0)",  # C code drops the list
        "list(map(lambda x: 1 / 0, [out(), out()]))",
        "dict.fromkeys([out(), out()])",  # TypeError: unhashable
    ],
)
def test_outputs_dying_while_an_exception_propagates(drop):
    # Freeing an output must leave a propagating exception alone: neither
    # report it as ignored nor free the buffer twice (this once aborted).
    proc = subprocess.run(
        [
            sys.executable,
            "-c",
            textwrap.dedent(f"""
        import numpy as np, kestrovane as kv
        a = np.ones(5)
        out = lambda: kv.bs_delta_array("c", a, a, a, 0.05, a)
        try:
            {drop}
        except (ZeroDivisionError, TypeError) as exc:
            print(type(exc).__name__)
        """),
        ],
        capture_output=True,
        text=True,
        timeout=60,
        env=child_env(),
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() in (["ZeroDivisionError"], ["TypeError"])
    assert "ignored" not in proc.stderr


def test_without_numpy_scalars_work_and_array_calls_fail_then_retry():
    res = run_python("""
        import json, sys
        sys.modules['numpy'] = None
        import kestrovane as kv
        res = {'scalar': kv.bs_delta('c', 100.0, 100.0, 1.0, 0.05, 0.2), 'tries': []}
        for _ in range(2):
            try:
                kv.bs_delta_array('c', [100.0], [100.0], [1.0], 0.05, [0.2])
            except Exception as e:
                res['tries'].append(['Exception', repr(e)])
            except BaseException as e:
                res['tries'].append([[c.__name__ for c in type(e).__mro__], list(e.args)])
        del sys.modules['numpy']
        import numpy as np
        one = np.array([1.0])
        res['after'] = float(kv.bs_delta_array('c', one * 100, one * 100, one, 0.05, one / 5)[0])
        print(json.dumps(res))
    """)
    expected = kv.bs_delta("c", 100.0, 100.0, 1.0, 0.05, 0.2)
    assert res["scalar"] == expected == res["after"]
    assert len(res["tries"]) == 2
    for mro, args in res["tries"]:
        assert mro == ["PanicException", "BaseException", "object"]
        assert len(args) == 1 and args[0].startswith("Failed to access NumPy array API capsule: ")


def test_numpy_untouched_at_import_and_core_module_matches_version():
    res = run_python(f"""
        import json, sys
        import kestrovane as kv
        res = {{'at_import': 'numpy' in sys.modules}}
        import numpy as np
        kv.bs_delta_array('c', np.ones(1), np.ones(1), np.ones(1), 0.05, np.ones(1))
        res['modules'] = [m for m in ('numpy.core.multiarray', 'numpy._core.multiarray')
                          if m in sys.modules]
        res['capsule'] = type(getattr(sys.modules[{MULTIARRAY!r}], {CAPSULE!r}, None)).__name__
        print(json.dumps(res))
    """)
    assert res == {"at_import": False, "modules": [MULTIARRAY], "capsule": "PyCapsule"}


# ---------------------------------------------------------------------------
# The borrow registry published on NumPy's multiarray module.


@pytest.fixture
def registry():
    kv.bs_delta_array("c", good(1), good(1), good(1), 0.05, good(1))
    api = Registry()
    held = []

    class Held:
        version = api.version

        @staticmethod
        def exclusive(arr):
            rc = api.exclusive(arr)
            held.extend([arr] * (rc == 0))
            return rc

        @staticmethod
        def release(arr):
            api.release(arr)
            held[:] = [a for a in held if a is not arr]

        @staticmethod
        def is_free(arr):
            ok = Held.exclusive(arr) == 0
            Held.release(arr)
            return ok

    yield Held
    for arr in list(held):
        Held.release(arr)


def panic_text(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException" and not isinstance(info.value, Exception)
    return str(info.value)


def test_registry_record(registry):
    assert registry.version == 1
    assert registry.exclusive(readonly(good())) == -2
    a = good()
    assert registry.exclusive(a) == 0
    assert registry.exclusive(a) == -1 and registry.exclusive(a[1:]) == -1


@pytest.mark.parametrize("model, quantity", [("bs", "delta"), ("bsm", IV), ("black76", "speed")])
def test_exclusive_borrow_refuses_read(registry, model, quantity):
    for name in array_params(model, quantity):
        values = good_values(model, quantity)
        expected = as_bits(call_array(model, quantity, values))
        assert registry.exclusive(values[name]) == 0
        assert "AlreadyBorrowed" in panic_text(lambda: call_array(model, quantity, values))
        registry.release(values[name])
        assert all(registry.is_free(values[p]) for p in array_params(model, quantity))
        assert as_bits(call_array(model, quantity, values)) == expected


def test_overlapping_view_refused_disjoint_slice_accepted(registry):
    buf, K, t, sigma = np.arange(1.0, 9.0), good(4, 5.0), good(4), good(4, 0.3)
    assert registry.exclusive(buf[:4]) == 0
    for view in (buf[2:6], buf):
        assert "AlreadyBorrowed" in panic_text(lambda: kv.bs_gamma_array("c", view, K, t, 0, sigma))
    out = kv.bs_gamma_array("c", buf[4:], K, t, 0.05, sigma)
    assert as_bits(out) == as_bits(kv.bs_gamma_array("c", buf[4:].copy(), K, t, 0.05, sigma))
    registry.release(buf[:4])
    kv.bs_gamma_array("c", buf[2:6], K, t, 0.05, sigma)


def test_no_read_borrow_or_reference_left_behind(registry):
    S, K, t, sigma, blocked = good(3, 100.0), good(3, 100.0), good(3), good(3, 0.2), good(3)
    arrays = [S, K, t, sigma, blocked]
    before = [sys.getrefcount(a) for a in arrays]
    out = kv.bs_delta_array("c", S, K, t, 0.05, sigma)
    assert sys.getrefcount(out) == 2
    assert registry.exclusive(blocked) == 0
    calls = [
        lambda: kv.bs_delta_array("c", S, K, t, 0.05, sigma),
        lambda: kv.bs_delta_array("c", S, S, S, 0.05, S),
        lambda: kv.bs_implied_volatility_array(S, K, t, sigma, 0.05, "c"),
        lambda: kv.bs_delta_array("c", S, K, t, 0.05, [0.2]),  # later intake error
        lambda: kv.bs_delta_array("c", S, K, t, "r", sigma),  # number error
        lambda: kv.bs_delta_array("x", S, K, t, 0.05, sigma),  # flag error
        lambda: kv.bs_implied_volatility_array(S, K, t, sigma, 0.05, 7),  # flag type
        lambda: kv.bs_delta_array("c", S, K, t, 0.05, np.ones(6)[::2]),  # contiguity
        lambda: kv.bs_delta_array("c", S, K, t, 0.05, good(2)),  # length
        lambda: kv.bs_delta_array("c", S, K, t, 0.05, blocked),  # refused borrow
    ]
    for _ in range(2):
        for call in calls:
            try:
                call()
            except (TypeError, ValueError):
                pass
            except BaseException as e:
                assert type(e).__name__ == "PanicException"
            assert all(registry.is_free(a) for a in arrays[:4])
    registry.release(blocked)
    del calls, call
    assert [sys.getrefcount(a) for a in arrays] == before
