"""scikit-learn estimators on lindorf's exact core.

``DecisionTreeClassifier`` and ``RandomForestClassifier`` follow scikit-learn's estimator API
(``fit``, ``predict``, ``predict_proba``, ``score``, ``get_params``...) and grow their trees with
the same C++ learner as ``lindorf._lindorf``: with the defaults, a tree predicts exactly what
``train_tree_np`` predicts. They need scikit-learn (``pip install 'lindorf[sklearn]'``); what
they fit, predict and save with is ``lindorf._learner``, which needs NumPy alone and which the
command-line tool uses directly. This module adds scikit-learn's validation, parameters, tags and
fitted attributes.

Stable interfaces for other tools:

- ``est.to_bytes()`` / ``Class.from_bytes(data)``, ``est.save(path)`` / ``Class.load(path)`` and
  ``lindorf.estimators.load(path)``: the versioned model format (never pickle, so a model file is
  safe to load). It carries the parameters, the classes (numbers, strings or booleans) and the
  feature names. Damaged bytes or a format version this lindorf does not read raise
  ``ValueError``.
- ``RandomForestClassifier._fit_chunk(X, y, sample_weight, first, count, poll=None)`` grows the
  trees with indices ``first .. first + count - 1`` of the forest that the estimator's
  parameters describe, exactly as a whole fit grows them; ``RandomForestClassifier.
  _join_chunks(chunks)`` turns the chunks, in tree order, into the fitted estimator. Inside a
  joblib backend that is not one of joblib's own (Dask's, Ray's), ``fit`` grows its chunks on
  the backend's workers (``lindorf._distributed``).
- ``predict``, ``predict_proba`` and ``predict_log_proba`` of a ``dask.array`` or
  ``dask.dataframe`` return a lazy ``dask.array``, computed block by block (``lindorf._blocks``).
- ``fit`` releases the interpreter lock while the learner works; Ctrl-C raises
  ``KeyboardInterrupt`` and leaves the estimator unfitted.
"""

from __future__ import annotations

import numbers
import sys
import time
import warnings
from typing import NamedTuple

import numpy as np

try:
    import sklearn  # noqa: F401
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        "lindorf's estimators need scikit-learn: install it with pip install 'lindorf[sklearn]'"
    ) from error

from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.metrics import accuracy_score
from sklearn.utils._param_validation import Interval, RealNotInt, StrOptions
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data

from lindorf import _blocks, _distributed, _estimators, _learner, _model_file

__all__ = ["DecisionTreeClassifier", "RandomForestClassifier", "ClusterFitError", "load"]

ClusterFitError = _distributed.ClusterFitError

_U32_MAX = _learner.U32_MAX
_seed_of = _learner.seed_of


class _Input(NamedTuple):
    """A _learner.Training with the attributes that describe it."""

    X: np.ndarray  # C-contiguous float32
    codes: np.ndarray  # uint32 class indices
    weights: np.ndarray | None  # uint32, or None when every weight is 1
    total: int  # total weight
    classes: np.ndarray
    fitted: dict  # classes_, n_classes_, n_features_in_ (and feature_names_in_)


class _Chunk(NamedTuple):
    native: object  # _estimators.NativeModel of the chunk's trees
    oob_votes: np.ndarray | None
    codes: np.ndarray
    fitted: dict


def _threads_for(n_jobs):
    """Threads for `n_jobs` as scikit-learn counts them (None: the active joblib context's
    n_jobs, or 1), never more than the usable cores. Counted as joblib's thread backend counts:
    its process backends count 1 inside daemonic processes, such as Dask's workers."""
    from joblib import effective_n_jobs, parallel_config

    with parallel_config(backend="threading"):
        return max(1, min(effective_n_jobs(n_jobs), _learner.usable_cores()))


