"""Shared by the benchmark scripts: building small native libraries into
bench/_build/, interleaved minimum-of-rounds timing, one table printer (text
and Markdown), and the NumPy/SciPy reference formulas both scripts time.

Nothing here asserts on time: the scripts only measure and print.
"""

from __future__ import annotations

import ctypes
import functools
import gc
import hashlib
import math
import os
import platform
import shlex
import subprocess
import time
import timeit
from pathlib import Path

try:
    import numpy as np
    from scipy.optimize import brentq
    from scipy.special import ndtr
except ImportError:  # NumPy and SciPy are only yardsticks
    brentq = ndtr = None

BUILD_DIR = Path(__file__).resolve().parent / "_build"
SOURCE_DIR = BUILD_DIR.parent.parent / "src"

# The flags the module is built with (CMake Release adds -O3 -DNDEBUG).
MODULE_CXX_FLAGS = ["-std=c++20", "-O3", "-DNDEBUG", "-ffp-contract=off", "-fno-fast-math"]
MODULE_CXX_FLAGS += ["-fno-math-errno"]


# ---- building -------------------------------------------------------------------


@functools.cache
def _compiler_identity(compiler: str) -> str:  # a compiler upgrade rebuilds
    out = subprocess.run([compiler, "--version"], capture_output=True, text=True).stdout
    return out.splitlines()[0] if out else compiler


def build_library(name: str, source: str, suffix: str, command: list[str], depends_on=()) -> Path:
    """bench/_build/<name>.so by `command + ['-o', out, source file]`, unless built
    before from the same source, command, compiler version and `depends_on` texts."""
    BUILD_DIR.mkdir(parents=True, exist_ok=True)
    digest = hashlib.sha256("\0".join([source, *command, _compiler_identity(command[0])]).encode())
    for dep in sorted(set(depends_on)):
        digest.update(str(dep).encode() + dep.read_bytes())
    out, stamp = BUILD_DIR / f"{name}.so", BUILD_DIR / f"{name}.stamp"
    if out.exists() and stamp.exists() and stamp.read_text() == digest.hexdigest():
        return out
    src, tmp = BUILD_DIR / f"{name}{suffix}", BUILD_DIR / f".{name}.{os.getpid()}.so"
    src.write_text(source)
    argv = [*command, "-o", str(tmp), str(src)]
    result = subprocess.run(argv, capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"building {name} failed:\n  {shlex.join(argv)}\n{result.stderr}")
    os.replace(tmp, out)
    stamp.write_text(digest.hexdigest())
    return out


def build_cxx(name: str, source: str, flags=(), include_dirs=()) -> ctypes.CDLL:
    """A C++ library built with the module's flags and src/ on the include
    path, loaded through ctypes; rebuilt when the model headers (src/models,
    src/math, src/simd, src/iv) or `include_dirs` change."""
    command = [os.environ.get("CXX", "g++"), *MODULE_CXX_FLAGS, *flags]
    command += ["-shared", "-fPIC", f"-I{SOURCE_DIR}"]
    deps = [
        p
        for d in ("models", "math", "simd", "iv", *include_dirs)
        for p in (SOURCE_DIR / d).iterdir()
    ]
    return ctypes.CDLL(str(build_library(name, source, ".cpp", command, deps)))


# ---- timing ---------------------------------------------------------------------


def best_ns_per_call(cases: dict[str, str], namespace: dict, repeat: int, seconds: float):
    """Minimum ns per execution of each statement over `repeat` interleaved rounds of ~`seconds`."""
    timers = {}
    for label, stmt in cases.items():
        timer = timeit.Timer(stmt, globals=namespace)
        number, elapsed = timer.autorange()
        timers[label] = (timer, max(1, int(number * seconds / elapsed)))
    best = dict.fromkeys(cases, math.inf)
    for _ in range(repeat):
        for label, (timer, number) in timers.items():
            best[label] = min(best[label], timer.timeit(number) / number * 1e9)
    return best


def best_seconds(cases: dict, repeat: int, clock=time.perf_counter_ns) -> dict[str, float]:
    """Minimum wall time of one call of each case over `repeat` rounds, the
    garbage collector off. A case is (call, release): release, if not None,
    gets the call's result after the clock stopped. The order rotates from
    round to round, so that the fresh pages a call gets after a neighbour
    shrank the heap are not charged to the same case every time. `clock`
    (nanoseconds) may be time.process_time_ns for one-thread calls on a
    machine whose cores are shared."""
    best = dict.fromkeys(cases, math.inf)
    items = list(cases.items())
    enabled = gc.isenabled()
    gc.disable()
    try:
        for round_index in range(repeat):
            shift = round_index % len(items)
            for label, (call, release) in items[shift:] + items[:shift]:
                start = clock()
                result = call()
                best[label] = min(best[label], (clock() - start) * 1e-9)
                if release is not None:
                    release(result)
                del result
    finally:
        if enabled:
            gc.enable()
    return best


