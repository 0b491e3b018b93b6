"""Cost of one scalar call, against the cheapest native call with the same
calling convention: a tiny C extension built here (METH_VARARGS |
METH_KEYWORDS, PyArg_ParseTupleAndKeywords with "s" and one "d" per number,
the flag's first letter checked, the sum of the numbers returned). What a
kestrovane call costs beyond it is binding, conversion and the formula.

Run:  python bench/bench_scalar.py
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import math
import os
import sys
import sysconfig
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _common  # noqa: E402
import kestrovane  # noqa: E402

# Many short rounds: on a shared machine the minimum is likelier to catch a quiet moment.
REPEATS, SECONDS_PER_REPEAT = 21, 0.05

MINIMAL_SOURCE = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *finish(const char *flag, double sum) {
    if (flag[0] == 'c' || flag[0] == 'C' || flag[0] == 'p' || flag[0] == 'P')
        return PyFloat_FromDouble(sum);
    PyErr_SetString(PyExc_ValueError, "flag must start with 'c' or 'p'");
    return NULL;
}

static char *kw6[] = {"flag", "S", "K", "t", "r", "sigma", NULL};
static char *kw7[] = {"flag", "S", "K", "t", "r", "sigma", "q", NULL};

static PyObject *minimal_6args(PyObject *self, PyObject *args, PyObject *kw) {
    const char *flag;
    double a, b, c, d, e;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "sddddd", kw6, &flag, &a, &b, &c, &d, &e))
        return NULL;
    return finish(flag, a + b + c + d + e);
}

static PyObject *minimal_7args(PyObject *self, PyObject *args, PyObject *kw) {
    const char *flag;
    double a, b, c, d, e, f;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "sdddddd", kw7, &flag, &a, &b, &c, &d, &e, &f))
        return NULL;
    return finish(flag, a + b + c + d + e + f);
}

static PyMethodDef methods[] = {
    {"minimal_6args", (PyCFunction)(void (*)(void))minimal_6args, METH_VARARGS | METH_KEYWORDS, NULL},
    {"minimal_7args", (PyCFunction)(void (*)(void))minimal_7args, METH_VARARGS | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_kvbench_minimal", NULL, -1, methods};

PyMODINIT_FUNC PyInit__kvbench_minimal(void) { return PyModule_Create(&module_def); }
"""


def build_minimal():
    paths = sysconfig.get_paths()
    includes = list(dict.fromkeys(paths[k] for k in ("include", "platinclude") if paths.get(k)))
    command = [os.environ.get("CC", "cc"), "-shared", "-fPIC", "-O2", *(f"-I{i}" for i in includes)]
    # The include paths (in the command) and Python.h (hashed) tie the build to this interpreter.
    headers = [Path(i) / "Python.h" for i in includes if (Path(i) / "Python.h").exists()]
    path = _common.build_library("_kvbench_minimal", MINIMAL_SOURCE, ".c", command, headers)
    loader = importlib.machinery.ExtensionFileLoader("_kvbench_minimal", str(path))
    module = importlib.util.module_from_spec(
        importlib.util.spec_from_file_location("_kvbench_minimal", path, loader=loader)
    )
    loader.exec_module(module)
    return module


def main() -> None:
    print(_common.describe_run())
    scipy = _common.ndtr is not None
    price_args, delta_args = (100.0, 105.0, 0.5, 0.03, 0.25), (100.0, 95.0, 0.7, 0.03, 0.25, 0.02)
    price = kestrovane.bs_black_scholes("c", *price_args)
    iv_args = (price, 100.0, 105.0, 0.5, 0.03)
    iv = kestrovane.bs_implied_volatility(*iv_args, "c")

    def text(args):  # written out in the statement: a plain positional call
        return ", ".join(map(repr, args))

    ns = {"kv": kestrovane, "m": build_minimal()}
    cases = {
        "empty": "pass",
        "price": f"kv.bs_black_scholes('c', {text(price_args)})",
        "minimal6": f"m.minimal_6args('c', {text(price_args)})",
        "delta": f"kv.bsm_delta('c', {text(delta_args)})",
        "minimal7": f"m.minimal_7args('c', {text(delta_args)})",
        "iv": f"kv.bs_implied_volatility({text(iv_args)}, 'c')",
    }
    if scipy:  # the shared reference formulas, with math in place of numpy
        ns["ref_price"] = _common.reference("bs", "price", 0.03, xp=math)
        ns["ref_delta"] = _common.reference("bsm", "delta", 0.03, 0.02, xp=math)
        ns["ref_iv"] = _common.brentq_bs_implied_volatility
        sk, dk = (100.0, 105.0, 0.5, 0.25), (100.0, 95.0, 0.7, 0.25)
        cases |= {f"scipy_{k}": f"ref_{k}({text(a)})" for k, a in (("price", sk), ("delta", dk))}
        cases["scipy_iv"] = f"ref_iv({text(iv_args)})"
        # The yardsticks must compute the same things, or their times mean nothing.
        for what, theirs, ours, tol in [
            ("price", ns["ref_price"](*sk), price, 1e-12),
            ("delta", ns["ref_delta"](*dk), kestrovane.bsm_delta("c", *delta_args), 1e-12),
            ("implied volatility", _common.brentq_bs_implied_volatility(*iv_args), iv, 1e-9),
        ]:
            if not math.isclose(theirs, ours, rel_tol=tol):
                print(f"WARNING: the SciPy {what} {theirs!r} is not kestrovane's {ours!r}")
    t = _common.best_ns_per_call(cases, ns, REPEATS, SECONDS_PER_REPEAT)

    table = _common.Table(
        ["quantity", "n", "kestrovane ns", "baseline ns", "baseline", "SciPy ns"]
        + ["kv/baseline", "target", "status", "SciPy/kv"]
    )
    for name, key, base, base_text, limit, target in [
        ("bs_black_scholes", "price", "minimal6", "minimal call (s+5d)", 1.6, "<= 1.60x"),
        ("bsm_delta", "delta", "minimal7", "minimal call (s+6d)", 1.4, "<= 1.40x"),
        ("bs_implied_volatility", "iv", "price", "bs_black_scholes call", 9.999, "< 10x"),
    ]:
        ours, ratio, theirs = t[key], t[key] / t[base], t.get(f"scipy_{key}")
        status = "within" if ratio <= limit else "OVER"
        table.add(name, 1, _common.fmt_ns(ours), _common.fmt_ns(t[base]), base_text)
        table.rows[-1] += [_common.fmt_ns(theirs), _common.fmt_ratio(ratio), target, status]
        table.rows[-1].append(_common.fmt_ratio(theirs / ours if theirs else None))
    print(
        f"\nScalar calls: ns per call, minimum of {REPEATS} interleaved rounds of ~{SECONDS_PER_REPEAT} s"
    )
    print(table.text())
    print(f"""
Timing-loop overhead per call (empty statement): {t["empty"]:.1f} ns, in every figure.
Calls: bs_black_scholes('c', {text(price_args)}) = {price!r}; bsm_delta('c', {text(delta_args)});
bs_implied_volatility of that price -> {iv!r}
SciPy column: the same closed forms in Python with scipy.special.ndtr (bench/_common.py), the
implied volatility by scipy.optimize.brentq on [1e-6, 5].{"" if scipy else " (SciPy not installed)"}""")


if __name__ == "__main__":
    main()
