"""Optional dependencies, imported when a function first needs them.

The scalar functions need nothing; the whole-book functions need NumPy, and
the batch command pyarrow for Parquet files. A missing one is an ImportError
(``ModuleNotFoundError``, so existing handlers keep working) whose message says
what to install, instead of a bare "No module named ..." from deep inside.
"""

from __future__ import annotations

import importlib
from typing import Any


def need(module: str, install: str, purpose: str) -> Any:
    """``module`` imported, or ModuleNotFoundError("<purpose> is needed: pip install <install>")."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ModuleNotFoundError(
            f"{purpose} is needed: pip install {install}", name=module.partition(".")[0]
        ) from None


def numpy() -> Any:
    return need("numpy", "numpy", "NumPy")
