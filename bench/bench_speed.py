"""One table of what the _array functions cost per element, against the two
yardsticks a user would otherwise reach for: a vectorised NumPy/SciPy formula
and a straightforward C++ loop over the project's own inline routines.

Sections (rows of one table):
  1. price and the fifteen Greeks of all three models over 1,000,000 random
     calls, against NumPy/SciPy and the loop;
  2. an option chain (a few expiries, a strike ladder, a volatility smile);
  3. implied volatility over an array, against the loop of the scalar solver
     and against scipy.optimize.brentq per option;
  4. scaling: ns per element from 10^3 to 10^7 elements, and a one-element
     array call against the scalar call;
  5. peak memory for 10^7 elements, each measurement in a fresh process;
  7. the whole-book API (kestrovane.greeks, kestrovane.implied_volatility)
     against the _array calls it replaces, on one thread and on all cores.

The loop is a shared library built here (bench/_build/, cached) from the
headers in src/models and src/iv. It calls the same inline routine once per
element, in order, into a freshly malloc'd buffer, as the module's output is.
Every element goes through the same IEEE operations either way, so the outputs
must agree bit for bit; the script checks every element. Each NumPy formula is
checked against kestrovane too, so that its time measures the same quantity.

Nothing here asserts on time: ratios are printed beside their targets.

Run:  python bench/bench_speed.py [--quick] [--markdown FILE]
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import math
import os
import resource
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _common  # noqa: E402
import kestrovane  # noqa: E402
import numpy as np  # noqa: E402
from kestrovane import _quantities  # noqa: E402

try:
    from scipy.optimize import brentq
    from scipy.special import ndtr
except ImportError:  # SciPy is only a yardstick
    brentq = ndtr = None

SEED = 20240611
R = 0.03
Q = 0.01
SQRT_2PI = math.sqrt(2.0 * math.pi)

# The loop's compiler command: the module's flags, -fno-math-errno included.
LOOP_CXX_FLAGS = [*_common.MODULE_CXX_FLAGS, "-fno-math-errno"]

MODELS = ("bsm", "bs", "black76")
QUANTITIES = _quantities.QUANTITIES
# Quantities that must beat NumPy/SciPy by 1.3x; every other one by any margin.
STRONG_TARGET = frozenset({"price", "delta", "theta", "rho", "dual_delta", "charm"})
# A NumPy formula further than this from kestrovane (see relative_diff) is flagged.
AGREEMENT = 1e-9


def function_name(model: str, quantity: str) -> str:
    return _quantities.function_name(model, quantity) + "_array"


def camel(quantity: str) -> str:
    return "".join(part.capitalize() for part in quantity.split("_"))


@dataclass(frozen=True)
class Config:
    n: int
    chain_expiries: tuple[float, ...]
    n_brentq: int
    scaling_sizes: tuple[int, ...]
    memory_n: int
    memory_quantities: tuple[str, ...]
    section1: dict[str, tuple[str, ...]]
    repeat: int  # kestrovane/loop rounds, closed forms at n
    numpy_repeat: int  # NumPy rounds, closed forms at n
    iv_repeat: int
    brentq_repeat: int
    large_repeat: int  # rounds at 10^7 elements


FULL = Config(
    n=1_000_000,
    chain_expiries=(1 / 52, 1 / 12, 0.25, 0.5, 0.75, 1.0, 1.5, 2.0),
    n_brentq=2_000,
    scaling_sizes=(10**3, 10**4, 10**5, 10**6, 10**7),
    memory_n=10**7,
    memory_quantities=("delta", "price"),
    section1={model: QUANTITIES for model in MODELS},
    repeat=9,
    numpy_repeat=9,
    iv_repeat=4,
    brentq_repeat=2,
    large_repeat=3,
)

QUICK = Config(
    n=100_000,
    chain_expiries=(1 / 12, 0.25, 0.5, 1.0),
    n_brentq=300,
    scaling_sizes=(10**3, 10**4, 10**5),
    memory_n=10**6,
    memory_quantities=("delta",),
    section1={"bsm": QUANTITIES, "bs": ("price", "delta"), "black76": ("price", "delta")},
    repeat=5,
    numpy_repeat=3,
    iv_repeat=3,
    brentq_repeat=2,
    large_repeat=3,
)


# ---- the straightforward loop ---------------------------------------------------

LOOP_PRELUDE = r"""
// Straightforward element loops over the project's inline routines: one option
// at a time, in order, into a new malloc'd buffer. Results leave as the module
// documents them: every NaN as the default quiet NaN.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "iv/implied_vol.hpp"
#include "models/black76.hpp"
#include "models/spot.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

kv::OptionKind Kind(int put) { return put ? kv::OptionKind::Put : kv::OptionKind::Call; }

double Canonical(double x) { return x == x ? x : kNaN; }

template <class Element>
double* Loop(std::int64_t n, Element element) {
  auto* out = static_cast<double*>(std::malloc(n > 0 ? static_cast<std::size_t>(n) * sizeof(double) : 1));
  if (out == nullptr) return nullptr;
  for (std::int64_t i = 0; i < n; ++i) out[i] = Canonical(element(i));
  return out;
}

}  // namespace