# ---- printing -------------------------------------------------------------------


def fmt_ns(value: float | None) -> str:
    if value is None or math.isnan(value):
        return "-"
    return f"{value:,.0f}" if value >= 1e5 else f"{value:,.1f}"


def fmt_ratio(value: float | None) -> str:
    return "-" if value is None or math.isnan(value) else f"{value:.2f}x"


class Table:
    """Rows of cells under fixed headers; a plain string is a title line."""

    def __init__(self, headers: list[str], left: tuple[int, ...] = (0,)) -> None:
        self.headers, self.left, self.rows = headers, set(left), []

    def add(self, *cells: object) -> None:
        self.rows.append([str(cell) for cell in cells])

    def text(self) -> str:
        data = [row for row in self.rows if isinstance(row, list)]
        widths = [max(map(len, column)) for column in zip(self.headers, *data)]

        def line(cells):
            return "  ".join(
                c.ljust(w) if i in self.left else c.rjust(w)
                for i, (c, w) in enumerate(zip(cells, widths))
            ).rstrip()

        lines = [line(self.headers), "  ".join("-" * w for w in widths)]
        return "\n".join(lines + [r if isinstance(r, str) else line(r) for r in self.rows])

    def markdown(self) -> str:
        def line(cells):
            return "| " + " | ".join(c.replace("|", "\\|") for c in cells) + " |"

        blank = [""] * (len(self.headers) - 1)
        rule = "|" + "|".join(":---" if i in self.left else "---:" for i in range(len(blank) + 1))
        rows = [line([f"**{r}**", *blank]) if isinstance(r, str) else line(r) for r in self.rows]
        return "\n".join([line(self.headers), rule + "|", *rows]) + "\n"


def describe_run() -> str:
    """Versions, machine and load average, for the first line of a run."""
    import kestrovane

    versions = [f"kestrovane {kestrovane.__version__}", f"Python {platform.python_version()}"]
    if ndtr is not None:
        import scipy

        versions += [f"NumPy {np.__version__}", f"SciPy {scipy.__version__}"]
    load = ", ".join(f"{value:.2f}" for value in os.getloadavg())
    return f"{', '.join(versions)}; {platform.machine()}, {os.cpu_count()} CPUs, load {load}"


# ---- the NumPy/SciPy reference formulas -----------------------------------------
# A call's closed forms as a user would write them with scipy.special.ndtr, in
# the library's conventions (theta per calendar day, vega and rho per
# percentage point, charm, color and veta per year of growing time), in the
# cost-of-carry form: bsm has dividend yield q and carry b = r - q, bs q = 0
# and b = r, black76 (S = F) q = r and b = 0. Terms that vanish for a model are
# left out, as a user writing that model would. xp is numpy for arrays, math
# for one option. Written plainly -- products left to right, d1, d2 and sd
# named -- which ran as fast as any variant tried: NumPy's time depends on
# how many fresh temporaries a formula makes, not only on its operations.

SQRT_2PI = math.sqrt(2.0 * math.pi)


