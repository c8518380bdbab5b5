"""The estimators against the learner they wrap and against themselves: exact equality with
train_tree_np (the plain learner's, in test_tree.py), seeded forests across thread counts and
pickling, saving, and the interpreter lock released during fit."""

import pickle
import re
import sys
import threading
import time

import numpy as np
import pytest

from conftest import report, run_snippet
from lindorf import _learner
from lindorf import (DecisionTreeClassifier, DecisionTreeRegressor, ExtraTreeClassifier,
                     ExtraTreeRegressor, ExtraTreesClassifier, ExtraTreesRegressor,
                     RandomForestClassifier, RandomForestRegressor)


def test_large_tree_reports_like_train_tree_np(tmp_path):
    """Large enough for growth to share nodes and whole subtrees among threads."""
    rng = np.random.default_rng(8)
    x = np.round(rng.normal(size=(20000, 6)), 1).astype(np.float32)
    x[rng.random(x.shape) < 0.02] = np.nan
    y = ((x[:, 0] > 0) ^ (x[:, 1] > 0.5) ^ (rng.random(20000) < 0.1)).astype(np.uint32)
    tree = DecisionTreeClassifier(max_depth=12).fit(x[:18000], y[:18000])
    np.savez(tmp_path / "data.npz", x=x, y=y)
    outcome = run_snippet(f"d = np.load({str(tmp_path / 'data.npz')!r}); "
                          "train_tree_np(d['x'], d['y'], 12)")
    assert outcome.stdout.splitlines()[2:] == (
        f"Tree depth: {tree.get_depth()}\n" + report(tree.predict(x[18000:]), y[18000:])
    ).splitlines()


def blobs(n=400, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 6)).astype(np.float32)
    y = np.array(["ant", "bee", "cat"])[(x[:, 0] > 0).astype(int) + (x[:, 1] > 1)]
    return x, y


def native_bytes(estimator):
    return estimator._native.to_bytes(b"")


@pytest.mark.parametrize("params", [{}, {"max_features": "sqrt", "min_samples_leaf": 2},
                                    {"bootstrap": False, "max_features": 2, "max_depth": 5}])
def test_seeded_forests_are_the_same_across_threads_and_pickling(params):
    x, y = blobs()
    forests = [RandomForestClassifier(12, random_state=4, n_jobs=jobs, **params).fit(x, y)
               for jobs in (1, 2, -1)]
    expected = native_bytes(forests[0])
    assert all(native_bytes(f) == expected for f in forests)
    restored = pickle.loads(pickle.dumps(forests[1]))
    assert native_bytes(restored) == expected
    np.testing.assert_array_equal(restored.predict_proba(x), forests[0].predict_proba(x))
    other = RandomForestClassifier(12, random_state=5, **params).fit(x, y)
    assert native_bytes(other) != expected
    side_by_side = [RandomForestClassifier(12, random_state=4, n_jobs=2, **params) for _ in "ab"]
    threads = [threading.Thread(target=f.fit, args=(x, y)) for f in side_by_side]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(native_bytes(f) == expected for f in side_by_side)


def splits(estimator):
    """Every tree's nodes as routing and labelling see them (not the rows they count)."""
    return [{k: v.tolist() for k, v in estimator._native.node_table(t).items()
             if k in ("children_left", "children_right", "feature", "threshold",
                      "missing_go_to_left", "label")}
            for t in range(estimator._native.n_trees)]


