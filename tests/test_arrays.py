"""Array functions: intake, the order of checks, output arrays and the memory
behind them, lazy NumPy access, and the read-borrow registry. That every
element equals its scalar function is checked in kernels_test.cpp (every SIMD
target) and test_properties.py (through the module)."""

import ctypes
import json
import os
import pickle
import re
import subprocess
import sys
import textwrap
import warnings

import kestrovane as kv
import numpy as np
import pytest
from borrow_registry import NAME as CAPSULE
from borrow_registry import Registry, multiarray_name

IV = "implied_volatility"
UNDERLYING = {"bs": "S", "bsm": "S", "black76": "F"}
# One array function per parameter shape.
SHAPES = [(m, q) for m in UNDERLYING for q in ("delta", IV)]


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


def call_array(model, quantity, values):
    fn = getattr(kv, f"{model}_{quantity}_array")
    return fn(*[values[p] for p in params(model, quantity)])


def good(n=3, value=1.0):
    return np.full(n, value)


def good_values(model, quantity, n=3):
    values = {p: good(n, 0.2 if p == "price" else 1.0) for p in array_params(model, quantity)}
    values.update(flag="c", r=0.05, **({"q": 0.01} if model == "bsm" else {}))
    return values


def as_bits(arr):
    return arr.view(np.uint64).tolist()


def check_output(out, n):
    assert type(out) is np.ndarray and out.shape == (n,) and out.strides == (8,)
    assert out.dtype == np.float64 and out.dtype.isnative
    assert out.flags.writeable and not out.flags.owndata and out.flags.c_contiguous
    assert type(out.base).__name__ == "PySliceContainer" and type(out.base).__module__ == "builtins"


def readonly(a):
    a.flags.writeable = False
    return a


def test_int_rate_and_one_array_for_several_parameters():
    a = np.array([0.5, 1.0, 2.0, 100.0])
    out = kv.bs_delta_array("c", a, a, a, 0, a)
    assert as_bits(out) == as_bits(np.array([kv.bs_delta("c", x, x, x, 0.0, x) for x in a]))


@pytest.mark.parametrize("model, quantity", SHAPES)
def test_empty_arrays(model, quantity):
    check_output(call_array(model, quantity, good_values(model, quantity, n=0)), 0)


# ---------------------------------------------------------------------------
# Intake.

REFUSED = [
    ([1.0, 2.0, 3.0], "list"),
    (1.0, "float"),
    (None, "NoneType"),
    (np.ones(3, dtype=np.int64), "ndarray"),
    (np.ones(3, dtype=np.float32), "ndarray"),
    (np.ones(3, dtype=object), "ndarray"),
    (np.ones((3, 1)), "ndarray"),
    (np.array(1.0), "ndarray"),
    (np.ones(3, dtype=np.dtype(np.float64).newbyteorder()), "ndarray"),
]
INTAKE_CASES = [(m, q, p, *REFUSED[0]) for m, q in SHAPES for p in array_params(m, q)]
INTAKE_CASES += [("bsm", "gamma", "K", *r) for r in REFUSED[1:]]


@pytest.mark.parametrize("model, quantity, param, bad, type_name", INTAKE_CASES)
def test_intake_refusals(model, quantity, param, bad, type_name):
    values = good_values(model, quantity)
    values[param] = bad
    with pytest.raises(TypeError) as info:
        call_array(model, quantity, values)
    assert type(info.value) is TypeError and info.value.args == (
        f"argument '{param}': '{type_name}' object cannot be converted to 'PyArray<T, D>'",
    )


ACCEPTED = {
    "read-only": lambda v: readonly(np.array(v)),
    "unaligned": lambda v: np.frombuffer(b"\0" + np.array(v).tobytes(), offset=1),
    "masked": lambda v: np.ma.masked_array(v, mask=[True, False, True, False]),
    "subclass": lambda v: np.array(v).view(type("Tagged", (np.ndarray,), {})),
}


