"""The names of the three models and of the sixteen quantities, in one place.

``QUANTITIES`` comes from the native whole-book module, which expands it from
the same list as its kernels and the 102 functions, in its numbering
(``kestrovane._book`` takes quantities as indices into it); the calculator,
the stubs generator, the tests and the benchmarks all read it from here.
"""

from __future__ import annotations

from . import _book

MODELS: tuple[str, ...] = ("bs", "bsm", "black76")

QUANTITIES: tuple[str, ...] = _book.QUANTITIES
GREEKS: tuple[str, ...] = QUANTITIES[1:]

# The price functions do not follow the <model>_<quantity> pattern.
_PRICE_FUNCTIONS = {"bs": "black_scholes", "bsm": "black_scholes_merton", "black76": "black"}


def function_name(model: str, quantity: str) -> str:
    """The scalar function of ``kestrovane`` that computes ``quantity`` under
    ``model``, e.g. ("bs", "price") -> "bs_black_scholes"; append "_array" for
    its array twin."""
    return f"{model}_{_PRICE_FUNCTIONS[model] if quantity == 'price' else quantity}"
