"""The module as Python sees it: attributes, signatures, argument binding, conversion,
the option-type flag, errors, module initialisation and reference handling."""

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
SECOND = (
    "vanna",
    "charm",
    "vomma",
    "speed",
    "zomma",
    "color",
    "veta",
    "ultima",
    "dual_delta",
    "dual_gamma",
)
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

        def name(quantity):
            return f"{model}_{PRICE_NAMES[model] if quantity == 'price' else quantity}"

        for group in (FIRST, SECOND):
            scalars = [name(q) for q in group]
            for fname in scalars + [s + "_array" for s in scalars]:
                iv = "implied_volatility" in fname
                names[fname] = (IV_PARAMS if iv else PARAMS)[model]
    return names


FUNCTIONS = _registration_order()  # name -> parameter names, in registration order
SCALARS = [n for n in FUNCTIONS if not n.endswith("_array")]


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


# ---------------------------------------------------------------- module attributes


def test_module_attributes():
    assert len(FUNCTIONS) == 102
    assert type(kv.__all__) is list
    assert kv.__all__ == list(FUNCTIONS) + ["__version__"]
    assert kv.__all__[0] == "black76_black" and kv.__all__[-2:] == [
        "bs_dual_gamma_array",
        "__version__",
    ]
    assert type(kv.__version__) is str and kv.__version__ == "0.2.0"
    assert kv.__doc__ == ""
    assert kv.__name__ == "kestrovane._kestrovane"
    public = [k for k in vars(kv) if not k.startswith("__")]
    assert public == list(FUNCTIONS)  # set in registration order, nothing else added
    assert not hasattr(kv, "PanicException")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects(name):
    f = getattr(kv, name)
    params = FUNCTIONS[name]
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__name__ == name
    assert f.__self__ is kv
    assert f.__module__ == kv.__name__
    assert f.__doc__ is None
    assert f.__text_signature__ == "(" + ", ".join(params) + ")"
    sig = inspect.signature(f)
    assert tuple(sig.parameters) == params
    assert all(
        p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in sig.parameters.values()
    )


# ---------------------------------------------------------------- binding


def names_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_binding_errors_every_function(name):
    f, params = getattr(kv, name), FUNCTIONS[name]
    n = len(params)
    raises(
        TypeError,
        f"{name}() takes {n} positional arguments but {n + 1} were given",
        f,
        *range(n + 1),
    )
    raises(
        TypeError, f"{name}() missing {n} required positional arguments: " + names_list(params), f
    )
    raises(
        TypeError,
        f"{name}() missing 1 required positional argument: '{params[-1]}'",
        f,
        *range(n - 1),
    )
    raises(
        TypeError,
        f"{name}() got multiple values for argument '{params[0]}'",
        f,
        *range(n),
        **{params[0]: 1},
    )
    raises(TypeError, f"{name}() got an unexpected keyword argument 'bogus'", f, bogus=1)


BD = "bs_delta"
ARGS6 = ("c", 100.0, 100.0, 1.0, 0.05, 0.2)


