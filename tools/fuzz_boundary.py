#!/usr/bin/env python3
"""Fuzzes the argument boundary of all 102 functions.

Every input picks a function and builds an argument tuple and keyword dict
from the fuzzer's bytes: wrong counts, wrong and unknown keywords (non-str and
unencodable keys too), objects of every kind for the numbers and the flag
(str subclasses, hostile __float__ and __index__, huge ints, NumPy scalars and
arrays), and NumPy arrays of every dtype, shape, byte order, stride and flag
combination for the array parameters. The call goes through Python syntax,
functools.partial, __call__ or the C-level PyObject_Call (which alone can pass
non-str keys, a NULL keyword dict or a dict subclass).

Each call must return a float (a float64 array of the right length for the
_array functions, whose elements match the scalar function) or raise one of
the documented exception types; no argument's reference count may change and
no array may stay borrowed. Anything else stops the run with a report.

    python tools/fuzz_boundary.py --seconds 30        # or --runs N
    python tools/fuzz_boundary.py --replay HEX        # one input of a failed run
    tools/run-fuzz.sh 30                                    # under ASan + UBSan

Uses atheris (libFuzzer) when it is installed and random inputs otherwise
(`--engine`).
Some conversions mutate the keyword dict they came from (reachable only
through PyObject_Call with the caller's own dict).
"""

import argparse
import ctypes
import decimal
import fractions
import functools
import gc
import importlib
import importlib.util
import math
import os
import random
import re
import struct
import sys
import time
import warnings

import kestrovane as kv
import numpy as np
from numpy.lib.stride_tricks import as_strided

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from borrow_registry import Registry  # noqa: E402

NAMES = [name for name in kv._kestrovane.__all__ if name != "__version__"]
PER_OPTION = {"price", "S", "F", "K", "t", "sigma"}
SPECIAL = [
    0.0,
    -0.0,
    math.inf,
    -math.inf,
    math.nan,
    -math.nan,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1.7976931348623157e308,
    1.0,
    -1.0,
    0.5,
    100.0,
    0.2,
    0.05,
    1e-300,
    1e300,
    4.999999999999996,
    1e-6,
]
FLAGS = [
    "c",
    "p",
    "C",
    "P",
    "call",
    "put",
    "",
    "x",
    "\0",
    "\ud800",
    "ç",
    "\u0301c",
    'q"\\\t\r\n\x00\x7f\u200b\ue000\U0010ffff',
    "c" * 1000,
]
DTYPES = [
    "f8",
    "<f8",
    ">f8",
    "=f8",
    "f4",
    "f2",
    "g",
    "c16",
    "c8",
    "i8",
    "u8",
    "i4",
    "i1",
    "u1",
    "?",
    "O",
    "U3",
    "S8",
    "V8",
    "M8[s]",
    "m8[ns]",
    [("a", "f8")],
    ("f8", (2,)),
]


def params(name):
    return [p.strip() for p in getattr(kv, name).__text_signature__.strip("()").split(",")]


SIGNATURES = {name: params(name) for name in NAMES}


class FuzzUserError(Exception):
    """What the fuzzer's own objects raise from __float__, __index__, __str__."""


class Failure(AssertionError):
    pass


# ---------------------------------------------------------------- byte source


class Draw:
    """Turns the fuzzer's bytes into choices; past the end every choice is 0."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        chunk = self.data[self.pos : self.pos + n]
        self.pos += n
        return chunk.ljust(n, b"\0")

    def below(self, n):
        if n <= 1:
            return 0
        width = 1 if n <= 256 else 4
        return int.from_bytes(self.take(width), "little") % n

    def chance(self, percent):
        return self.below(100) < percent

    def pick(self, seq):
        return seq[self.below(len(seq))]

    def double(self):
        if self.chance(50):
            return self.pick(SPECIAL)
        return struct.unpack("<d", self.take(8))[0]


# ---------------------------------------------------------------- hostile objects


class Floaty:
    """__float__ returning, raising or misbehaving as told."""

    def __init__(self, mode, value):
        self.mode, self.value = mode, value

    def __float__(self):
        mode = self.mode
        if mode == "float":
            return self.value
        if mode == "raise":
            raise FuzzUserError("__float__")
        if mode == "int":
            return 1
        if mode == "str":
            return "1.0"
        if mode == "subclass":
            return FloatSub(self.value)
        if mode == "reenter":  # a nested call while the outer one holds its arguments
            kv.bs_delta("c", 100.0, 100.0, 1.0, 0.05, 0.2)
            return self.value
        raise AssertionError(mode)


class Indexy:
    """__index__ only (no __float__)."""

    def __init__(self, mode, value):
        self.mode, self.value = mode, value

    def __index__(self):
        if self.mode == "int":
            return self.value
        if self.mode == "raise":
            raise FuzzUserError("__index__")
        if self.mode == "float":
            return 1.5
        return True


class Mutator:
    """Clears the keyword dict it was passed in, dropping the other arguments."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.clear()
        return 1.0


