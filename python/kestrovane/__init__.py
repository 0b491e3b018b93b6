"""Fast, exact European option pricing: prices, fifteen Greeks and implied
volatility under Black-Scholes, Black-Scholes-Merton and Black-76, for single
options and for NumPy float64 arrays."""

from . import _kestrovane
from ._kestrovane import *  # noqa: F403
from ._kestrovane import __all__, __version__  # noqa: F401
