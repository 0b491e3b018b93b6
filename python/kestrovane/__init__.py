"""Fast, exact European option pricing: prices, fifteen Greeks and implied
volatility under Black-Scholes, Black-Scholes-Merton and Black-76, for single
options and for NumPy float64 arrays.

Every public name comes from the native module ``kestrovane._kestrovane``;
its types are in ``_kestrovane.pyi`` beside it. ``python -m kestrovane`` is a
small calculator on top of these functions.
"""

from . import _kestrovane
from ._kestrovane import *  # noqa: F403
from ._kestrovane import __all__ as __all__
from ._kestrovane import __version__ as __version__