class ArrayMutator:
    """Turns a number whose conversion changes an array of the same call:
    resized without the reference check, reshaped, or given another dtype."""

    def __init__(self, target, mode):
        self.target, self.mode = target, mode

    def __float__(self):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                if self.mode == 0:
                    self.target.resize(0, refcheck=False)
                elif self.mode == 1:
                    self.target.resize(2 * self.target.size + 1, refcheck=False)
                elif self.mode == 2:
                    self.target.shape = (1, self.target.size)
                else:
                    self.target.dtype = np.int64
            except (ValueError, AttributeError, TypeError):
                pass  # not possible for this array (a view, say)
        return 0.5


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    def __str__(self):
        raise FuzzUserError("__str__")


class OddKey:
    def __init__(self, fail):
        self.fail = fail

    def __str__(self):
        if self.fail:
            raise FuzzUserError("key __str__")
        return "S"

    def __hash__(self):
        return 7


class DictSub(dict):
    pass


class TupleSub(tuple):
    pass


class ArraySub(np.ndarray):
    pass


# ---------------------------------------------------------------- values


def number(d, hostile_kwargs, kwargs_ref):
    kind = d.below(24)
    if kind < 8:
        return d.double()
    if kind == 8:
        return d.below(2**16) - 2**15
    if kind == 9:
        return (-1) ** d.below(2) * 10 ** d.below(420)
    if kind == 10:
        return bool(d.below(2))
    if kind == 11:
        return d.pick(["1.0", StrSub("2"), b"1.0", None, [1.0], {}, object(), 1 + 2j, ()])
    if kind == 12:
        return Floaty(d.pick(["float", "raise", "int", "str", "subclass", "reenter"]), d.double())
    if kind == 13:
        return Indexy(d.pick(["int", "raise", "float", "bool"]), 10 ** d.below(400))
    if kind == 14:
        return FloatSub(d.double())
    if kind == 15:
        return IntSub(d.below(2**16))
    if kind == 16:
        return d.pick(
            [
                fractions.Fraction(1, 3),
                decimal.Decimal("1e400"),
                decimal.Decimal("sNaN"),
                decimal.Decimal("-nan"),
                fractions.Fraction(10**400, 3),
            ]
        )
    if kind == 17:
        dtype = d.pick(["f8", "f4", "f2", "i8", "u8", "i1", "?", "c16", "g", "M8[s]"])
        return np.frombuffer(d.take(np.dtype(dtype).itemsize), dtype=dtype)[0]
    if kind == 18:
        return array(d)  # an array where a single number belongs
    if kind == 19 and hostile_kwargs and kwargs_ref is not None:
        return Mutator(kwargs_ref)
    return d.double()


def flag(d):
    kind = d.below(10)
    if kind < 6:
        return d.pick(FLAGS)
    if kind == 6:
        return "".join(chr(d.below(0x110000)) for _ in range(d.below(5)))
    if kind == 7:
        return StrSub(d.pick(FLAGS))
    if kind == 8:
        return d.pick([1, None, b"c", bytearray(b"p"), ["c"], np.str_("c"), Floaty("float", 1.0)])
    return array(d)


def base_array(d, n):
    """A fresh one-dimensional array of n elements of some dtype."""
    dtype = np.dtype(d.pick(DTYPES)) if d.chance(30) else np.dtype("f8")
    if dtype.kind == "O":
        return np.array([d.double() for _ in range(n)], dtype=object)
    if dtype.kind == "f" and dtype.itemsize == 8:
        return np.array([d.double() for _ in range(n)], dtype=dtype)
    raw = d.take(n * dtype.itemsize)
    return np.frombuffer(raw, dtype=dtype).copy().reshape(-1)[:n]