class Reference:
    """The formulas for one model, rate and yield; xp is numpy or math."""

    def __init__(self, model: str, r: float, q: float = 0.0, xp=None) -> None:
        q = r if model == "black76" else q if model == "bsm" else 0.0
        self.r, self.q, self.b, self.forward = r, q, r - q, model == "black76"
        xp = np if xp is None else xp
        self.exp, self.log, self.sqrt = xp.exp, xp.log, xp.sqrt

    def pdf(self, x):
        return self.exp(-0.5 * x * x) / SQRT_2PI

    def d1(self, S, K, t, sigma, sd):
        drift = (self.b + 0.5 * sigma**2) * t if self.b else 0.5 * sigma**2 * t
        return (self.log(S / K) + drift) / sd

    def d12(self, S, K, t, sigma):
        sd = sigma * self.sqrt(t)
        d1 = self.d1(S, K, t, sigma, sd)
        return d1, d1 - sd, sd

    def disc_q(self, t, x):  # exp(-q t) x, or x for q = 0
        return self.exp(-self.q * t) * x if self.q else x

    def spot(self, S, t):  # S exp(-q t), or S for q = 0
        return S * self.exp(-self.q * t) if self.q else S

    def bracket(self, d1, d2, sd, t, one):  # color's (one = -1) and veta's (+1)
        x = (d1 * d2 + one) / (2.0 * t)
        x = x - self.b * d1 / sd if self.b else x
        return x - self.q if self.q else x

    def price(self, S, K, t, sigma):
        d1, d2, _ = self.d12(S, K, t, sigma)
        if self.forward:
            return self.exp(-self.r * t) * (S * ndtr(d1) - K * ndtr(d2))
        return self.spot(S, t) * ndtr(d1) - K * self.exp(-self.r * t) * ndtr(d2)

    def delta(self, S, K, t, sigma):
        return self.disc_q(t, ndtr(self.d1(S, K, t, sigma, sigma * self.sqrt(t))))

    def gamma(self, S, K, t, sigma):
        sd = sigma * self.sqrt(t)
        return self.disc_q(t, self.pdf(self.d1(S, K, t, sigma, sd))) / (S * sd)

    def vega(self, S, K, t, sigma):
        sqt = self.sqrt(t)
        return self.spot(S, t) * sqt * self.pdf(self.d1(S, K, t, sigma, sigma * sqt)) * 0.01

    def theta(self, S, K, t, sigma):
        sqt = self.sqrt(t)
        d1, d2, _ = self.d12(S, K, t, sigma)
        Dr, r, q = self.exp(-self.r * t), self.r, self.q
        if not q:
            return (-S * self.pdf(d1) * sigma / (2.0 * sqt) - r * K * Dr * ndtr(d2)) / 365.0
        Dq = Dr if q == r else self.exp(-q * t)
        return (
            -S * Dq * self.pdf(d1) * sigma / (2.0 * sqt)
            - r * K * Dr * ndtr(d2)
            + q * S * Dq * ndtr(d1)
        ) / 365.0

    def rho(self, S, K, t, sigma):
        if self.forward:  # F held fixed: only the discount moves
            return t * self.price(S, K, t, sigma) * -0.01
        return K * t * self.exp(-self.r * t) * ndtr(self.d12(S, K, t, sigma)[1]) * 0.01

    def vanna(self, S, K, t, sigma):
        d1, d2, _ = self.d12(S, K, t, sigma)
        return -self.disc_q(t, self.pdf(d1)) * d2 / sigma

    def charm(self, S, K, t, sigma):
        d1, d2, sd = self.d12(S, K, t, sigma)
        bracket = self.b / sd - d2 / (2.0 * t) if self.b else -d2 / (2.0 * t)
        if not self.q:
            return self.pdf(d1) * bracket
        Dq = self.exp(-self.q * t)
        return Dq * self.pdf(d1) * bracket - self.q * Dq * ndtr(d1)

    def vomma(self, S, K, t, sigma):
        d1, d2, _ = self.d12(S, K, t, sigma)
        return self.spot(S, t) * self.sqrt(t) * self.pdf(d1) * d1 * d2 / sigma

    def speed(self, S, K, t, sigma):
        d1, _, sd = self.d12(S, K, t, sigma)
        return -(self.disc_q(t, self.pdf(d1)) / (S * sd)) / S * (d1 / sd + 1.0)

    def zomma(self, S, K, t, sigma):
        d1, d2, sd = self.d12(S, K, t, sigma)
        return self.disc_q(t, self.pdf(d1)) / (S * sd) * (d1 * d2 - 1.0) / sigma

    def color(self, S, K, t, sigma):
        d1, d2, sd = self.d12(S, K, t, sigma)
        return self.disc_q(t, self.pdf(d1)) / (S * sd) * self.bracket(d1, d2, sd, t, -1.0)

    def veta(self, S, K, t, sigma):
        d1, d2, sd = self.d12(S, K, t, sigma)
        vega = self.spot(S, t) * self.sqrt(t) * self.pdf(d1)
        return vega * self.bracket(d1, d2, sd, t, 1.0)

    def ultima(self, S, K, t, sigma):
        d1, d2, _ = self.d12(S, K, t, sigma)
        vega, d1d2 = self.spot(S, t) * self.sqrt(t) * self.pdf(d1), d1 * d2
        return -vega / sigma**2 * (d1d2 * (1.0 - d1d2) + d1 * d1 + d2 * d2)

    def dual_delta(self, S, K, t, sigma):
        return -self.exp(-self.r * t) * ndtr(self.d12(S, K, t, sigma)[1])

    def dual_gamma(self, S, K, t, sigma):
        _, d2, sd = self.d12(S, K, t, sigma)
        return self.exp(-self.r * t) * self.pdf(d2) / (K * sd)


def reference(model: str, quantity: str, r: float, q: float = 0.0, xp=None):
    """The reference formula of a call as fn(S, K, t, sigma)."""
    return getattr(Reference(model, r, q, xp), quantity)


def brentq_bs_implied_volatility(price: float, S: float, K: float, t: float, r: float) -> float:
    """scipy.optimize.brentq on [1e-6, 5] for one call; NaN if the bracket misses the price."""
    bs = Reference("bs", r, xp=math).price
    try:
        return brentq(lambda s: bs(S, K, t, s) - price, 1e-6, 5.0)
    except ValueError:
        return math.nan
