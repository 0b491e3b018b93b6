"""The option calculator behind ``python -m kestrovane``.

One option: its price and all fifteen Greeks in a table with their units, or
as JSON. With ``--price`` instead of ``--sigma`` the implied volatility is
solved first and the table is computed at it. ``--chain`` prices the calls
and puts of a strike ladder around the underlying in one ``greeks`` call
(needs NumPy). ``python -m kestrovane book IN -o OUT`` prices a whole file
(module ``_batch``).

Exit status: 0 on success, 2 for bad input (including prices the solver
rejects), 1 when NumPy is missing for ``--chain`` or the module fails
internally. Every error is one line on stderr.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NoReturn

from . import _kestrovane as kv
from . import book
from ._quantities import GREEKS, MODEL_INFO, QUANTITIES, Model, function_name

if TYPE_CHECKING:
    from numpy.typing import NDArray

PROG = "python -m kestrovane"


MODELS = MODEL_INFO

# Greek: unit ("U" stands for the underlying, S or F), what it is.
GREEK_UNITS: dict[str, tuple[str, str]] = {
    "delta": ("per unit U", "dV/dU"),
    "gamma": ("per unit U^2", "d2V/dU2"),
    "vega": ("per 1 % vol", "0.01 dV/dsigma"),
    "theta": ("per day", "-(dV/dt) / 365"),
    "rho": ("per 1 % rate", "0.01 dV/dr"),
    "vanna": ("per unit U, per unit vol", "d(delta)/dsigma"),
    "charm": ("per unit U, per year", "d(delta)/dt"),
    "vomma": ("per unit vol^2", "d2V/dsigma2"),
    "speed": ("per unit U^3", "d(gamma)/dU"),
    "zomma": ("per unit U^2, per unit vol", "d(gamma)/dsigma"),
    "color": ("per unit U^2, per year", "d(gamma)/dt"),
    "veta": ("per unit vol, per year", "d2V/dsigma dt"),
    "ultima": ("per unit vol^3", "d3V/dsigma3"),
    "dual_delta": ("per unit K", "dV/dK"),
    "dual_gamma": ("per unit K^2", "d2V/dK2"),
}
PRICE_UNIT = "currency, as U and K"
VOL_UNIT = "annual, decimal"
CHAIN_GREEKS = ("delta", "gamma", "vega", "theta")


class InputError(Exception):
    """Bad input: reported in one line with exit status 2."""


class Failure(Exception):
    """A missing dependency or an internal failure: one line, exit status 1."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


_FLAGS = {"c": "call", "p": "put"}
DEFAULT_MODEL = "bs"


def _flag(text: str) -> str:
    try:
        return _FLAGS[text[:1].lower()]
    except KeyError:
        raise argparse.ArgumentTypeError(
            f"flag must be call or put (c or p), got {text!r}"
        ) from None


MAX_STRIKES = 100_000


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid count {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"needs at least one strike, got {value}")
    if value > MAX_STRIKES:
        raise argparse.ArgumentTypeError(f"at most {MAX_STRIKES:,} strikes, got {value:,}")
    return value


# Options that take one number. argparse reads a following "-1e-3" as an
# option, not as a negative value (it knows only -1 and -0.5 forms), so such
# values are attached to their option ("-r=-1e-3") before parsing.
_NUMBER_OPTIONS = frozenset(
    {
        "-S",
        "--spot",
        "-F",
        "--forward",
        "-K",
        "--strike",
        "-t",
        "--time",
        "-r",
        "--rate",
        "-q",
        "--dividend-yield",
        "--sigma",
        "--vol",
        "--price",
    }
)


