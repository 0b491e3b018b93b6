"""Cost of one scalar call, against the cheapest native call with the same
calling convention.

The yardstick is a tiny C extension built here: METH_VARARGS | METH_KEYWORDS,
arguments parsed with PyArg_ParseTupleAndKeywords ("s" and one "d" per
number), the flag's first letter checked, the sum of the numbers returned as
a float. Whatever a kestrovane scalar call costs beyond it is the price of
binding, conversion and the formula itself.

Run:  python bench/bench_scalar.py
"""

from __future__ import annotations

import importlib.machinery
import math
import os
import sys
import sysconfig
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _common  # noqa: E402
import kestrovane  # noqa: E402

try:
    from scipy.optimize import brentq
    from scipy.special import ndtr
except ImportError:  # SciPy is only a yardstick
    brentq = ndtr = None

# Many short rounds rather than a few long ones: on a shared machine the
# minimum is more likely to catch a quiet moment.
REPEATS = 21
SECONDS_PER_REPEAT = 0.05

MINIMAL_SOURCE = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static int flag_ok(const char *flag) {
    if (flag[0] == 'c' || flag[0] == 'C' || flag[0] == 'p' || flag[0] == 'P') return 1;
    PyErr_SetString(PyExc_ValueError, "flag must start with 'c' or 'p'");
    return 0;
}

/* (flag, S, K, t, r, sigma): a str and five floats. */
static char *kwlist6[] = {"flag", "S", "K", "t", "r", "sigma", NULL};

static PyObject *minimal_6args(PyObject *self, PyObject *args, PyObject *kw) {
    const char *flag;
    double a, b, c, d, e;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "sddddd", kwlist6, &flag, &a, &b, &c, &d, &e))
        return NULL;
    if (!flag_ok(flag)) return NULL;
    return PyFloat_FromDouble(a + b + c + d + e);
}

/* (flag, S, K, t, r, sigma, q): a str and six floats. */
static char *kwlist7[] = {"flag", "S", "K", "t", "r", "sigma", "q", NULL};

static PyObject *minimal_7args(PyObject *self, PyObject *args, PyObject *kw) {
    const char *flag;
    double a, b, c, d, e, f;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "sdddddd", kwlist7, &flag, &a, &b, &c, &d, &e,
                                     &f))
        return NULL;
    if (!flag_ok(flag)) return NULL;
    return PyFloat_FromDouble(a + b + c + d + e + f);
}

