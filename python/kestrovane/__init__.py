"""Fast, exact European option pricing: prices, fifteen Greeks and implied
volatility under Black-Scholes, Black-Scholes-Merton and Black-76, for single
options, for NumPy float64 arrays and for a whole book at once.

The 102 functions come from the native module ``kestrovane._kestrovane``; its
types are in ``_kestrovane.pyi`` beside it. ``greeks`` and
``implied_volatility`` (module ``kestrovane.book``) price a whole book in one
call, and ``scenarios`` (module ``kestrovane.bumps``) under a grid of
bumped market inputs. ``python -m kestrovane`` is a small calculator on top
of these functions.
"""

from . import _kestrovane
from ._kestrovane import *  # noqa: F403
from ._kestrovane import __version__ as __version__
from ._quantities import MODELS as MODELS
from ._quantities import QUANTITIES as QUANTITIES
from .book import IvStatus as IvStatus
from .book import greeks as greeks
from .book import implied_volatility as implied_volatility
from .bumps import absolute as absolute
from .bumps import relative as relative
from .bumps import scenarios as scenarios

__all__: list[str] = []
__all__ += _kestrovane.__all__
__all__ += ["greeks", "implied_volatility", "IvStatus", "MODELS", "QUANTITIES"]
__all__ += ["scenarios", "relative", "absolute"]
