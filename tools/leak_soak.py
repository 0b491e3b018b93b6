#!/usr/bin/env python3
"""Leak soak: runs every function's success path and every distinct error path
many times and reports, per path, how memory and reference counts moved.

    python tools/leak_soak.py                   # 100,000 calls per path
    python tools/leak_soak.py --quick           # the short CI run
    python tools/leak_soak.py --iterations N --only bs_delta

Per path, after a warm-up: growth of tracemalloc's current size, of the C heap
in use (glibc mallinfo2, or the sanitizer allocator's count under ASan), of
RSS, of len(gc.get_objects()) and of sys.gettotalrefcount (debug builds), each
also scaled to one million calls, and the reference counts of the argument
objects and input arrays before and after. Exits 1 if a path raised the wrong
outcome, changed a reference count, left an array borrowed, or grew beyond the
noise thresholds below.
"""

import argparse
import ctypes
import gc
import os
import sys
import time
import tracemalloc

import kestrovane as kv
import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from borrow_registry import Registry  # noqa: E402

RSS_LIMIT = 1 << 20  # bytes, after warm-up
TRACED_LIMIT = 64 << 10  # bytes
HEAP_LIMIT = 64 << 10  # bytes
OBJECTS_LIMIT = 1000  # gc-tracked objects


# ---------------------------------------------------------------- measurements


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


SANITIZED = hasattr(ctypes.CDLL(None), "__sanitizer_get_current_allocated_bytes")


def heap_counter():
    """Bytes of C heap in use: the sanitizer allocator's count or glibc's."""
    libc = ctypes.CDLL(None)
    if SANITIZED:
        count = libc.__sanitizer_get_current_allocated_bytes
        count.restype = ctypes.c_size_t
        return count
    if hasattr(libc, "mallinfo2"):
        info = libc.mallinfo2
        info.restype = _Mallinfo2

        def in_use():
            m = info()
            return m.uordblks + m.hblkhd

        return in_use
    return lambda: 0


heap = heap_counter()
total_refs = getattr(sys, "gettotalrefcount", lambda: 0)


# ---------------------------------------------------------------- paths


class Path:
    def __init__(
        self, label, fn, args, kwargs=None, raises=None, text="", setup=None, teardown=None
    ):
        self.label, self.fn, self.args, self.kwargs = label, fn, tuple(args), kwargs or {}
        self.raises, self.text = raises, text
        self.setup, self.teardown = setup, teardown

    def tracked(self):
        return list(self.args) + list(self.kwargs.values())


class UserError(Exception):
    pass


class FloatRaises:
    def __float__(self):
        raise UserError("no float")


class FloatTypeErrorWithCause:
    def __float__(self):
        raise TypeError("not a number") from KeyError("cause")


class FloatReturnsInt:
    def __float__(self):
        return 1


def params(name):
    return [p.strip() for p in getattr(kv, name).__text_signature__.strip("()").split(",")]


PER_OPTION = {"price", "S", "F", "K", "t", "sigma"}
SCALAR_VALUES = {
    "flag": "c",
    "price": 8.0,
    "S": 100.0,
    "F": 100.0,
    "K": 95.0,
    "t": 0.75,
    "r": 0.03,
    "sigma": 0.25,
    "q": 0.01,
}


def good_args(name, n=8):
    array = name.endswith("_array")
    out = []
    for p in params(name):
        value = SCALAR_VALUES[p]
        if array and p in PER_OPTION:
            value = np.linspace(0.9, 1.1, n) * value
        out.append(value)
    return out


