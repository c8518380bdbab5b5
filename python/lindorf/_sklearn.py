"""What lindorf's scikit-learn estimators share: scikit-learn's input checks, parameters of
growth, prediction inputs, fitted attributes and persistence, over the NumPy-only learner layer
(``lindorf._learner``). The public classes live in ``lindorf.tree`` and ``lindorf.ensemble``.

Stable interfaces for other tools:

- ``est.to_bytes()`` / ``Class.from_bytes(data)``, ``est.save(path)`` / ``Class.load(path)`` and
  ``lindorf.estimators.load(path)``: the versioned model format (never pickle, so a model file is
  safe to load). It carries the parameters, the classes (numbers, strings or booleans) and the
  feature names. Damaged bytes or a format version this lindorf does not read raise
  ``ValueError``.
- ``predict``, ``predict_proba`` and ``predict_log_proba`` of a ``dask.array`` or
  ``dask.dataframe`` return a lazy ``dask.array``, computed block by block (``lindorf._blocks``).
- ``fit`` releases the interpreter lock while the learner works; Ctrl-C raises
  ``KeyboardInterrupt`` and leaves the estimator unfitted.
"""

from __future__ import annotations

import numbers
import warnings
from typing import NamedTuple

import numpy as np

try:
    import sklearn  # noqa: F401
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        "lindorf's estimators need scikit-learn: install it with pip install 'lindorf[sklearn]'"
    ) from error

from sklearn.base import BaseEstimator, ClassifierMixin, MultiOutputMixin, RegressorMixin
from sklearn.exceptions import DataConversionWarning
from sklearn.utils import Bunch
from sklearn.utils._param_validation import Interval, RealNotInt, StrOptions
from sklearn.utils.class_weight import compute_sample_weight
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data

from lindorf import _blocks, _estimators, _learner, _model_file
from lindorf._threads import threads_for


def _is_sparse(X) -> bool:
    import scipy.sparse  # scikit-learn needs scipy, so the estimators always have it

    return scipy.sparse.issparse(X)


class _Input(NamedTuple):
    """A _learner.Training with the attributes that describe it."""

    X: np.ndarray  # C-contiguous float32
    codes: np.ndarray  # uint32 class indices, a column per output with several
    weights: np.ndarray | None  # as _learner.weights_of gives them
    total: float  # total weight
    classes: np.ndarray | list
    fitted: dict  # classes_, n_classes_, n_outputs_, n_features_in_ (and feature_names_in_)

    def training(self) -> _learner.Training:
        return _learner.Training(*self[:5])


def _fitted_classes(classes) -> dict:
    """classes_, n_classes_ and n_outputs_ as scikit-learn keeps them."""
    if isinstance(classes, list):
        return dict(classes_=classes, n_classes_=[len(c) for c in classes],
                    n_outputs_=len(classes))
    return dict(classes_=classes, n_classes_=len(classes), n_outputs_=1)


# The parameters of growth that classifiers and regressors share.
_GROWTH_CONSTRAINTS: dict = {
    "max_depth": [Interval(numbers.Integral, 0, None, closed="left"), None],
    "min_samples_split": [
        Interval(numbers.Integral, 2, None, closed="left"),
        Interval(RealNotInt, 0.0, 1.0, closed="right"),
    ],
    "min_samples_leaf": [
        Interval(numbers.Integral, 1, None, closed="left"),
        Interval(RealNotInt, 0.0, 1.0, closed="neither"),
    ],
    "min_weight_fraction_leaf": [Interval(numbers.Real, 0.0, 0.5, closed="both")],
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
    "max_leaf_nodes": [Interval(numbers.Integral, 2, None, closed="left"), None],
    "min_impurity_decrease": [Interval(numbers.Real, 0.0, None, closed="left")],
    "ccp_alpha": [Interval(numbers.Real, 0.0, None, closed="left")],
    "monotonic_cst": ["array-like", None],
    "nan_side": [StrOptions({"right", "learn"})],
    "n_jobs": [numbers.Integral, None],
}


