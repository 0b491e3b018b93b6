"""The models and the sixteen quantities, in one place.

Both lists come from the native whole-book module, which expands them from
the same C++ lists as its kernels and the 102 functions, in its numbering
(``kestrovane._book`` takes models and quantities as indices into them); the
calculator, the whole-book API, the stubs generator, the tests and the
benchmarks all read them from here.
"""

from __future__ import annotations

from typing import NamedTuple

from . import _book


class Model(NamedTuple):
    """What the package knows of a model."""

    name: str  # the prefix of its functions, e.g. "bsm"
    title: str  # e.g. "Black-Scholes-Merton"
    underlying: str  # "S" (spot) or "F" (forward)
    has_q: bool  # takes a dividend yield q
    price_function: str  # e.g. "black_scholes_merton"


MODEL_INFO: dict[str, Model] = {row[0]: Model(*row) for row in _book.MODELS}
MODELS: tuple[str, ...] = tuple(MODEL_INFO)

QUANTITIES: tuple[str, ...] = _book.QUANTITIES
GREEKS: tuple[str, ...] = QUANTITIES[1:]


def function_name(model: str, quantity: str) -> str:
    """The scalar function of ``kestrovane`` that computes ``quantity`` under
    ``model``, e.g. ("bs", "price") -> "bs_black_scholes"; append "_array" for
    its array twin. The price functions do not follow the
    <model>_<quantity> pattern."""
    price = MODEL_INFO[model].price_function
    return f"{model}_{price if quantity == 'price' else quantity}"