def build_paths(borrows_holder):
    names = [n for n in kv._kestrovane.__all__ if n != "__version__"]
    paths = [Path(f"ok {name}", getattr(kv, name), good_args(name)) for name in names]

    def err(label, name, args, raises, text, kwargs=None, **extra):
        paths.append(Path(label, getattr(kv, name), args, kwargs, raises, text, **extra))

    for name in ("bs_delta", "bsm_vega_array"):
        a = good_args(name)
        err(f"too many positional {name}", name, a + [0.0], TypeError, "positional arguments but")
        err(
            f"unexpected keyword {name}",
            name,
            a,
            TypeError,
            "unexpected keyword",
            kwargs={"x": 1.0},
        )
        err(f"multiple values {name}", name, a, TypeError, "multiple values", kwargs={"S": 1.0})
        err(f"missing {name}", name, a[:3], TypeError, "missing")
    a = good_args("bs_delta")
    err("bad number", "bs_delta", a[:1] + ["100"] + a[2:], TypeError, "argument 'S': must be real")
    err("int too large", "bs_delta", a[:1] + [10**400] + a[2:], OverflowError, "too large")
    err("__float__ raises", "bs_delta", a[:1] + [FloatRaises()] + a[2:], UserError, "no float")
    err(
        "__float__ non-float",
        "bs_delta",
        a[:1] + [FloatReturnsInt()] + a[2:],
        TypeError,
        "argument 'S'",
    )
    err(
        "TypeError with cause",
        "bs_delta",
        a[:1] + [FloatTypeErrorWithCause()] + a[2:],
        TypeError,
        "argument 'S': not a number",
    )
    err("bad flag type", "bs_delta", [1] + a[1:], TypeError, "'int' object cannot be converted")
    err("unencodable flag", "bs_delta", ["\ud800"] + a[1:], UnicodeEncodeError, "surrogates")
    err("empty flag", "bs_delta", [""] + a[1:], ValueError, "flag must be 'c' or 'p'")
    err(
        "invalid flag quoted",
        "bs_delta",
        ['x"\\\t\u0301\U0010ffff\u200b\0'] + a[1:],
        ValueError,
        'got "x',
    )
    a = good_args("bs_delta_array")
    err("array flag invalid", "bs_delta_array", ["x"] + a[1:], ValueError, "got")
    s = a[1]
    for label, bad in [
        ("list", s.tolist()),
        ("int64", s.astype(np.int64)),
        ("2-D", s.reshape(2, -1)),
        ("byte-swapped", s.astype(">f8")),
    ]:
        err(
            f"array intake {label} as S",
            "bs_delta_array",
            a[:1] + [bad] + a[2:],
            TypeError,
            "cannot be converted to 'PyArray<T, D>'",
        )
    err(
        "array intake list as K",
        "bs_delta_array",
        a[:2] + [a[2].tolist()] + a[3:],
        TypeError,
        "argument 'K'",
    )
    err(
        "not contiguous",
        "bs_delta_array",
        a[:3] + [np.linspace(1, 2, 16)[::2]] + a[4:],
        TypeError,
        "not contiguous",
    )
    for name, text in [
        ("bs_delta_array", "S, K, t, sigma"),
        ("bsm_delta_array", "S, K, t, sigma"),
        ("black76_delta_array", "F, K, t, sigma"),
        ("bs_implied_volatility_array", "price, S, K, t"),
        ("bsm_implied_volatility_array", "price, S, K, t"),
        ("black76_implied_volatility_array", "price, F, K, t"),
    ]:
        b = good_args(name)
        last = max(i for i, p in enumerate(params(name)) if p in PER_OPTION)
        b[last] = b[last][:-1]
        err(f"length {name}", name, b, ValueError, f"{text} arrays must have equal length")
    for name in ("bs_implied_volatility", "bsm_implied_volatility", "black76_implied_volatility"):
        b = good_args(name)
        err(f"below intrinsic {name}", name, [-1.0] + b[1:], ValueError, "below intrinsic")
        err(f"above maximum {name}", name, [1e6] + b[1:], ValueError, "exceeds theoretical")

    # Outputs freed while an exception propagates: the exception set aside
    # during the release must come back, neither lost nor leaked.
    def drop_outputs_while_raising(*args):
        return sorted([kv.bs_delta_array(*args) for _ in range(2)], key=lambda out: 1 / 0)

    paths.append(
        Path(
            "outputs freed while raising",
            drop_outputs_while_raising,
            good_args("bs_delta_array"),
            raises=ZeroDivisionError,
            text="division",
        )
    )

    # A refused read borrow: K exclusively borrowed by "other native code", so S
    # is read-borrowed first and must be released again.
    b = good_args("bs_delta_array")
    b = [x.copy() if isinstance(x, np.ndarray) else x for x in b]
    k = b[2]
    paths.append(
        Path(
            "refused borrow",
            kv.bs_delta_array,
            b,
            raises=BaseException,
            text="AlreadyBorrowed",
            setup=lambda: (
                borrows_holder[0].exclusive(k) == 0 or sys.exit("exclusive borrow failed")
            ),
            teardown=lambda: borrows_holder[0].release(k),
        )
    )
    return paths


# ---------------------------------------------------------------- running


def runner(path):
    fn, args, kwargs, raises = path.fn, path.args, path.kwargs, path.raises
    if raises is None:

        def run(n):
            for _ in range(n):
                fn(*args, **kwargs)
    else:

        def run(n):
            for _ in range(n):
                try:
                    fn(*args, **kwargs)
                except raises:
                    pass
                else:
                    raise AssertionError(f"{path.label}: no exception")

    return run


