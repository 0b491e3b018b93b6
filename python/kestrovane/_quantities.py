"""The names of the three models and of the sixteen quantities, in one place.

The order of ``QUANTITIES`` is the native whole-book kernel's numbering
(``kestrovane._book`` takes quantities as indices into it); the calculator,
the stubs generator, the tests and the benchmarks all read it from here.
"""

from __future__ import annotations

MODELS: tuple[str, ...] = ("bs", "bsm", "black76")

QUANTITIES: tuple[str, ...] = (
    "price",
    "delta",
    "gamma",
    "vega",
    "theta",
    "rho",
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
GREEKS: tuple[str, ...] = QUANTITIES[1:]

# The price functions do not follow the <model>_<quantity> pattern.
_PRICE_FUNCTIONS = {"bs": "black_scholes", "bsm": "black_scholes_merton", "black76": "black"}


def function_name(model: str, quantity: str) -> str:
    """The scalar function of ``kestrovane`` that computes ``quantity`` under
    ``model``, e.g. ("bs", "price") -> "bs_black_scholes"; append "_array" for
    its array twin."""
    return f"{model}_{_PRICE_FUNCTIONS[model] if quantity == 'price' else quantity}"