@pytest.mark.parametrize(
    "func,args,kwargs,message",
    [
        (kv.bs_delta, ARGS6[:5], {}, f"{BD}() missing 1 required positional argument: 'sigma'"),
        (
            kv.bs_delta,
            ARGS6[:4],
            {},
            f"{BD}() missing 2 required positional arguments: 'r' and 'sigma'",
        ),
        (
            kv.bs_delta,
            ARGS6[:3],
            {},
            f"{BD}() missing 3 required positional arguments: 't', 'r', and 'sigma'",
        ),
        (
            kv.bs_delta,
            ARGS6[:3],
            {"sigma": 0.2, "r": 0.05},
            f"{BD}() missing 1 required positional argument: 't'",
        ),
        (
            kv.bs_delta,
            (),
            {"sigma": 0.2, "flag": "c", "K": 1.0},
            f"{BD}() missing 3 required positional arguments: 'S', 't', and 'r'",
        ),
        (
            kv.bsm_delta,
            ARGS6[:5],
            {},
            "bsm_delta() missing 2 required positional arguments: 'sigma' and 'q'",
        ),
        (kv.bs_delta, ARGS6 + (0.0,), {}, f"{BD}() takes 6 positional arguments but 7 were given"),
        (
            kv.bs_delta,
            ARGS6 + (0.0,),
            {"q": 0.0},
            f"{BD}() takes 6 positional arguments but 7 were given",
        ),
        (
            kv.bs_delta,
            ARGS6 + (0.0,),
            {"S": 1.0},
            f"{BD}() takes 6 positional arguments but 7 were given",
        ),
        (kv.bs_delta, ARGS6, {"q": 0.0}, f"{BD}() got an unexpected keyword argument 'q'"),
        (kv.bs_delta, ARGS6, {"S": 1.0}, f"{BD}() got multiple values for argument 'S'"),
        (
            kv.bs_delta,
            ARGS6[:1],
            {"s": 100.0, "K": 100.0, "t": 1.0, "r": 0.05, "sigma": 0.2},
            f"{BD}() got an unexpected keyword argument 's'",
        ),
        (
            kv.bs_delta,
            ARGS6[:5],
            {"sigma\0": 0.2},
            f"{BD}() got an unexpected keyword argument 'sigma\0'",
        ),
        (
            kv.bs_delta,
            ARGS6[:5],
            {"\ud800": 0.2},
            f"{BD}() got an unexpected keyword argument '\ud800'",
        ),
        # keywords are processed in dict order; the first bad one ends the call
        (kv.bs_delta, ARGS6, {"zz": 1, "aa": 2}, f"{BD}() got an unexpected keyword argument 'zz'"),
        (kv.bs_delta, ARGS6, {"aa": 1, "zz": 2}, f"{BD}() got an unexpected keyword argument 'aa'"),
        (
            kv.bs_delta,
            ARGS6,
            {"bad": 1, "S": 1.0},
            f"{BD}() got an unexpected keyword argument 'bad'",
        ),
        (kv.bs_delta, ARGS6, {"S": 1.0, "bad": 1}, f"{BD}() got multiple values for argument 'S'"),
        # binding fails before any argument is converted
        (kv.bs_delta, (1, "x"), {"q": 1}, f"{BD}() got an unexpected keyword argument 'q'"),
        (
            kv.bs_delta,
            (1, "x"),
            {},
            f"{BD}() missing 4 required positional arguments: 'K', 't', 'r', and 'sigma'",
        ),
    ],
)
def test_binding_messages(func, args, kwargs, message):
    raises(TypeError, message, func, *args, **kwargs)


def _iv_args(name):
    model = name.split("_")[0]
    price = {
        "bs": kv.bs_black_scholes("c", 100.0, 95.0, 0.7, 0.03, 0.25),
        "bsm": kv.bsm_black_scholes_merton("c", 100.0, 95.0, 0.7, 0.03, 0.25, 0.02),
        "black76": kv.black76_black("c", 100.0, 95.0, 0.7, 0.03, 0.25),
    }[model]
    values = {
        "price": price,
        "S": 100.0,
        "F": 100.0,
        "K": 95.0,
        "t": 0.7,
        "r": 0.03,
        "q": 0.02,
        "flag": "c",
    }
    return [values[p] for p in FUNCTIONS[name]]


def _sample_args(name):
    if "implied_volatility" in name:
        return _iv_args(name)
    values = {
        "flag": "p",
        "S": 101.0,
        "F": 101.0,
        "K": 97.0,
        "t": 0.6,
        "r": 0.04,
        "sigma": 0.3,
        "q": 0.01,
    }
    return [values[p] for p in FUNCTIONS[name]]


@pytest.mark.parametrize("name", SCALARS)
def test_keywords_bind_by_name(name):
    f, params = getattr(kv, name), FUNCTIONS[name]
    args = _sample_args(name)
    expected = f(*args)
    assert type(expected) is float
    kwargs = dict(zip(params, args))
    assert bits(f(**dict(reversed(kwargs.items())))) == bits(expected)
    assert bits(f(*args[:2], **{p: kwargs[p] for p in reversed(params[2:])})) == bits(expected)