@pytest.mark.parametrize("kind", list(ACCEPTED))
def test_accepted_inputs_read_as_plain_arrays(kind):
    make, S, K = ACCEPTED[kind], [80.0, 100.0, 120.0, 95.0], [100.0] * 4
    t, sigma = np.array([0.5, 1.0, 2.0, 0.1]), good(4, 0.25)
    plain = kv.bsm_vanna_array("p", np.array(S), np.array(K), t, 0.03, sigma, 0.01)
    out = kv.bsm_vanna_array("p", make(S), make(K), t, 0.03, sigma, 0.01)
    check_output(out, 4)
    assert as_bits(out) == as_bits(plain)


# ---------------------------------------------------------------------------
# Order of checks: arguments in parameter order, flag, contiguity, lengths.

STRIDED, REVERSED = np.ones(6)[::2], np.ones(3)[::-1]
NOT_ARRAY = "'list' object cannot be converted to 'PyArray<T, D>'"
FLAG_TYPE = "argument 'flag': 'int' object cannot be converted to 'PyString'"
G = good()


NUM = "argument '{}': must be real number, not str"


@pytest.mark.parametrize(
    "f, args, text",
    [
        (kv.bs_delta_array, ("x", [1.0], G, G, 0.05, G), "argument 'S': " + NOT_ARRAY),
        (kv.bs_delta_array, (5, [1.0], G, G, 0.05, G), FLAG_TYPE),
        (kv.bs_delta_array, ("c", G, G, G, "r", [1.0]), NUM.format("r")),
        (kv.bsm_delta_array, ("c", G, G, G, 0.05, G, "q"), NUM.format("q")),
        (kv.bs_implied_volatility_array, (G, G, G, G, 0.05, 5), FLAG_TYPE),
        (kv.black76_implied_volatility_array, (G, G, G, "r", 1.0, "c"), NUM.format("r")),
        (
            kv.bs_delta_array,
            ("x", STRIDED, good(2), G, 0.05, G),
            "flag must be 'c' or 'p', got \"x\"",
        ),
        (
            kv.black76_implied_volatility_array,
            (REVERSED, G, good(2), 0.05, G, ""),
            "flag must be 'c' or 'p'",
        ),
    ],
)
def test_check_order(f, args, text):
    exc = ValueError if text.startswith("flag") else TypeError
    with pytest.raises(exc) as info:
        f(*args)
    assert type(info.value) is exc and info.value.args == (text,)


@pytest.mark.parametrize("model, quantity", SHAPES)
def test_contiguity_then_lengths(model, quantity):
    names = array_params(model, quantity)
    message = ", ".join(names) + " arrays must have equal length"
    for pos, name in enumerate(names):
        for view in (STRIDED, REVERSED):  # contiguity of every array before any length
            values = good_values(model, quantity)
            values[name] = view
            values[names[(pos + 1) % len(names)]] = good(5)
            with pytest.raises(TypeError) as info:
                call_array(model, quantity, values)
            assert info.value.args == ("The given array is not contiguous",)
        for n in (0, 2, 4):
            values = good_values(model, quantity)
            values[name] = good(n)
            with pytest.raises(ValueError) as info:
                call_array(model, quantity, values)
            assert info.value.args == (message,)


@pytest.mark.parametrize("length, stride", [(2**40, 2**30), (2, -(2**62)), (3, 2**63 - 1)])
def test_views_spanning_beyond_the_address_space_are_refused_cleanly(length, stride):
    # Borrowed before the contiguity check: the span arithmetic must not overflow.
    view = np.lib.stride_tricks.as_strided(np.zeros(4), shape=(length,), strides=(stride,))
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        kv.bs_delta_array("c", view, view, view, 0.05, view)


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
    # What shipping work to other processes relies on: functions pickle by
    # reference, results as plain arrays.
    assert pickle.loads(pickle.dumps(kv.bs_delta_array)) is kv.bs_delta_array
    restored = pickle.loads(pickle.dumps(out, protocol=pickle.HIGHEST_PROTOCOL))
    assert type(restored) is np.ndarray and as_bits(restored) == as_bits(out)