def array(d, n=None):
    """An array of any shape and layout; well-formed float64 ones are common."""
    if n is None:
        n = d.below(9)
    shape_kind = d.below(16)
    if shape_kind == 0:
        return np.array(d.double())  # 0-D
    if shape_kind == 1:
        return np.zeros((d.below(3), d.below(3)))  # 2-D
    if shape_kind == 2:
        return np.asfortranarray(np.arange(6.0).reshape(2, 3))
    if shape_kind == 3:
        return np.zeros((1, 1, 1))
    a = base_array(d, max(n, 1) * 3)
    layout = d.below(14)
    if layout == 0:
        a = a[::-1][:n]  # negative stride
    elif layout == 1:
        a = a[::2][:n]  # step view
    elif layout == 2:
        a = a[1 : n + 1]  # offset view of a deleted base
    elif layout == 3 and a.dtype == np.float64:  # unaligned, writeable
        raw = np.zeros(n * 8 + 1, dtype=np.uint8)
        a = raw[1:].view(np.float64)
        a[:] = [d.double() for _ in range(n)]
    elif layout == 4 and a.dtype == np.float64 and n:  # unaligned, read-only
        a = np.frombuffer(
            b"\0" + np.array([d.double() for _ in range(n)]).tobytes(), dtype=np.float64, offset=1
        )
    elif layout == 5:
        a = a[:n].copy()
        a.flags.writeable = False
    elif layout == 6 and a.dtype.kind != "O":  # stride 0, possibly a huge length
        length = d.pick([0, 1, 2, n, 2**31, 2**40, 2**59])
        if length * a.dtype.itemsize < 2**62:
            a = as_strided(a[:1], shape=(length,), strides=(0,))
    elif layout == 7:
        a = a[:n].view(a.dtype.newbyteorder()) if a.dtype.kind not in "OUSVMmb" else a[:n]
    elif layout == 8:
        a = np.ma.masked_array(a[:n], mask=[bool(d.below(2)) for _ in range(n)])
    elif layout == 9:
        a = a[:n].view(ArraySub)
    elif layout == 10:
        a = np.asfortranarray(a[:n])
    else:
        a = a[:n].copy() if d.chance(50) else a[:n]
    return a


def argument(d, name, param, n, hostile_kwargs, kwargs_ref):
    """A value for one parameter: mostly what it should be, sometimes not."""
    if param == "flag":
        return flag(d) if d.chance(25) else d.pick(["c", "p"])
    if name.endswith("_array") and param in PER_OPTION:
        if d.chance(80):
            return array(d, n if d.chance(85) else d.below(9))
        return number(d, hostile_kwargs, kwargs_ref)
    if d.chance(70):
        return d.double()
    return number(d, hostile_kwargs, kwargs_ref)


# ---------------------------------------------------------------- calling

_PyObject_Call = ctypes.PYFUNCTYPE(
    ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.py_object
)(("PyObject_Call", ctypes.pythonapi))
_PyObject_CallNoKw = ctypes.PYFUNCTYPE(
    ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_void_p
)(("PyObject_Call", ctypes.pythonapi))


def build_call(d, name, hostile_kwargs):
    """(positional tuple, keyword dict, all keys str?) for one call."""
    names = SIGNATURES[name]
    n = d.below(9)
    kwargs = {} if d.chance(90) else DictSub()
    values = [argument(d, name, p, n, hostile_kwargs, kwargs) for p in names]
    arrays = [i for i, v in enumerate(values) if isinstance(v, np.ndarray)]
    numbers = [i for i, p in enumerate(names) if p in ("r", "q") and arrays and i > arrays[0]]
    if numbers and d.chance(5):  # a conversion that changes an array already taken
        values[d.pick(numbers)] = ArrayMutator(values[d.pick(arrays)], d.below(4))
    split = len(names) if d.chance(50) else d.below(len(names) + 1)
    positional = values[:split]
    for p, v in zip(names[split:], values[split:]):
        kwargs[p] = v
    for _ in range(d.below(3) if d.chance(30) else 0):  # binding errors
        trouble = d.below(8)
        if trouble == 0 and positional:
            positional.pop(d.below(len(positional)))
        elif trouble == 1:
            positional.append(d.double())
        elif trouble == 2 and kwargs:
            del kwargs[d.pick(list(kwargs))]
        elif trouble == 3:
            kwargs[d.pick(names)] = d.double()  # possibly a duplicate of a positional
        elif trouble == 4:
            kwargs[d.pick(names).swapcase()] = 1.0
        elif trouble == 5:
            kwargs[d.pick(["q", "sigma", "price", "x", "\ud800", "", "S\0"])] = 1.0
        elif trouble == 6:
            kwargs[d.pick([1, b"S", (), OddKey(False), OddKey(True), StrSub("S")])] = 1.0
        else:
            kwargs = {}
    return positional, kwargs