def test_black76_implied_volatility_takes_rate_before_time():
    price = kv.black76_black("c", 100.0, 95.0, 0.7, 0.03, 0.25)
    assert kv.black76_implied_volatility(price, 100.0, 95.0, 0.03, 0.7, "c") == pytest.approx(
        0.25, rel=1e-8
    )


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


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    "name,position",
    [
        (n, i)
        for n in (
            "bs_delta",
            "bsm_vanna",
            "black76_theta",
            "bs_implied_volatility",
            "bsm_implied_volatility",
            "black76_implied_volatility",
        )
        for i, p in enumerate(FUNCTIONS[n])
        if p != "flag"
    ],
)
def test_wrong_number_type_names_the_argument(name, position):
    f, params = getattr(kv, name), FUNCTIONS[name]
    args = _sample_args(name)
    args[position] = "100"
    param = params[position]
    err = raises(TypeError, f"argument '{param}': must be real number, not str", f, *args)
    assert err.__cause__ is None
    # by keyword as well
    kwargs = dict(zip(params, _sample_args(name)))
    kwargs[param] = [1.0]
    raises(TypeError, f"argument '{param}': must be real number, not list", f, **kwargs)


def test_conversion_runs_in_parameter_order_and_stops_at_first_failure():
    Real.calls = 0
    raises(
        TypeError,
        "argument 'S': must be real number, not str",
        kv.bs_delta,
        "c",
        "a",
        None,
        Real(1.0),
        0.05,
        0.2,
    )
    assert Real.calls == 0
    raises(
        TypeError,
        "argument 'K': must be real number, not NoneType",
        kv.bs_delta,
        sigma="a",
        r=0.05,
        t=1.0,
        K=None,
        S=Real(1.0),
        flag="c",
    )
    assert Real.calls == 1
    # r comes before t in the Black-76 implied volatility
    raises(
        TypeError,
        "argument 'r': must be real number, not str",
        kv.black76_implied_volatility,
        1.0,
        100.0,
        100.0,
        "r",
        "t",
        "c",
    )


def test_overflowing_int_is_not_wrapped():
    err = raises(OverflowError, None, kv.bs_delta, "c", 10**400, 100.0, 1.0, 0.05, 0.2)
    assert not err.args[0].startswith("argument")


def test_exception_from_float_method_passes_unchanged():
    for exc in (ValueError("no value"), TypeErrorSubclass("sub"), ZeroDivisionError("zero")):
        with pytest.raises(BaseException) as info:
            kv.bsm_gamma("c", 100.0, Raising(lambda: exc), 1.0, 0.05, 0.2, 0.0)
        assert info.value is exc


def test_type_error_from_float_method_is_wrapped_and_keeps_its_cause():
    cause = KeyError("inner")
    err = raises(
        TypeError,
        "argument 'sigma': not today",
        kv.bs_vega,
        "c",
        100.0,
        100.0,
        1.0,
        0.05,
        Raising(type_error_with_cause(cause)),
    )
    assert err.__cause__ is cause
    assert err.__context__ is None
    raises(
        TypeError,
        "argument 't': Real.__float__ returned non-float (type str)",
        kv.bs_vega,
        "c",
        100.0,
        100.0,
        Real("x"),
        0.05,
        0.2,
    )


def test_numeric_argument_types():
    expected = kv.bsm_theta("c", 100.0, 100.0, 1.0, 0.0, 1.0, 0.0)
    for args in [
        (100, 100, 1, 0, 1, 0),
        (100, 100, True, False, True, False),
        (
            np.float64(100),
            np.float64(100),
            np.float64(1),
            np.float64(0),
            np.float64(1),
            np.float64(0),
        ),
        (Real(100.0), Index(100), Real(1.0), Index(0), Real(1.0), Real(0.0)),
    ]:
        assert bits(kv.bsm_theta("c", *args)) == bits(expected)