# The other options that take values, and how many.
_OTHER_VALUE_OPTIONS = {"--strikes": 1, "--range": 2}


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _prepare(argv: Sequence[str]) -> list[str]:
    """Attaches negative numbers to their options, and puts the default model
    before a flag given on its own ("python -m kestrovane put")."""
    out: list[str] = []
    first_positional = True
    tokens = iter(argv)
    for token in tokens:
        if token in _NUMBER_OPTIONS:
            value = next(tokens, None)
            if value is None:
                out.append(token)
            elif value.startswith("-") and _is_number(value):
                out.append(f"{token}={value}")
            else:
                out += [token, value]
            continue
        if token in _OTHER_VALUE_OPTIONS:
            out.append(token)
            for _ in range(_OTHER_VALUE_OPTIONS[token]):
                value = next(tokens, None)
                if value is not None:
                    out.append(value)
            continue
        if token == "--":
            out += [token, *tokens]
            break
        if first_positional and not token.startswith("-"):
            first_positional = False
            if token not in MODELS and token[:1].lower() in _FLAGS:
                out.append(DEFAULT_MODEL)
        out.append(token)
    return out


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Price a European option and print its fifteen Greeks with their units.",
        epilog="""examples:
  python -m kestrovane                       a bs call, S=K=100, t=1, r=5 %, sigma=20 %
  python -m kestrovane bsm put -S 100 -K 95 -t 0.7 -r 0.03 -q 0.02 --sigma 0.25
  python -m kestrovane black76 call -F 100 -K 95 -t 0.75 -r 0.03 --price 10.89
  python -m kestrovane bs call --chain --strikes 7 --json
  python -m kestrovane book IN -o OUT        every option of a CSV or Parquet file
                                             (python -m kestrovane book --help)

Units: t in years; r, q and sigma annual decimals (0.05 is 5 %). Charm, color
and veta follow growing t, the opposite sign convention to theta.""",
    )
    parser.add_argument(
        "model",
        nargs="?",
        default=DEFAULT_MODEL,
        choices=MODELS,
        help="pricing model (default: bs)",
    )
    parser.add_argument(
        "flag",
        nargs="?",
        default="call",
        type=_flag,
        help="call or put; the first letter decides (default: call)",
    )
    parser.add_argument(
        "-S", "--spot", type=float, metavar="S", help="spot price, bs and bsm (default 100)"
    )
    parser.add_argument(
        "-F",
        "--forward",
        type=float,
        metavar="F",
        help="forward or futures price, black76 (default 100)",
    )
    parser.add_argument(
        "-K",
        "--strike",
        type=float,
        metavar="K",
        help="strike (default 100); with --chain, the strike --price is given at",
    )
    parser.add_argument(
        "-t",
        "--time",
        type=float,
        metavar="T",
        default=1.0,
        help="time to expiry in years (default 1)",
    )
    parser.add_argument(
        "-r",
        "--rate",
        type=float,
        metavar="R",
        default=0.05,
        help="riskless rate, annual decimal (default 0.05)",
    )
    parser.add_argument(
        "-q",
        "--dividend-yield",
        type=float,
        metavar="Q",
        help="continuous dividend yield, bsm only (default 0)",
    )
    vol = parser.add_mutually_exclusive_group()
    vol.add_argument(
        "--sigma", "--vol", type=float, help="volatility, annual decimal (default 0.2)"
    )
    vol.add_argument(
        "--price", type=float, help="option price: solve the implied volatility and use it"
    )
    parser.add_argument("--json", action="store_true", help="print JSON instead of a table")
    parser.add_argument(
        "--chain",
        action="store_true",
        help="price a strike ladder around the underlying (needs NumPy)",
    )
    parser.add_argument(
        "--strikes",
        type=_count,
        metavar="N",
        default=13,
        help="number of strikes in the chain (default 13)",
    )
    parser.add_argument(
        "--range",
        type=float,
        nargs=2,
        default=(0.7, 1.3),
        metavar=("LOW", "HIGH"),
        help="chain strikes from LOW x to HIGH x the underlying (default 0.7 1.3)",
    )
    return parser


@dataclass(frozen=True)
class Request:
    model: Model
    flag: str  # "call" or "put"
    underlying: float
    K: float
    t: float
    r: float
    q: float
    sigma: float | None
    price: float | None

    def market(self) -> dict[str, float]:
        """The keyword arguments every function of the model shares, but sigma."""
        values = {self.model.underlying: self.underlying, "K": self.K, "t": self.t, "r": self.r}
        if self.model.has_q:
            values["q"] = self.q
        return values


def request_from(args: argparse.Namespace) -> Request:
    model = MODELS[args.model]
    if model.underlying == "F" and args.spot is not None:
        raise InputError(f"{model.name} takes a forward price: use -F, not -S")
    if model.underlying == "S" and args.forward is not None:
        raise InputError(f"{model.name} takes a spot price: use -S, not -F")
    if args.dividend_yield is not None and not model.has_q:
        raise InputError(f"-q (dividend yield) applies to bsm only, not {model.name}")
    if args.chain and args.strike is not None and args.price is None:
        raise InputError(
            "--chain takes its strikes from --strikes and --range; "
            "-K only names the strike of --price"
        )
    underlying = args.forward if model.underlying == "F" else args.spot
    sigma = args.sigma
    if sigma is None and args.price is None:
        sigma = 0.2
    return Request(
        model,
        args.flag,
        100.0 if underlying is None else underlying,
        100.0 if args.strike is None else args.strike,
        args.time,
        args.rate,
        0.0 if args.dividend_yield is None else args.dividend_yield,
        sigma,
        args.price,
    )


def _call(name: str, **kwargs: Any) -> Any:
    """Calls a library function by keyword; its argument errors become InputError."""
    try:
        return getattr(kv, name)(**kwargs)
    except (ValueError, TypeError, RuntimeError) as exc:
        raise InputError(f"{name}: {exc}") from None


