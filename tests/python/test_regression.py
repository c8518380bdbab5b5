"""The regressors against scikit-learn's: the same accuracy on real and synthetic data (the same
leaves but for near-ties are in test_sklearn_parity.py), and what a regressor must refuse, keep
exact and remember."""

import numpy as np
import pytest
from sklearn import datasets
from sklearn.base import clone
from sklearn.ensemble import RandomForestRegressor as SklearnForest
from sklearn.metrics import r2_score
from sklearn.model_selection import KFold, cross_val_score
from sklearn.tree import DecisionTreeRegressor as SklearnTree

from lindorf.ensemble import ExtraTreesRegressor, RandomForestRegressor
from lindorf.tree import DecisionTreeRegressor

CRITERIA = ["squared_error", "absolute_error", "poisson"]
ACCURACY_DATA = {
    "diabetes": lambda: datasets.load_diabetes(return_X_y=True),
    "make_regression": lambda: datasets.make_regression(1000, 10, n_informative=6, noise=20,
                                                        random_state=0),
    "friedman1": lambda: datasets.make_friedman1(1000, noise=1.0, random_state=0),
}


@pytest.mark.parametrize("data", list(ACCURACY_DATA))
@pytest.mark.parametrize("ours, theirs", [
    (DecisionTreeRegressor(max_depth=6, random_state=0),
     SklearnTree(max_depth=6, random_state=0)),
    (DecisionTreeRegressor(criterion="absolute_error", max_depth=6, random_state=0),
     SklearnTree(criterion="absolute_error", max_depth=6, random_state=0)),
    (RandomForestRegressor(50, max_features=1 / 3, random_state=0, n_jobs=2),
     SklearnForest(50, max_features=1 / 3, random_state=0, n_jobs=2)),
], ids=["tree", "absolute_error tree", "forest"])
def test_accuracy_is_scikit_learns_within_0_02(data, ours, theirs):
    X, y = ACCURACY_DATA[data]()
    folds = KFold(5, shuffle=True, random_state=0)
    mine = cross_val_score(ours, X, y, cv=folds, scoring="r2").mean()
    other = cross_val_score(theirs, X, y, cv=folds, scoring="r2").mean()
    assert mine >= other - 0.02, (mine, other)


@pytest.mark.parametrize("bad, message, criterion", [
    (np.nan, "NaN", "squared_error"), (np.inf, "infinity", "squared_error"),
    (-np.inf, "infinity", "squared_error"), (-1.0, "negative", "poisson"),
    (0.0, "strictly positive", "poisson")])  # 0.0: every target 0
def test_targets_that_are_not_finite_or_not_poisson_are_refused(bad, message, criterion):
    X, y = np.arange(10.0).reshape(-1, 1), np.arange(10.0) if bad else np.zeros(10)
    y[3] = bad
    for estimator in (DecisionTreeRegressor(criterion=criterion),
                      RandomForestRegressor(3, criterion=criterion)):
        with pytest.raises(ValueError, match=message):
            estimator.fit(X, y)


@pytest.mark.parametrize("criterion", CRITERIA)
def test_constant_targets_give_one_exact_leaf_and_equal_weights_change_nothing(criterion):
    rng = np.random.default_rng(3)
    X = rng.normal(size=(200, 3))
    # 0.1 summed 200 times is not 20 in floating point: the leaf still predicts 0.1 exactly.
    tree = DecisionTreeRegressor(criterion=criterion).fit(X, np.full(200, 0.1))
    assert tree.get_n_leaves() == 1 and tree.nodes_.impurity[0] == 0.0
    assert np.all(tree.predict(X) == 0.1)
    y = np.abs(X[:, 0]) + rng.random(200)
    plain = DecisionTreeRegressor(criterion=criterion, max_depth=6).fit(X, y)
    scaled = DecisionTreeRegressor(criterion=criterion, max_depth=6).fit(
        X, y, sample_weight=np.full(200, 7.3))
    np.testing.assert_array_equal(plain.apply(X), scaled.apply(X))
    np.testing.assert_array_equal(plain.predict(X), scaled.predict(X))


@pytest.mark.filterwarnings("ignore:Some inputs do not have OOB scores")
def test_out_of_bag_predictions_are_the_trees_that_did_not_draw_a_row():
    X, y = datasets.make_friedman1(400, random_state=1)
    whole = RandomForestRegressor(20, oob_score=True, random_state=4).fit(X, y)
    # Each row's out-of-bag prediction is the mean of the trees that did not draw it.
    drawn = np.zeros((20, len(X)), bool)
    for t, rows in enumerate(whole.estimators_samples_):
        drawn[t, rows] = True
    tree_predictions = np.stack([tree.predict(X) for tree in whole.estimators_])
    expected = np.where(~drawn, tree_predictions, 0).sum(0) / np.maximum((~drawn).sum(0), 1)
    np.testing.assert_allclose(whole.oob_prediction_, expected, rtol=1e-12)
    assert whole.oob_score_ == r2_score(y, whole.oob_prediction_)


@pytest.mark.parametrize("estimator", [
    DecisionTreeRegressor(max_depth=5, nan_side="learn"),
    DecisionTreeRegressor(criterion="absolute_error", max_depth=4),
    RandomForestRegressor(6, max_depth=4, random_state=0)], ids=["tree", "median", "forest"])
@pytest.mark.parametrize("outputs", [1, 2])
def test_explanations_and_exports_agree_with_the_tools(estimator, outputs):
    import onnxruntime
    import shap

    import lindorf
    from lindorf.tree import export_text

    X, y = datasets.make_regression(300, 5, n_targets=outputs, noise=5, random_state=3)
    X = X.astype(np.float32)
    X[::9, 1] = np.nan
    fitted = clone(estimator).fit(X, y)
    predicted = fitted.predict(X)
    theirs = fitted.to_sklearn()
    np.testing.assert_array_equal(theirs.predict(X), predicted)
    forest = hasattr(fitted, "estimators_")
    paths = [model.decision_path(X) for model in (fitted, theirs)]
    paths = [p[0] for p in paths] if forest else paths
    assert (paths[0] != paths[1]).nnz == 0
    contributions = fitted.predict_contributions(X[:40])
    np.testing.assert_allclose(contributions.sum(axis=1), predicted[:40], atol=1e-9)
    explainer = shap.TreeExplainer(theirs)
    np.testing.assert_allclose(np.asarray(explainer.shap_values(X[:40], check_additivity=False)),
                               contributions[:, :-1], atol=1e-9)
    session = onnxruntime.InferenceSession(lindorf.to_onnx(fitted).SerializeToString())
    onnx_values = session.run(None, {"X": X})[0]
    np.testing.assert_allclose(onnx_values, predicted.reshape(len(X), -1), rtol=1e-5,
                               atol=1e-4 * np.abs(predicted).max())
    if not forest:
        leaves = fitted.nodes_.value[fitted.nodes_.children_left == -1, :, 0]
        printed = [eval(line.split("value: ")[1]) for line in export_text(
            fitted, decimals=17, max_depth=99).splitlines() if "value:" in line]
        np.testing.assert_allclose(printed, leaves, rtol=1e-15)
