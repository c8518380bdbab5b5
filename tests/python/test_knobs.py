"""The parameters people tune, each against what it means: warm starts against forests grown at
once, out-of-bag votes and drawn rows against the trees that left a row out, class weights
against multiplied sample weights, monotonic constraints against the probabilities they bound,
several outputs, threads, saved parameters, and AdaBoost on lindorf's stumps against
scikit-learn's."""

import pickle

import numpy as np
import pytest
from sklearn.ensemble import AdaBoostClassifier
from sklearn.model_selection import cross_val_score
from sklearn.tree import DecisionTreeClassifier as SklearnTree
from sklearn.utils.class_weight import compute_sample_weight

from lindorf import (DecisionTreeClassifier, ExtraTreeClassifier, ExtraTreesClassifier,
                     RandomForestClassifier, RandomForestRegressor)
from test_estimators import blobs, native_bytes, splits


@pytest.mark.filterwarnings("ignore:Some inputs do not have OOB scores")
@pytest.mark.parametrize("make", [RandomForestClassifier, ExtraTreesClassifier,
                                  RandomForestRegressor])
def test_a_warm_started_forest_is_the_forest_grown_at_once(make):
    x, y = blobs(300)
    if make is RandomForestRegressor:
        y = x[:, 0] + np.sin(x[:, 1])
    once = make(10, random_state=3, oob_score=True, bootstrap=True).fit(x, y)
    steps = make(4, random_state=3, warm_start=True, oob_score=True, bootstrap=True).fit(x, y)
    steps.set_params(n_estimators=10).fit(x, y)
    assert native_bytes(steps) == native_bytes(once)
    assert steps.oob_score_ == once.oob_score_
    for votes in ("oob_decision_function_", "oob_prediction_"):
        np.testing.assert_array_equal(getattr(steps, votes, None), getattr(once, votes, None))
    with pytest.warns(UserWarning, match="does not fit new trees"):
        steps.fit(x, y)
    with pytest.raises(ValueError, match="larger or equal"):
        steps.set_params(n_estimators=5).fit(x, y)
    unseeded = make(3, warm_start=True).fit(x, y)
    first = splits(unseeded)
    unseeded.set_params(n_estimators=5).fit(x, y)
    assert splits(unseeded)[:3] == first and splits(unseeded)[3] != first[0]


@pytest.mark.parametrize("voting", ["soft", "hard"])
def test_out_of_bag_votes_are_the_trees_that_did_not_draw_a_row(voting):
    x, y = blobs(200, seed=1)
    seen = []
    forest = RandomForestClassifier(
        12, random_state=2, max_samples=0.6, voting=voting,
        oob_score=lambda codes, predicted: seen.append((codes, predicted)) or 0.5).fit(x, y)
    samples = forest.estimators_samples_
    assert [len(s) for s in samples] == [120] * 12 and forest.oob_score_ == 0.5
    sums, counts = np.zeros((200, 3)), np.zeros(200)
    for tree, drawn in zip(forest.estimators_, samples):
        out = np.setdiff1d(np.arange(200), drawn)
        vote = (tree.predict_proba(x[out]) if voting == "soft"
                else tree.predict(x[out])[:, None] == forest.classes_)
        sums[out] += vote
        counts[out] += 1
    np.testing.assert_allclose(forest.oob_decision_function_, sums / counts[:, None], rtol=1e-14)
    codes, predicted = seen[0]
    assert codes.tolist() == np.searchsorted(forest.classes_, y).tolist()
    assert predicted.tolist() == np.argmax(sums, axis=1).tolist()
    assert [len(s) for s in ExtraTreesClassifier(3).fit(x, y).estimators_samples_] == [200] * 3


def test_weights_weigh_as_repeated_rows_at_any_scale_and_class_weights_multiply_them():
    """Whole-number weights weigh as their rows repeated in place (rows count once, so with
    minimums of rows that copies would meet alike); scaling every weight changes no split, on the
    exact path (doubled) or the double-precision one (halved); a forest draws rows whatever their
    weights; class weights are sample weights multiplied by each row's class's."""
    x, y = blobs(300, seed=2)
    weights = np.random.default_rng(1).integers(0, 4, size=len(y))
    weighted = DecisionTreeClassifier(max_depth=6, min_samples_split=2).fit(
        x, y, sample_weight=weights.astype(float))
    repeated = DecisionTreeClassifier(max_depth=6, min_samples_split=2).fit(
        np.repeat(x, weights, axis=0), np.repeat(y, weights))
    assert splits(weighted) == splits(repeated)
    for make in (lambda **p: DecisionTreeClassifier(max_depth=6, min_samples_leaf=3, **p),
                 lambda **p: RandomForestClassifier(8, random_state=1, max_features=3, **p),
                 lambda **p: RandomForestClassifier(8, bootstrap=False, max_features=3,
                                                    random_state=2, **p)):
        expected = splits(make().fit(x, y, sample_weight=weights))
        for scale in (2, 0.5):
            assert splits(make().fit(x, y, sample_weight=weights * scale)) == expected
        for class_weight in ({"ant": 1, "bee": 4, "cat": 0.5}, "balanced"):
            expanded = compute_sample_weight(class_weight, y) * weights
            assert splits(make(class_weight=class_weight).fit(x, y, sample_weight=weights)) \
                == splits(make().fit(x, y, sample_weight=expanded))
    # Without bootstrap a tree's sample is every row: balanced on it is balanced on them all.
    assert splits(RandomForestClassifier(4, bootstrap=False, random_state=0,
                                         class_weight="balanced_subsample").fit(x, y)) \
        == splits(RandomForestClassifier(4, bootstrap=False, random_state=0,
                                         class_weight="balanced").fit(x, y))
    for bad in (-weights, np.full(len(y), np.nan), np.zeros(len(y))):
        with pytest.raises(ValueError):
            DecisionTreeClassifier().fit(x, y, sample_weight=bad)