extern "C" {

// Black-Scholes implied volatility (q = 0.0), one scalar solve per option; a
// failed solve is NaN.
double* loop_bs_implied_volatility(const double* price, const double* S, const double* K,
                                   const double* t, double r, std::int64_t n, int put) {
  const kv::OptionKind kind = Kind(put);
  return Loop(n, [=](std::int64_t i) {
    const kv::IvResult result =
        kv::SolveImpliedVol(kind, kv::BsmImpliedVol(kind, price[i], S[i], K[i], t[i], r, 0.0));
    return result.ok ? result.volatility : kNaN;
  });
}

// The platform's exp and log, one independent call per element: the floor
// under every exact formula, which makes up to five such calls per option.
double* loop_exp(const double* x, std::int64_t n) {
  return Loop(n, [=](std::int64_t i) { return std::exp(x[i]); });
}
double* loop_log(const double* x, std::int64_t n) {
  return Loop(n, [=](std::int64_t i) { return std::log(x[i]); });
}

void loop_free(double* p) { std::free(p); }
"""

SPOT_LOOP = r"""
double* loop_bsm_{quantity}(const double* S, const double* K, const double* t, double r,
                            const double* sigma, double q, std::int64_t n, int put) {{
  const kv::OptionKind kind = Kind(put);
  return Loop(n, [=](std::int64_t i) {{ return kv::Bsm<kv::greeks::{routine}>(kind, {args}); }});
}}
"""

BLACK76_LOOP = r"""
double* loop_black76_{quantity}(const double* F, const double* K, const double* t, double r,
                                const double* sigma, std::int64_t n, int put) {{
  const kv::OptionKind kind = Kind(put);
  return Loop(n, [=](std::int64_t i) {{ return kv::Black76<kv::greeks::{routine}>(kind, {args}); }});
}}
"""


def loop_source() -> str:
    parts = [LOOP_PRELUDE]
    for quantity in QUANTITIES:
        routine = camel(quantity)
        spot = "S[i], K[i], t[i], r, sigma[i], q"
        fwd = "F[i], K[i], t[i], r, sigma[i]"
        parts.append(SPOT_LOOP.format(quantity=quantity, routine=routine, args=spot))
        parts.append(BLACK76_LOOP.format(quantity=quantity, routine=routine, args=fwd))
    parts.append('}  // extern "C"\n')
    return "".join(parts)


class Loops:
    """The loops, called with NumPy arrays. Each call returns the raw output
    pointer: release it with `free`, or read and release it with `to_array`.
    The bs loops are the bsm loops called with q = 0.0."""

    def __init__(self) -> None:
        command = [
            os.environ.get("CXX", "g++"),
            *LOOP_CXX_FLAGS,
            "-shared",
            "-fPIC",
            f"-I{_common.SOURCE_DIR}",
            str(_common.SOURCE_DIR / "models" / "normal.cpp"),
        ]
        path = _common.build_shared_library(
            "kvbench_speed_loops",
            loop_source(),
            ".cpp",
            command,
            depends_on=_common.model_sources(),
        )
        lib = ctypes.CDLL(str(path))
        p, d, i64, i32 = ctypes.c_void_p, ctypes.c_double, ctypes.c_int64, ctypes.c_int
        for quantity in QUANTITIES:
            spot = getattr(lib, f"loop_bsm_{quantity}")
            spot.argtypes = [p, p, p, d, p, d, i64, i32]
            spot.restype = p
            fwd = getattr(lib, f"loop_black76_{quantity}")
            fwd.argtypes = [p, p, p, d, p, i64, i32]
            fwd.restype = p
        lib.loop_bs_implied_volatility.argtypes = [p, p, p, p, d, i64, i32]
        lib.loop_bs_implied_volatility.restype = p
        for name in ("loop_exp", "loop_log"):
            getattr(lib, name).argtypes = [p, i64]
            getattr(lib, name).restype = p
        lib.loop_free.argtypes = [p]
        lib.loop_free.restype = None
        self.lib = lib

    @staticmethod
    def _ptr(a: np.ndarray) -> int:
        assert a.dtype == np.float64 and a.flags.c_contiguous
        return a.ctypes.data

    @staticmethod
    def _checked(out: int | None) -> int:
        if not out:
            raise MemoryError
        return out

    def closed_form(self, model: str, quantity: str, S, K, t, sigma) -> int:
        p = self._ptr
        if model == "black76":
            fn = getattr(self.lib, f"loop_black76_{quantity}")
            return self._checked(fn(p(S), p(K), p(t), R, p(sigma), len(S), 0))
        fn = getattr(self.lib, f"loop_bsm_{quantity}")
        q = Q if model == "bsm" else 0.0
        return self._checked(fn(p(S), p(K), p(t), R, p(sigma), q, len(S), 0))

    def implied_volatility(self, price, S, K, t) -> int:
        p = self._ptr
        return self._checked(
            self.lib.loop_bs_implied_volatility(p(price), p(S), p(K), p(t), R, len(price), 0)
        )

    def math(self, name: str, x) -> int:
        return self._checked(getattr(self.lib, f"loop_{name}")(self._ptr(x), len(x)))

    def free(self, out: int) -> None:
        self.lib.loop_free(out)

    def to_array(self, out: int, n: int) -> np.ndarray:
        try:
            return np.frombuffer((ctypes.c_double * n).from_address(out), dtype=np.float64).copy()
        finally:
            self.free(out)


def kv_closed_form(model: str, quantity: str) -> Callable:
    """The kestrovane _array function as fn(S, K, t, sigma) for calls."""
    fn = getattr(kestrovane, function_name(model, quantity))
    if model == "bsm":
        return lambda S, K, t, sigma: fn("c", S, K, t, R, sigma, Q)
    return lambda S, K, t, sigma: fn("c", S, K, t, R, sigma)


# ---- NumPy/SciPy yardsticks -----------------------------------------------------
# The closed forms of a call as a user would write them with NumPy and
# scipy.special.ndtr: one plain function per quantity, in the general
# cost-of-carry form. bsm has dividend yield q and carry b = r - q, bs q = 0
# and b = r, black76 (S = F) q = r and b = 0. Terms that vanish for a model (a
# zero q or b, a unit discount) are left out rather than computed, as a user
# writing that model would.
#
# NumPy's time depends on how a formula is written, not only on its
# operations: an operator whose operand is a temporary (an array nothing else
# refers to) reuses that buffer, and every other result costs a fresh
# 8-byte-per-element buffer, often fresh pages and their faults. These are
# written plainly -- the textbook products left to right, d1, d2 and sd named
# -- which in our trials ran as fast as any variant we tried and up to 15 %
# faster than some.


@dataclass(frozen=True)
class Carry:
    r: float
    q: float
    b: float
    forward: bool


CARRY = {
    "bsm": Carry(R, Q, R - Q, False),
    "bs": Carry(R, 0.0, R, False),
    "black76": Carry(R, R, 0.0, True),
}


def pdf(x):
    return np.exp(-0.5 * x * x) / SQRT_2PI


def _d1(m: Carry, S, K, t, sigma, sd=None):
    """d1, with sd = sigma sqrt(t) formed here unless given."""
    if m.b:
        return (np.log(S / K) + (m.b + 0.5 * sigma**2) * t) / (
            sigma * np.sqrt(t) if sd is None else sd
        )
    return (np.log(S / K) + 0.5 * sigma**2 * t) / (sigma * np.sqrt(t) if sd is None else sd)


def _discounted(m: Carry, t, x):
    """exp(-q t) * x, or x itself for q = 0."""
    return np.exp(-m.q * t) * x if m.q else x


def _spot(m: Carry, S, t):
    """S exp(-q t), or S itself for q = 0."""
    return S * np.exp(-m.q * t) if m.q else S


def _time_bracket(m: Carry, d1, d2, sd, t, one: float):
    """(d1 d2 + one) / (2t) - b d1 / sd - q: color's bracket (one = -1) and
    veta's (one = +1)."""
    x = (d1 * d2 + one) / (2.0 * t)
    if m.b:
        x = x - m.b * d1 / sd
    if m.q:
        x = x - m.q
    return x


def np_price(m: Carry, S, K, t, sigma):
    sd = sigma * np.sqrt(t)
    d1 = _d1(m, S, K, t, sigma, sd)
    d2 = d1 - sd
    if m.forward:
        return np.exp(-m.r * t) * (S * ndtr(d1) - K * ndtr(d2))
    return _spot(m, S, t) * ndtr(d1) - K * np.exp(-m.r * t) * ndtr(d2)


def np_delta(m: Carry, S, K, t, sigma):
    return _discounted(m, t, ndtr(_d1(m, S, K, t, sigma)))


def np_gamma(m: Carry, S, K, t, sigma):
    sd = sigma * np.sqrt(t)
    return _discounted(m, t, pdf(_d1(m, S, K, t, sigma, sd))) / (S * sd)


def np_vega(m: Carry, S, K, t, sigma):
    return _spot(m, S, t) * np.sqrt(t) * pdf(_d1(m, S, K, t, sigma)) * 0.01


def np_theta(m: Carry, S, K, t, sigma):
    sqt = np.sqrt(t)
    sd = sigma * sqt
    d1 = _d1(m, S, K, t, sigma, sd)
    d2 = d1 - sd
    Dr = np.exp(-m.r * t)
    if not m.q:
        return (-S * pdf(d1) * sigma / (2.0 * sqt) - m.r * K * Dr * ndtr(d2)) / 365.0
    Dq = Dr if m.q == m.r else np.exp(-m.q * t)
    return (
        -S * Dq * pdf(d1) * sigma / (2.0 * sqt) - m.r * K * Dr * ndtr(d2) + m.q * S * Dq * ndtr(d1)
    ) / 365.0


def np_rho(m: Carry, S, K, t, sigma):
    if m.forward:  # F held fixed: only the discount moves
        return t * np_price(m, S, K, t, sigma) * -0.01
    sd = sigma * np.sqrt(t)
    d2 = _d1(m, S, K, t, sigma, sd) - sd
    return K * t * np.exp(-m.r * t) * ndtr(d2) * 0.01


def np_vanna(m: Carry, S, K, t, sigma):
    sd = sigma * np.sqrt(t)
    d1 = _d1(m, S, K, t, sigma, sd)
    d2 = d1 - sd
    return -_discounted(m, t, pdf(d1)) * d2 / sigma


def np_charm(m: Carry, S, K, t, sigma):
    sd = sigma * np.sqrt(t)
    d1 = _d1(m, S, K, t, sigma, sd)
    d2 = d1 - sd
    bracket = m.b / sd - d2 / (2.0 * t) if m.b else -d2 / (2.0 * t)
    if not m.q:
        return pdf(d1) * bracket
    Dq = np.exp(-m.q * t)
    return Dq * pdf(d1) * bracket - m.q * Dq * ndtr(d1)


def np_vomma(m: Carry, S, K, t, sigma):
    sqt = np.sqrt(t)
    sd = sigma * sqt
    d1 = _d1(m, S, K, t, sigma, sd)
    d2 = d1 - sd
    return _spot(m, S, t) * sqt * pdf(d1) * d1 * d2 / sigma


def np_speed(m: Carry, S, K, t, sigma):
    sd = sigma * np.sqrt(t)
    d1 = _d1(m, S, K, t, sigma, sd)
    gamma = _discounted(m, t, pdf(d1)) / (S * sd)
    return -gamma / S * (d1 / sd + 1.0)


def np_zomma(m: Carry, S, K, t, sigma):
    sd = sigma * np.sqrt(t)
    d1 = _d1(m, S, K, t, sigma, sd)
    d2 = d1 - sd
    gamma = _discounted(m, t, pdf(d1)) / (S * sd)
    return gamma * (d1 * d2 - 1.0) / sigma


def np_color(m: Carry, S, K, t, sigma):
    sd = sigma * np.sqrt(t)
    d1 = _d1(m, S, K, t, sigma, sd)
    d2 = d1 - sd
    gamma = _discounted(m, t, pdf(d1)) / (S * sd)
    return gamma * _time_bracket(m, d1, d2, sd, t, -1.0)


def np_veta(m: Carry, S, K, t, sigma):
    sqt = np.sqrt(t)
    sd = sigma * sqt
    d1 = _d1(m, S, K, t, sigma, sd)
    d2 = d1 - sd
    vega = _spot(m, S, t) * sqt * pdf(d1)
    return vega * _time_bracket(m, d1, d2, sd, t, 1.0)


def np_ultima(m: Carry, S, K, t, sigma):
    sqt = np.sqrt(t)
    sd = sigma * sqt
    d1 = _d1(m, S, K, t, sigma, sd)
    d2 = d1 - sd
    vega = _spot(m, S, t) * sqt * pdf(d1)
    d1d2 = d1 * d2
    return -vega / sigma**2 * (d1d2 * (1.0 - d1d2) + d1 * d1 + d2 * d2)


def np_dual_delta(m: Carry, S, K, t, sigma):
    sd = sigma * np.sqrt(t)
    d2 = _d1(m, S, K, t, sigma, sd) - sd
    return -np.exp(-m.r * t) * ndtr(d2)


def np_dual_gamma(m: Carry, S, K, t, sigma):
    sd = sigma * np.sqrt(t)
    d2 = _d1(m, S, K, t, sigma, sd) - sd
    return np.exp(-m.r * t) * pdf(d2) / (K * sd)


NUMPY_FORMULAS: dict[str, Callable] = {
    quantity: globals()[f"np_{quantity}"] for quantity in QUANTITIES
}


def numpy_closed_form(model: str, quantity: str) -> Callable:
    formula, carry = NUMPY_FORMULAS[quantity], CARRY[model]
    return lambda S, K, t, sigma: formula(carry, S, K, t, sigma)


def _bs_call(S, K, t, r, sigma):
    sd = sigma * math.sqrt(t)
    d1 = (math.log(S / K) + (r + 0.5 * sigma * sigma) * t) / sd
    return S * ndtr(d1) - K * math.exp(-r * t) * ndtr(d1 - sd)


def brentq_implied_volatility(price, S, K, t):
    """Per option, scipy.optimize.brentq on [1e-6, 5]; NaN where the bracket
    does not straddle the price."""
    out = np.empty(len(price))
    for i in range(len(price)):
        p, s, k, tt = float(price[i]), float(S[i]), float(K[i]), float(t[i])
        try:
            out[i] = brentq(lambda v: _bs_call(s, k, tt, R, v) - p, 1e-6, 5.0)
        except ValueError:
            out[i] = math.nan
    return out


# ---- comparisons ----------------------------------------------------------------


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and bool(np.array_equal(a.view(np.uint64), b.view(np.uint64)))


def relative_diff(ours: np.ndarray, theirs: np.ndarray) -> float:
    """max |theirs - ours| / max(|ours|, 1e-6 max|ours|) over the elements:
    relative per element, with a floor so that values crossing zero (or
    underflowing) are measured against the quantity's scale. inf where one
    side is finite and the other not."""
    if ours.shape != theirs.shape:
        return math.inf
    finite = np.isfinite(ours)
    if not np.array_equal(finite, np.isfinite(theirs)):
        return math.inf
    if not finite.any():
        return 0.0
    a, b = ours[finite], theirs[finite]
    floor = 1e-6 * float(np.max(np.abs(a)))
    if floor == 0.0:
        return float(np.max(np.abs(b)))
    return float(np.max(np.abs(b - a) / np.maximum(np.abs(a), floor)))


# ---- the table ------------------------------------------------------------------

HEADERS = [
    "quantity",
    "n",
    "kv ns/el",
    "NumPy/SciPy ns/el",
    "loop ns/el",
    "NumPy/kv",
    "loop/kv",
    "target",
    "status",
    "notes",
]
DASH = "-"
LEFT_ALIGNED = (0, 7, 9)  # quantity, target, notes


@dataclass
class Table:
    """Rows of measurements, with section titles and warnings as rows of
    their own (a title in the first cell, the others empty)."""

    rows: list[list[str]] = field(default_factory=list)
    titles: set[int] = field(default_factory=set)  # indices of title and warning rows
    missed: list[str] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)

    def section(self, title: str) -> None:
        self.titles.add(len(self.rows))
        self.rows.append([title] + [""] * (len(HEADERS) - 1))

    def row(
        self,
        quantity: str,
        n: int | str,
        kv: str,
        numpy: str,
        loop: str,
        numpy_ratio: float | None,
        loop_ratio: float | None,
        target: str,
        met: bool | None,
        notes: str = "",
    ) -> None:
        status = DASH if met is None else ("meets" if met else "misses")
        if met is False:
            self.missed.append(f"{quantity} ({target})")
        self.rows.append(
            [
                quantity,
                f"{n:,}" if isinstance(n, int) else n,
                kv,
                numpy,
                loop,
                ratio_text(numpy_ratio),
                ratio_text(loop_ratio),
                target,
                status,
                notes,
            ]
        )

    def warning(self, text: str) -> None:
        self.warnings.append(text)
        self.titles.add(len(self.rows))
        self.rows.append([f"WARNING: {text}"] + [""] * (len(HEADERS) - 1))

    def text(self) -> str:
        """Plain text: columns sized by the measurement rows; a title row is
        printed as one line across them."""
        data = [row for i, row in enumerate(self.rows) if i not in self.titles]
        widths = [max(len(cell) for cell in column) for column in zip(HEADERS, *data)]

        def line(cells: list[str]) -> str:
            return "  ".join(
                cell.ljust(width) if i in LEFT_ALIGNED else cell.rjust(width)
                for i, (cell, width) in enumerate(zip(cells, widths))
            ).rstrip()

        out = [line(HEADERS), "  ".join("-" * width for width in widths)]
        for i, row in enumerate(self.rows):
            out.append(row[0] if i in self.titles else line(row))
        return "\n".join(out)

    def markdown(self) -> str:
        rows = [
            [f"**{row[0]}**", *row[1:]] if i in self.titles else row
            for i, row in enumerate(self.rows)
        ]
        return _common.markdown_table(HEADERS, rows, left_aligned=LEFT_ALIGNED)