class _TreeModel(BaseEstimator):
    """What every tree and forest shares, classifier or regressor: input rows, threads,
    decision paths, persistence."""

    _forest = False  # whether the native model's trees vote
    _splitter = "best"  # a forest's trees' splitter

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        tags.input_tags.sparse = True
        return tags

    def _forget_fit(self):
        """Back to unfitted: every attribute a fit sets is gone."""
        for name in [n for n in vars(self) if n.endswith("_") and not n.startswith("__")]:
            del self.__dict__[name]
        self.__dict__.pop("_native", None)
        self.__dict__.pop("_node_table", None)

    def _validated(self, X, y, **checks):
        """X as C-contiguous float32 and y checked by scikit-learn's rules (`checks`), and the
        attributes validation sets (n_features_in_, feature_names_in_), which are kept apart
        and returned, so that a fit that fails or is interrupted leaves the estimator as it
        was."""
        # A float32 C-contiguous X is not copied: the learner reads every feature value once,
        # into its own sorted copies, so a thread writing to the array meanwhile cannot make its
        # reads disagree.
        fitted = {name: self.__dict__.get(name) for name in ("n_features_in_", "feature_names_in_")
                  if name in self.__dict__}
        X, y = validate_data(self, X, y, dtype=np.float32, order="C", accept_sparse="csc",
                             ensure_all_finite="allow-nan", multi_output=True, **checks)
        if _is_sparse(X):
            X = _learner.sparse_matrix(X)
        new = {name: self.__dict__.pop(name) for name in ("n_features_in_", "feature_names_in_")
               if name in self.__dict__}
        self.__dict__.update(fitted)
        return X, np.atleast_1d(y), new

    def _growth_params(self):
        """The parameters the learner grows by."""
        return self.get_params()

    def _rows(self, X):
        # What most calls pass, a float array of the fitted width without feature names to a
        # fitted estimator that had none either, passes scikit-learn's checks whatever it holds
        # but infinities: that is checked here in microseconds, and the rest takes the checks.
        if (type(X) is np.ndarray and X.ndim == 2 and X.dtype.kind == "f" and len(X) > 0
                and "_native" in self.__dict__ and "feature_names_in_" not in self.__dict__
                and X.shape[1] == self.n_features_in_):
            if X.dtype == np.float32:
                rows = np.ascontiguousarray(X)
            else:
                with np.errstate(over="ignore"):  # an overflow is left to the checks to report
                    rows = np.ascontiguousarray(X, dtype=np.float32)
            if not np.isinf(rows).any():
                return rows
        check_is_fitted(self)
        rows = validate_data(self, X, reset=False, dtype=np.float32, order="C",
                             accept_sparse="csr", ensure_all_finite="allow-nan")
        return _learner.sparse_matrix(rows) if _is_sparse(rows) else rows

    def _threads(self):
        return threads_for(self.n_jobs)

    def _threads_for_rows(self, rows):
        """Threads for predicting `rows`: one for a few rows, which one thread walks in less time
        than it takes to count the threads a call may use."""
        return 1 if rows.shape[0] <= 64 else self._threads()

    def _one_output(self, what):
        if self.n_outputs_ > 1:
            raise ValueError(f"{what} takes a model of one output; this one has "
                             f"{self.n_outputs_}")

    def _paths(self, X):
        """The node-indicator matrix of the rows over every tree's nodes, numbered across the
        trees."""
        from scipy.sparse import csr_matrix

        rows = self._rows(X)
        indptr, indices = _learner.decision_path(self._native, rows, self._threads())
        n_nodes = int(np.sum(self._native.node_counts()))
        return csr_matrix((np.ones(len(indices), dtype=np.int64), indices, indptr),
                          shape=(rows.shape[0], n_nodes))

    # -- persistence --------------------------------------------------------------------------

    def __getstate__(self):
        state = dict(super().__getstate__())
        native = state.pop("_native", None)
        state.pop("_node_table", None)
        state.pop("estimators_", None)
        if native is not None:
            state["_lindorf_model"] = native.to_bytes(b"")
        return state

    def __setstate__(self, state):
        state = dict(state)
        # Parameters an earlier lindorf did not have keep what leaving them out meant then.
        kind = type(self).__name__
        if "_lindorf_model" in state:
            former = _learner.FORMER_MEANINGS.get(kind, {})
            for name, default in _learner.DEFAULTS.get(kind, {}).items():
                state.setdefault(name, former.get(name, default))
            state.setdefault("n_outputs_", 1)
        data = state.pop("_lindorf_model", None)
        if data is not None:
            if not isinstance(data, bytes):
                raise ValueError("the pickled model is not bytes")
            native, _ = _estimators.NativeModel.from_bytes(data)
            _model_file.check_shape(native, state.get("n_features_in_"), state.get("classes_"),
                                    _model_file.trees_of(state), state.get("n_outputs_"))
            state["_native"] = native
        super().__setstate__(state)
        if data is not None:
            self._after_load()

    def _model(self):
        """The fitted model as the learner keeps and saves it."""
        check_is_fitted(self)
        names = getattr(self, "feature_names_in_", None)
        return _learner.Model(type(self).__name__, self.get_params(), self._native,
                              getattr(self, "classes_", None),
                              None if names is None else list(names),
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
        fitted = (dict(n_outputs_=model.native.n_targets) if model.classes is None
                  else _fitted_classes(model.classes))
        estimator.__dict__.update(fitted, n_features_in_=model.n_features)
        if model.feature_names is not None:
            estimator.feature_names_in_ = np.array(model.feature_names, dtype=object)
        if model.oob_score is not None:
            estimator.oob_score_ = model.oob_score
        estimator._native = model.native
        estimator._after_load()
        return estimator

    def to_bytes(self):
        """The fitted model in lindorf's versioned format, with its parameters, classes (a
        classifier's) and feature names: what ``save`` writes and ``from_bytes``/``load``
        read."""
        return self._model().to_bytes()

    @classmethod
    def from_bytes(cls, data):
        """The estimator saved in `data`; ValueError if the bytes hold another kind of
        estimator, a format version this lindorf does not read, or are damaged."""
        model = _learner.Model.from_bytes(data)
        if model.kind != cls.__name__:
            raise ValueError(f"the model is a {model.kind}, not a {cls.__name__}")
        return cls._from_model(model)

    def save(self, path):
        """Writes ``to_bytes()`` to the file at `path`, whole or not at all: a file already there
        is replaced only once the new one is complete on disk, and keeps its permissions."""
        self._model().save(path)

    @classmethod
    def load(cls, path):
        """The estimator saved at `path` by ``save``."""
        return cls.from_bytes(_model_file.read(path))

    def _after_load(self):
        """Rebuilds what is derived from the native model."""


class _TreeLearner(MultiOutputMixin, ClassifierMixin, _TreeModel):
    """What the classifier trees and forests share: parameters of growth, class labels, class
    probabilities and their explanations."""

    _parameter_constraints: dict = {
        **_GROWTH_CONSTRAINTS,
        "criterion": [StrOptions({"entropy", "gini", "log_loss"})],
        "class_weight": [dict, list, StrOptions({"balanced"}), None],
    }

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.classifier_tags.multi_label = True
        return tags

    # -- fitting ------------------------------------------------------------------------------

    def _class_weight(self):
        """The class_weight that multiplies into sample_weight before growth."""
        return self.class_weight

    def _fit_input(self, X, y, sample_weight, forget=True):
        """The checked training data: X as C-contiguous float32, class indices, weights with
        class_weight multiplied in, and the attributes that describe it (set only once a fit
        succeeds, so that a fit that fails or is interrupted leaves the estimator unfitted)."""
        if forget:
            self._forget_fit()
        X, y, new = self._validated(X, y)
        if y.ndim == 2 and y.shape[1] == 1:
            y = y.ravel()
        if y.dtype.kind not in "iu":  # integer labels are always classes
            check_classification_targets(y)
        if sample_weight is not None:
            sample_weight = _check_sample_weight(sample_weight, X, dtype=np.float64,
                                                 ensure_non_negative=True)
        class_weight = self._class_weight()
        if class_weight is not None:
            expanded = compute_sample_weight(class_weight, y)
            sample_weight = expanded if sample_weight is None else sample_weight * expanded
        data = _learner.training(X, y, sample_weight)
        new.update(_fitted_classes(data.classes))
        return _Input(*data, new)

    # -- prediction ---------------------------------------------------------------------------

    def _classes_per_output(self):
        return [len(c) for c in self.classes_] if self.n_outputs_ > 1 else [len(self.classes_)]

    def _voting(self):
        """(kind, parameters) as predictions read them: only a forest's vote, since get_params
        alone would take several times a one-row prediction."""
        if self._forest:
            return _learner.FOREST, {"voting": self.voting}
        return _learner.TREE, {}

    @_blocks.over_blocks
    def predict(self, X):
        """The class of the leaf each row reaches (a tree), or the arg-max of predict_proba (a
        forest; a tree of several outputs), ties going to the lowest class index."""
        rows = self._rows(X)
        codes = _learner.predicted_codes(self._native, *self._voting(), rows,
                                         self._classes_per_output(),
                                         self._threads_for_rows(rows))
        if self.n_outputs_ == 1:
            return self.classes_.take(codes)
        return np.stack([c.take(codes[:, k]) for k, c in enumerate(self.classes_)], axis=1)

    @_blocks.over_blocks
    def predict_proba(self, X):
        """The weighted class shares of the training rows in each row's leaf (a tree); their
        mean over the trees (a forest voting softly) or the share of the trees that vote for each
        class (voting="hard"). A list of one array per output with several outputs."""
        rows = self._rows(X)
        proba = _learner.probabilities(self._native, *self._voting(), rows,
                                       self._threads_for_rows(rows))
        if self.n_outputs_ == 1:
            return proba
        return _learner.split_outputs(proba, self._classes_per_output())

    @_blocks.over_blocks
    def predict_log_proba(self, X):
        """The natural logarithm of predict_proba (-inf for a class with no share)."""
        proba = self.predict_proba(X)
        with np.errstate(divide="ignore"):
            if isinstance(proba, list):
                return [np.log(p) for p in proba]
            return np.log(proba)

    # -- explanations -------------------------------------------------------------------------

    def predict_contributions(self, X):
        """Exact SHAP values of ``predict_proba``: path-dependent TreeSHAP, as
        ``shap.TreeExplainer(est.to_sklearn()).shap_values(X)`` computes them, on the worker
        threads with the interpreter lock released (Ctrl-C raises ``KeyboardInterrupt``).

        Returns an array of shape ``(n_samples, n_features + 1, n_classes)``: ``[:, f, k]`` is
        feature f's contribution to class k's share, ``[:, -1, k]`` the expected value (the
        trees' leaf values weighted by their training weight, as shap's ``expected_value``), so
        that ``values.sum(axis=1)`` is ``predict_proba(X)``.
        """
        rows = self._rows(X)
        self._one_output("predict_contributions")
        return _learner.contributions(self._native, self._forest, self._voting()[1], rows,
                                      self._threads())

    def to_sklearn(self):
        """A genuine scikit-learn estimator (``sklearn.tree.DecisionTreeClassifier`` or
        ``sklearn.ensemble.RandomForestClassifier``) that predicts as this one does, for tools
        that take scikit-learn's trees (``sklearn.tree.plot_tree``, shap, skl2onnx, dtreeviz,
        treelite). See ``lindorf._to_sklearn`` for how thresholds, NaN and ties carry over."""
        check_is_fitted(self)
        self._one_output("to_sklearn")
        from lindorf import _to_sklearn

        return _to_sklearn.convert(self)

class _RegressionInput(NamedTuple):
    """A _learner.Targets with the attributes that describe it."""

    X: np.ndarray  # C-contiguous float32
    y: np.ndarray  # C-contiguous float64, n_rows x n_outputs
    weights: np.ndarray | None  # float64, or None when every weight is 1
    total: float
    fitted: dict  # n_outputs_, n_features_in_ (and feature_names_in_)

    def training(self) -> _learner.Targets:
        return _learner.Targets(*self[:4])


class _TreeRegressor(MultiOutputMixin, RegressorMixin, _TreeModel):
    """What the regression trees and forests share: parameters of growth, numeric targets,
    predictions and their explanations."""

    _parameter_constraints: dict = {
        **_GROWTH_CONSTRAINTS,
        "criterion": [StrOptions({"squared_error", "friedman_mse", "absolute_error",
                                  "poisson"})],
    }
    _column_warning = False  # whether a column of targets draws scikit-learn's warning

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.positive_only = self.criterion == "poisson"
        return tags

    def _fit_input(self, X, y, sample_weight, forget=True):
        """The checked training data: X as C-contiguous float32, the targets as finite float64
        (a column per output), weights, and the attributes that describe them (set only once a
        fit succeeds)."""
        if forget:
            self._forget_fit()
        X, y, new = self._validated(X, y, y_numeric=True)
        if self._column_warning and y.ndim == 2 and y.shape[1] == 1:
            warnings.warn("A column-vector y was passed when a 1d array was expected. Please "
                          "change the shape of y to (n_samples,), for example using ravel().",
                          DataConversionWarning, stacklevel=3)
        if sample_weight is not None:
            sample_weight = _check_sample_weight(sample_weight, X, dtype=np.float64,
                                                 ensure_non_negative=True)
        data = _learner.targets(X, y, sample_weight, self.criterion)
        new["n_outputs_"] = data.n_outputs
        return _RegressionInput(*data, new)

    @_blocks.over_blocks
    def predict(self, X):
        """The values of the leaf each row reaches (a tree), or their mean over the trees (a
        forest): the leaves' means (their weighted medians with absolute_error), one column per
        output with several."""
        rows = self._rows(X)
        return _learner.predicted_values(self._native, rows, self._threads_for_rows(rows))

    def predict_contributions(self, X):
        """Exact SHAP values of ``predict``: path-dependent TreeSHAP, as
        ``shap.TreeExplainer(est.to_sklearn()).shap_values(X)`` computes them, on the worker
        threads with the interpreter lock released (Ctrl-C raises ``KeyboardInterrupt``).

        Returns an array of shape ``(n_samples, n_features + 1)``, or ``(n_samples,
        n_features + 1, n_outputs)`` with several outputs: ``[:, f]`` is feature f's
        contribution, ``[:, -1]`` the expected value (the trees' leaf values weighted by their
        training weight), so that ``values.sum(axis=1)`` is ``predict(X)``.
        """
        rows = self._rows(X)
        values = _learner.contributions_of(self._native, "target", rows, self._threads())
        return values[:, :, 0] if self.n_outputs_ == 1 else values

    def to_sklearn(self):
        """A genuine scikit-learn estimator (``sklearn.tree.DecisionTreeRegressor`` or
        ``sklearn.ensemble.RandomForestRegressor``) that predicts as this one does, for tools
        that take scikit-learn's trees. See ``lindorf._to_sklearn`` for how thresholds and NaN
        carry over."""
        check_is_fitted(self)
        from lindorf import _to_sklearn

        return _to_sklearn.convert_regressor(self)


def pruning_path(native) -> Bunch:
    """scikit-learn's Bunch of ccp_alphas and impurities for a native tree."""
    alphas, impurities = native.pruning_path()
    return Bunch(ccp_alphas=alphas, impurities=impurities)