@pytest.mark.parametrize("outputs", [1, 2])
@pytest.mark.parametrize("make", [
    lambda: RandomForestClassifier(5, max_features="log2", random_state=9),
    # Parameters of every kind: a dict of class weights, fractions, learned NaN sides.
    lambda: DecisionTreeClassifier(class_weight={"ant": 2, "bee": 1, "cat": 3}, max_leaf_nodes=30,
                                   min_impurity_decrease=1e-4, nan_side="learn", ccp_alpha=1e-4,
                                   max_features=4, random_state=8),
    lambda: ExtraTreesClassifier(5, random_state=1, voting="hard", max_samples=None),
    lambda: ExtraTreeClassifier(random_state=0),
    lambda: DecisionTreeRegressor(max_depth=4), lambda: ExtraTreeRegressor(random_state=0),
    lambda: RandomForestRegressor(5, random_state=0),
    lambda: ExtraTreesRegressor(5, random_state=0),
])
def test_models_outlive_pickles_bytes_and_files(make, outputs, tmp_path):
    """Each way back keeps the estimator's type, parameters, classes, feature names and answers;
    a model read as another kind of estimator is refused."""
    pandas = pytest.importorskip("pandas")
    from lindorf import estimators

    x, y = blobs(300)
    frame = pandas.DataFrame(x, columns=[f"f{i}" for i in range(6)])
    model = make()
    if hasattr(model, "predict_proba"):
        targets = np.c_[y, np.where(x[:, 2] > 0, "up", "down")]
    else:
        targets = np.c_[x[:, 0] * 2 + np.sin(x[:, 1]), x[:, 2]]
    if outputs == 2 and isinstance(model.get_params().get("class_weight"), dict):
        model.set_params(class_weight=[model.class_weight, {"down": 1, "up": 2.5}])
    fitted = model.fit(frame, targets[:, 0] if outputs == 1 else targets)
    fitted.save(tmp_path / "model")
    kind = type(fitted)
    for copy in (pickle.loads(pickle.dumps(fitted)), kind.from_bytes(fitted.to_bytes()),
                 kind.load(tmp_path / "model"), estimators.load(tmp_path / "model")):
        assert type(copy) is kind and copy.get_params() == fitted.get_params()
        assert copy.feature_names_in_.tolist() == list(frame.columns)
        assert repr(getattr(copy, "classes_", None)) == repr(getattr(fitted, "classes_", None))
        predicted = copy.predict(frame)
        assert predicted.shape == (300, 2)[:outputs]
        np.testing.assert_array_equal(predicted, fitted.predict(frame))
        if hasattr(model, "predict_proba"):  # a list of arrays for several outputs
            np.testing.assert_equal(copy.predict_proba(frame), fitted.predict_proba(frame))
    other = RandomForestClassifier if kind is DecisionTreeClassifier else DecisionTreeClassifier
    for read in (lambda: other.load(tmp_path / "model"), lambda: other.from_bytes(fitted.to_bytes())):
        with pytest.raises(ValueError, match=f"not a {other.__name__}"):
            read()


def test_saving_replaces_a_file_whole_or_not_at_all(tmp_path):
    """A save that fails part way (here the file size limit stands for a full disk) leaves the
    file as it was; saves racing to one path leave one whole model. Through a symbolic link, the
    file it points to is replaced and keeps its permissions."""
    x, y = blobs(300)
    small = DecisionTreeClassifier(max_depth=1).fit(x, y)
    large = RandomForestClassifier(20, random_state=0).fit(x, y)
    target, link = tmp_path / "model.lindorf", tmp_path / "link.lindorf"
    small.save(target)
    target.chmod(0o640)
    link.symlink_to(target)
    large.save(tmp_path / "large.lindorf")
    full = run_snippet(f"""
        import resource, signal
        from lindorf import estimators
        model = estimators.load({str(tmp_path / "large.lindorf")!r})
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
        model.save({str(link)!r})
        """, prelude=False)
    assert full.error and full.error[0] == "OSError" and "too large" in full.error[1]
    expected = {small.to_bytes(), large.to_bytes()}
    assert target.read_bytes() == small.to_bytes()
    for _ in range(60):
        racers = [threading.Thread(target=model.save, args=(link,)) for model in (small, large)]
        for racer in racers:
            racer.start()
        for racer in racers:
            racer.join()
        assert target.read_bytes() in expected
    assert link.is_symlink() and (target.stat().st_mode & 0o777) == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["large.lindorf", "link.lindorf",
                                                         "model.lindorf"]


