"""Models that an earlier lindorf pickled or saved still load and predict what they did then
(data/README.md says which version wrote them)."""

import pickle
from pathlib import Path

import numpy as np
import pytest

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