def invoke(d, fn, positional, kwargs):
    all_str = all(type(k) is str for k in kwargs)
    how = d.below(6) if all_str else 4 + d.below(2)
    if how == 0:
        return fn(*positional, **kwargs)
    if how == 1:
        k = d.below(len(positional) + 1)
        return functools.partial(fn, *positional[:k])(*positional[k:], **kwargs)
    if how == 2:
        return fn.__call__(*positional, **kwargs)
    if how == 3 and not kwargs:
        return _PyObject_CallNoKw(fn, tuple(positional), None)
    if how == 5:
        return _PyObject_Call(fn, TupleSub(positional), kwargs)
    return _PyObject_Call(fn, tuple(positional), kwargs)


# ---------------------------------------------------------------- checks


class Borrows:
    """The shared borrow registry, once an array call has published it."""

    def __init__(self):
        self.registry = None

    def assert_free(self, arrays):
        if self.registry is None:
            try:
                self.registry = Registry()
            except AttributeError:  # no array call has run yet
                return
        for a in arrays:
            if not a.flags.writeable:
                continue
            status = self.registry.exclusive(a)
            if status != 0:
                raise Failure(f"array still borrowed after the call (status {status})")
            self.registry.release(a)


ALLOWED = (TypeError, ValueError, RuntimeError, OverflowError, FuzzUserError, Warning)