def ratio_text(value: float | None) -> str:
    return DASH if value is None else f"{value:.2f}x"


def ns_text(value: float | None) -> str:
    return DASH if value is None else _common.fmt_ns(value)


def markdown_escape_lead(text: str) -> str:
    """A leading '*' would start a nested list item or emphasis in Markdown."""
    return "\\" + text if text.startswith("*") else text


def progress(message: str) -> None:
    if sys.stderr.isatty():
        sys.stderr.write(f"\r\033[K{message}")
        sys.stderr.flush()


# ---- sections -------------------------------------------------------------------


def random_options(n: int, seed: int = SEED):
    rng = np.random.default_rng(seed)
    S = rng.uniform(50.0, 150.0, n)
    K = rng.uniform(50.0, 150.0, n)
    t = rng.uniform(0.05, 2.0, n)
    sigma = rng.uniform(0.05, 1.0, n)
    return S, K, t, sigma


def time_closed_form(
    table: Table,
    loops: Loops,
    cfg: Config,
    model: str,
    quantity: str,
    S,
    K,
    t,
    sigma,
    target: float,
    show: str | None = None,
) -> None:
    """One row: kestrovane and the loop in alternating rounds, NumPy in rounds
    of its own; outputs compared first (this run is also the warm-up)."""
    n = len(S)
    label = show or function_name(model, quantity)
    progress(f"{label} ...")
    kv_fn = kv_closed_form(model, quantity)
    np_fn = numpy_closed_form(model, quantity) if ndtr is not None else None

    def kv_call():
        return kv_fn(S, K, t, sigma)

    def loop_call():
        return loops.closed_form(model, quantity, S, K, t, sigma)

    ours = kv_call()
    identical = same_bits(ours, loops.to_array(loop_call(), n))
    diff = relative_diff(ours, np_fn(S, K, t, sigma)) if np_fn is not None else None
    del ours

    seconds = _common.best_seconds(
        {"kv": (kv_call, None), "loop": (loop_call, loops.free)}, cfg.repeat
    )
    if np_fn is not None:
        seconds |= _common.best_seconds(
            {"np": (lambda: np_fn(S, K, t, sigma), None)}, cfg.numpy_repeat
        )
    kv_ns = seconds["kv"] / n * 1e9
    loop_ns = seconds["loop"] / n * 1e9
    np_ns = seconds["np"] / n * 1e9 if "np" in seconds else None
    numpy_ratio = _common.ratio(np_ns, kv_ns)
    met = (
        None
        if numpy_ratio is None
        else (numpy_ratio >= target if target > 1.0 else numpy_ratio > 1.0)
    )
    notes = "bits = loop" if identical else "bits DIFFER from loop"
    if diff is not None:
        notes += f"; NumPy {diff:.0e}"
    table.row(
        label,
        n,
        ns_text(kv_ns),
        ns_text(np_ns),
        ns_text(loop_ns),
        numpy_ratio,
        _common.ratio(loop_ns, kv_ns),
        f"NumPy/kv >= {target:.2f}x" if target > 1.0 else "NumPy/kv > 1.00x",
        met,
        notes,
    )
    if not identical:
        table.warning(
            f"{label}: kestrovane and the loop differ in some bits; the installed "
            "module and the headers in this checkout may have drifted apart"
        )
    if diff is not None and not diff <= AGREEMENT:
        table.warning(
            f"{label}: the NumPy formula differs from kestrovane by {diff:.1e} "
            f"(relative, limit {AGREEMENT:.0e}); its time is not comparable"
        )


