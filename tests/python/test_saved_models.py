"""Saved models: those an earlier lindorf pickled or saved still load and predict what they did
then (data/README.md says which version wrote them), and damaged or crafted ones never load as
anything but a model or ValueError, at a bounded cost."""

import pickle
from pathlib import Path

import numpy as np
import pytest

from conftest import run_snippet
from lindorf.ensemble import RandomForestClassifier
from lindorf.estimators import load
from lindorf.tree import DecisionTreeClassifier

DATA = Path(__file__).parent / "data"
KINDS = {"tree": DecisionTreeClassifier, "forest": RandomForestClassifier}


def unpickled(name):
    with open(DATA / f"main_{name}.pkl", "rb") as source:
        return pickle.load(source)


@pytest.mark.parametrize("name", KINDS)
@pytest.mark.parametrize("read", [unpickled, lambda name: load(DATA / f"main_{name}.lindorf"),
                                  lambda name: KINDS[name].load(DATA / f"main_{name}.lindorf")],
                         ids=["pickle", "estimators.load", "Class.load"])
def test_models_saved_by_0_1_predict_as_they_did(name, read):
    then = np.load(DATA / "main_predictions.npz")
    model = read(name)
    assert isinstance(model, KINDS[name])
    np.testing.assert_array_equal(model.predict(then["X"]), then[f"{name}_predict"])
    np.testing.assert_array_equal(model.predict_proba(then["X"]), then[f"{name}_proba"])
    np.testing.assert_array_equal(model.apply(then["X"]), then[f"{name}_apply"])
    if name == "forest":
        np.testing.assert_array_equal(model.feature_importances_, then["forest_importances"])
        assert model.oob_score_ == then["forest_oob"]


# Runs in a child whose address space is held to 100 MB above what it has once warmed up: any
# load that allocates by a claimed count instead of the bytes present fails with MemoryError.
FUZZ = """
import io, os, resource, sys
sys.path.insert(0, {tests!r})
import numpy as np
from conftest import resealed
from lindorf import DecisionTreeClassifier, RandomForestClassifier, _learner, _model_file
from lindorf import estimators
from lindorf.cli.models import describe

rng = np.random.default_rng(0)
x = rng.normal(size=(80, 3)).astype(np.float32)
y = np.array(["ant", "bee", "cat"])[(x[:, 0] > 0).astype(int) + (x[:, 1] > 0.5)]
fitted = [DecisionTreeClassifier(max_depth=3).fit(x, y),
          RandomForestClassifier(3, max_depth=2, random_state=0).fit(x, (x[:, 2] > 0) * 5)]


def u32(data, at):
    return int.from_bytes(data[at:at + 4], "little")


def count_fields(data):
    \"\"\"(offset, width) of every count: the header's (features, outputs, each output's classes,
    trees, metadata size), each tree's node count, each leaf's number of values.\"\"\"
    outputs = u32(data, 20)
    trees_at = 24 + 4 * outputs
    fields = [(12, 4), (20, 4), *((24 + 4 * o, 4) for o in range(outputs)), (trees_at, 4),
              (trees_at + 4, 8)]
    at = trees_at + 12 + int.from_bytes(data[trees_at + 4:trees_at + 12], "little")
    for _ in range(u32(data, trees_at)):
        fields.append((at, 4))
        nodes, at = u32(data, at), at + 4
        for _ in range(nodes):  # kind, label, weight, impurity, rows; then a leaf's values
            if data[at] == 0:
                fields.append((at + 25, 4))
                at += 29 + 12 * u32(data, at + 25)
            else:
                at += 41
    return fields


def mutants(data):
    body = data[:-8]
    yield from (data[:size] for size in range(len(data)))
    for _ in range(150):
        flipped = bytearray(data)
        at = int(rng.integers(len(data)))
        flipped[at] ^= 1 << int(rng.integers(8))
        yield bytes(flipped)
        yield resealed(flipped[:-8])
    for at, width in count_fields(data):
        for value in (0, 1, 2**31, 2**32 - 1):
            yield resealed(body[:at] + value.to_bytes(width, "little") + body[at + width:])


read_bytes = [0]


class Counted(io.FileIO):
    def read(self, size=-1):
        data = super().read(size)
        read_bytes[0] += len(data)
        return data


_model_file.open = lambda path, mode, buffering=-1: Counted(path, "r")
outcomes = {{"model": 0, "ValueError": 0}}


def outcome(load):
    try:
        load()
    except ValueError:
        return "ValueError"
    return "model"


def check_file(data, path):
    os.ftruncate(out, 0)
    os.pwrite(out, data, 0)
    for load in (estimators.load, lambda p: describe(_learner.Model.load(p))):
        read_bytes[0] = 0
        outcomes[outcome(lambda: load(path))] += 1
        assert read_bytes[0] <= len(data), (read_bytes[0], len(data))


def check_state(estimator, data):
    state = {{**estimator.__getstate__(), "_lindorf_model": data}}
    outcomes[outcome(lambda: type(estimator).__new__(type(estimator)).__setstate__(state))] += 1


out = os.memfd_create("model")  # a regular file in memory, rewritten for every mutant
path = f"/proc/self/fd/{{out}}"
for estimator in fitted:  # warm up: every import done, every thread started
    check_file(estimator.to_bytes(), path)
    check_state(estimator, estimator.__getstate__()["_lindorf_model"])
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (100 << 20), resource.RLIM_INFINITY))
for estimator in fitted:
    for data in mutants(estimator.to_bytes()):
        check_file(data, path)
    state_bytes = estimator.__getstate__()["_lindorf_model"]
    check_file(state_bytes, path)  # a model without the estimator's description
    for data in mutants(state_bytes):
        check_state(estimator, data)
result = outcomes
"""


def test_damaged_and_crafted_model_files_load_as_a_model_or_value_error():
    """Truncations, flipped bits (with the checksum left or made to match again) and every
    count field at 0, 1, 2^31 and 2^32 - 1: each load through the estimators, the command's
    models and a pickled state ends in a model or ValueError, reads no more than the file holds
    and stays within 100 MB."""
    outcome = run_snippet(FUZZ.format(tests=str(Path(__file__).parent)), prelude=False)
    assert outcome.error is None, outcome.error
    counts = eval(outcome.result)
    # Flips in thresholds, weights, impurities and row counts (about half of a node's bytes) make
    # models that still load; most damage does not.
    assert counts["model"] > 10 and counts["ValueError"] > 10 * counts["model"], counts
