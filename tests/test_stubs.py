"""The annotations of the type stub against the module's behaviour, which
stubtest (tools/check-types.sh) does not compare: each function called as its
stub says -- an array where NDArray, a float or str elsewhere -- returns what
the stub declares, and refuses a float where the stub wants an array."""

import ast
from pathlib import Path

import numpy as np
import pytest
from kestrovane import _kestrovane

STUB = Path(_kestrovane.__file__).parent / "_kestrovane.pyi"
ARRAY = "NDArray[np.float64]"
VALUES = {"price": 5.0, "S": 100.0, "F": 100.0, "K": 100.0, "t": 0.5, "r": 0.03, "sigma": 0.25}
VALUES.update(q=0.01, flag="c")


def test_annotations_describe_how_each_function_is_called():
    nodes = [n for n in ast.parse(STUB.read_text()).body if isinstance(n, ast.FunctionDef)]
    assert [n.name for n in nodes] == [n for n in _kestrovane.__all__ if n != "__version__"]
    for node in nodes:
        function = getattr(_kestrovane, node.name)
        kinds = {a.arg: ast.unparse(a.annotation) for a in node.args.args}
        kwargs = {p: np.full(3, VALUES[p]) if k == ARRAY else VALUES[p] for p, k in kinds.items()}
        assert {k for p, k in kinds.items() if p != "flag"} <= {ARRAY, "float"}, node.name
        assert kinds.get("flag") == "str", node.name
        result = function(**kwargs)
        if node.name.endswith("_array"):
            assert ast.unparse(node.returns) == ARRAY and result.dtype == np.float64
            for param in (p for p, k in kinds.items() if k == ARRAY):
                with pytest.raises(TypeError, match=f"argument '{param}'"):
                    function(**{**kwargs, param: VALUES[param]})
        else:
            assert ast.unparse(node.returns) == "float" and type(result) is float
            assert ARRAY not in kinds.values(), node.name