def section_random(table: Table, loops: Loops, cfg: Config, data) -> None:
    S, K, t, sigma = data
    table.section(f"1. {cfg.n:,} random calls: price and Greeks (_array functions)")
    for model in MODELS:
        for quantity in cfg.section1[model]:
            time_closed_form(
                table,
                loops,
                cfg,
                model,
                quantity,
                S,
                K,
                t,
                sigma,
                1.3 if quantity in STRONG_TARGET else 1.0,
            )


def chain_options(cfg: Config):
    per_expiry = cfg.n // len(cfg.chain_expiries)
    t = np.repeat(np.array(cfg.chain_expiries), per_expiry)
    K = np.tile(np.linspace(50.0, 150.0, per_expiry), len(cfg.chain_expiries))
    S = np.full(len(t), 100.0)
    m = np.log(K / 100.0)
    sigma = 0.2 - 0.1 * m + 0.3 * m * m / np.sqrt(t / 0.25 + 1.0)  # skewed smile, flatter later
    return S, K, t, sigma, per_expiry


def section_chain(table: Table, loops: Loops, cfg: Config) -> None:
    S, K, t, sigma, per_expiry = chain_options(cfg)
    table.section(
        f"2. Option chain: {len(cfg.chain_expiries)} expiries x {per_expiry:,} "
        "strikes in 50..150, S = 100, smile"
    )
    for model in ("bsm", "bs"):
        for quantity in ("price", "delta"):
            time_closed_form(
                table,
                loops,
                cfg,
                model,
                quantity,
                S,
                K,
                t,
                sigma,
                2.0,
                show=f"chain: {function_name(model, quantity)}",
            )