class _TreeLearner(ClassifierMixin, BaseEstimator):
    """What both estimators share: parameters of growth, input checks, prediction inputs,
    persistence."""

    _forest = False  # whether the native model's trees vote
    _parameter_constraints: dict = {
        "criterion": [StrOptions({"entropy", "gini"})],
        "max_depth": [Interval(numbers.Integral, 0, None, closed="left"), None],
        "min_samples_split": [
            Interval(numbers.Integral, 2, None, closed="left"),
            Interval(RealNotInt, 0.0, 1.0, closed="right"),
        ],
        "min_samples_leaf": [
            Interval(numbers.Integral, 1, None, closed="left"),
            Interval(RealNotInt, 0.0, 1.0, closed="neither"),
        ],
        "max_features": [
            Interval(numbers.Integral, 1, None, closed="left"),
            Interval(RealNotInt, 0.0, 1.0, closed="right"),
            StrOptions({"sqrt", "log2"}),
            None,
        ],
        "random_state": [
            Interval(numbers.Integral, 0, 2**64 - 1, closed="both"),
            np.random.RandomState,
            np.random.Generator,
            None,
        ],
    }

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        return tags

    # -- fitting ------------------------------------------------------------------------------

    def _forget_fit(self):
        """Back to unfitted: every attribute a fit sets is gone."""
        for name in [n for n in vars(self) if n.endswith("_") and not n.startswith("__")]:
            del self.__dict__[name]
        self.__dict__.pop("_native", None)

    def _fit_input(self, X, y, sample_weight):
        """The checked training data: X as C-contiguous float32, class indices, weights as
        uint32 or None, and the attributes that describe it (set only once a fit succeeds, so
        that a fit that fails or is interrupted leaves the estimator unfitted)."""
        self._forget_fit()
        # A float32 C-contiguous X is not copied: the learner reads every feature value once,
        # into its own sorted copies, so a thread writing to the array meanwhile cannot make its
        # reads disagree.
        X, y = validate_data(self, X, y, dtype=np.float32, order="C",
                             ensure_all_finite="allow-nan")
        fitted = {name: self.__dict__.pop(name) for name in ("n_features_in_", "feature_names_in_")
                  if name in self.__dict__}
        if y.dtype.kind not in "iu":  # integer labels are always classes
            check_classification_targets(y)
        if sample_weight is not None:
            sample_weight = _check_sample_weight(sample_weight, X, dtype=np.float64,
                                                 ensure_non_negative=True)
        data = _learner.training(X, y, sample_weight)
        fitted.update(classes_=data.classes, n_classes_=len(data.classes))
        return _Input(*data, fitted)

    # -- prediction ---------------------------------------------------------------------------

    def _rows(self, X):
        check_is_fitted(self)
        return validate_data(self, X, reset=False, dtype=np.float32, order="C",
                             ensure_all_finite="allow-nan")

    def _threads(self):
        return _learner.usable_cores()

    @_blocks.over_blocks
    def predict(self, X):
        """The class of the leaf each row reaches (a tree), or the class most trees vote for,
        tied votes going to the lowest class index (a forest)."""
        rows = self._rows(X)
        return self.classes_.take(
            _learner.predicted_codes(self._native, self._forest, rows, self._threads()))

    @_blocks.over_blocks
    def predict_proba(self, X):
        """The weighted class shares of the training rows in each row's leaf (a tree), or the
        share of the trees that vote for each class (a forest)."""
        rows = self._rows(X)
        return _learner.probabilities(self._native, self._forest, rows, self._threads())

    @_blocks.over_blocks
    def predict_log_proba(self, X):
        """The natural logarithm of predict_proba (-inf for a class with no share)."""
        with np.errstate(divide="ignore"):
            return np.log(self.predict_proba(X))

    # -- persistence --------------------------------------------------------------------------

    def __getstate__(self):
        state = dict(super().__getstate__())
        native = state.pop("_native", None)
        state.pop("estimators_", None)
        if native is not None:
            state["_lindorf_model"] = native.to_bytes(b"")
        return state

    def __setstate__(self, state):
        state = dict(state)
        data = state.pop("_lindorf_model", None)
        if data is not None:
            if not isinstance(data, bytes):
                raise ValueError("the pickled model is not bytes")
            native, _ = _estimators.NativeModel.from_bytes(data)
            _model_file.check_shape(native, state.get("n_features_in_"), state.get("classes_"),
                                    _model_file.trees_of(state))
            state["_native"] = native
        super().__setstate__(state)
        if data is not None:
            self._after_load()

    def _model(self):
        """The fitted model as the learner keeps and saves it."""
        check_is_fitted(self)
        names = getattr(self, "feature_names_in_", None)
        return _learner.Model(type(self).__name__, self.get_params(), self._native,
                              self.classes_, None if names is None else list(names),
                              getattr(self, "oob_score_", None))

    @classmethod
    def _from_model(cls, model):
        """The fitted estimator of a learner's model; ValueError for parameters the estimator
        does not take."""
        try:
            estimator = cls(**model.params)
            estimator._validate_params()
        except (ValueError, TypeError) as error:
            raise ValueError("the model's description of the estimator is missing or damaged") \
                from error
        estimator.__dict__.update(classes_=model.classes, n_classes_=len(model.classes),
                                  n_features_in_=model.n_features)
        if model.feature_names is not None:
            estimator.feature_names_in_ = np.array(model.feature_names, dtype=object)
        if model.oob_score is not None:
            estimator.oob_score_ = model.oob_score
        estimator._native = model.native
        estimator._after_load()
        return estimator

    def to_bytes(self):
        """The fitted model in lindorf's versioned format, with its parameters, classes and
        feature names: what ``save`` writes and ``from_bytes``/``load`` read."""
        return self._model().to_bytes()

    @classmethod
    def from_bytes(cls, data):
        """The estimator saved in `data`; ValueError if the bytes hold another kind of
        estimator, a format version this lindorf does not read, or are damaged."""
        estimator = from_bytes(data)
        if not isinstance(estimator, cls):
            raise ValueError(f"the model is a {type(estimator).__name__}, not a {cls.__name__}")
        return estimator

    def save(self, path):
        """Writes ``to_bytes()`` to the file at `path`."""
        self._model().save(path)

    @classmethod
    def load(cls, path):
        """The estimator saved at `path` by ``save``."""
        with open(path, "rb") as source:
            return cls.from_bytes(source.read())

    def _after_load(self):
        """Rebuilds what is derived from the native model."""