def test_minus_one_is_an_ordinary_value():
    expected = kv.black76_black("c", 100.0, 100.0, 1.0, -1.0, 0.2)
    for minus_one in (-1.0, -1, Real(-1.0), Index(-1), np.float64(-1.0)):
        assert bits(
            kv.bsm_black_scholes_merton("c", 100.0, 100.0, 1.0, minus_one, 0.2, minus_one)
        ) == bits(expected)


# ---------------------------------------------------------------- flag


class StrSub(str):
    pass


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "flag,like",
    [
        ("C", "c"),
        ("call", "c"),
        ("Call", "c"),
        ("cx", "c"),
        ("c\0junk", "c"),
        (StrSub("c"), "c"),
        ("P", "p"),
        ("put", "p"),
        ("p\n", "p"),
        (StrSub("Put"), "p"),
    ],
)
def test_flag_first_character_decides(flag, like):
    args = (100.0, 95.0, 0.7, 0.03, 0.25)
    assert bits(kv.bs_delta(flag, *args)) == bits(kv.bs_delta(like, *args))
    assert bits(kv.black76_charm(flag, *args)) == bits(kv.black76_charm(like, *args))


PREFIX = "flag must be 'c' or 'p', got "


@pytest.mark.parametrize(
    "flag,quoted",
    [
        ("x", '"x"'),
        ("xyz", '"xyz"'),
        (" c", '" c"'),
        ('"', r'"\""'),
        ("\\", r'"\\"'),
        ('a"b\\c', r'"a\"b\\c"'),
        ("\t\r\n\0", r'"\t\r\n\0"'),
        ("'", '"\'"'),
        ("\x01", r'"\u{1}"'),
        ("\x1b[0m", r'"\u{1b}[0m"'),
        ("\x7f", r'"\u{7f}"'),
        ("\u00a0", r'"\u{a0}"'),
        ("\u2028", r'"\u{2028}"'),
        ("\u2029", r'"\u{2029}"'),
        ("\u200b", r'"\u{200b}"'),
        ("\ue000", r'"\u{e000}"'),
        ("\U0010fffd", r'"\u{10fffd}"'),
        ("\u0378", r'"\u{378}"'),
        ("\u0301", r'"\u{301}"'),
        ("x\u0301", r'"x\u{301}"'),
        ("é", '"é"'),
        ("日本", '"日本"'),
        ("Ω\U0001f600", '"Ω\U0001f600"'),
    ],
)
def test_invalid_flag_message(flag, quoted):
    raises(ValueError, PREFIX + quoted, kv.bs_delta, flag, 100.0, 100.0, 1.0, 0.05, 0.2)


class _FakeUnicodeData:
    """Stands in for unicodedata in sys.modules, answering with a non-str."""

    @staticmethod
    def category(ch):
        return b"Lu" * 64

    @staticmethod
    def combining(ch):
        return 0


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


@pytest.mark.parametrize("name", SCALARS)
def test_every_function_validates_the_flag(name):
    f, params = getattr(kv, name), FUNCTIONS[name]
    kwargs = dict(zip(params, _sample_args(name)))
    raises(ValueError, "flag must be 'c' or 'p'", f, **{**kwargs, "flag": ""})
    raises(ValueError, PREFIX + '"q"', f, **{**kwargs, "flag": "q"})
    raises(
        TypeError,
        "argument 'flag': 'bytes' object cannot be converted to 'PyString'",
        f,
        **{**kwargs, "flag": b"c"},
    )


@pytest.mark.parametrize(
    "flag,type_name",
    [
        (1, "int"),
        (None, "NoneType"),
        (1.5, "float"),
        (b"c", "bytes"),
        (["c"], "list"),
        (Outer.Inner(), "Outer.Inner"),
        (np.float64(1.0), "float64"),
    ],
)
def test_flag_not_a_str(flag, type_name):
    raises(
        TypeError,
        f"argument 'flag': '{type_name}' object cannot be converted to 'PyString'",
        kv.bs_delta,
        flag,
        100.0,
        100.0,
        1.0,
        0.05,
        0.2,
    )