def first_outcome(path):
    """None if the path does what it is meant to, else a description."""
    try:
        result = path.fn(*path.args, **path.kwargs)
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        if path.raises is None or not isinstance(e, path.raises) or path.text not in str(e):
            return f"raised {type(e).__name__}: {e}"
        if path.raises is BaseException and type(e).__name__ != "PanicException":
            return f"raised {type(e).__name__}: {e}"
        return None
    if path.raises is not None:
        return f"returned {type(result).__name__}"
    return None


def measure():
    gc.collect()
    return dict(
        traced=tracemalloc.get_traced_memory()[0],
        heap=heap(),
        rss=rss(),
        objects=len(gc.get_objects()),
        refs=total_refs(),
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=100_000, help="calls per path")
    parser.add_argument("--quick", action="store_true", help="20,000 calls per path (CI)")
    parser.add_argument("--only", default="", help="run the paths whose label contains this")
    args = parser.parse_args()
    n = 20_000 if args.quick else args.iterations
    warm = min(max(n // 10, 500), 10_000)

    # The first array call publishes the borrow registry.
    kv.bs_delta_array("c", np.ones(1), np.ones(1), np.ones(1), 0.0, np.ones(1))
    borrows = Registry()
    paths = [p for p in build_paths([borrows]) if args.only in p.label]
    tracemalloc.start()
    failures = []
    started = time.monotonic()
    print(
        f"{len(paths)} paths, {n} calls each after {warm} warm-up calls; growth per path "
        f"and per million calls; heap from "
        f"{'the sanitizer allocator (RSS not checked)' if SANITIZED else 'mallinfo2'}"
    )
    print(
        f"{'path':44s} {'traced B':>9s} {'heap B':>9s} {'RSS KiB':>8s} {'objects':>7s} "
        f"{'totalrefs':>9s} {'heap B/M':>9s} {'RSS KiB/M':>9s}  refcounts"
    )
    for path in paths:
        if path.setup:
            path.setup()
        problems = []
        try:
            wrong = first_outcome(path)
            if wrong:
                problems.append(f"wrong outcome: {wrong}")
            else:
                run = runner(path)
                run(warm)
                tracked = path.tracked()
                refs_before = [sys.getrefcount(o) for o in tracked]
                before = measure()
                run(n)
                after = measure()
                refs_after = [sys.getrefcount(o) for o in tracked]
        finally:
            if path.teardown:
                path.teardown()
        if problems:
            failures.append((path.label, problems))
            print(f"{path.label:44s} {problems[0]}")
            continue
        growth = {k: after[k] - before[k] for k in before}
        if refs_after != refs_before:
            problems.append(f"refcounts {refs_before} -> {refs_after}")
        limits = [(TRACED_LIMIT, "traced"), (HEAP_LIMIT, "heap"), (OBJECTS_LIMIT, "objects")]
        if not SANITIZED:  # the sanitizer's quarantine of freed memory keeps RSS growing
            limits.append((RSS_LIMIT, "rss"))
        for limit, key in limits:
            if growth[key] > limit:
                problems.append(f"{key} grew by {growth[key]}")
        if total_refs() and growth["refs"] > n // 10:
            problems.append(f"total refcount grew by {growth['refs']}")
        for array in (o for o in path.tracked() if isinstance(o, np.ndarray)):
            status = borrows.exclusive(array)
            if status == 0:
                borrows.release(array)
            elif not (status == -2 and not array.flags.writeable):
                problems.append(f"an input array is still borrowed ({status})")
        scale = 1e6 / n
        print(
            f"{path.label:44s} {growth['traced']:9d} {growth['heap']:9d} "
            f"{growth['rss'] // 1024:8d} {growth['objects']:7d} "
            f"{growth['refs'] if total_refs() else 'n/a':>9} {growth['heap'] * scale:9.0f} "
            f"{growth['rss'] * scale / 1024:9.0f}  "
            f"{'unchanged' if refs_before == refs_after else 'CHANGED'}"
        )
        if problems:
            failures.append((path.label, problems))
    elapsed = time.monotonic() - started
    print(f"{len(paths)} paths, {len(paths) * (n + warm)} calls in {elapsed:.1f} s")
    for label, problems in failures:
        print(f"FAILED {label}: {'; '.join(problems)}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
