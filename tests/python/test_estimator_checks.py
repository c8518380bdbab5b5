"""scikit-learn's own estimator checks, run on both estimators."""

from sklearn.utils.estimator_checks import parametrize_with_checks

from lindorf import DecisionTreeClassifier, RandomForestClassifier

# Each check that is expected to fail, with the reason next to it.
WEIGHTED_BOOTSTRAP = (
    "the check shuffles the weighted rows against the repeated ones, and bootstrap draws follow "
    "row order: a weighted forest equals, seed for seed, the forest of its rows repeated in "
    "place (tested in test_estimators.py)")
LEAF_TIES = ("a leaf's tie between equally frequent classes goes to the class whose latest "
             "training row comes last, as in train_tree_np; the check wants the arg-max of "
             "predict_proba, the lowest tied class")
EXPECTED_FAILURES = {
    "DecisionTreeClassifier": {"check_classifiers_train": LEAF_TIES},
    "RandomForestClassifier": {
        "check_sample_weight_equivalence_on_dense_data": WEIGHTED_BOOTSTRAP,
        "check_sample_weight_equivalence_on_sparse_data": WEIGHTED_BOOTSTRAP,
    },
}


@parametrize_with_checks(
    [DecisionTreeClassifier(), RandomForestClassifier(n_estimators=10)],
    expected_failed_checks=lambda estimator: EXPECTED_FAILURES[type(estimator).__name__],
)
def test_scikit_learn_checks(estimator, check):
    check(estimator)