def section_implied_vol(table: Table, loops: Loops, cfg: Config, data) -> None:
    S, K, t, sigma = data
    n = len(S)
    label = "bs_implied_volatility_array"
    progress(f"{label} ...")
    price = kestrovane.bs_black_scholes_array("c", S, K, t, R, sigma)
    table.section(
        f"3. Implied volatility: {n:,} prices from bs_black_scholes_array at the random sigmas"
    )

    def kv_call():
        return kestrovane.bs_implied_volatility_array(price, S, K, t, R, "c")

    def loop_call():
        return loops.implied_volatility(price, S, K, t)

    ours = kv_call()
    theirs = loops.to_array(loop_call(), n)
    identical = same_bits(ours, theirs)
    failed = int(np.isnan(theirs).sum())
    recovered = int((np.abs(ours - sigma) <= 1e-8).sum())
    seconds = _common.best_seconds(
        {"kv": (kv_call, None), "loop": (loop_call, loops.free)}, cfg.iv_repeat
    )
    kv_ns = seconds["kv"] / n * 1e9
    loop_ns = seconds["loop"] / n * 1e9
    loop_ratio = loop_ns / kv_ns
    table.row(
        label,
        n,
        ns_text(kv_ns),
        DASH,
        ns_text(loop_ns),
        None,
        loop_ratio,
        "loop/kv >= 1.25x",
        loop_ratio >= 1.25,
        ("bits = loop" if identical else "bits DIFFER from loop")
        + f"; {failed:,} NaN (solve failed); {recovered:,} within 1e-8 of sigma",
    )
    if not identical:
        table.warning(f"{label}: kestrovane and the loop of the scalar solver differ in some bits")

    if brentq is None:
        return
    progress("scipy.optimize.brentq ...")
    sub = slice(0, cfg.n_brentq)
    args = (price[sub].copy(), S[sub].copy(), K[sub].copy(), t[sub].copy())
    reference = brentq_implied_volatility(*args)
    agree = int((np.abs(reference - ours[sub]) <= 1e-6).sum())
    np_seconds = _common.best_seconds(
        {"np": (lambda: brentq_implied_volatility(*args), None)}, cfg.brentq_repeat
    )["np"]
    np_ns = np_seconds / cfg.n_brentq * 1e9
    numpy_ratio = np_ns / kv_ns
    table.row(
        f"{label} vs brentq per option",
        f"{cfg.n_brentq:,}*",
        ns_text(kv_ns),
        ns_text(np_ns),
        DASH,
        numpy_ratio,
        None,
        "far ahead (>= 10x)",
        numpy_ratio >= 10,
        f"brentq within 1e-6 of kv on {agree:,} of {cfg.n_brentq:,}",
    )


