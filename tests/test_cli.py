"""`python -m kestrovane`, run as a user would: the printed numbers are the
library's, a given price solves back to its volatility, bad input is one line
on stderr with status 2, and the chain prices each strike like the scalar calls."""

import json
import re
import subprocess
import sys

import kestrovane as kv
import pytest
from kestrovane._quantities import GREEKS, function_name

MAIN = [sys.executable, "-m", "kestrovane"]


def cli(*argv):
    return subprocess.run([*MAIN, *argv], capture_output=True, text=True, timeout=120)


def ok(*argv):
    done = cli(*argv)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    return done.stdout


# (argv, model, flag, keyword arguments of the library call without sigma, sigma)
OPTIONS = [
    ((), "bs", "c", dict(S=100.0, K=100.0, t=1.0, r=0.05), 0.2),
    (
        "bsm put -S 100 -K 95 -t 0.7 -r 0.03 -q 0.02 --sigma 0.25".split(),
        "bsm",
        "p",
        dict(S=100.0, K=95.0, t=0.7, r=0.03, q=0.02),
        0.25,
    ),
    (
        "black76 C -F 4000 -K 4200 -t 0.25 -r 0.04 --vol 0.3".split(),
        "black76",
        "c",
        dict(F=4000.0, K=4200.0, t=0.25, r=0.04),
        0.3,
    ),
    # A flag on its own takes the default model; negative values in e-notation
    # belong to their option.
    ("put -r -1e-3 -t 0.5".split(), "bs", "p", dict(S=100.0, K=100.0, t=0.5, r=-1e-3), 0.2),
    (
        "bsm c -q -2E-2 -S 90".split(),
        "bsm",
        "c",
        dict(S=90.0, K=100.0, t=1.0, r=0.05, q=-0.02),
        0.2,
    ),
]
OPTION_IDS = ["default", "bsm-put", "black76-call", "flag-alone", "negative-exponent"]


def library(model, quantity, flag, market, sigma):
    return getattr(kv, function_name(model, quantity))(flag=flag, sigma=sigma, **market)


def table_rows(stdout):
    """{quantity: (value, unit)} from the table's body."""
    rows = {}
    for line in stdout.splitlines():
        cells = re.split(r"\s{2,}", line.strip())
        if len(cells) == 4 and cells[0] != "quantity":
            rows[cells[0]] = (float(cells[1]), cells[2])
    return rows


@pytest.mark.parametrize("argv,model,flag,market,sigma", OPTIONS, ids=OPTION_IDS)
def test_table_and_json_show_the_library_values(argv, model, flag, market, sigma):
    rows = table_rows(ok(*argv))
    assert list(rows) == ["price", *GREEKS]
    for quantity, (shown, _) in rows.items():
        want = library(model, quantity, flag, market, sigma)
        assert shown == pytest.approx(want, rel=1e-9, abs=1e-300), quantity
    report = json.loads(ok(*argv, "--json"))
    assert report["model"] == model and report["flag"] == {"c": "call", "p": "put"}[flag]
    assert report["inputs"] == {**market, "sigma": sigma}
    assert report["price"] == library(model, "price", flag, market, sigma)
    assert report["greeks"] == {g: library(model, g, flag, market, sigma) for g in GREEKS}
    assert set(report["units"]) == {"price", *GREEKS}


@pytest.mark.parametrize("argv,model,flag,market,sigma", OPTIONS, ids=OPTION_IDS)
def test_price_solves_back_to_sigma(argv, model, flag, market, sigma):
    given = library(model, "price", flag, market, sigma)
    base = [a for a in argv if a not in ("--sigma", "--vol", str(sigma))]
    report = json.loads(ok(*base, "--price", repr(given), "--json"))
    solver = getattr(kv, f"{model}_implied_volatility")
    assert report["implied_volatility"] == solver(price=given, flag=flag, **market)
    assert report["implied_volatility"] == pytest.approx(sigma, abs=1e-9)
    assert report["inputs"] == {**market, "price": given}
    assert report["price"] == pytest.approx(given, rel=1e-12)

    table = ok(*base, "--price", repr(given))
    solved = re.search(r"^implied vol\s+(\S+)", table, re.M)
    assert solved and float(solved.group(1)) == pytest.approx(sigma, rel=1e-9)


@pytest.mark.parametrize(
    "argv,expected",
    [
        (("-K", "110", "--price", "0"), 1e-6),  # exactly the intrinsic value
        (("--price", "100"), 4.999999999999996),  # the whole spot: top of the bracket
    ],
)
def test_solver_bounds_are_reported(argv, expected):
    report = json.loads(ok(*argv, "--json"))
    assert report["implied_volatility"] == expected
    assert "bound" in report["note"]
    assert "note:" in ok(*argv)


def test_undefined_values_become_json_null():
    report = json.loads(ok("--price", "nan", "--json"))
    assert report["implied_volatility"] is None and report["price"] is None
    report = json.loads(ok("-K", "90", "-t", "0", "--json"))  # expired: gamma is 0/0
    assert report["greeks"]["gamma"] is None
    assert report["price"] == 10.0 and report["greeks"]["delta"] == 1.0


@pytest.mark.parametrize(
    "argv,message",
    [
        (("-S", "abc"), "invalid float value"),
        (("bs", "x"), "call or put"),
        (("black76", "-S", "100"), "-F"),
        (("bs", "-q", "0.02"), "bsm only"),
        (("--price", "5", "--sigma", "0.2"), "not allowed with"),
        (("--chain", "--strikes", "10000000000000"), "at most 100,000 strikes"),
        (("-K", "110", "--price", "-1"), "price is below intrinsic value"),
        (("--chain", "--price", "-1"), "below intrinsic"),
        (("--chain", "-K", "90"), "-K only names the strike of --price"),
    ],
)
def test_bad_input_is_one_line_and_status_2(argv, message):
    done = cli(*argv)
    assert done.returncode == 2 and done.stdout == "" and "Traceback" not in done.stderr
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and message in lines[0], done.stderr


@pytest.mark.parametrize(
    "model,flag,underlying", [("bs", "c", "S"), ("bsm", "p", "S"), ("black76", "p", "F")]
)
def test_chain_rows_match_scalar_calls(model, flag, underlying):
    argv = [model, flag, f"-{underlying}", "50", "-t", "0.5", "-r", "0.02", "--sigma", "0.35"]
    if model == "bsm":
        argv += ["-q", "0.03"]
    market = dict(t=0.5, r=0.02, **({"q": 0.03} if model == "bsm" else {}))
    report = json.loads(ok(*argv, "--chain", "--strikes", "5", "--json"))
    rows = report["chain"]
    strikes = [35.0, 42.5, 50.0, 57.5, 65.0]
    assert [(row["K"], row["flag"]) for row in rows] == [
        (pytest.approx(k), f) for k in strikes for f in ("call", "put")
    ]
    solver = getattr(kv, f"{model}_implied_volatility")
    for row in rows:
        at = {underlying: 50.0, "K": row["K"], **market}
        flag = row["flag"]
        assert row["price"] == library(model, "price", flag, at, 0.35)
        for greek in ("delta", "gamma", "vega", "theta"):
            assert row[greek] == library(model, greek, flag, at, 0.35), greek
        assert row["implied_volatility"] == solver(price=row["price"], flag=flag, **at)
        assert row["implied_volatility"] == pytest.approx(0.35, abs=1e-9)

    table = ok(*argv, "--chain", "--strikes", "5")
    assert re.search(r"^\s*strike\s+type\s+price\s+delta\s+gamma\s+vega\s+theta", table, re.M)
