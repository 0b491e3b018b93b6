"""The array functions as blocks of a dask computation, on the threaded
scheduler and on worker processes, against direct calls bit for bit; and the
pickling that shipping functions and results to other processes relies on."""

import importlib.util
import pickle
from pathlib import Path

import kestrovane as kv
import numpy as np
import pytest

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "dask_scaleout.py"
N, CHUNKS = 10_000, 1_000


def bits(a):
    return a.view(np.uint64)


@pytest.fixture(scope="module")
def example():
    pytest.importorskip("dask.array")
    found = importlib.util.spec_from_file_location("dask_scaleout", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def inputs(example):
    data = example.market(N, seed=7)
    # Degenerate elements ride along, so NaN results and the solver's bounds
    # must come out of the blocks the same way: an expired option (NaN gamma
    # and theta), a nearly expired one, zero and very large volatility.
    data["t"][[5, 1500]] = [0.0, 1e-9]
    data["sigma"][[2500, 9999]] = [0.0, 5.0]
    return data


@pytest.fixture(scope="module")
def expected(example, inputs):
    return example.direct(inputs)


def assert_bit_for_bit(got, expected):
    assert set(got) == set(expected)
    for name in expected:
        assert got[name].dtype == np.float64 and got[name].shape == (N,), name
        mismatch = np.flatnonzero(bits(got[name]) != bits(expected[name]))
        assert mismatch.size == 0, f"{name} differs at elements {mismatch[:5]}"


def test_direct_reference_is_the_scalar_function(expected, inputs):
    """The reference the blocks are compared with is itself element-wise exact,
    and the degenerate elements do reach NaN and the solver's bound."""
    assert np.isnan(expected["gamma"][5]) and expected["implied_vol"][9999] > 4.99
    i = 1234
    S, K, t, sigma = (float(inputs[k][i]) for k in ("S", "K", "t", "sigma"))
    assert expected["delta"][i] == kv.bsm_delta("c", S, K, t, 0.03, sigma, 0.01)
    assert expected["implied_vol"][i] == kv.bsm_implied_volatility(
        float(expected["price"][i]), S, K, t, 0.03, 0.01, "c"
    )


@pytest.mark.parametrize("chunks", [CHUNKS, 3_333, N])
def test_blocks_on_threads_match_direct_calls(example, inputs, expected, chunks):
    assert_bit_for_bit(example.compute(inputs, chunks), expected)


def test_graph_keeps_chunks_and_dtype(example, inputs):
    graph = example.bsm_graph(**example.chunked(inputs, CHUNKS))
    for name, array in graph.items():
        assert array.dtype == np.float64, name
        assert array.chunks == ((CHUNKS,) * (N // CHUNKS),), name


def test_blocks_on_worker_processes_match_direct_calls(example, inputs, expected):
    pytest.importorskip("distributed")
    assert_bit_for_bit(example.compute_distributed(inputs, CHUNKS, n_workers=2), expected)


@pytest.mark.parametrize(
    "name", ["bs_delta_array", "bsm_implied_volatility_array", "black76_black", "bs_black_scholes"]
)
def test_functions_pickle_by_reference(name):
    function = getattr(kv, name)
    payload = pickle.dumps(function)
    assert b"kestrovane._kestrovane" in payload
    assert pickle.loads(payload) is function


def test_results_pickle():
    S = np.array([90.0, 100.0, 110.0])
    result = kv.bs_delta_array("p", S, np.full(3, 100.0), np.full(3, 0.5), 0.02, np.full(3, 0.3))
    restored = pickle.loads(pickle.dumps(result, protocol=pickle.HIGHEST_PROTOCOL))
    assert type(restored) is np.ndarray and restored.dtype == np.float64
    assert np.array_equal(bits(restored), bits(result))
    assert restored.flags.writeable and restored.flags.c_contiguous
