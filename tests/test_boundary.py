"""The module as Python sees it: attributes, signatures, argument binding and
conversion, the option-type flag, errors, initialisation and reference counts.
Binding and conversion are one mechanism per parameter list, so each case runs
once per parameter shape (one function of each), not once per function."""

import ctypes
import importlib.metadata
import inspect
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from kestrovane import _kestrovane as kv

PRICE_NAMES = {"black76": "black", "bsm": "black_scholes_merton", "bs": "black_scholes"}
FIRST = ("price", "implied_volatility", "delta", "gamma", "vega", "theta", "rho")
SECOND = ("vanna", "charm", "vomma", "speed", "zomma", "color", "veta", "ultima")
SECOND += ("dual_delta", "dual_gamma")
PARAMS = {
    "black76": ("flag", "F", "K", "t", "r", "sigma"),
    "bsm": ("flag", "S", "K", "t", "r", "sigma", "q"),
    "bs": ("flag", "S", "K", "t", "r", "sigma"),
}
IV_PARAMS = {
    "black76": ("price", "F", "K", "r", "t", "flag"),
    "bsm": ("price", "S", "K", "t", "r", "q", "flag"),
    "bs": ("price", "S", "K", "t", "r", "flag"),
}


def _registration_order():
    names = {}
    for model in ("black76", "bsm", "bs"):
        for group in (FIRST, SECOND):
            scalars = [f"{model}_{PRICE_NAMES[model] if q == 'price' else q}" for q in group]
            for name in scalars + [s + "_array" for s in scalars]:
                names[name] = (IV_PARAMS if "implied_volatility" in name else PARAMS)[model]
    return names


FUNCTIONS = _registration_order()  # name -> parameter names, in registration order
# One function per parameter shape: the three models' Greeks and implied
# volatilities, scalar and array.
SHAPES = [f"{m}_{q}" for m in ("bs", "bsm", "black76") for q in ("delta", "implied_volatility")]
SHAPES += [s + "_array" for s in SHAPES]
SCALAR_SHAPES = SHAPES[:6]
VALUES = {"flag": "p", "S": 101.0, "F": 101.0, "K": 97.0, "t": 0.6, "r": 0.04, "sigma": 0.3}
VALUES.update(q=0.01, price=9.0)


def sample_args(name):
    return [VALUES[p] for p in FUNCTIONS[name]]


def bits(x):
    return struct.pack("<d", x)


def raises(exc_type, message, func, *args, **kwargs):
    """Calls func, expecting exc_type with exactly one str argument equal to message."""
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    err = info.value
    assert type(err) is exc_type, (type(err), err)
    assert len(err.args) == 1 and type(err.args[0]) is str, err.args
    if message is not None:
        assert err.args[0] == message
    return err


def test_module_attributes_and_every_signature():
    assert kv.__all__ == list(FUNCTIONS) + ["__version__"] and len(FUNCTIONS) == 102
    assert kv.__version__ == importlib.metadata.version("kestrovane")
    assert kv.__doc__ == "" and kv.__name__ == "kestrovane._kestrovane"
    assert [k for k in vars(kv) if not k.startswith("__")] == list(FUNCTIONS)
    for name, params in FUNCTIONS.items():
        f = getattr(kv, name)
        assert type(f).__name__ == "builtin_function_or_method" and f.__name__ == name
        assert f.__self__ is kv and f.__module__ == kv.__name__ and f.__doc__ is None
        assert f.__text_signature__ == "(" + ", ".join(params) + ")"
        sig = inspect.signature(f).parameters.values()
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in sig)


# ---------------------------------------------------------------- binding


def names_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


@pytest.mark.parametrize("name", SHAPES)
def test_binding_errors(name):
    f, params = getattr(kv, name), FUNCTIONS[name]
    n = len(params)
    cases = [
        ((*range(n + 1),), {}, f"takes {n} positional arguments but {n + 1} were given"),
        ((), {}, f"missing {n} required positional arguments: " + names_list(params)),
        ((*range(n),), {params[0]: 1}, f"got multiple values for argument '{params[0]}'"),
        ((), {"bogus": 1}, "got an unexpected keyword argument 'bogus'"),
    ]
    for missing in (1, 2, 3):
        names = f"argument{'s' * (missing > 1)}: " + names_list(params[-missing:])
        cases.append(((*range(n - missing),), {}, f"missing {missing} required positional {names}"))
    for args, kwargs, message in cases:
        raises(TypeError, f"{name}() {message}", f, *args, **kwargs)