@pytest.mark.parametrize("many_classes", [_learner.MANY_CLASSES, 0])
def test_probabilities_are_leaf_shares_and_mean_or_vote_shares(many_classes, monkeypatch):
    # A forest predicts a few rows at a time where all its class shares would be too many, and
    # from its leaves' classes alone where it has many classes.
    monkeypatch.setattr(_learner, "SHARES_BUDGET", 200)
    monkeypatch.setattr(_learner, "MANY_CLASSES", many_classes)
    x, y = blobs(300, seed=4)
    tree = DecisionTreeClassifier(max_depth=3).fit(x, y)
    leaves = tree.apply(x)
    for leaf in np.unique(leaves):
        shares = [np.mean(y[leaves == leaf] == c) for c in tree.classes_]
        np.testing.assert_allclose(tree.predict_proba(x[leaves == leaf]), [shares] * sum(leaves == leaf))
    soft = RandomForestClassifier(6, max_depth=1, max_features=None, random_state=0).fit(x, y)
    # The trees' shares added in tree order, then divided once: the same sums, bit for bit.
    mean = sum(t.predict_proba(x) for t in soft.estimators_) / 6
    np.testing.assert_array_equal(soft.predict_proba(x), mean)
    assert soft.predict(x).tolist() == soft.classes_[np.argmax(mean, axis=1)].tolist()
    forest = RandomForestClassifier(6, max_depth=1, max_features=None, random_state=0,
                                    voting="hard").fit(x, y)
    votes = sum(t.predict(x)[:, None] == forest.classes_ for t in forest.estimators_)
    np.testing.assert_array_equal(forest.predict_proba(x), votes / 6)
    top = votes == votes.max(axis=1, keepdims=True)
    assert top.sum(axis=1).max() > 1, "the data must give some tied votes"
    assert forest.predict(x).tolist() == forest.classes_[np.argmax(top, axis=1)].tolist()
    # Random labels of 40 classes: trees that disagree, ties everywhere.
    rng = np.random.default_rng(5)
    x, y = rng.normal(size=(600, 4)).astype(np.float32), rng.integers(0, 40, 600)
    sparse = pytest.importorskip("scipy.sparse")
    for voting in ("soft", "hard"):
        model = RandomForestClassifier(3, max_depth=4, voting=voting, random_state=5).fit(x, y)
        proba = model.predict_proba(x)
        assert model.predict(x).tolist() == model.classes_[np.argmax(proba, axis=1)].tolist()
        assert model.predict(sparse.csr_matrix(x)).tolist() == model.predict(x).tolist()


def test_fit_releases_the_interpreter_lock_and_survives_writes_to_x():
    """Another thread keeps running, and writing into the training rows, during each fit. The
    switch interval is far longer than the fits, so the other thread can only run while a fit
    gives the lock up of its own accord: with the lock held through the learner it would not run
    at all until the fit returned, however the machine's load schedules the threads."""
    x, y = blobs(100_000, seed=5)
    ticks = []
    done = threading.Event()

    def meddle():
        rng = np.random.default_rng(0)
        while not done.is_set():
            ticks.append(time.perf_counter())
            x[rng.integers(len(x))] = rng.normal(size=6)

    interval = sys.getswitchinterval()
    worker = threading.Thread(target=meddle)
    worker.start()
    while not ticks:
        time.sleep(0.001)
    sys.setswitchinterval(60.0)
    try:
        windows = []
        for make in (lambda: DecisionTreeClassifier(max_depth=12),
                     lambda: RandomForestClassifier(4, max_depth=10, n_jobs=2)):
            start = time.perf_counter()
            make().fit(x, y)
            windows.append((start, time.perf_counter()))
    finally:
        sys.setswitchinterval(interval)
        done.set()
        worker.join()
    # A thread waiting for the lock may still take it once as the switch interval changes, so
    # only ticks in the later half of each fit count.
    for start, end in windows:
        middle = (start + end) / 2
        assert sum(middle < t < end for t in ticks) >= 10, (start, end)


# Ctrl-C while the learner grows, in a child killed if it is never interrupted. A collection is
# due when the signal comes, of garbage whose finalizer runs Python code: had the learner's check
# for signals run that collection first, the finalizer would have taken the KeyboardInterrupt
# (Python only prints an exception raised there) and the fit would have gone on.
CTRL_C = """
import gc, os, select, signal, sys, threading, time
import numpy as np
from sklearn.exceptions import NotFittedError
from lindorf import DecisionTreeClassifier, ExtraTreesClassifier, RandomForestClassifier

rng = np.random.default_rng(6)
x = rng.normal(size=(1_000_000, 6)).astype(np.float32)
# Labels a fifth of them at random: a tree grows for seconds, a forest of 100,000 trees for hours.
y = np.where(rng.random(len(x)) < 0.2, rng.integers(0, 3, len(x)), (x[:, 0] > 0) + (x[:, 1] > 1))
estimator = {make}
lost = []
sys.unraisablehook = lambda report: lost.append(report.exc_type.__name__)


class Garbage:
    def __init__(self):
        self.cycle = self

    def __del__(self):
        for _ in range(10_000):
            pass


def interrupt(main, idle):
    # Once the fit is in the learner's call (its frame stays there while the learner works).
    while sys._current_frames()[main].f_code.co_name not in ("fit_tree", "fit_forest"):
        time.sleep(0.005)
    time.sleep(0.2)
    for _ in range(5):
        Garbage()
    signal.pthread_kill(main, signal.SIGINT)
    gc.set_threshold(1)
    select.select({{idle}}, [], [], 0.5)  # allocates, scheduling a collection, and lets go of the lock


gc.collect()
gc.set_threshold(100_000)
threading.Thread(target=interrupt, args=(threading.main_thread().ident, os.pipe()[0])).start()
start = time.monotonic()
try:
    estimator.fit(x, y)
    ending = "finished"
except KeyboardInterrupt:
    ending = "interrupted"
seconds = time.monotonic() - start
try:
    estimator.predict(x[:1])
    fitted = True
except NotFittedError:
    fitted = False
result = (ending, fitted, lost, seconds)
"""