class DecisionTreeClassifier(_TreeLearner):
    """An exact decision tree. Every value of every feature is a candidate threshold (rows go
    left when strictly below it; equal values and NaN go right); the candidate with the highest
    gain wins, ties going to the earliest training row, then to the lowest feature.

    With the defaults, ``fit(X[:k], y[:k]).predict(X[k:])`` gives exactly the labels that
    ``train_tree_np`` predicts for the same rows. A leaf predicts its most frequent class, ties
    going to the class whose latest training row comes last; ``predict_proba`` gives the leaf's
    weighted class shares. Sample weights must be whole numbers: a row of weight w is w copies of
    itself at consecutive positions. Growth uses every usable core.

    ``random_state`` keys the per-node draws of ``max_features`` (an int, a NumPy
    ``Generator``/``RandomState`` turned into one, or None for a fresh key per fit).
    """

    def __init__(self, *, criterion="entropy", max_depth=None, min_samples_split=3,
                 min_samples_leaf=1, max_features=None, random_state=None):
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.max_features = max_features
        self.random_state = random_state

    def fit(self, X, y, sample_weight=None):
        self._validate_params()
        data = self._fit_input(X, y, sample_weight)
        native = _learner.fit_tree(data, self.get_params(), self._threads())
        self.__dict__.update(data.fitted)
        self._native = native
        return self

    def apply(self, X):
        """The index of the leaf each row reaches (nodes are numbered in preorder)."""
        rows = self._rows(X)
        return self._native.leaves(rows, self._threads())[:, 0].astype(np.intp)

    def get_depth(self):
        check_is_fitted(self)
        return self._native.depths()[0]

    def get_n_leaves(self):
        check_is_fitted(self)
        return self._native.leaf_counts()[0]

    @property
    def feature_importances_(self):
        """Total impurity decrease by each feature's splits, normalised to sum 1."""
        check_is_fitted(self)
        return self._native.importances()

    @classmethod
    def _from_native(cls, native, params, fitted):
        """A fitted tree around one native tree, as a forest's estimators_ holds them."""
        tree = cls(**params)
        tree.__dict__.update(fitted)
        tree._native = native
        return tree