BD, ARGS6 = "bs_delta", ("c", 100.0, 100.0, 1.0, 0.05, 0.2)


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        (ARGS6[:3], {"sigma": 0.2, "r": 0.05}, "missing 1 required positional argument: 't'"),
        (
            (),
            {"sigma": 0.2, "flag": "c", "K": 1.0},
            "missing 3 required positional arguments: 'S', 't', and 'r'",
        ),
        (ARGS6 + (0.0,), {"S": 1.0}, "takes 6 positional arguments but 7 were given"),
        (ARGS6[:5], {"sigma\0": 0.2}, "got an unexpected keyword argument 'sigma\0'"),
        # keywords are processed in dict order; the first bad one ends the call
        (ARGS6, {"zz": 1, "aa": 2}, "got an unexpected keyword argument 'zz'"),
        (ARGS6, {"S": 1.0, "bad": 1}, "got multiple values for argument 'S'"),
        # binding fails before any argument is converted
        ((1, "x"), {"q": 1}, "got an unexpected keyword argument 'q'"),
    ],
)
def test_binding_messages(args, kwargs, message):
    raises(TypeError, f"{BD}() {message}", kv.bs_delta, *args, **kwargs)


# ---------------------------------------------------------------- conversion


class Real:
    """A number known to the interpreter only through __float__."""

    calls = 0

    def __init__(self, x):
        self.x = x

    def __float__(self):
        Real.calls += 1
        return self.x


class Index:
    def __init__(self, i):
        self.i = i

    def __index__(self):
        return self.i


class Raising:
    """__float__ raises whatever make() returns."""

    def __init__(self, make):
        self.make = make

    def __float__(self):
        raise self.make()


def type_error_with_cause(cause):
    def make():
        err = TypeError("not today")
        err.__cause__ = cause
        return err

    return make


NUM = "argument '{}': must be real number, not {}"


@pytest.mark.parametrize("name", SCALAR_SHAPES)
def test_wrong_number_type_names_the_argument(name):
    f, params = getattr(kv, name), FUNCTIONS[name]
    for position, param in enumerate(params):
        if param == "flag":
            continue
        args = sample_args(name)
        args[position] = "100"
        assert raises(TypeError, NUM.format(param, "str"), f, *args).__cause__ is None
        kwargs = dict(zip(params, sample_args(name)), **{param: [1.0]})
        raises(TypeError, NUM.format(param, "list"), f, **kwargs)


FLAG_INT = "argument 'flag': 'int' object cannot be converted to 'PyString'"
ORDER = [  # (function, arguments, the error, __float__ calls made before it)
    (kv.bs_delta, ("x", "a", None, Real(1.0), 0.05, 0.2), NUM.format("S", "str"), 0),
    (kv.bs_delta, ("c", Real(1.0), None, "a", 0.05, 0.2), NUM.format("K", "NoneType"), 1),
    (kv.black76_implied_volatility, (1.0, 1.0, 1.0, "r", "t", "c"), NUM.format("r", "str"), 0),
    (kv.bsm_delta, ("x", 1.0, 1.0, 1.0, 0.05, 0.2, "a"), NUM.format("q", "str"), 0),
    (kv.bs_delta, (5, Real(1.0), "a", 1.0, 0.05, 0.2), FLAG_INT, 0),
    (kv.black76_implied_volatility, (-1.0, 1.0, 1.0, 0.05, 1.0, 5), FLAG_INT, 0),
    (
        kv.bs_delta,
        ("x", Real(1.0), 1.0, Real(1.0), 0.05, Real(0.2)),
        "flag must be 'c' or 'p', got \"x\"",
        3,
    ),
    (kv.bs_implied_volatility, (1e9, 1.0, 1.0, 1.0, 0.05, ""), "flag must be 'c' or 'p'", 0),
]


@pytest.mark.parametrize("f, args, message, calls", ORDER)
def test_conversion_in_parameter_order_flag_value_last(f, args, message, calls):
    # Arguments convert in parameter order and stop at the first failure; the
    # flag's type is checked where it stands, its value only after every number.
    Real.calls = 0
    raises(ValueError if message.startswith("flag") else TypeError, message, f, *args)
    assert Real.calls == calls