@pytest.mark.parametrize("make", ["DecisionTreeClassifier()",
                                  "RandomForestClassifier(100_000, n_jobs=2)"])
def test_ctrl_c_interrupts_a_long_fit_and_leaves_the_estimator_unfitted(make):
    outcome = run_snippet(CTRL_C.format(make=make), prelude=False, timeout=60)
    assert outcome.error is None, outcome.error
    ending, fitted, lost, seconds = eval(outcome.result)
    assert (ending, fitted, lost) == ("interrupted", False, [])
    assert seconds < 30  # the signal comes within a second of the fit's start


def test_verbose_forest_reports_progress_on_standard_error(capsys):
    x, y = blobs(500)
    RandomForestClassifier(10, verbose=1).fit(x, y)
    lines = capsys.readouterr().err.splitlines()
    assert lines and lines[-1].startswith("lindorf: 10/10 trees, ")
    assert all(re.fullmatch(r"lindorf: \d+/10 trees, [\d.]+ s elapsed, .*", line) for line in lines)


def _outcome(call):
    """What a call returns or raises, and the warnings it gives."""
    import warnings

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("rows", call())
        except Exception as error:  # noqa: BLE001 - compared whole
            result = (type(error), str(error))
    return result, [str(w.message) for w in caught]


@pytest.mark.parametrize("named", [False, True])
def test_prediction_rows_pass_exactly_scikit_learns_checks(named):
    """Predictions check their rows quickly in the common case: every row array must still come
    out (or be refused, or warned about) as scikit-learn's own checks would have it."""
    pd = pytest.importorskip("pandas")
    from sklearn.utils.validation import validate_data

    rng = np.random.default_rng(5)
    x = rng.normal(size=(40, 3)).astype(np.float32)
    fitted = pd.DataFrame(x, columns=list("abc")) if named else x
    forest = RandomForestClassifier(3, random_state=0).fit(fitted, x[:, 0] > 0)
    wide = rng.normal(size=(4, 6))
    cases = [x[:5], x[:5].astype(np.float64), np.asfortranarray(x[:5]), wide[:, ::2],
             np.where(x[:5] > 1, np.nan, x[:5]), np.where(x[:5] > 1, np.inf, x[:5]),
             np.where(x[:5] > 1, -np.inf, x[:5]), np.full((2, 3), 1e300), x[:5, :2], x[:0],
             x[0], x[:5].astype(np.int64), x[:5].astype(np.float16), pd.DataFrame(x[:5])]
    for rows in cases:
        ours, our_warnings = _outcome(lambda: forest._rows(rows))
        theirs, their_warnings = _outcome(lambda: validate_data(
            forest, rows, reset=False, dtype=np.float32, order="C", ensure_all_finite="allow-nan"))
        assert our_warnings == their_warnings
        if theirs[0] != "rows":
            assert ours == theirs
            continue
        assert ours[0] == "rows" and ours[1].dtype == np.float32 and ours[1].flags.c_contiguous
        np.testing.assert_array_equal(ours[1], theirs[1])


