"""scikit-learn's own estimator checks, run on every estimator, with its defaults and with
non-default values of the parameters people tune."""

from sklearn.utils.estimator_checks import parametrize_with_checks

from lindorf import (DecisionTreeClassifier, DecisionTreeRegressor, ExtraTreeClassifier,
                     ExtraTreeRegressor, ExtraTreesClassifier, ExtraTreesRegressor,
                     RandomForestClassifier, RandomForestRegressor)

# Each check that is expected to fail, with the reason next to it: lindorf's tie rules. The weight
# checks fail alike on dense and sparse data, which grow the same trees.
LEAF_TIES = {"check_classifiers_train": (
    "a leaf's tie between equally frequent classes goes to the class whose latest training row "
    "comes last, as in train_tree_np; the check wants the arg-max of predict_proba, the lowest "
    "tied class")}
SPLIT_TIES = {f"check_sample_weight_equivalence_on_{kind}_data": (
    "equally good splits go to the one whose earliest training row comes first, and the check "
    "shuffles the weighted rows against their repeats (on its 15 rows and 30 features, balanced "
    "class weights make such ties)") for kind in ("dense", "sparse")}
DRAWS = {f"check_sample_weight_equivalence_on_{kind}_data": (
    "a bootstrap sample draws rows, whatever their weights: weighted rows and their repeats draw "
    "different samples (a forest on weighted rows is the one grown on each tree's drawn rows "
    "repeated by weight, tested in test_estimator_core.cpp)") for kind in ("dense", "sparse")}
POSITIVE = {"check_regressor_multioutput": (
    "the check fits make_regression's targets, negative ones among them, whatever the "
    "positive-only tag says; Poisson deviance takes no negative target")}
CASES = [
    (DecisionTreeClassifier(), LEAF_TIES),
    (DecisionTreeClassifier(class_weight="balanced", max_leaf_nodes=20, ccp_alpha=0.001,
                            min_weight_fraction_leaf=0.01, criterion="gini", min_samples_split=2),
     {**LEAF_TIES, **SPLIT_TIES}),
    (ExtraTreeClassifier(), {}),
    (RandomForestClassifier(n_estimators=10), DRAWS),
    (RandomForestClassifier(n_estimators=10, class_weight="balanced_subsample", max_samples=0.8,
                            min_impurity_decrease=1e-4, voting="hard", max_features=None), DRAWS),
    (ExtraTreesClassifier(n_estimators=10), {}),
    (DecisionTreeRegressor(), {}),
    (DecisionTreeRegressor(criterion="absolute_error", max_leaf_nodes=20, ccp_alpha=0.001,
                           min_weight_fraction_leaf=0.01), {}),
    (ExtraTreeRegressor(), {}),
    (RandomForestRegressor(n_estimators=10), DRAWS),
    (RandomForestRegressor(n_estimators=10, criterion="poisson", max_samples=0.8,
                           min_impurity_decrease=1e-4, max_features=0.5, oob_score=True),
     {**DRAWS, **POSITIVE}),
    (ExtraTreesRegressor(n_estimators=10), {}),
]
EXPECTED = {id(estimator): failures for estimator, failures in CASES}


@parametrize_with_checks([estimator for estimator, _ in CASES],
                         expected_failed_checks=lambda estimator: EXPECTED[id(estimator)])
def test_scikit_learn_checks(estimator, check):
    check(estimator)