def section_scaling(table: Table, loops: Loops, cfg: Config, data) -> None:
    table.section("4. Scaling: bsm_delta_array ns/element by n")
    largest = max(cfg.scaling_sizes)
    if largest > len(data[0]):
        progress(f"generating {largest:,} options ...")
        data = random_options(largest, SEED + 1)
    S, K, t, sigma = data
    per_element: dict[int, float] = {}
    for n in cfg.scaling_sizes:
        progress(f"bsm_delta_array n={n:,} ...")
        args = tuple(np.ascontiguousarray(a[:n]) for a in (S, K, t, sigma))
        calls = max(1, 1_000_000 // n)
        fn = kestrovane.bsm_delta_array
        loop_fn = loops.lib.loop_bsm_delta
        pointers = [a.ctypes.data for a in args]
        free = loops.lib.loop_free

        if calls == 1:
            cases = {
                "kv": (lambda: fn("c", args[0], args[1], args[2], R, args[3], Q), None),
                "loop": (
                    lambda: loop_fn(pointers[0], pointers[1], pointers[2], R, pointers[3], Q, n, 0),
                    free,
                ),
            }
        else:  # many calls per round; each output is dropped (freed) as it comes

            def kv_round():
                for _ in range(calls):
                    fn("c", args[0], args[1], args[2], R, args[3], Q)

            def loop_round():
                for _ in range(calls):
                    free(loop_fn(pointers[0], pointers[1], pointers[2], R, pointers[3], Q, n, 0))

            cases = {"kv": (kv_round, None), "loop": (loop_round, None)}
        kv_fn = cases["kv"][0]
        warm = kv_fn()
        del warm
        repeat = cfg.large_repeat if n >= 10**7 else cfg.repeat
        seconds = _common.best_seconds(cases, repeat)
        kv_ns = seconds["kv"] / (n * calls) * 1e9
        loop_ns = seconds["loop"] / (n * calls) * 1e9
        per_element[n] = kv_ns
        # Fresh pages for the output (first-touch faults) are part of the cost.
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        warm = kv_fn()
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
        del warm
        table.row(
            f"bsm_delta_array, n = 10^{round(math.log10(n))}",
            n,
            ns_text(kv_ns),
            DASH,
            ns_text(loop_ns),
            None,
            loop_ns / kv_ns,
            DASH,
            None,
            f"{calls:,} calls per round"
            if calls > 1
            else f"1 call per round; {faults:,} page faults per call",
        )
    spread = max(per_element.values()) / min(per_element.values())
    table.row(
        "bsm_delta_array, max/min ns/el over n",
        DASH,
        DASH,
        DASH,
        DASH,
        None,
        None,
        "flat: <= 1.25x",
        spread <= 1.25,
        f"max/min = {spread:.2f}x",
    )

    progress("one-element array call ...")
    one = {
        name: np.array([value])
        for name, value in (("S", 100.0), ("K", 95.0), ("t", 0.7), ("sigma", 0.25))
    }
    ns = {"kv": kestrovane, **one}
    calls = _common.best_ns_per_call(
        {
            "array": ("kv.bsm_delta_array('c', S, K, t, 0.03, sigma, 0.02)", ns),
            "scalar": ("kv.bsm_delta('c', 100.0, 95.0, 0.7, 0.03, 0.25, 0.02)", ns),
            "empty": ("pass", ns),
        },
        repeat=9,
        seconds_per_repeat=0.05,
    )
    array_over_scalar = calls["array"] / calls["scalar"]
    table.row(
        "bsm_delta (scalar call)",
        1,
        ns_text(calls["scalar"]),
        DASH,
        DASH,
        None,
        None,
        DASH,
        None,
        "ns per call",
    )
    table.row(
        "bsm_delta_array, one element",
        1,
        ns_text(calls["array"]),
        DASH,
        DASH,
        None,
        None,
        "<= 2.00x scalar",
        array_over_scalar <= 2.0,
        f"ns per call; {array_over_scalar:.2f}x the scalar call",
    )


# ---- peak memory, each measurement in a fresh process ---------------------------


def _status_kib(field_name: str) -> int | None:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field_name + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def memory_probe(which: str, quantity: str, n: int) -> dict:
    """In this (fresh) process: build the inputs, call once, and report the
    peak memory the call took beyond what was resident before it, by the
    resident-set high-water mark (reset just before the call where Linux
    allows) and by tracemalloc."""
    import tracemalloc

    S, K, t, sigma = random_options(n)
    fn = kv_closed_form("bsm", quantity) if which == "kv" else numpy_closed_form("bsm", quantity)
    fn(S[:16].copy(), K[:16].copy(), t[:16].copy(), sigma[:16].copy())  # imports, C-API lookup
    gc.collect()
    tracemalloc.start()
    maxrss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux
    rss_before = _status_kib("VmRSS")
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # resets VmHWM to the current resident set
        method = "VmHWM"
    except OSError:
        method = "ru_maxrss"
    traced_before = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    out = fn(S, K, t, sigma)
    traced_peak = tracemalloc.get_traced_memory()[1]
    if method == "VmHWM" and rss_before is not None:
        rss_extra = (_status_kib("VmHWM") - rss_before) * 1024
    else:  # a lower bound when building the inputs peaked higher than now
        maxrss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        rss_extra = max(0, maxrss_after - max(maxrss_before, rss_before or 0)) * 1024
    tracemalloc.stop()
    return {
        "rss_extra": rss_extra,
        "traced_extra": traced_peak - traced_before,
        "method": method,
        "output": out.nbytes,
        "inputs": 4 * S.nbytes,
    }


def run_memory_probe(which: str, quantity: str, n: int) -> dict:
    result = subprocess.run(
        [sys.executable, __file__, "--memory-probe", which, quantity, str(n)],
        capture_output=True,
        text=True,
        check=False,
    )
    if result.returncode != 0:
        raise SystemExit(f"memory probe ({which}, {quantity}, {n}) failed:\n{result.stderr}")
    return json.loads(result.stdout.strip().splitlines()[-1])


def section_memory(table: Table, cfg: Config) -> None:
    n = cfg.memory_n
    mb = 1e-6
    table.section(
        f"5. Peak memory beyond the inputs, n = {n:,} (MB in place of ns/element; "
        "each in a fresh process)"
    )
    for quantity in cfg.memory_quantities:
        name = function_name("bsm", quantity)
        progress(f"memory: {name} ...")
        ours = run_memory_probe("kv", quantity, n)
        theirs = run_memory_probe("numpy", quantity, n) if ndtr is not None else None
        kv_mb = ours["rss_extra"] * mb
        output_mb = ours["output"] * mb
        np_mb = theirs["traced_extra"] * mb if theirs else None
        notes = (
            f"inputs {ours['inputs'] * mb:.0f} MB; kv: {ours['method']} "
            f"(tracemalloc sees {ours['traced_extra'] * mb:.1f} MB)"
        )
        if theirs:
            notes += f"; NumPy: tracemalloc ({theirs['method']} {theirs['rss_extra'] * mb:.0f} MB)"
        table.row(
            f"peak memory: {name}",
            n,
            f"{kv_mb:.1f} MB",
            DASH if np_mb is None else f"{np_mb:.1f} MB",
            DASH,
            _common.ratio(np_mb, kv_mb),
            None,
            f"kv = one output ({output_mb:.0f} MB)",
            kv_mb <= output_mb * 1.02 + 1.0,
            notes,
        )


def section_book(table: Table, cfg: Config, data) -> None:
    """The whole-book API against the _array calls it replaces (kv ns/el is
    the whole-book call, NumPy/kv holds the ratio whole-book / _array)."""
    table.section(
        f"7. Whole book: kestrovane.greeks and implied_volatility, {cfg.n:,} random "
        "options (ratios: whole-book time / the _array call's)"
    )
    try:
        import kestrovane._book  # noqa: F401
    except ImportError:
        table.warning("kestrovane._book is not built: whole-book rows skipped")
        return
    S, K, t, sigma = data
    n = len(S)
    rng = np.random.default_rng(SEED + 7)
    calls = rng.random(n) < 0.5
    rates = rng.uniform(0.0, 0.06, n)
    one = dict(S=S, K=K, t=t, sigma=sigma, r=R, q=Q)
    price = kestrovane.bs_black_scholes_array("c", S, K, t, R, sigma)

    def row(label, book_call, array_call, target, limit, at_least=False):
        progress(f"{label} ...")
        book_call(), array_call()  # warm-up
        seconds = _common.best_seconds(
            {"book": (book_call, None), "array": (array_call, None)},
            cfg.iv_repeat if "implied" in label else cfg.repeat,
        )
        ratio = seconds["book"] / seconds["array"]
        met = ratio >= limit if at_least else ratio <= limit
        table.row(
            label,
            n,
            ns_text(seconds["book"] / n * 1e9),
            ns_text(seconds["array"] / n * 1e9),
            DASH,
            ratio,
            None,
            target,
            met,
            "NumPy/SciPy ns/el column: the comparison call",
        )

    bsm = kestrovane.bsm_black_scholes_merton_array
    row(
        "greeks, all 16, threads=1 vs one bsm_black_scholes_merton_array",
        lambda: kestrovane.greeks("bsm", flag="c", threads=1, **one),
        lambda: bsm("c", S, K, t, R, sigma, Q),
        "<= 3.00x",
        3.0,
    )
    row(
        "greeks delta, scalar r and q, one flag vs bsm_delta_array",
        lambda: kestrovane.greeks("bsm", flag="c", quantities=["delta"], threads=1, **one),
        lambda: kestrovane.bsm_delta_array("c", S, K, t, R, sigma, Q),
        "<= 1.15x",
        1.15,
    )
    row(
        "greeks delta, per-option flags (bool) and r vs bsm_delta_array",
        lambda: kestrovane.greeks(
            "bsm", flag=calls, quantities=["delta"], threads=1, **{**one, "r": rates}
        ),
        lambda: kestrovane.bsm_delta_array("c", S, K, t, R, sigma, Q),
        "<= 1.25x",
        1.25,
    )
    row(
        "implied_volatility, threads=1 vs bs_implied_volatility_array",
        lambda: kestrovane.implied_volatility(
            "bs", price=price, S=S, K=K, t=t, r=R, flag="c", threads=1
        ),
        lambda: kestrovane.bs_implied_volatility_array(price, S, K, t, R, "c"),
        "<= 1.10x",
        1.1,
    )
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    row(
        f"greeks, all 16, threads=None ({cores} cores) vs threads=1 (ratio: 1 / None)",
        lambda: kestrovane.greeks("bsm", flag="c", threads=1, **one),
        lambda: kestrovane.greeks("bsm", flag="c", **one),
        ">= 1.80x",
        1.8,
        at_least=True,
    )
    row(
        f"implied_volatility, threads=None ({cores} cores) vs threads=1 (ratio: 1 / None)",
        lambda: kestrovane.implied_volatility(
            "bs", price=price, S=S, K=K, t=t, r=R, flag="c", threads=1
        ),
        lambda: kestrovane.implied_volatility("bs", price=price, S=S, K=K, t=t, r=R, flag="c"),
        ">= 1.80x",
        1.8,
        at_least=True,
    )

    progress("whole-book peak memory ...")
    import tracemalloc

    gc.collect()
    tracemalloc.start()
    out = kestrovane.greeks("bsm", flag="c", S=100.0, K=K, t=t, r=R, sigma=sigma, q=Q)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    outputs = sum(a.nbytes for a in out.values())
    del out
    table.row(
        "greeks, all 16, scalar S r q: peak memory / outputs",
        n,
        f"{peak / 1e6:.1f} MB",
        DASH,
        DASH,
        peak / outputs,
        None,
        "<= 1.10x",
        peak <= outputs * 1.1,
        f"outputs {outputs / 1e6:.0f} MB; tracemalloc",
    )


def section_math(table: Table, loops: Loops, cfg: Config, data) -> None:
    """What one exp or log costs: the platform's, one call per element (what
    exact results are built from), against NumPy's vectorised ufunc."""
    S, K, t, sigma = data
    table.section(
        f"6. The platform's exp and log, one call per element, against NumPy's (n = {cfg.n:,})"
    )
    sd = sigma * np.sqrt(t)
    d1 = (np.log(S / K) + t * (sigma * (sigma * 0.5) + R)) / sd
    cases = {
        "exp": ("exp(-d1*d1/2), the density's", d1 * (d1 * -0.5), np.exp),
        "log": ("log(S/K), d1's", S / K, np.log),
    }
    for name, (what, x, ufunc) in cases.items():
        progress(f"{name} ...")
        seconds = _common.best_seconds(
            {"loop": (lambda: loops.math(name, x), loops.free), "np": (lambda: ufunc(x), None)},
            cfg.repeat,
        )
        loop_ns, np_ns = (seconds[k] / len(x) * 1e9 for k in ("loop", "np"))
        exact = loops.to_array(loops.math(name, x), len(x))
        differ = int((exact.view(np.uint64) != ufunc(x).view(np.uint64)).sum())
        table.row(
            f"{name}: {what}",
            len(x),
            DASH,
            ns_text(np_ns),
            ns_text(loop_ns),
            None,
            None,
            DASH,
            None,
            f"platform {name} costs {loop_ns / np_ns:.1f}x NumPy's; NumPy's differs "
            f"in the last bits on {differ:,} of {len(x):,}",
        )


# ---- main -----------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--quick", action="store_true", help="reduced run: n = 100,000, fewer rows (~10 s)"
    )
    parser.add_argument(
        "--markdown", metavar="FILE", type=Path, help="also write the table as Markdown to FILE"
    )
    parser.add_argument(
        "--memory-probe", nargs=3, metavar=("WHICH", "QUANTITY", "N"), help=argparse.SUPPRESS
    )
    args = parser.parse_args()
    if args.memory_probe:
        which, quantity, n = args.memory_probe
        print(json.dumps(memory_probe(which, quantity, int(n))))
        return

    cfg = QUICK if args.quick else FULL
    started = time.perf_counter()
    _common.print_environment()
    load_at_start = _common.load_average()
    progress("building the loop library ...")
    loops = Loops()
    data = random_options(cfg.n)

    table = Table()
    section_random(table, loops, cfg, data)
    section_chain(table, loops, cfg)
    section_implied_vol(table, loops, cfg, data)
    section_scaling(table, loops, cfg, data)
    section_memory(table, cfg)
    section_math(table, loops, cfg, data)
    section_book(table, cfg, data)
    progress("")
    elapsed = time.perf_counter() - started
    load_at_end = _common.load_average()

    import platform
    from importlib.metadata import PackageNotFoundError, version

    try:
        scipy_version = version("scipy")
    except PackageNotFoundError:
        scipy_version = "n/a"
    preamble = (
        f"kestrovane {kestrovane.__version__}, Python {platform.python_version()}, "
        f"NumPy {np.__version__}, SciPy {scipy_version}; "
        f"{platform.machine()}, {os.cpu_count()} CPUs. "
        f"Calls (flag 'c'); random options: S, K in [50, 150], t in [0.05, 2], sigma in "
        f"[0.05, 1], r = {R}, q = {Q} (bsm), seed {SEED}. Minimum ns per element over "
        f"interleaved rounds: {cfg.repeat} (kestrovane and loop alternating), "
        f"{cfg.numpy_repeat} (NumPy/SciPy); implied volatility {cfg.iv_repeat}, 10^7 elements "
        f"{cfg.large_repeat}."
    )
    notes = [
        "NumPy/kv and loop/kv above 1 mean kestrovane is faster.",
        "loop: one call per element of the same inline routine in a bare C++ loop "
        f"({' '.join(LOOP_CXX_FLAGS)}); 'bits = loop' means every element's bits agree "
        "(NaN as the default quiet NaN).",
        "'NumPy 3e-16' (notes): the NumPy formula's largest difference from kestrovane, "
        "max |NumPy - kv| / max(|kv|, 1e-6 max|kv|) over all elements; "
        f"above {AGREEMENT:.0e} the row gets a warning.",
        f"* per-option scipy.optimize.brentq on [1e-6, 5], first {cfg.n_brentq:,} options only.",
        f"Load average at start {load_at_start}, at end {load_at_end}; "
        f"the run took {elapsed:.0f} s.",
    ]
    if max(cfg.scaling_sizes) >= 10**7:
        notes.insert(
            -1,
            "Scaling: an output of 10^7 doubles (80 MB) is fresh memory from the "
            "system on every call, and its first-touch page faults are part of the "
            "cost (kestrovane asks for huge pages for outputs of 32 MiB and more, "
            "hence about a hundred faults, not 19,500); smaller outputs reuse freed heap.",
        )
    print()
    print(preamble)
    print(table.text())
    print()
    for note in notes:
        print(note)
    if table.missed:
        print("Targets missed: " + "; ".join(table.missed))
    if args.markdown:
        text = (
            preamble
            + "\n\n"
            + table.markdown()
            + "\n"
            + "\n".join("- " + markdown_escape_lead(note) for note in notes)
            + "\n"
        )
        args.markdown.write_text(text)
        print(f"Markdown written to {args.markdown}")


if __name__ == "__main__":
    main()