@pytest.mark.parametrize("make", [RandomForestClassifier, RandomForestRegressor])
@pytest.mark.parametrize("weight", [1, 0.5])
def test_a_bootstrap_sample_of_weightless_rows_is_a_clear_error(make, weight):
    # One row of ten carries weight and each tree draws one row: some tree draws none with it.
    x, y = np.arange(10.0).reshape(-1, 1), np.arange(10) % 2
    with pytest.raises(ValueError, match=r"\bclass\b.*weight 0|weight 0.*\bclass\b"):
        make(20, max_samples=1, random_state=0).fit(x, y, sample_weight=[weight] + [0] * 9)


@pytest.mark.parametrize("weight", [2147483647.0, 4e9, 3e38])
def test_weights_near_or_beyond_32_bits_grow_the_unit_weights_forest(weight, tmp_path):
    # Totals near 2^32 once wrapped a node's count to zero, leaving a root leaf that could not
    # be saved; scaling every weight must change nothing here, where no split nearly ties.
    x, y = np.array([[0.0], [1.0], [2.0], [3.0]]), [0, 1, 0, 1]
    make = lambda: RandomForestClassifier(8, min_samples_split=2, random_state=0)  # noqa: E731
    heavy = make().fit(x, y, sample_weight=[weight] * 4)
    assert splits(heavy) == splits(make().fit(x, y))
    heavy.save(tmp_path / "heavy.lindorf")
    for again in (pickle.loads(pickle.dumps(heavy)),
                  RandomForestClassifier.load(tmp_path / "heavy.lindorf")):
        np.testing.assert_array_equal(again.predict_proba(x), heavy.predict_proba(x))


@pytest.mark.parametrize("make", [
    lambda: DecisionTreeClassifier(monotonic_cst=[1, -1, 0], min_samples_leaf=3),
    lambda: RandomForestClassifier(20, monotonic_cst=[1, -1, 0], random_state=0),
    lambda: ExtraTreesClassifier(20, monotonic_cst=[1, -1, 0], random_state=0),
])
def test_monotonic_constraints_bound_the_share_of_class_1(make):
    rng = np.random.default_rng(5)
    x = rng.normal(size=(400, 3))
    y = (x[:, 0] - x[:, 1] + rng.normal(scale=1.5, size=400) > 0).astype(int)
    model = make().fit(x, y)
    grid = np.linspace(-3, 3, 61)
    for base in rng.normal(size=(20, 3)):
        for feature, sign in ((0, 1), (1, -1)):
            rows = np.repeat(base[None], len(grid), axis=0)
            rows[:, feature] = grid
            share = model.predict_proba(rows)[:, 1]
            assert np.all(sign * np.diff(share) >= -1e-12), (feature, share)
    with pytest.raises(ValueError, match="multiclass"):
        make().fit(x, y + (x[:, 2] > 1))


def test_several_outputs_predict_each_output():
    x, y = blobs(300, seed=6)
    second = np.where(x[:, 2] > 0, "up", "down")
    Y = np.stack([y, second], axis=1)
    for model in (DecisionTreeClassifier(max_depth=4), ExtraTreeClassifier(random_state=0),
                  RandomForestClassifier(8, random_state=0),
                  RandomForestClassifier(8, random_state=0, voting="hard")):
        model.fit(x, Y)
        proba = model.predict_proba(x)
        assert model.n_outputs_ == 2 and [p.shape for p in proba] == [(300, 3), (300, 2)]
        expected = np.stack([c[np.argmax(p, axis=1)] for c, p in zip(model.classes_, proba)], 1)
        assert (model.predict(x) == expected).all() and np.mean(expected == Y) > 0.8
    # The same partition as scikit-learn's tree of several outputs.
    ours = DecisionTreeClassifier(max_depth=3, min_samples_split=2).fit(x, Y)
    theirs = SklearnTree(max_depth=3, criterion="entropy").fit(x, Y)
    assert (np.unique(np.stack([ours.apply(x), theirs.apply(x)], 1), axis=0).shape[0]
            == ours.get_n_leaves() == theirs.get_n_leaves())


def test_a_trees_threads_change_nothing():
    x, y = blobs(3000, seed=7)
    params = dict(class_weight={"ant": 2, "bee": 1, "cat": 3}, max_leaf_nodes=30,
                  min_impurity_decrease=1e-4, nan_side="learn", ccp_alpha=1e-4, max_features=4,
                  random_state=8)
    trees = [DecisionTreeClassifier(n_jobs=jobs, **params).fit(x, y) for jobs in (1, 2)]
    assert native_bytes(trees[0]) == native_bytes(trees[1])


@pytest.mark.parametrize("load", ["breast_cancer", "iris", "wine", "digits"])
def test_adaboost_on_lindorf_stumps_scores_as_on_scikit_learns(load):
    import sklearn.datasets

    x, y = getattr(sklearn.datasets, f"load_{load}")(return_X_y=True)
    scores = [cross_val_score(AdaBoostClassifier(stump, n_estimators=50, random_state=0), x, y,
                              cv=5).mean()
              for stump in (DecisionTreeClassifier(max_depth=1, criterion="gini",
                                                   min_samples_split=2),
                            SklearnTree(max_depth=1))]
    assert abs(scores[0] - scores[1]) <= 0.02, scores
