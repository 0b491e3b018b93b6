"""kestrovane.scenarios: the book under a grid of bumped market inputs equals
greeks on the bumped inputs, bit for bit, shaped rows x scenarios, with the
caller's pandas index and a labelled column per (quantity, step...)."""

import kestrovane as kv
import numpy as np
import pytest

N = 400
SPOT_STEPS, VOL_STEPS = [-0.05, 0.0, 0.05], [-0.01, 0.01]


def book(model, seed=3):
    rng = np.random.default_rng(seed)
    inputs = dict(
        flag=rng.choice(["call", "P", "c"], N),
        K=rng.integers(60, 140, N),
        t=rng.uniform(0.0, 2.0, N),
        r=rng.uniform(-0.01, 0.06, N),
        sigma=rng.uniform(0.05, 0.9, N),
    )
    inputs["F" if model == "black76" else "S"] = rng.uniform(80, 120, N)
    if model == "bsm":
        inputs["q"] = 0.015
    return inputs


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float64).view(np.uint64)


@pytest.mark.parametrize("model", ["bs", "bsm", "black76"])
def test_grid_equals_greeks_of_the_bumped_inputs(model):
    inputs = book(model)
    X = "F" if model == "black76" else "S"
    steps = {X: SPOT_STEPS, "sigma": VOL_STEPS, **({"q": [0.0, 0.01]} if model == "bsm" else {})}
    bumps = {X: kv.relative(SPOT_STEPS), "sigma": kv.absolute(VOL_STEPS)}
    bumps.update({"q": kv.absolute([0.0, 0.01])} if model == "bsm" else {})
    got = kv.scenarios(model, bumps=bumps, quantities=["price", "delta", "vega"], **inputs)
    grid = tuple(len(s) for s in steps.values())
    for at in np.ndindex(*grid):
        bumped = {**inputs, X: inputs[X] * (1 + SPOT_STEPS[at[0]])}
        bumped["sigma"] = inputs["sigma"] + VOL_STEPS[at[1]]
        if model == "bsm":
            bumped["q"] = inputs["q"] + steps["q"][at[2]]
        want = kv.greeks(model, quantities=["price", "delta", "vega"], **bumped)
        for name, values in got.items():
            assert values.shape == (N, *grid)
            assert bits(values[(slice(None), *at)]).tolist() == bits(want[name]).tolist()


def test_pandas_keeps_the_index_and_labels_each_scenario():
    pd = pytest.importorskip("pandas")
    inputs = book("bsm")
    index = pd.Index([f"opt{i}" for i in range(N)], name="id")
    frame = pd.DataFrame({k: v for k, v in inputs.items() if k != "q"}, index=index)
    frame["flag"] = frame["flag"].astype("category")
    bumps = {"S": kv.relative(SPOT_STEPS), "sigma": kv.absolute(VOL_STEPS)}
    got = kv.scenarios("bsm", bumps=bumps, q=0.015, **{c: frame[c] for c in frame})
    plain = kv.scenarios("bsm", bumps=bumps, **inputs)
    assert got.index.equals(index)
    assert list(got.columns.names) == ["quantity", "S", "sigma"]
    assert got.columns.get_level_values("quantity").unique().tolist() == list(kv.QUANTITIES)
    assert got["price"].shape == (N, 6)
    at = got.xs((0.05, -0.01), level=["S", "sigma"], axis=1)
    assert list(at.columns) == list(kv.QUANTITIES)
    assert bits(at["gamma"]).tolist() == bits(plain["gamma"][:, 2, 0]).tolist()
    with pytest.raises(ValueError, match="different indexes"):
        kv.scenarios("bsm", bumps=bumps, S=frame["S"], K=frame["K"].iloc[::-1], t=1, r=0,
                     sigma=0.2, flag="c")  # fmt: skip


@pytest.mark.parametrize(
    "model,bumps,error,message",
    [
        ("bs", {"F": kv.relative(0.01)}, ValueError, "bs cannot bump 'F'"),
        ("black76", {"q": kv.absolute(0.01)}, ValueError, "cannot bump 'q'"),
        ("bs", {"S": [0.01, 0.02]}, TypeError, r"kestrovane.relative\(...\)"),
        ("bs", {}, ValueError, "at least one market input"),
        ("heston", {"S": kv.relative(0.01)}, ValueError, "unknown model"),
    ],
)
def test_bad_grids_are_refused(model, bumps, error, message):
    with pytest.raises(error, match=message):
        kv.scenarios(model, bumps=bumps, flag="c", S=100, K=100, t=1, r=0, sigma=0.2)


@pytest.mark.parametrize(
    "steps,error", [([], ValueError), ([0.01, True], TypeError), (["0.01"], TypeError)]
)
def test_steps_are_real_numbers(steps, error):
    with pytest.raises(error):
        kv.relative(steps)
