"""The type stub against the module it describes, without a type checker:
the stub is parsed with `ast` and compared with the functions' run-time
signatures and behaviour."""

import ast
import inspect
import subprocess
import sys
from pathlib import Path

import kestrovane
import numpy as np
import pytest
from kestrovane import _kestrovane

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "python" / "kestrovane" / "_kestrovane.pyi"
ARRAY = "NDArray[np.float64]"
FUNCTIONS = [name for name in _kestrovane.__all__ if name != "__version__"]


@pytest.fixture(scope="module")
def stub():
    return ast.parse(STUB.read_text(), filename=str(STUB))


@pytest.fixture(scope="module")
def stub_functions(stub):
    return {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}


def test_stub_declares_exactly_the_module_functions_in_order(stub):
    defined = [node.name for node in stub.body if isinstance(node, ast.FunctionDef)]
    assert defined == FUNCTIONS
    assert len(defined) == 102


def test_stub_all_and_version(stub):
    assigned = {
        node.targets[0].id: ast.literal_eval(node.value)
        for node in stub.body
        if isinstance(node, ast.Assign)
    }
    assert assigned == {"__all__": list(_kestrovane.__all__)}
    annotated = {
        node.target.id: ast.unparse(node.annotation)
        for node in stub.body
        if isinstance(node, ast.AnnAssign)
    }
    assert annotated == {"__version__": "str"}
    assert isinstance(kestrovane.__version__, str)


def test_package_reexports_every_function():
    assert kestrovane.__all__ == [
        *_kestrovane.__all__,
        "greeks",
        "implied_volatility",
        "IvStatus",
        "QUANTITIES",
    ]
    for name in _kestrovane.__all__:
        assert getattr(kestrovane, name) is getattr(_kestrovane, name)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_parameters_match_the_runtime_signature(stub_functions, name):
    node = stub_functions[name]
    runtime = inspect.signature(getattr(_kestrovane, name)).parameters
    args = node.args
    assert [a.arg for a in args.args] == list(runtime)
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in runtime.values())
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg or args.defaults)


def call_as_typed(name, node, n=3):
    """Calls `name` with an array wherever the stub says NDArray and a float
    (or 'c' for str) elsewhere; returns the result."""
    values = {
        "price": 5.0,
        "S": 100.0,
        "F": 100.0,
        "K": 100.0,
        "t": 0.5,
        "r": 0.03,
        "sigma": 0.25,
        "q": 0.01,
    }
    kwargs = {}
    for a in node.args.args:
        kind = ast.unparse(a.annotation)
        if kind == "str":
            kwargs[a.arg] = "c"
        elif kind == ARRAY:
            kwargs[a.arg] = np.full(n, values[a.arg])
        else:
            assert kind == "float", (name, a.arg, kind)
            kwargs[a.arg] = values[a.arg]
    return getattr(_kestrovane, name)(**kwargs), kwargs


@pytest.mark.parametrize("name", FUNCTIONS)
def test_annotations_describe_how_the_function_is_called(stub_functions, name):
    node = stub_functions[name]
    result, kwargs = call_as_typed(name, node)
    if name.endswith("_array"):
        assert ast.unparse(node.returns) == ARRAY
        assert type(result) is np.ndarray and result.dtype == np.float64
        assert result.shape == (3,)
        # Every parameter typed as an array really must be one.
        for param, value in kwargs.items():
            if isinstance(value, np.ndarray):
                with pytest.raises(TypeError, match=f"argument '{param}'"):
                    getattr(_kestrovane, name)(**{**kwargs, param: float(value[0])})
    else:
        assert ast.unparse(node.returns) == "float"
        assert type(result) is float
        assert not any(isinstance(v, np.ndarray) for v in kwargs.values())


def test_committed_stub_is_what_the_generator_writes():
    done = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "gen_stubs.py"), "--check"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr


def test_installed_package_ships_the_types():
    package = Path(_kestrovane.__file__).parent
    assert (package / "py.typed").is_file()
    assert (package / "_kestrovane.pyi").read_text() == STUB.read_text()