@pytest.mark.parametrize("make", [
    lambda: DecisionTreeClassifier(random_state=0),
    lambda: DecisionTreeClassifier(max_features="sqrt", min_samples_leaf=2, random_state=1),
    lambda: RandomForestClassifier(6, max_features="sqrt", oob_score=True, random_state=2),
    lambda: RandomForestClassifier(6, voting="hard", min_weight_fraction_leaf=0.02,
                                   oob_score=True, random_state=3),
    # Rules that grow from the matrix laid out densely: fractional weights, a leaf limit,
    # learned NaN sides, random thresholds.
    lambda: DecisionTreeClassifier(class_weight="balanced", max_leaf_nodes=9, nan_side="learn",
                                   random_state=4),
    lambda: ExtraTreesClassifier(5, bootstrap=True, oob_score=True, random_state=5),
    # Regressors grow from the matrix laid out densely, and predict from sparse rows.
    lambda: DecisionTreeRegressor(max_leaf_nodes=12, random_state=6),
    lambda: ExtraTreesRegressor(4, criterion="absolute_error", bootstrap=True, oob_score=True,
                                random_state=7),
])
def test_sparse_matrices_grow_and_predict_as_their_dense_layout(make, monkeypatch):
    """Fits, predictions and explanations of scipy's sparse matrices and arrays, never laid out
    densely as a whole where the growth rules allow, must be those of the dense matrix they stand
    for (scipy's toarray): the same trees, byte for byte, and the same answers, also when the
    rows are predicted a few at a time."""
    monkeypatch.setattr(_learner, "SHARES_BUDGET", 200)
    sp = pytest.importorskip("scipy.sparse")
    rng = np.random.default_rng(11)
    x = sp.random(400, 30, density=0.08, format="coo", dtype=np.float32, random_state=3)
    x.data = np.round(x.data * 6 - 3)  # negative, positive, stored zeros of both signs
    x.data[::17] = np.nan
    # Two stored values for one place: a matrix not in canonical form, whose sum counts.
    x = sp.coo_matrix((np.r_[x.data, [1.5, -0.5]], (np.r_[x.row, [5, 5]], np.r_[x.col, [2, 2]])),
                      shape=x.shape)
    dense = x.toarray()
    signal, noise = np.nan_to_num(dense[:, :4]).sum(axis=1), rng.integers(0, 2, 400)
    regressor = isinstance(make(), (DecisionTreeRegressor, ExtraTreesRegressor))
    y = signal + 0.5 * noise if regressor else (signal > 0).astype(int) + noise
    weights = rng.integers(0, 3, 400).astype(float)
    expected = make().fit(dense, y, sample_weight=weights)
    asked = sp.random(50, 30, density=0.2, format="csc", dtype=np.float32, random_state=4)
    for fitted_form in (sp.csc_matrix, sp.csr_array):
        model = make().fit(fitted_form(x), y, sample_weight=weights)
        assert model.to_bytes() == expected.to_bytes()
        if hasattr(expected, "oob_score_"):
            assert model.oob_score_ == expected.oob_score_
        for rows in (asked, sp.csr_matrix(asked), sp.csc_array(asked)):
            for method in ("predict", "predict_proba", "apply", "predict_contributions"):
                if regressor and method == "predict_proba":
                    continue
                np.testing.assert_array_equal(getattr(model, method)(rows),
                                              getattr(expected, method)(asked.toarray()))
            paths, dense_paths = model.decision_path(rows), expected.decision_path(asked.toarray())
            if isinstance(paths, tuple):
                np.testing.assert_array_equal(paths[1], dense_paths[1])
                paths, dense_paths = paths[0], dense_paths[0]
            np.testing.assert_array_equal(paths.toarray(), dense_paths.toarray())


@pytest.mark.parametrize("make", [
    lambda: RandomForestClassifier(7, random_state=0),
    lambda: RandomForestClassifier(7, voting="hard", nan_side="learn", random_state=1),
    lambda: ExtraTreesClassifier(5, random_state=2),
    lambda: RandomForestRegressor(7, max_features=0.6, nan_side="learn", random_state=3),
])
def test_one_row_predictions_are_the_rows_of_the_batch(make, monkeypatch):
    """A few rows take a quick check and one thread; soft and hard votes, learned NaN sides,
    regression values and several outputs must answer them as the batch does, from the walks
    prepared at fit, and as a batch predicted a few rows at a time does."""
    monkeypatch.setattr(_learner, "SHARES_BUDGET", 200)
    rng = np.random.default_rng(9)
    x = rng.normal(size=(300, 5)).astype(np.float32)
    x[rng.random(x.shape) < 0.1] = np.nan
    y = np.c_[np.nan_to_num(x[:, 0]) > 0, rng.integers(0, 3, 300)]
    regressor = isinstance(make(), RandomForestRegressor)
    if regressor:
        y = np.c_[np.nan_to_num(x[:, 0]) * 2.0, rng.normal(size=300)]
    for labels in (y[:, 0], y):
        model = make().fit(x, labels)
        proba = model.predict if regressor else model.predict_proba  # a regressor has none
        batch = [model.predict(x), proba(x), model.apply(x)]
        for i in range(0, 300, 29):
            one = [model.predict(x[i:i + 1]), proba(x[i:i + 1]),
                   model.apply(x[i:i + 1].astype(np.float64))]
            for got, want in zip(one, batch):
                for g, w in zip(*((v if isinstance(v, list) else [v]) for v in (got, want))):
                    np.testing.assert_array_equal(g, w[i:i + 1])