def u64(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def check_result(name, result, positional, kwargs):
    if not name.endswith("_array"):
        if type(result) is not float:
            raise Failure(f"returned {type(result).__name__}, not float")
        if result != result and u64(result) != 0x7FF8000000000000:
            raise Failure(f"NaN result {u64(result):#x} is not the default quiet NaN")
        return
    if type(result) is not np.ndarray or result.dtype != np.float64 or result.ndim != 1:
        raise Failure(f"returned {type(result).__name__} {getattr(result, 'dtype', '')}")
    if type(result.base).__name__ != "PySliceContainer" or not result.flags.writeable:
        raise Failure("output array not owned by a PySliceContainer, or read-only")
    names = SIGNATURES[name]
    bound = dict(zip(names, positional))
    bound.update(kwargs)
    first = bound[names[0] if names[0] == "price" else names[1]]
    if len(result) != len(first):
        raise Failure(f"length {len(result)}, first array {len(first)}")
    # Elements equal, bit for bit, the scalar function of the same inputs.
    scalar = getattr(kv, name[: -len("_array")])
    for i in range(min(len(result), 16)):
        element = [np.asarray(bound[p])[i].item() if p in PER_OPTION else bound[p] for p in names]
        try:
            expected = u64(scalar(*element))
        except (ValueError, RuntimeError):
            expected = 0x7FF8000000000000
        got = u64(result[i].item())
        if got != expected:
            raise Failure(f"element {i} is {got:#x}, the scalar call gives {expected:#x}")


def check_exception(e):
    if isinstance(e, ALLOWED) and not isinstance(e, RecursionError):
        if type(e) in (TypeError, ValueError, RuntimeError, OverflowError):
            if len(e.args) != 1 or type(e.args[0]) is not str:
                raise Failure(f"{type(e).__name__} with args {e.args!r}")
        return
    raise Failure(f"undocumented exception {type(e).__module__}.{type(e).__qualname__}: {e}")


class Fuzzer:
    def __init__(self, hostile_kwargs):
        self.hostile_kwargs = hostile_kwargs
        self.borrows = Borrows()
        self.runs = 0
        self.outcomes = {"returned": 0, "raised": 0}
        self.stats = None

    def one(self, data):
        self.runs += 1
        d = Draw(data)
        name = d.pick(NAMES)
        fn = getattr(kv, name)
        positional, kwargs = build_call(d, name, self.hostile_kwargs)
        mutating = any(isinstance(v, Mutator) for v in list(positional) + list(kwargs.values()))
        if mutating:  # let the keyword dict hold the only references to its values
            arrays = objects = []
        else:
            arrays = [
                v for v in list(positional) + list(kwargs.values()) if isinstance(v, np.ndarray)
            ]
            objects = list(positional) + list(kwargs.values()) + list(kwargs)
        gc.disable()  # a collection of older cycles would move counts during the call
        before = [sys.getrefcount(o) for o in objects]
        try:
            result = invoke(d, fn, positional, kwargs)
        except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
            check_exception(e)
            self.outcomes["raised"] += 1
            if self.stats is not None:
                text = re.sub(r"^\w+\(\)", "f()", f"{type(e).__name__}: {e}")
                text = re.sub(r"'[^']*'|\"[^\n]*\"|\d+", "_", text)[:70]
                self.stats[text] = self.stats.get(text, 0) + 1
        else:
            if not mutating:
                check_result(name, result, positional, kwargs)
            self.outcomes["returned"] += 1
            del result
        if sys.exc_info()[0] is not None:
            raise Failure("exception left pending")
        after = [sys.getrefcount(o) for o in objects]
        gc.enable()
        if not mutating and after != before:
            changed = [
                (type(o).__name__, b, a) for o, b, a in zip(objects, before, after) if a != b
            ]
            raise Failure(f"argument refcounts changed (type, before, after): {changed}")
        self.borrows.assert_free(arrays)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=float(os.environ.get("FUZZ_SECONDS", 30)))
    parser.add_argument(
        "--runs",
        type=int,
        default=int(os.environ.get("FUZZ_RUNS", 0)),
        help="stop after this many executions (0: no limit)",
    )
    parser.add_argument("--seed", type=int, default=0, help="0: a new seed each run")
    parser.add_argument("--engine", choices=["auto", "atheris", "random"], default="auto")
    parser.add_argument("--stats", action="store_true", help="print the exceptions seen")
    parser.add_argument("--replay", default="", help="run one input given in hex, then stop")
    parser.add_argument(
        "--artifacts",
        default=os.environ.get("FUZZ_ARTIFACTS", "."),
        help="directory for libFuzzer crash inputs",
    )
    args, rest = parser.parse_known_args()
    if not args.seed:
        args.seed = int.from_bytes(os.urandom(4), "little") or 1
    warnings.simplefilter("error")  # a warning from a conversion is one of its exceptions
    fuzzer = Fuzzer(hostile_kwargs=True)
    if args.stats:
        fuzzer.stats = {}
    # Publish the borrow registry so that every later call can be checked against it.
    kv.bs_delta_array("c", np.ones(1), np.ones(1), np.ones(1), 0.0, np.ones(1))
    start = time.monotonic()

    def finish(status):
        elapsed = time.monotonic() - start
        print(
            f"fuzz_boundary: {fuzzer.runs} executions in {elapsed:.1f} s "
            f"({fuzzer.outcomes['returned']} returned, {fuzzer.outcomes['raised']} raised)",
            flush=True,
        )
        for text, count in sorted((fuzzer.stats or {}).items(), key=lambda kv_: -kv_[1]):
            print(f"{count:9d}  {text!r}")
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)

    def test_one_input(data):
        if (args.runs and fuzzer.runs >= args.runs) or time.monotonic() - start >= args.seconds:
            finish(0)
        try:
            fuzzer.one(data)
        except Failure as e:
            print(f"FAILURE after {fuzzer.runs} executions: {e}", flush=True)
            raise

    if args.replay:  # one input printed by an earlier failing run
        test_one_input(bytes.fromhex(args.replay))
        finish(0)
    engine = args.engine
    if engine == "auto":
        engine = "atheris" if importlib.util.find_spec("atheris") else "random"
    print(
        f"fuzz_boundary: engine {engine}, seed {args.seed}, {len(NAMES)} functions, "
        f"limit {args.seconds:g} s / {args.runs or 'unlimited'} runs",
        flush=True,
    )
    if engine == "atheris":
        import atheris

        os.makedirs(args.artifacts, exist_ok=True)
        libfuzzer = [
            sys.argv[0],
            f"-seed={args.seed}",
            f"-max_total_time={int(args.seconds) + 60}",
            "-rss_limit_mb=8192",
            "-max_len=4096",
            "-len_control=0",
            f"-artifact_prefix={os.path.join(args.artifacts, '')}",
            "-print_final_stats=0",
        ] + rest
        for fn in (build_call, argument, number, flag, array, base_array, invoke):
            globals()[fn.__name__] = atheris.instrument_func(fn)
        atheris.Setup(libfuzzer, test_one_input)
        atheris.Fuzz()
    rng = random.Random(args.seed)
    while True:
        data = rng.randbytes(rng.choice([16, 64, 256, 1024]))
        try:
            test_one_input(data)
        except Failure:
            print(f"input: {data.hex()}", flush=True)
            finish(1)


if __name__ == "__main__":
    main()