ARGS = ("c", 100.0, 100.0, 1.0, 0.05)  # up to sigma


def test_exceptions_from_float_methods():
    raises(OverflowError, None, kv.bs_delta, "c", 10**400, 100.0, 1.0, 0.05, 0.2)
    for exc in (ValueError("no value"), type("Sub", (TypeError,), {})("sub"), ZeroDivisionError()):
        with pytest.raises(BaseException) as info:
            kv.bsm_gamma("c", 100.0, Raising(lambda: exc), 1.0, 0.05, 0.2, 0.0)
        assert info.value is exc  # passes unchanged
    cause = KeyError("inner")
    wrapped = Raising(type_error_with_cause(cause))
    err = raises(TypeError, "argument 'sigma': not today", kv.bs_vega, *ARGS, wrapped)
    assert err.__cause__ is cause and err.__context__ is None
    message = "argument 'sigma': Real.__float__ returned non-float (type str)"
    raises(TypeError, message, kv.bs_vega, *ARGS, Real("x"))


def test_objects_with_float_or_index_methods_are_numbers():
    args = (Real(100.0), Index(100), Real(1.0), Index(-1), Real(1.0), Index(0))
    expected = kv.bsm_theta("c", 100.0, 100.0, 1.0, -1.0, 1.0, 0.0)
    assert bits(kv.bsm_theta("c", *args)) == bits(expected)


# ---------------------------------------------------------------- flag


@pytest.mark.parametrize(
    "flag,like",
    [("C", "c"), ("call", "c"), ("c\0junk", "c"), (type("S", (str,), {})("c"), "c")]
    + [("P", "p"), ("put", "p"), ("p\n", "p")],
)
def test_flag_first_character_decides(flag, like):
    args = (100.0, 95.0, 0.7, 0.03, 0.25)
    assert bits(kv.bs_delta(flag, *args)) == bits(kv.bs_delta(like, *args))
    assert bits(kv.black76_charm(flag, *args)) == bits(kv.black76_charm(like, *args))


PREFIX = "flag must be 'c' or 'p', got "


@pytest.mark.parametrize(
    "flag,quoted",
    [
        (" c", '" c"'),
        ('a"b\\c', r'"a\"b\\c"'),
        ("\x01\x1b[0m\x7f", r'"\u{1}\u{1b}[0m\u{7f}"'),
        ("\u00a0\u2028\u200b\ue000", r'"\u{a0}\u{2028}\u{200b}\u{e000}"'),
        ("x\u0301", r'"x\u{301}"'),
        ("é日本Ω\U0001f600", '"é日本Ω\U0001f600"'),
    ],
)
def test_invalid_flag_message(flag, quoted):
    raises(ValueError, PREFIX + quoted, kv.bs_delta, flag, 100.0, 100.0, 1.0, 0.05, 0.2)


class _FakeUnicodeData:
    """Stands in for unicodedata in sys.modules, answering with a non-str."""

    @staticmethod
    def category(ch):
        return b"Lu" * 64


@pytest.mark.parametrize(
    "module,flag,outcome",
    [
        (None, "x", (ValueError, PREFIX + '"x"')),  # ASCII text needs no Unicode database
        (_FakeUnicodeData, "é", (TypeError, "unicodedata.category() did not return a str")),
    ],
)
def test_invalid_flag_message_with_unicodedata_replaced(monkeypatch, module, flag, outcome):
    monkeypatch.setitem(sys.modules, "unicodedata", module)
    raises(*outcome, kv.bs_delta, flag, 100.0, 100.0, 1.0, 0.05, 0.2)


@pytest.mark.parametrize(
    "flag,type_name",
    [(1, "int"), (None, "NoneType"), (b"c", "bytes"), (np.float64(1.0), "float64")],
)
def test_flag_not_a_str(flag, type_name):
    message = FLAG_INT.replace("int", type_name)
    raises(TypeError, message, kv.bs_delta, flag, 100.0, 100.0, 1.0, 0.05, 0.2)