class RandomForestClassifier(_TreeLearner):
    """A forest of exact decision trees, each grown on a bootstrap sample (or on every row),
    voting by majority. ``predict_proba`` gives the share of trees voting for each class and
    ``predict`` its arg-max, tied votes going to the lowest class index.

    ``random_state`` keys one ChaCha12 stream per tree for its sample and one per node for its
    ``max_features`` draws, so the same seed grows the same forest, node for node, whatever
    ``n_jobs`` is. ``max_features`` defaults to None (every feature at every node), as
    ``train_forest_np`` grows its trees. ``n_jobs`` counts threads as scikit-learn does, never
    more than the usable cores; ``verbose > 0`` reports progress on standard error.
    Weighted rows are drawn as their copies would be: a forest with whole-number weights is the
    forest grown on the repeated rows, seed for seed. A row is out of bag for a tree that drew
    none of its copies.
    """

    _forest = True
    _parameter_constraints: dict = {
        **_TreeLearner._parameter_constraints,
        "n_estimators": [Interval(numbers.Integral, 1, _U32_MAX, closed="both")],
        "bootstrap": ["boolean"],
        "oob_score": ["boolean"],
        "n_jobs": [numbers.Integral, None],
        "verbose": ["verbose"],
    }

    def __init__(self, n_estimators=100, *, criterion="entropy", max_depth=None,
                 min_samples_split=3, min_samples_leaf=1, max_features=None, bootstrap=True,
                 oob_score=False, n_jobs=None, random_state=None, verbose=0):
        self.n_estimators = n_estimators
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.max_features = max_features
        self.bootstrap = bootstrap
        self.oob_score = oob_score
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.verbose = verbose

    def fit(self, X, y, sample_weight=None):
        """Grows the forest. On joblib's default backend (or another of joblib's own) this is one
        native call on this machine's threads; inside ``joblib.parallel_backend("dask")`` (or
        any other backend) the trees are grown in chunks on the backend's workers and joined in
        tree order, the same forest for the same seed (see ``lindorf._distributed``)."""
        cluster = _distributed.cluster_backend()
        if cluster is not None:
            return _distributed.fit(self, *cluster, X, y, sample_weight)
        self._join_chunks([self._fit_chunk(X, y, sample_weight, 0, self.n_estimators)])
        return self

    def _check_forest_params(self):
        self._validate_params()
        if self.oob_score and not self.bootstrap:
            raise ValueError("Out of bag estimation only available if bootstrap=True")

    def _fit_chunk(self, X, y, sample_weight, first, count, poll=None):
        """Grows trees first .. first + count - 1 of the forest these parameters describe: with
        an int random_state, exactly the trees a whole fit has at those indices. Returns a chunk
        for _join_chunks and leaves the estimator unfitted. `poll`, when given, is called every
        few tens of milliseconds with the trees done; an exception it raises stops the fit."""
        self._check_forest_params()
        data = self._fit_input(X, y, sample_weight)
        progress = _Progress(count) if self.verbose else None
        callbacks = [call for call in (poll, progress) if call is not None]
        watch = (lambda done: [call(done) for call in callbacks]) if callbacks else None
        native, oob_votes = _learner.fit_forest(data, self.get_params(), first, count,
                                                self._threads(), watch)
        if progress is not None:
            progress(count)
        return _Chunk(native, oob_votes, data.codes, data.fitted)

    def _join_chunks(self, chunks):
        """Makes this estimator the forest of `chunks` (from _fit_chunk on the same data and
        parameters), their trees joined in the order given."""
        self._forget_fit()
        native = _estimators.NativeModel.join([chunk.native for chunk in chunks])
        self.__dict__.update(chunks[0].fitted)
        self._native = native
        self._after_load()
        if self.oob_score:
            votes = sum(chunk.oob_votes.astype(np.int64) for chunk in chunks)
            self._set_oob(votes, chunks[0].codes)

    def _set_oob(self, votes, codes):
        counts = votes.sum(axis=1, keepdims=True)
        if np.any(counts == 0):
            warnings.warn("Some inputs do not have OOB scores. This probably means too few "
                          "trees were used to compute any reliable OOB estimates.", UserWarning)
        with np.errstate(invalid="ignore", divide="ignore"):
            decision = np.where(counts > 0, votes / np.maximum(counts, 1), 0.0)
        self.oob_decision_function_ = decision
        self.oob_score_ = accuracy_score(codes, np.argmax(decision, axis=1))

    def _threads(self):
        return _threads_for(self.n_jobs)

    def apply(self, X):
        """For each row, the index of the leaf it reaches in every tree."""
        rows = self._rows(X)
        return self._native.leaves(rows, self._threads()).astype(np.intp)

    @property
    def feature_importances_(self):
        """The mean of the trees' normalised impurity decreases, normalised again."""
        check_is_fitted(self)
        return self._native.importances()

    def _after_load(self):
        tree_params = {name: getattr(self, name) for name in _learner.GROWTH_PARAMETERS}
        if not isinstance(self.random_state, numbers.Integral):
            tree_params["random_state"] = None
        fitted = {name: self.__dict__[name] for name in
                  ("classes_", "n_classes_", "n_features_in_", "feature_names_in_")
                  if name in self.__dict__}
        self.estimators_ = [
            DecisionTreeClassifier._from_native(self._native.tree(i), tree_params, fitted)
            for i in range(self._native.n_trees)
        ]


class _Progress:
    """Reports a forest's growth on standard error, at most once a second and when it ends:
    trees finished, time elapsed and an estimate of the time left."""

    def __init__(self, total):
        self.total = total
        self.start = time.monotonic()
        self.reported = (-1, self.start - 1.0)  # trees and time of the last report

    def __call__(self, done):
        now = time.monotonic()
        if done == self.reported[0] or (now - self.reported[1] < 1.0 and done < self.total):
            return
        self.reported = (done, now)
        elapsed = now - self.start
        left = (f"about {elapsed * (self.total - done) / done:.1f} s left" if done
                else "time left not known yet")
        print(f"lindorf: {done}/{self.total} trees, {elapsed:.1f} s elapsed, {left}",
              file=sys.stderr, flush=True)


_KINDS = {cls.__name__: cls for cls in (DecisionTreeClassifier, RandomForestClassifier)}


def load(path):
    """The estimator (tree or forest) saved at `path`."""
    with open(path, "rb") as source:
        return from_bytes(source.read())


def from_bytes(data):
    """The estimator (tree or forest) saved in `data`."""
    model = _learner.Model.from_bytes(data)
    return _KINDS[model.kind]._from_model(model)