def solve_sigma(req: Request) -> float:
    if req.sigma is not None:
        return req.sigma
    assert req.price is not None
    return float(
        _call(
            f"{req.model.name}_implied_volatility", price=req.price, flag=req.flag, **req.market()
        )
    )


def evaluate(req: Request, sigma: float) -> dict[str, float]:
    """The price and the fifteen Greeks, by name."""
    return {
        q: float(
            _call(function_name(req.model.name, q), flag=req.flag, sigma=sigma, **req.market())
        )
        for q in QUANTITIES
    }


def solver_note(req: Request, sigma: float) -> str | None:
    """A remark on a solved volatility that sits on one of the solver's bounds."""
    if req.price is None:
        return None
    if math.isnan(sigma):
        return "the volatility is undefined for these inputs (NaN)"
    if sigma == 1e-6:
        return "the price is at the intrinsic value: 1e-6 is the solver's lower bound"
    if sigma > 4.9999999:
        return (
            "the price is at or above the model price at sigma = 5: "
            "this is the solver's upper bound"
        )
    return None


def units(model: Model) -> dict[str, str]:
    table = {"price": PRICE_UNIT.replace("U", model.underlying)}
    for greek in GREEKS:
        table[greek] = GREEK_UNITS[greek][0].replace("U", model.underlying)
    return table


def _fmt(x: float, style: str = ".10g") -> str:
    return format(x, style)


def header(req: Request, sigma: float, strike: bool = True, flag: str | None = None) -> str:
    shown = dict(req.market())
    if not strike:
        del shown["K"]
    if req.price is not None:
        shown["price"] = req.price
    else:
        shown["sigma"] = sigma
    inputs = "  ".join(f"{k}={_fmt(v, '.12g')}" for k, v in shown.items())
    return f"{req.model.title} {flag or req.flag}: {inputs}"


def _align_points(values: list[str]) -> list[str]:
    """Pads formatted numbers so that their decimal points line up."""
    parts = [v.partition(".") for v in values]
    left = max(len(a) for a, _, _ in parts)
    right = max(len(dot + b) for _, dot, b in parts)
    return [f"{a:>{left}}{dot + b:<{right}}" for a, dot, b in parts]


def render_table(req: Request, sigma: float, values: dict[str, float]) -> str:
    unit = units(req.model)
    meaning = {g: m.replace("U", req.model.underlying) for g, (_, m) in GREEK_UNITS.items()}
    meaning["price"] = "V"
    rows = []
    if req.price is not None:
        rows.append(["implied vol", _fmt(sigma), VOL_UNIT, f"solved from price {req.price:.12g}"])
    rows += [[q, _fmt(v), unit[q], meaning[q]] for q, v in values.items()]
    for row, cell in zip(rows, _align_points([row[1] for row in rows])):
        row[1] = cell
    rows.insert(0, ["quantity", "value", "unit", "meaning"])
    widths = [max(len(row[i]) for row in rows) for i in range(3)]
    lines = [header(req, sigma), ""]
    for name, value, u, m in rows:
        lines.append(f"{name:<{widths[0]}}  {value:<{widths[1]}}  {u:<{widths[2]}}  {m}")
    lines += ["", "t in years; charm, color and veta follow growing t (theta: passing days)."]
    note = solver_note(req, sigma)
    if note:
        lines.append(f"note: {note}")
    return "\n".join(lines)


def _json_number(x: float) -> float | None:
    """JSON has no NaN or infinity: those are written as null."""
    return x if math.isfinite(x) else None


def _inputs_json(req: Request) -> dict[str, float | None]:
    inputs = {k: _json_number(v) for k, v in req.market().items()}
    if req.price is not None:
        inputs["price"] = _json_number(req.price)
    elif req.sigma is not None:
        inputs["sigma"] = _json_number(req.sigma)
    return inputs


def report_json(req: Request, sigma: float, values: dict[str, float]) -> dict[str, Any]:
    report: dict[str, Any] = {
        "model": req.model.name,
        "flag": req.flag,
        "inputs": _inputs_json(req),
    }
    if req.price is not None:
        report["implied_volatility"] = _json_number(sigma)
        note = solver_note(req, sigma)
        if note:
            report["note"] = note
    report["price"] = _json_number(values["price"])
    report["greeks"] = {g: _json_number(values[g]) for g in GREEKS}
    report["units"] = units(req.model)
    return report


def _numpy() -> Any:
    try:
        import numpy
    except ImportError:
        raise Failure("--chain needs NumPy, which is not installed (pip install numpy)") from None
    return numpy