@pytest.mark.parametrize("name", SCALAR_SHAPES)
def test_every_shape_validates_the_flag(name):
    f, kwargs = getattr(kv, name), dict(zip(FUNCTIONS[name], sample_args(name)))
    raises(ValueError, "flag must be 'c' or 'p'", f, **{**kwargs, "flag": ""})
    raises(ValueError, PREFIX + '"q"', f, **{**kwargs, "flag": "q"})
    with pytest.raises(UnicodeEncodeError):  # the whole text is encoded, not just its start
        f(**{**kwargs, "flag": "c\ud800"})


# ---------------------------------------------------------------- initialisation


def run_python(code):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_initialisation_returns_the_same_module():
    init = ctypes.PyDLL(kv.__file__).PyInit__kestrovane
    init.restype = ctypes.py_object
    assert init() is kv and init() is kv
    out = run_python("""
        import importlib, sys
        import kestrovane._kestrovane as first
        del sys.modules["kestrovane._kestrovane"]
        second = importlib.import_module("kestrovane._kestrovane")
        print(second is first, len(second.__all__), second.bs_delta("c", 100, 100, 1, 0.05, 0.2))
    """)
    assert out.split() == ["True", "103", repr(kv.bs_delta("c", 100, 100, 1, 0.05, 0.2))]


# ---------------------------------------------------------------- reference counts


def fresh(x):
    """A float object of its own, neither cached nor immortal."""
    return float(repr(x)) + 0.0


S, K, T, R, SIG = (fresh(v) for v in (100.0, 95.0, 0.7, 0.03, 0.25))
FLAG, BAD_FLAG, BIG_INT = "".join(["c", "all"]), "".join(["x", "yz"]), int("1" + "0" * 20)
REAL, CAUSE = Real(fresh(1.5)), KeyError("cause")
RAISE_TYPE, RAISE_VALUE = Raising(type_error_with_cause(CAUSE)), Raising(lambda: ValueError("v"))
A3 = np.full(3, 100.0)
LEAK_CASES = [
    ("success", kv.bsm_vega, (FLAG, S), {"K": K, "t": T, "r": R, "sigma": SIG, "q": REAL}, None),
    ("implied volatility", kv.bs_implied_volatility, (fresh(10.0), S, K, T, R, FLAG), {}, None),
    ("array", kv.bs_delta_array, (FLAG, A3, A3, A3, R, A3), {}, None),
    ("too many", kv.bs_delta, (FLAG, S, K, T, R, SIG, SIG), {"zz": S}, TypeError),
    ("unexpected keyword", kv.bs_delta, (FLAG, S), {"K": K, "zz": S}, TypeError),
    ("bad number", kv.bs_delta, (FLAG, S, K, BAD_FLAG, R, SIG), {}, TypeError),
    ("overflow", kv.bs_delta, (FLAG, S, K, 10**400, R, SIG), {}, OverflowError),
    ("float raises TypeError", kv.bs_delta, (FLAG, S, REAL, RAISE_TYPE, R, SIG), {}, TypeError),
    ("float raises ValueError", kv.bs_delta, (FLAG, S, REAL, RAISE_VALUE, R, SIG), {}, ValueError),
    ("flag not a str", kv.bs_delta, (BIG_INT, S, K, T, R, SIG), {}, TypeError),
    ("invalid flag", kv.bsm_delta, (BAD_FLAG, S, K, T, R, SIG, REAL), {}, ValueError),
    ("solver error", kv.bs_implied_volatility, (fresh(1000.0), S, K, T, R, FLAG), {}, ValueError),
    ("array flag", kv.bs_delta_array, (BAD_FLAG, A3, A3, A3, R, A3), {}, ValueError),
    ("array length", kv.bs_delta_array, (FLAG, A3, A3, A3[:2], R, A3), {}, ValueError),
]


@pytest.mark.parametrize(
    "func,args,kwargs,exc_type", [c[1:] for c in LEAK_CASES], ids=[c[0] for c in LEAK_CASES]
)
def test_no_reference_leaks(func, args, kwargs, exc_type):
    objects = [*args, *kwargs.values(), CAUSE, RAISE_TYPE, RAISE_VALUE]

    def call_many():
        for _ in range(1000):
            try:
                func(*args, **kwargs)
            except BaseException as e:
                assert type(e) is exc_type

    call_many()  # warm up
    before = [sys.getrefcount(o) for o in objects]
    call_many()
    assert [sys.getrefcount(o) for o in objects] == before
    if exc_type is None:
        assert sys.getrefcount(func(*args, **kwargs)) == 2