static PyMethodDef methods[] = {
    {"minimal_6args", (PyCFunction)(void (*)(void))minimal_6args,
     METH_VARARGS | METH_KEYWORDS, NULL},
    {"minimal_7args", (PyCFunction)(void (*)(void))minimal_7args,
     METH_VARARGS | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_kvbench_minimal", NULL, -1,
                                        methods};

PyMODINIT_FUNC PyInit__kvbench_minimal(void) { return PyModule_Create(&module_def); }
"""


def build_minimal():
    paths = sysconfig.get_paths()
    includes = []
    for key in ("include", "platinclude"):
        if paths.get(key) and paths[key] not in includes:
            includes.append(paths[key])
    compiler = os.environ.get("CC", "cc")
    command = [compiler, "-shared", "-fPIC", "-O2", *(f"-I{inc}" for inc in includes)]
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    # The include paths (in the command) and Python.h (hashed) tie the cached
    # build to this interpreter.
    headers = [Path(inc) / "Python.h" for inc in includes if (Path(inc) / "Python.h").exists()]
    path = _common.build_shared_library(
        "_kvbench_minimal", MINIMAL_SOURCE, ".c", command, output_suffix=suffix, depends_on=headers
    )
    return _common.load_extension("_kvbench_minimal", path)


# ---- SciPy yardsticks: what a user would write in Python ------------------------


def scipy_bs_price(flag, S, K, t, r, sigma):
    sd = sigma * math.sqrt(t)
    d1 = (math.log(S / K) + (r + 0.5 * sigma * sigma) * t) / sd
    d2 = d1 - sd
    if flag in "cC":
        return S * ndtr(d1) - K * math.exp(-r * t) * ndtr(d2)
    return K * math.exp(-r * t) * ndtr(-d2) - S * ndtr(-d1)


def scipy_bsm_delta(flag, S, K, t, r, sigma, q):
    sd = sigma * math.sqrt(t)
    d1 = (math.log(S / K) + (r - q + 0.5 * sigma * sigma) * t) / sd
    if flag in "cC":
        return math.exp(-q * t) * ndtr(d1)
    return -math.exp(-q * t) * ndtr(-d1)


def scipy_bs_iv(price, S, K, t, r, flag):
    return brentq(lambda s: scipy_bs_price(flag, S, K, t, r, s) - price, 1e-6, 5.0)


def main() -> None:
    _common.print_environment()
    minimal = build_minimal()

    price = kestrovane.bs_black_scholes("c", 100.0, 105.0, 0.5, 0.03, 0.25)
    iv = kestrovane.bs_implied_volatility(price, 100.0, 105.0, 0.5, 0.03, "c")
    if ndtr is not None:
        # The yardsticks must compute the same things, or their times mean nothing.
        checks = {
            "price": (scipy_bs_price("c", 100.0, 105.0, 0.5, 0.03, 0.25), price, 1e-12),
            "delta": (
                scipy_bsm_delta("c", 100.0, 95.0, 0.7, 0.03, 0.25, 0.02),
                kestrovane.bsm_delta("c", 100.0, 95.0, 0.7, 0.03, 0.25, 0.02),
                1e-12,
            ),
            "implied volatility": (scipy_bs_iv(price, 100.0, 105.0, 0.5, 0.03, "c"), iv, 1e-9),
        }
        for what, (theirs, ours, tol) in checks.items():
            if not math.isclose(theirs, ours, rel_tol=tol):
                print(
                    f"warning: the SciPy {what} ({theirs!r}) disagrees with kestrovane "
                    f"({ours!r}); its time is not comparable"
                )

    bs_args = "('c', 100.0, 105.0, 0.5, 0.03, 0.25)"
    delta_args = "('c', 100.0, 95.0, 0.7, 0.03, 0.25, 0.02)"
    iv_args = f"({price!r}, 100.0, 105.0, 0.5, 0.03, 'c')"
    ns = {
        "kv": kestrovane,
        "m": minimal,
        "py_price": scipy_bs_price,
        "py_delta": scipy_bsm_delta,
        "py_iv": scipy_bs_iv,
    }
    cases = {
        "empty": ("pass", ns),
        "bs_black_scholes": (f"kv.bs_black_scholes{bs_args}", ns),
        "minimal_6args": (f"m.minimal_6args{bs_args}", ns),
        "bsm_delta": (f"kv.bsm_delta{delta_args}", ns),
        "minimal_7args": (f"m.minimal_7args{delta_args}", ns),
        "bs_implied_volatility": (f"kv.bs_implied_volatility{iv_args}", ns),
    }
    if ndtr is not None:
        cases["scipy_price"] = (f"py_price{bs_args}", ns)
        cases["scipy_delta"] = (f"py_delta{delta_args}", ns)
        cases["scipy_iv"] = (f"py_iv{iv_args}", ns)
    t = _common.best_ns_per_call(cases, repeat=REPEATS, seconds_per_repeat=SECONDS_PER_REPEAT)
    get = t.get

    r_price = _common.ratio(t["bs_black_scholes"], t["minimal_6args"])
    r_delta = _common.ratio(t["bsm_delta"], t["minimal_7args"])
    r_iv = _common.ratio(t["bs_implied_volatility"], t["bs_black_scholes"])

    def verdict(value, limit):
        return "within" if value <= limit else "OVER"

    headers = [
        "quantity",
        "n",
        "kestrovane ns",
        "baseline ns",
        "baseline",
        "SciPy ns",
        "kv/baseline",
        "target",
        "status",
        "SciPy/kv",
    ]
    rows = [
        [
            "bs_black_scholes",
            "1",
            _common.fmt_ns(t["bs_black_scholes"]),
            _common.fmt_ns(t["minimal_6args"]),
            "minimal call (s+5d)",
            _common.fmt_ns(get("scipy_price")),
            _common.fmt_ratio(r_price),
            "<= 1.60x",
            verdict(r_price, 1.6),
            _common.fmt_ratio(_common.ratio(get("scipy_price"), t["bs_black_scholes"])),
        ],
        [
            "bsm_delta",
            "1",
            _common.fmt_ns(t["bsm_delta"]),
            _common.fmt_ns(t["minimal_7args"]),
            "minimal call (s+6d)",
            _common.fmt_ns(get("scipy_delta")),
            _common.fmt_ratio(r_delta),
            "<= 1.40x",
            verdict(r_delta, 1.4),
            _common.fmt_ratio(_common.ratio(get("scipy_delta"), t["bsm_delta"])),
        ],
        [
            "bs_implied_volatility",
            "1",
            _common.fmt_ns(t["bs_implied_volatility"]),
            _common.fmt_ns(t["bs_black_scholes"]),
            "bs_black_scholes call",
            _common.fmt_ns(get("scipy_iv")),
            _common.fmt_ratio(r_iv),
            "< 10x",
            verdict(r_iv, 9.999),
            _common.fmt_ratio(_common.ratio(get("scipy_iv"), t["bs_implied_volatility"])),
        ],
    ]
    print()
    print(
        f"Scalar calls: ns per call, minimum of {REPEATS} interleaved repeats of "
        f"~{SECONDS_PER_REPEAT} s each"
    )
    _common.print_table(headers, rows)
    print()
    print(
        f"Timing-loop overhead per call (empty statement): {t['empty']:.1f} ns, included "
        "in every figure above."
    )
    print(
        f"Calls: bs_black_scholes{bs_args} = {price!r}; bsm_delta{delta_args}; "
        f"bs_implied_volatility at sigma=0.25 -> {iv!r}"
    )
    print(
        "SciPy column: the same formula in Python with scipy.special.ndtr; the implied "
        "volatility by scipy.optimize.brentq on [1e-6, 5]."
        + ("" if ndtr is not None else " (SciPy not installed)")
    )


if __name__ == "__main__":
    main()