def test_lone_surrogate_flag_fails_to_encode():
    with pytest.raises(UnicodeEncodeError):
        kv.bs_delta("\ud800", 100.0, 100.0, 1.0, 0.05, 0.2)
    with pytest.raises(UnicodeEncodeError):  # the whole text is encoded, not just its start
        kv.bs_delta("c\ud800", 100.0, 100.0, 1.0, 0.05, 0.2)
    with pytest.raises(UnicodeEncodeError):  # the flag is taken before S is converted
        kv.bs_delta("\udc80c", "a", 100.0, 1.0, 0.05, 0.2)


def test_flag_is_parsed_after_every_number_converted():
    args = (100.0, 100.0, 1.0, 0.05)
    raises(
        TypeError,
        "argument 'S': must be real number, not str",
        kv.bs_delta,
        "x",
        "a",
        100.0,
        1.0,
        0.05,
        0.2,
    )
    raises(TypeError, "argument 'sigma': must be real number, not str", kv.bs_delta, "", *args, "a")
    raises(
        TypeError, "argument 'q': must be real number, not str", kv.bsm_delta, "x", *args, 0.2, "a"
    )
    # a flag of the wrong type is found when it is converted, in parameter order
    Real.calls = 0
    raises(
        TypeError,
        "argument 'flag': 'int' object cannot be converted to 'PyString'",
        kv.bs_delta,
        5,
        Real(100.0),
        "a",
        1.0,
        0.05,
        0.2,
    )
    assert Real.calls == 0
    Real.calls = 0
    raises(
        ValueError, PREFIX + '"x"', kv.bs_delta, "x", Real(100.0), 100.0, Real(1.0), 0.05, Real(0.2)
    )
    assert Real.calls == 3


@pytest.mark.parametrize(
    "name", ["bs_implied_volatility", "bsm_implied_volatility", "black76_implied_volatility"]
)
def test_implied_volatility_flag_checks(name):
    f, params = getattr(kv, name), FUNCTIONS[name]
    good = dict(zip(params, _iv_args(name)))
    Real.calls = 0
    numbers = {p: Real(v) for p, v in good.items() if p != "flag"}
    raises(
        TypeError,
        "argument 'flag': 'int' object cannot be converted to 'PyString'",
        f,
        **numbers,
        flag=5,
    )
    assert Real.calls == len(numbers)
    raises(
        TypeError,
        f"argument '{params[-2]}': must be real number, not str",
        f,
        *list(good.values())[:-2],
        "a",
        5,
    )
    # an invalid flag is reported before the solver sees an impossible price
    for price, solver_error in [
        (1000.0, "price exceeds theoretical maximum"),
        (-1.0, "price is below intrinsic value"),
    ]:
        bad_price = {**good, "price": price}
        raises(ValueError, solver_error, f, **bad_price)
        raises(ValueError, PREFIX + '"x"', f, **{**bad_price, "flag": "x"})
        raises(ValueError, "flag must be 'c' or 'p'", f, **{**bad_price, "flag": ""})


# ---------------------------------------------------------------- initialisation


def run_python(code):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_initialisation_returns_the_same_module():
    import ctypes

    init = ctypes.PyDLL(kv.__file__).PyInit__kestrovane
    init.restype = ctypes.py_object
    assert init() is kv
    assert init() is kv
    out = run_python("""
        import importlib, sys
        import kestrovane._kestrovane as first
        del sys.modules["kestrovane._kestrovane"]
        second = importlib.import_module("kestrovane._kestrovane")
        print(second is first, len(second.__all__), second.bs_delta("c", 100, 100, 1, 0.05, 0.2))
    """)
    assert out.split() == ["True", "103", repr(kv.bs_delta("c", 100, 100, 1, 0.05, 0.2))]