def _book_call(function: Any, **kwargs: Any) -> Any:
    """Calls a whole-book function; its argument errors become InputError."""
    try:
        return function(**kwargs)
    except (ValueError, TypeError) as exc:
        raise InputError(f"{function.__name__}: {exc}") from None


def chain(
    req: Request, sigma: float, count: int, low: float, high: float
) -> dict[str, NDArray[Any]]:
    """Prices the call and the put at each strike of a ladder from low x to
    high x the underlying in one ``greeks`` call, then solves each price back
    into an implied volatility. Rows go by strike, the call before the put."""
    numpy = _numpy()
    strikes = numpy.repeat(numpy.linspace(low * req.underlying, high * req.underlying, count), 2)
    calls = numpy.tile(numpy.array([True, False]), count)
    market = {**req.market(), "K": strikes}
    values = _book_call(
        book.greeks,
        model=req.model.name,
        flag=calls,
        sigma=sigma,
        quantities=("price",) + CHAIN_GREEKS,
        **market,
    )
    columns: dict[str, NDArray[Any]] = {"K": strikes, "flag": calls, **values}
    # The scalar solver, as for one option, so that a chain row and the same
    # option priced alone agree to the bit.
    columns["implied_vol"] = _book_call(
        book.implied_volatility,
        model=req.model.name,
        price=values["price"],
        flag=calls,
        method="newton",
        **market,
    )
    return columns


def _flag_word(call: Any) -> str:
    return "call" if call else "put"


def render_chain(req: Request, sigma: float, columns: dict[str, NDArray[Any]]) -> str:
    names = {"K": "strike", "implied_vol": "implied vol", "flag": "type"}
    titles = [names.get(c, c) for c in columns]
    cells = [
        [_flag_word(x) for x in values]
        if c == "flag"
        else _align_points(
            [_fmt(float(x), ".10g" if c == "implied_vol" else ".6g") for x in values]
        )
        for c, values in columns.items()
    ]
    widths = [max(len(t), *(len(v) for v in col)) for t, col in zip(titles, cells)]
    # With --price the volatility is solved from the given flag's price.
    lines = [
        header(
            req,
            sigma,
            strike=req.price is not None,
            flag=None if req.price is not None else "calls and puts",
        ),
        "",
    ]
    if req.price is not None:
        lines += [
            f"implied vol {_fmt(sigma)} (solved from price {req.price:.12g} at K="
            f"{req.K:.12g}); the chain is priced at it",
            "",
        ]
    lines.append("  ".join(f"{t:>{w}}" for t, w in zip(titles, widths)))
    for row in zip(*cells):
        lines.append("  ".join(f"{v:>{w}}" for v, w in zip(row, widths)))
    return "\n".join(lines)


def chain_json(req: Request, sigma: float, columns: dict[str, NDArray[Any]]) -> dict[str, Any]:
    report: dict[str, Any] = {
        "model": req.model.name,
        "flag": req.flag,
        "inputs": _inputs_json(req),
    }
    if req.price is not None:
        report["implied_volatility"] = _json_number(sigma)
    report["sigma"] = _json_number(sigma)
    keys = {"implied_vol": "implied_volatility"}
    report["chain"] = [
        {
            keys.get(c, c): _flag_word(columns[c][i])
            if c == "flag"
            else _json_number(float(columns[c][i]))
            for c in columns
        }
        for i in range(len(columns["K"]))
    ]
    return report


def run(args: argparse.Namespace) -> str:
    req = request_from(args)
    sigma = solve_sigma(req)
    if args.chain:
        low, high = args.range
        columns = chain(req, sigma, args.strikes, low, high)
        if args.json:
            return json.dumps(chain_json(req, sigma, columns), indent=2)
        return render_chain(req, sigma, columns)
    values = evaluate(req, sigma)
    if args.json:
        return json.dumps(report_json(req, sigma, values), indent=2)
    return render_table(req, sigma, values)


def _fail(message: str, status: int) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return status


def main(argv: Sequence[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] == "book":
        from ._batch import main as book_main

        return book_main(argv[1:])
    args = build_parser().parse_args(_prepare(argv))
    try:
        print(run(args))
    except InputError as exc:
        return _fail(str(exc), 2)
    except Failure as exc:
        return _fail(str(exc), 1)
    except MemoryError:
        return _fail("not enough memory for this request", 1)
    except BrokenPipeError:
        # The reader went away (| head): stop quietly, and keep the
        # interpreter from complaining when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except BaseException as exc:
        # The module's PanicException (an internal failure) derives from
        # BaseException and is not exported; anything else propagates.
        if type(exc).__name__ != "PanicException":
            raise
        return _fail(f"internal failure in the native module: {exc}", 1)
    return 0