def heap_in_use():
    """Bytes of C heap in use: the sanitizer allocator's count, or glibc's."""
    libc = ctypes.CDLL(None)
    if hasattr(libc, "__sanitizer_get_current_allocated_bytes"):
        count = libc.__sanitizer_get_current_allocated_bytes
        count.restype = ctypes.c_size_t
        return count
    if not hasattr(libc, "mallinfo2"):
        pytest.skip("no way to read the C heap's size here")
    fields = "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost"
    fields = [(f, ctypes.c_size_t) for f in fields.split()]
    libc.mallinfo2.restype = type("Mallinfo2", (ctypes.Structure,), {"_fields_": fields})
    return lambda: libc.mallinfo2().uordblks + libc.mallinfo2().hblkhd


MIB = 1 << 20


def output_of(n):
    return kv.bs_black_scholes_array(
        "c", good(n, 100.0), np.linspace(50, 150, n), good(n), 0.05, good(n, 0.2)
    )


# From 32 MiB up outputs are allocated apart from smaller ones (aligned for
# huge pages); one element past a whole block also runs the tail.
@pytest.mark.parametrize("n", [MIB // 8, (32 * MIB) // 8 + 5])
def test_output_buffer_is_freed_with_its_last_view(n):
    in_use = heap_in_use()
    out = output_of(n)
    container = out.base
    picks = [0, 1, n // 2, n - 2, n - 1]
    K = np.linspace(50, 150, n)[picks]
    assert out[picks].tolist() == [kv.bs_black_scholes("c", 100.0, k, 1.0, 0.05, 0.2) for k in K]
    expected = out[4::3].copy()
    view = out[1::3][1:]  # a view of a view
    del out
    np.testing.assert_array_equal(view, expected)  # still readable: the buffer lives on
    assert sys.getrefcount(container) == 3  # here, the argument, and the array under the view
    del view
    before = in_use()
    del container
    assert before - in_use() >= n * 8


def child_env():
    """The environment for a child interpreter that imports what this one does."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def run_python(script, check=True):
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        env=child_env(),
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    return proc


@pytest.mark.parametrize(
    "drop",
    ["sorted([out() for _ in range(3)], key=lambda x: 1 / 0)", "dict.fromkeys([out(), out()])"],
)
def test_outputs_dying_while_an_exception_propagates(drop):
    # Freeing an output must leave a propagating exception alone: neither
    # report it as ignored nor free the buffer twice (this once aborted).
    proc = run_python(f"""
        import numpy as np, kestrovane as kv
        a = np.ones(5)
        out = lambda: kv.bs_delta_array("c", a, a, a, 0.05, a)
        try:
            {drop}
        except (ZeroDivisionError, TypeError) as exc:
            print(type(exc).__name__)
        """)
    assert proc.stdout.split() in (["ZeroDivisionError"], ["TypeError"])
    assert "ignored" not in proc.stderr


# ---------------------------------------------------------------------------
# NumPy access: lazy, retried after a failure, from the right core module.


def test_numpy_is_taken_lazily_from_its_own_core_module():
    # Importing needs no NumPy; without it scalars work and every array call
    # raises PanicException; once NumPy is there, its own core module serves.
    res = run_python(f"""
        import json, sys
        sys.modules['numpy'] = None
        import kestrovane as kv
        res = {{'scalar': kv.bs_delta('c', 1.0, 1.0, 1.0, 0.0, 1.0), 'tries': []}}
        for _ in range(2):
            try:
                kv.bs_delta_array('c', [1.0], [1.0], [1.0], 0.0, [1.0])
            except BaseException as e:
                t = type(e)
                res['tries'].append([t.__name__, t.__bases__ == (BaseException,), list(e.args)])
        del sys.modules['numpy']
        import numpy as np
        one = np.ones(1)
        res['after'] = kv.bs_delta_array('c', one, one, one, 0.0, one)[0]
        res['modules'] = [m for m in ('numpy.core.multiarray', 'numpy._core.multiarray')
                          if m in sys.modules]
        core = sys.modules[{multiarray_name()!r}]
        res['capsule'] = type(getattr(core, {CAPSULE!r}, None)).__name__
        print(json.dumps(res))
    """).stdout
    res = json.loads(res)
    assert res.pop("scalar") == res.pop("after") == kv.bs_delta("c", 1.0, 1.0, 1.0, 0.0, 1.0)
    (name, direct, (message,)), again = res.pop("tries")
    assert name == "PanicException" and direct and again == [name, direct, [message]]
    assert message.startswith("Failed to access NumPy array API capsule: ")
    assert res == {"modules": [multiarray_name()], "capsule": "PyCapsule"}


# ---------------------------------------------------------------------------
# The borrow registry published on NumPy's multiarray module.


@pytest.fixture
def registry():
    kv.bs_delta_array("c", good(1), good(1), good(1), 0.05, good(1))
    api = Registry()
    held = []
    yield api, held
    for arr in held:
        api.release(arr)


def panic_text(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException" and not isinstance(info.value, Exception)
    assert len(info.value.args) == 1
    return str(info.value)


def test_registry_record_and_overlap(registry):
    api, held = registry
    assert api.version == 1
    assert api.exclusive(readonly(good())) == -2
    buf, K, t, sigma = np.arange(1.0, 9.0), good(4, 5.0), good(4), good(4, 0.3)
    assert api.exclusive(buf[:4]) == 0
    held.append(buf[:4])
    assert api.exclusive(buf[:4]) == -1 and api.exclusive(buf[1:]) == -1
    for view in (buf[2:6], buf):
        assert "AlreadyBorrowed" in panic_text(lambda: kv.bs_gamma_array("c", view, K, t, 0, sigma))
    out = kv.bs_gamma_array("c", buf[4:], K, t, 0.05, sigma)  # disjoint memory
    assert as_bits(out) == as_bits(kv.bs_gamma_array("c", buf[4:].copy(), K, t, 0.05, sigma))


@pytest.mark.parametrize("model, quantity", SHAPES)
def test_refused_read_borrow_leaves_nothing_behind(registry, model, quantity):
    api, held = registry
    for name in array_params(model, quantity):
        values = good_values(model, quantity)
        arrays = [values[p] for p in array_params(model, quantity)]
        expected = as_bits(call_array(model, quantity, values))
        counts = [sys.getrefcount(a) for a in arrays]
        assert api.exclusive(values[name]) == 0
        assert "AlreadyBorrowed" in panic_text(lambda: call_array(model, quantity, values))
        assert [sys.getrefcount(a) for a in arrays] == counts
        api.release(values[name])
        assert all(api.is_free(a) for a in arrays)
        assert as_bits(call_array(model, quantity, values)) == expected


def test_error_paths_release_every_borrow_and_reference(registry):
    api, held = registry
    S, K, t, sigma, blocked = good(3, 100.0), good(3, 100.0), good(3), good(3, 0.2), good(3)
    arrays = [S, K, t, sigma, blocked]
    before = [sys.getrefcount(a) for a in arrays]
    assert api.exclusive(blocked) == 0
    held.append(blocked)
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
    for call in calls * 2:
        try:
            call()
        except (TypeError, ValueError):
            pass
        except BaseException as e:
            assert type(e).__name__ == "PanicException"
        assert all(api.is_free(a) for a in arrays[:4])
    del calls, call
    held.clear()
    api.release(blocked)
    assert [sys.getrefcount(a) for a in arrays] == before