def test_panic_exception():
    out = run_python("""
        import sys
        sys.modules["numpy"] = None
        import kestrovane._kestrovane as kv
        try:
            try:
                kv.bs_delta_array("c", [1.0], [1.0], [1.0], 0.05, [0.2])
            except Exception:
                print("caught as Exception")
        except BaseException as e:
            t = type(e)
            print(t.__name__, t.__bases__ == (BaseException,), issubclass(t, Exception))
            print(len(e.args), type(e.args[0]).__name__, hasattr(kv, t.__name__),
                  bool(t.__doc__))
            print(e.args[0])
        print(kv.bs_delta("c", 100.0, 100.0, 1.0, 0.05, 0.2))
    """)
    lines = out.strip().split("\n")
    assert lines[0] == "PanicException True False"
    assert lines[1] == "1 str False True"
    assert lines[2].startswith("Failed to access NumPy array API capsule: ")
    assert float(lines[3]) == kv.bs_delta("c", 100.0, 100.0, 1.0, 0.05, 0.2)


# ---------------------------------------------------------------- reference counts


def fresh(x):
    """A float object of its own, neither cached nor immortal."""
    return float(repr(x)) + 0.0


def _refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def _call_many(func, args, kwargs, exc_type):
    for _ in range(1000):
        if exc_type is None:
            func(*args, **kwargs)
        else:
            try:
                func(*args, **kwargs)
            except exc_type:
                pass


S, K, T, R, SIG = (fresh(v) for v in (100.0, 95.0, 0.7, 0.03, 0.25))
FLAG = "".join(["c", "all"])
BAD_FLAG = "".join(["x", "yz"])
BIG_INT = int("1" + "0" * 20)
REAL = Real(fresh(1.5))
CAUSE = KeyError("cause")
RAISE_TYPE = Raising(type_error_with_cause(CAUSE))
RAISE_VALUE = Raising(lambda: ValueError("value"))
LEAK_CASES = [
    ("success", kv.bs_delta, (FLAG, S, K, T, R, SIG), {}, None),
    ("keywords", kv.bsm_vega, (FLAG, S), {"K": K, "t": T, "r": R, "sigma": SIG, "q": REAL}, None),
    ("implied volatility", kv.bs_implied_volatility, (fresh(10.0), S, K, T, R, FLAG), {}, None),
    ("too many", kv.bs_delta, (FLAG, S, K, T, R, SIG, SIG), {"zz": S}, TypeError),
    ("unexpected keyword", kv.bs_delta, (FLAG, S), {"K": K, "zz": S}, TypeError),
    ("multiple values", kv.bs_delta, (FLAG, S, K, T, R, SIG), {"S": S}, TypeError),
    ("missing", kv.bs_delta, (FLAG, S, K), {"r": R}, TypeError),
    ("bad number", kv.bs_delta, (FLAG, S, K, BAD_FLAG, R, SIG), {}, TypeError),
    ("overflow", kv.bs_delta, (FLAG, S, K, 10**400, R, SIG), {}, OverflowError),
    ("float raises TypeError", kv.bs_delta, (FLAG, S, REAL, RAISE_TYPE, R, SIG), {}, TypeError),
    ("float raises ValueError", kv.bs_delta, (FLAG, S, REAL, RAISE_VALUE, R, SIG), {}, ValueError),
    ("flag not a str", kv.bs_delta, (BIG_INT, S, K, T, R, SIG), {}, TypeError),
    ("invalid flag", kv.bsm_delta, (BAD_FLAG, S, K, T, R, SIG, REAL), {}, ValueError),
    ("solver error", kv.bs_implied_volatility, (fresh(1000.0), S, K, T, R, FLAG), {}, ValueError),
    ("flag after numbers", kv.bs_implied_volatility, (S, S, K, T, REAL, BIG_INT), {}, TypeError),
]


@pytest.mark.parametrize(
    "func,args,kwargs,exc_type", [c[1:] for c in LEAK_CASES], ids=[c[0] for c in LEAK_CASES]
)
def test_no_reference_leaks(func, args, kwargs, exc_type):
    objects = [*args, *kwargs.values(), CAUSE, RAISE_TYPE, RAISE_VALUE]
    _call_many(func, args, kwargs, exc_type)  # warm up
    before = _refcounts(objects)
    _call_many(func, args, kwargs, exc_type)
    assert _refcounts(objects) == before
    if exc_type is None:
        result = func(*args, **kwargs)
        assert sys.getrefcount(result) == 2
