"""Fitted trees and forests with NumPy alone: what the command-line tool trains, predicts and
saves with, and what the scikit-learn estimators (``lindorf.tree``, ``lindorf.ensemble``) wrap
with scikit-learn's validation, parameters and fitted attributes.

The inputs here are already checked: features as C-contiguous float32 rows (NaN and infinities
are values like any other) or a ``SparseMatrix`` of scipy's stored values, labels as a 1-D
array (or 2-D, one column per output), regression targets as finite float64 (1-D or one column
per output), weights as non-negative float64 or None, and parameters by scikit-learn's names
with valid values. The native calls release the interpreter lock while the learner works and
turn Ctrl-C into ``KeyboardInterrupt``.
"""

from __future__ import annotations

import contextlib
import errno
import math
import numbers
import os
import stat
from dataclasses import dataclass
from typing import NamedTuple

import numpy as np

from lindorf import _estimators, _model_file

U32_MAX = 2**32 - 1
TREE = "DecisionTreeClassifier"
EXTRA_TREE = "ExtraTreeClassifier"
FOREST = "RandomForestClassifier"
EXTRA_FOREST = "ExtraTreesClassifier"
REGRESSOR = "DecisionTreeRegressor"
EXTRA_REGRESSOR = "ExtraTreeRegressor"
FOREST_REGRESSOR = "RandomForestRegressor"
EXTRA_FOREST_REGRESSOR = "ExtraTreesRegressor"
REGRESSORS = (REGRESSOR, EXTRA_REGRESSOR, FOREST_REGRESSOR, EXTRA_FOREST_REGRESSOR)
FORESTS = (FOREST, EXTRA_FOREST, FOREST_REGRESSOR, EXTRA_FOREST_REGRESSOR)

# Every parameter of each kind of model with its default, as the estimators name them and model
# files keep them. A forest's trees take the growth parameters.
GROWTH_DEFAULTS = dict(
    criterion="entropy", max_depth=None, min_samples_split=3, min_samples_leaf=1,
    min_weight_fraction_leaf=0.0, max_features=None, random_state=None, max_leaf_nodes=None,
    min_impurity_decrease=0.0, class_weight=None, ccp_alpha=0.0, monotonic_cst=None,
    nan_side="right")
FOREST_DEFAULTS = dict(
    GROWTH_DEFAULTS, n_estimators=100, max_features="sqrt", bootstrap=True, oob_score=False,
    n_jobs=None, verbose=0, warm_start=False, max_samples=None, voting="soft")
DEFAULTS = {
    TREE: dict(GROWTH_DEFAULTS, splitter="best", n_jobs=None),
    EXTRA_TREE: dict(GROWTH_DEFAULTS, splitter="random", max_features="sqrt", n_jobs=None,
                     criterion="gini", min_samples_split=2),
    FOREST: FOREST_DEFAULTS,
    EXTRA_FOREST: dict(FOREST_DEFAULTS, bootstrap=False, criterion="gini", min_samples_split=2),
}
# Regressors take scikit-learn's regression defaults: squared error, every row count of 2 split,
# every feature searched (max_features 1.0 in the forests, as scikit-learn's).
REGRESSION_GROWTH_DEFAULTS = dict(
    criterion="squared_error", max_depth=None, min_samples_split=2, min_samples_leaf=1,
    min_weight_fraction_leaf=0.0, max_features=None, random_state=None, max_leaf_nodes=None,
    min_impurity_decrease=0.0, ccp_alpha=0.0, monotonic_cst=None, nan_side="right")
REGRESSION_FOREST_DEFAULTS = dict(
    REGRESSION_GROWTH_DEFAULTS, n_estimators=100, max_features=1.0, bootstrap=True,
    oob_score=False, n_jobs=None, verbose=0, warm_start=False, max_samples=None)
DEFAULTS.update({
    REGRESSOR: dict(REGRESSION_GROWTH_DEFAULTS, splitter="best", n_jobs=None),
    EXTRA_REGRESSOR: dict(REGRESSION_GROWTH_DEFAULTS, splitter="random", max_features=1.0,
                          n_jobs=None),
    FOREST_REGRESSOR: REGRESSION_FOREST_DEFAULTS,
    EXTRA_FOREST_REGRESSOR: dict(REGRESSION_FOREST_DEFAULTS, bootstrap=False),
})
PARAMETERS = {kind: tuple(defaults) for kind, defaults in DEFAULTS.items()}
GROWTH_PARAMETERS = tuple(GROWTH_DEFAULTS)
REGRESSION_GROWTH_PARAMETERS = tuple(REGRESSION_GROWTH_DEFAULTS)
# What a model file written before a parameter existed meant by leaving it out, where that is
# not today's default: lindorf 0.1's forests voted with their leaves' labels.
FORMER_MEANINGS = {FOREST: {"voting": "hard"}}


def usable_cores() -> int:
    return _estimators.usable_cores()


def is_forest(kind) -> bool:
    return kind in FORESTS


def is_regressor(kind) -> bool:
    return kind in REGRESSORS


def splitter_of(kind) -> str:
    return "random" if kind in (EXTRA_TREE, EXTRA_FOREST, EXTRA_REGRESSOR,
                                EXTRA_FOREST_REGRESSOR) else "best"


# -- randomness -------------------------------------------------------------------------------

def seed_of(random_state):
    """An int seed, or None for a fresh key from the operating system."""
    if random_state is None:
        return None
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(2**63))
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(np.iinfo(np.int32).max))
    return int(random_state)


def fit_key(random_state) -> bytes:
    """The 32-byte key of a fit's random streams."""
    seed = seed_of(random_state)
    return _estimators.os_key() if seed is None else _estimators.seed_key(seed)


# -- training data ----------------------------------------------------------------------------

class SparseMatrix(NamedTuple):
    """A sparse matrix as the native learner takes it, by columns to fit and by rows to predict:
    the stored values (float32), the row or feature of each (uint32), where each column or row
    starts among them (uint64), canonical (ascending, none twice), and the shape. Every value
    not stored is 0.0."""

    values: np.ndarray
    indices: np.ndarray
    starts: np.ndarray
    shape: tuple


def sparse_matrix(X) -> SparseMatrix:
    """The native learner's view of a scipy sparse matrix or array in CSC (to fit) or CSR (to
    predict) form, made canonical on a copy when it is not."""
    if not X.has_canonical_format:
        X = X.copy()
        X.sum_duplicates()
    indices = np.ascontiguousarray(X.indices)
    # scipy's int32 indices are read in place as uint32, not copied: a negative one reads as
    # 2**31 or more, past any row or feature, which the learner refuses as it would the copy's.
    indices = (indices.view(np.uint32) if indices.dtype == np.int32
               else np.ascontiguousarray(indices, dtype=np.uint32))
    return SparseMatrix(np.ascontiguousarray(X.data, dtype=np.float32), indices,
                        np.ascontiguousarray(X.indptr, dtype=np.uint64), tuple(X.shape))


class Training(NamedTuple):
    X: np.ndarray | SparseMatrix  # C-contiguous float32, or a SparseMatrix by columns
    codes: np.ndarray  # uint32 class indices: (n_rows,), or (n_rows, n_outputs)
    # uint32 when every weight is a whole number and they add up to less than 2**32, float64
    # otherwise; None when every weight is 1
    weights: np.ndarray | None
    total: float  # total weight
    classes: np.ndarray | list  # the class of each index, in np.unique order; a list per output

    @property
    def n_outputs(self) -> int:
        return 1 if self.codes.ndim == 1 else self.codes.shape[1]

    def classes_per_output(self) -> list:
        return [len(c) for c in (self.classes if self.n_outputs > 1 else [self.classes])]


def weights_of(weights):
    """Finite non-negative float64 weights as the learner takes them: None when every weight is
    1, uint32 when they are whole numbers adding up to less than 2**32, float64 otherwise."""
    if weights is None:
        return None
    weights = np.asarray(weights, dtype=np.float64)
    if not np.all(np.isfinite(weights)) or np.any(weights < 0):
        raise ValueError("sample_weight must hold finite non-negative numbers")
    if not np.any(weights > 0):
        raise ValueError("sample_weight must give some row a positive weight")
    if np.all(weights == 1):
        return None
    if np.all(weights == np.floor(weights)) and weights.sum() < U32_MAX:
        return weights.astype(np.uint32)
    return np.ascontiguousarray(weights)


def classes_of(y):
    """np.unique(y, return_inverse=True), by counting when the labels are small non-negative
    integers (the usual case, and several times faster than sorting a long list)."""
    if y.dtype.kind in "iu" and y.size and y.min() >= 0 and y.max() < 4 * y.size + 1024:
        present = np.bincount(y) > 0
        if present.all():
            # Labels 0 to k - 1, each present: every label is its own code.
            return np.arange(len(present), dtype=y.dtype), y.astype(np.uint32)
        codes = (np.cumsum(present) - 1).astype(np.uint32)[y]
        return np.flatnonzero(present).astype(y.dtype), codes
    classes, codes = np.unique(y, return_inverse=True)
    return classes, codes.astype(np.uint32, copy=False)


def training(X, y, weights=None) -> Training:
    """The learner's view of checked rows `X`, labels `y` (1-D, or 2-D with one column per
    output) and weights."""
    weights = weights_of(weights)
    if y.ndim == 1:
        classes, codes = classes_of(y)
        n_classes = len(classes)
    else:
        columns = [classes_of(np.ascontiguousarray(y[:, k])) for k in range(y.shape[1])]
        classes = [c for c, _ in columns]
        codes = np.ascontiguousarray(np.stack([k for _, k in columns], axis=1))
        n_classes = sum(len(c) for c in classes)
    if n_classes > U32_MAX or X.shape[1] > U32_MAX:
        raise ValueError("lindorf supports fewer than 2**32 classes and features")
    total = float(len(codes) if weights is None else weights.sum(dtype=np.float64))
    return Training(X, codes, weights, total, classes)


def balanced_weights(codes) -> np.ndarray:
    """Each row's "balanced" class weight, as scikit-learn defines it: rows / (classes present *
    rows of the row's class), the outputs' multiplied."""
    columns = codes.reshape(len(codes), -1)
    out = np.ones(len(codes))
    for k in range(columns.shape[1]):
        counts = np.bincount(columns[:, k])
        present = np.count_nonzero(counts)
        with np.errstate(divide="ignore"):
            out = out * (len(codes) / (present * counts))[columns[:, k]]
    return out


# -- growth -----------------------------------------------------------------------------------

def features_per_node(max_features, n_features) -> int:
    """How many features a node searches; 0 for all of them, with no draws."""
    if max_features is None:
        return 0
    if max_features == "sqrt":
        count = int(np.sqrt(n_features))
    elif max_features == "log2":
        count = int(np.log2(n_features))
    elif isinstance(max_features, numbers.Integral):
        if max_features > n_features:
            raise ValueError(f"max_features must be in (0, n_features={n_features}], "
                             f"got {max_features}")
        count = int(max_features)
    else:
        count = int(max_features * n_features)
    count = max(1, count)
    return 0 if count >= n_features else count


def _least_rows(value, n_rows, least) -> int:
    """A count as it is, a fraction of the rows rounded up; at least `least`."""
    if isinstance(value, numbers.Integral):
        return min(int(value), U32_MAX)
    return min(max(least, math.ceil(value * n_rows)), U32_MAX)


def monotonic_constraints(monotonic_cst, data: Training) -> list:
    """Per feature -1, 0 or 1, checked against the data; [] for none."""
    if monotonic_cst is None:
        return []
    constraints = np.asarray(monotonic_cst)
    if data.n_outputs > 1:
        raise ValueError("Monotonicity constraints are not supported with multiple outputs.")
    if constraints.shape != (data.X.shape[1],):
        raise ValueError(f"monotonic_cst has shape {constraints.shape} but the input data X has "
                         f"{data.X.shape[1]} features.")
    if not np.all(np.isin(constraints, (-1, 0, 1))):
        raise ValueError("monotonic_cst must be None or an array-like of -1, 0 or 1, but got "
                         f"{np.unique(constraints)}")
    if len(data.classes) > 2:
        raise ValueError("Monotonicity constraints are not supported with multiclass "
                         "classification")
    return [int(c) for c in constraints]


def growth_rules(params, data: Training, splitter="best") -> dict:
    """The native learner's rules of growth for the parameters `params` on `data`."""
    depth = params["max_depth"]
    n_rows = data.X.shape[0]
    max_leaf_nodes = params.get("max_leaf_nodes")
    return dict(
        max_depth=U32_MAX if depth is None else min(depth, U32_MAX),
        min_split_rows=_least_rows(params["min_samples_split"], n_rows, 2),
        min_leaf_rows=_least_rows(params["min_samples_leaf"], n_rows, 1),
        min_split=0.0,
        min_leaf=0.0,
        min_leaf_fraction=float(params.get("min_weight_fraction_leaf", 0.0)),
        max_features=features_per_node(params["max_features"], data.X.shape[1]),
        criterion="entropy" if params["criterion"] == "log_loss" else params["criterion"],
        min_impurity_decrease=float(params.get("min_impurity_decrease", 0.0)),
        max_leaf_nodes=0 if max_leaf_nodes is None else min(max_leaf_nodes, U32_MAX),
        splitter=params.get("splitter", splitter),
        nan_side="learned" if params.get("nan_side", "right") == "learn" else "right",
        monotonic=monotonic_constraints(params.get("monotonic_cst"), data),
    )


def bootstrap_draws(max_samples, n_rows) -> int:
    """Rows drawn per bootstrap sample; 0 for the learner's own count (the rows)."""
    if max_samples is None:
        return 0
    if isinstance(max_samples, numbers.Integral):
        if max_samples > n_rows:
            raise ValueError(f"`max_samples` must be <= n_samples={n_rows} but got value "
                             f"{max_samples}")
        return int(max_samples)
    return max(round(n_rows * max_samples), 1)


def forest_rules(params, data: Training, splitter) -> dict:
    return dict(
        growth_rules(params, data, splitter),
        bootstrap=bool(params["bootstrap"]),
        out_of_bag=bool(params["oob_score"]),
        draws=bootstrap_draws(params.get("max_samples"), data.X.shape[0]) if params["bootstrap"]
        else 0,
        balanced_subsample=params.get("class_weight") == "balanced_subsample",
        voting=params.get("voting", "hard"),
    )


def _native_weights(data: Training):
    """(whole-number weights, real weights): at most one of them an array."""
    if data.weights is None:
        return None, None
    if data.weights.dtype == np.uint32:
        return data.weights, None
    return None, data.weights


def _native_rows(X) -> tuple:
    """The leading arguments of the native fits for rows dense or sparse."""
    return (X.values, X.indices, X.starts, X.shape[0]) if isinstance(X, SparseMatrix) else (X,)


def _native_data(data: Training) -> tuple:
    """The leading arguments of the native fits for `data`, its rows dense or sparse."""
    return (*_native_rows(data.X), np.ascontiguousarray(data.codes.reshape(-1)),
            *_native_weights(data), data.classes_per_output())


def _native_fit(name: str, data: Training | Targets):
    """The native call `name` (fit_tree, fit_forest, out_of_bag) for dense or sparse rows."""
    return getattr(_estimators, name + ("_sparse" if isinstance(data.X, SparseMatrix) else ""))


def fit_tree(data: Training, params, threads=None, key=None, splitter="best"):
    """The native model of one tree grown on `data`, pruned by ccp_alpha."""
    native = _native_fit("fit_tree", data)(
        *_native_data(data), growth_rules(params, data, splitter),
        fit_key(params["random_state"]) if key is None else key, threads or usable_cores())
    alpha = params.get("ccp_alpha", 0.0)
    return native.pruned(alpha) if alpha > 0 else native


def fit_forest(data: Training, params, first, count, threads=None, progress=None, key=None,
               splitter="best"):
    """(native model, out-of-bag sums and tree counts, or None) of trees first .. first +
    count - 1 of the forest `params` describe: with an int random_state (or the same `key`),
    exactly the trees a whole fit has at those indices. `progress`, when given, is called every
    few tens of milliseconds with the trees done."""
    native, out_of_bag = _native_fit("fit_forest", data)(
        *_native_data(data), forest_rules(params, data, splitter),
        fit_key(params["random_state"]) if key is None else key, first, count,
        threads or usable_cores(), progress)
    alpha = params.get("ccp_alpha", 0.0)
    return (native.pruned(alpha) if alpha > 0 else native), out_of_bag


def out_of_bag(native, data: Training, params, key, splitter, threads=None):
    """(sums, tree counts) of the out-of-bag votes of every tree of the forest `native`, grown on
    `data` under `params` and `key`."""
    return _native_fit("out_of_bag", data)(
        native, *_native_data(data), forest_rules(params, data, splitter), key,
        threads or usable_cores())


# -- predictions ------------------------------------------------------------------------------

def _ask(native, question: str, rows, threads):
    """native.question(rows, threads), for dense rows or a SparseMatrix by rows."""
    if isinstance(rows, SparseMatrix):
        return getattr(_estimators, question + "_sparse")(native, rows.values, rows.indices,
                                                           rows.starts, threads)
    return getattr(native, question)(rows, threads)


def soft(native, kind, params) -> bool:
    """Whether a model's predictions are its leaves' class shares (a tree's always are; a
    forest's when it votes softly)."""
    return not is_forest(kind) or params.get("voting", "hard") == "soft"


def split_outputs(values, classes_per_output):
    """Columns of flat class indices, one block per output."""
    bounds = np.cumsum([0] + list(classes_per_output))
    return [values[:, a:b] for a, b in zip(bounds[:-1], bounds[1:])]


def probabilities(native, kind, params, rows, threads=None) -> np.ndarray:
    """n_rows x flat classes: the weighted class shares of each row's leaf (a tree), their mean
    over the trees (a soft forest), or the share of the trees voting for each class (a hard
    forest)."""
    threads = threads or usable_cores()
    if not is_forest(kind):
        return _ask(native, "tree_shares", rows, threads)
    if soft(native, kind, params):
        return _ask(native, "shares", rows, threads)
    return _ask(native, "votes", rows, threads) / float(native.n_trees)


def predicted_codes(native, kind, params, rows, classes_per_output, threads=None) -> np.ndarray:
    """Class indices, (n_rows,) or (n_rows, n_outputs): the label of each row's leaf (a tree of
    one output), otherwise the arg-max of the probabilities (ties to the lowest index)."""
    threads = threads or usable_cores()
    if not is_forest(kind) and len(classes_per_output) == 1:
        return _ask(native, "tree_labels", rows, threads)
    if len(classes_per_output) == 1 and classes_per_output[0] > MANY_CLASSES:
        return top_codes(native, soft(native, kind, params), rows, threads)
    codes = [arg_max(probabilities(native, kind, params, part, threads), classes_per_output)
             for part in row_chunks(rows, sum(classes_per_output))]
    return np.concatenate(codes, axis=0)


# A forest of more classes than this predicts from the few classes each row's leaves list, not
# from every row's shares of every class: the same arg-max, at a cost that does not grow with the
# classes.
MANY_CLASSES = 64


def top_codes(native, soft_vote: bool, rows, threads) -> np.ndarray:
    """A forest's class indices (one output) from its rows' leaves, a bounded run of rows at a
    time (4 bytes a tree a row)."""
    codes = [native.top_classes(_ask(native, "leaves", part, threads), soft_vote, threads)
             for part in row_chunks(rows, (native.n_trees + 1) // 2)]
    return np.concatenate(codes, axis=0)


def arg_max(proba, classes_per_output) -> np.ndarray:
    codes = [np.argmax(block, axis=1) for block in split_outputs(proba, classes_per_output)]
    return codes[0] if len(codes) == 1 else np.stack(codes, axis=1)


# The class shares behind a prediction are rows x classes doubles: with many classes (a class a
# row, say) all rows at once would not fit in memory, while a few rows at a time always do.
SHARES_BUDGET = 1 << 25


def row_chunks(rows, n_classes: int):
    """rows itself, or consecutive runs of its rows whose class shares fit SHARES_BUDGET bytes."""
    n_rows = rows.shape[0]
    step = max(1, SHARES_BUDGET // (8 * max(1, n_classes)))
    if n_rows <= step:
        yield rows
        return
    for a in range(0, n_rows, step):
        b = min(n_rows, a + step)
        if isinstance(rows, SparseMatrix):
            lo, hi = int(rows.starts[a]), int(rows.starts[b])
            yield SparseMatrix(rows.values[lo:hi], rows.indices[lo:hi],
                               rows.starts[a:b + 1] - rows.starts[a], (b - a, rows.shape[1]))
        else:
            yield rows[a:b]


def leaves(native, rows, threads=None) -> np.ndarray:
    """n_rows x n_trees: the position of the leaf each row reaches in each tree."""
    return _ask(native, "leaves", rows, threads or usable_cores())


def leaf_value(forest: bool, params) -> str:
    """What each leaf adds to the model's class shares, as the native explanations name it: its
    weighted class shares (a tree, a forest voting softly), or one vote for its label (a forest
    voting hard)."""
    return "vote" if forest and params.get("voting", "hard") == "hard" else "shares"


def _dense_blocks(rows: SparseMatrix, block: int = 4096):
    """Blocks of sparse rows laid out densely, one at a time: what the explanations read."""
    n_rows, n_features = rows.shape
    for begin in range(0, n_rows, block):
        end = min(n_rows, begin + block)
        first, last = int(rows.starts[begin]), int(rows.starts[end])
        dense = np.zeros((end - begin, n_features), dtype=np.float32)
        counts = np.diff(rows.starts[begin:end + 1]).astype(np.intp)
        # A stored value v is 0.0 + v: a stored -0.0 is 0.0.
        dense[np.repeat(np.arange(end - begin), counts), rows.indices[first:last]] = (
            rows.values[first:last] + np.float32(0.0))
        yield dense


def contributions(native, forest: bool, params, rows, threads=None) -> np.ndarray:
    """SHAP values of the class shares, n_rows x (n_features + 1) x n_classes, the expected value
    last (see ``predict_contributions``)."""
    return contributions_of(native, leaf_value(forest, params), rows, threads)


def contributions_of(native, kind: str, rows, threads=None) -> np.ndarray:
    """SHAP values of the leaf values `kind` names ("shares", "vote", or a regression model's
    "target"), n_rows x (n_features + 1) x width, the expected value last."""
    threads = threads or usable_cores()
    if isinstance(rows, SparseMatrix):
        return np.concatenate([native.contributions(block, kind, threads)
                               for block in _dense_blocks(rows)]) if rows.shape[0] else (
            native.contributions(np.zeros((0, rows.shape[1]), np.float32), kind, threads))
    return native.contributions(rows, kind, threads)


def decision_path(native, rows, threads=None):
    """(indptr, indices): the nodes each row passes in every tree, numbered across the trees."""
    threads = threads or usable_cores()
    if not isinstance(rows, SparseMatrix):
        return native.decision_path(rows, threads)
    indptrs, indices, offset = [np.zeros(1, dtype=np.int64)], [], 0
    for block in _dense_blocks(rows):
        ptr, idx = native.decision_path(block, threads)
        indptrs.append(np.asarray(ptr[1:], dtype=np.int64) + offset)
        indices.append(idx)
        offset += len(idx)
    return (np.concatenate(indptrs),
            np.concatenate(indices) if indices else np.zeros(0, dtype=np.int64))


# -- fitted models ----------------------------------------------------------------------------

@dataclass
class Model:
    """A fitted tree or forest with what a model file keeps about it."""

    kind: str  # a key of DEFAULTS
    params: dict
    native: object  # _estimators.NativeModel
    classes: np.ndarray | list | None  # None for a regressor
    feature_names: list[str] | None = None
    oob_score: float | None = None

    @property
    def forest(self) -> bool:
        return is_forest(self.kind)

    @property
    def regressor(self) -> bool:
        return is_regressor(self.kind)

    @property
    def n_features(self) -> int:
        return self.native.n_features

    @property
    def multi_output(self) -> bool:
        return isinstance(self.classes, list)

    def classes_per_output(self) -> list:
        return [len(c) for c in (self.classes if self.multi_output else [self.classes])]

    def predict(self, rows, threads=None) -> np.ndarray:
        if self.regressor:
            return predicted_values(self.native, rows, threads)
        codes = predicted_codes(self.native, self.kind, self.params, rows,
                                self.classes_per_output(), threads)
        if not self.multi_output:
            return self.classes.take(codes)
        return np.stack([c.take(codes[:, k]) for k, c in enumerate(self.classes)], axis=1)

    def predict_proba(self, rows, threads=None) -> np.ndarray:
        return probabilities(self.native, self.kind, self.params, rows, threads)

    def to_bytes(self) -> bytes:
        """The model in lindorf's versioned format, which the estimators read too."""
        return _model_file.encode(self.native, _model_file.Description(
            self.kind, self.params, self.classes, self.feature_names, self.oob_score))

    @classmethod
    def from_bytes(cls, data) -> Model:
        """The model saved in `data`; ValueError if it is damaged or in a format version this
        lindorf does not read."""
        native, description = _model_file.decode(bytes(data), DEFAULTS, FORMER_MEANINGS,
                                                 REGRESSORS)
        return cls(description.kind, description.params, native, description.classes,
                   description.feature_names, description.oob_score)

    def save(self, path) -> None:
        """Writes the model to `path` whole or not at all: a file that was there stays as it
        was unless the new one is complete on disk."""
        write_whole(save_target(path), self.to_bytes())

    @classmethod
    def load(cls, path) -> Model:
        return cls.from_bytes(_model_file.read(path))


def save_target(path) -> str:
    """The file a save to `path` writes (a symbolic link's target), once it is known that it
    can be written: OSError, as open() would raise it, if not."""
    target = os.path.realpath(os.fspath(path))
    folder = os.path.dirname(target)
    if not os.path.isdir(folder):
        raise FileNotFoundError(errno.ENOENT, "No such file or directory", folder)
    if os.path.isdir(target):
        raise IsADirectoryError(errno.EISDIR, "Is a directory", target)
    writable = os.access(target, os.W_OK) if os.path.exists(target) else (
        os.access(folder, os.W_OK | os.X_OK))
    if not writable:
        raise PermissionError(errno.EACCES, "Permission denied", target)
    return target


def write_whole(target: str, data: bytes) -> None:
    """Writes a temporary file beside `target`, flushes it to disk and puts it in the target's
    place in one step; on any failure the temporary file is removed and the target left alone.
    The new file keeps the permissions of the file it replaces."""
    folder, name = os.path.split(target)
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        mode = None
    temporary = os.path.join(folder, f".{name}.{os.urandom(8).hex()}.tmp")
    # Created as open() would create the target: 0o666 less the umask.
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        with open(fd, "wb") as out:
            out.write(data)
            out.flush()
            if mode is not None:
                os.fchmod(fd, mode)
            os.fsync(fd)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    with contextlib.suppress(OSError):  # the new name lasts through a crash once the folder does
        folder_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(folder_fd)
        finally:
            os.close(folder_fd)


def fit(kind, params, X, y, feature_names=None, threads=None, sample_weight=None) -> Model:
    """A tree or a whole forest (by `kind`) fitted on float32 rows and checked labels."""
    params = dict(DEFAULTS[kind], **params)
    data = training(np.ascontiguousarray(X, dtype=np.float32), y, sample_weight)
    if params.get("class_weight") == "balanced":
        base = np.ones(len(y)) if data.weights is None else data.weights.astype(np.float64)
        data = data._replace(weights=weights_of(base * balanced_weights(data.codes)))
        data = data._replace(total=float(data.weights.sum()) if data.weights is not None
                             else float(len(y)))
    splitter = "random" if kind in (EXTRA_TREE, EXTRA_FOREST) else "best"
    if is_forest(kind):
        native, _ = fit_forest(data, params, 0, params["n_estimators"], threads,
                               splitter=splitter)
    else:
        native = fit_tree(data, params, threads, splitter=splitter)
    return Model(kind, params, native, data.classes, feature_names)


def training_of_codes(X, codes, weights=None) -> Training:
    """The learner's view of rows `X` whose labels are already class indices 0 .. k - 1 (a
    column per output when 2-D), every one of them present (as ``training`` numbers them),
    with weights as ``weights_of`` gives them."""
    def numbered(column):
        return np.arange(int(column.max()) + 1 if len(column) else 0, dtype=np.uint32)

    classes = (numbered(codes) if codes.ndim == 1
               else [numbered(codes[:, k]) for k in range(codes.shape[1])])
    total = float(len(codes) if weights is None else weights.sum(dtype=np.float64))
    return Training(X, codes, weights, total, classes)


# -- regression -------------------------------------------------------------------------------

class Targets(NamedTuple):
    """A regression fit's data, as the learner takes it."""

    X: np.ndarray | SparseMatrix  # C-contiguous float32, or a SparseMatrix by columns
    y: np.ndarray  # C-contiguous float64, n_rows x n_outputs
    weights: np.ndarray | None  # float64, or None when every weight is 1
    total: float  # total weight

    @property
    def n_outputs(self) -> int:
        return self.y.shape[1]

    @property
    def classes(self) -> tuple:
        return ()  # none: what growth_rules asks of a classifier's data


def targets(X, y, weights=None, criterion="squared_error") -> Targets:
    """The learner's view of checked rows `X`, numeric targets `y` (1-D, or 2-D with one column
    per output) and weights; ValueError for targets that are not finite, and for Poisson, for
    negative targets or targets of no positive sum."""
    y = np.asarray(y, dtype=np.float64)
    y = np.ascontiguousarray(y.reshape(len(y), -1))
    if not np.all(np.isfinite(y)):
        raise ValueError("the targets must be finite numbers: y holds NaN or infinity")
    if criterion == "poisson":
        if np.any(y < 0):
            raise ValueError("Some value(s) of y are negative which is not allowed for Poisson "
                             "regression.")
        if np.sum(y) <= 0:
            raise ValueError("Sum of y is not strictly positive which is necessary for Poisson "
                             "regression.")
    weights = weights_of(weights)
    if weights is not None:
        weights = np.ascontiguousarray(weights, dtype=np.float64)
    if X.shape[1] > U32_MAX or y.shape[1] > U32_MAX:
        raise ValueError("lindorf supports fewer than 2**32 features and targets")
    total = float(len(y) if weights is None else weights.sum(dtype=np.float64))
    return Targets(X, y, weights, total)


def regression_rules(params, data: Targets, splitter="best") -> dict:
    """The native learner's rules of growth for a regressor's parameters on `data`."""
    rules = growth_rules(params, data, splitter)
    # scikit-learn's Friedman improvement ranks splits as the squared error does.
    if rules["criterion"] == "friedman_mse":
        rules["criterion"] = "squared_error"
    return rules


def regression_forest_rules(params, data: Targets, splitter) -> dict:
    return dict(
        regression_rules(params, data, splitter),
        bootstrap=bool(params["bootstrap"]),
        out_of_bag=bool(params["oob_score"]),
        draws=bootstrap_draws(params.get("max_samples"), data.X.shape[0]) if params["bootstrap"]
        else 0,
        balanced_subsample=False,
        voting="soft",
    )


def _native_targets(data: Targets) -> tuple:
    """The leading arguments of the native regression fits for `data`."""
    return (*_native_rows(data.X), data.y, data.weights)


def fit_regression_tree(data: Targets, params, threads=None, key=None, splitter="best"):
    """The native model of one regression tree grown on `data`, pruned by ccp_alpha."""
    native = _native_fit("fit_regression_tree", data)(
        *_native_targets(data), regression_rules(params, data, splitter),
        fit_key(params["random_state"]) if key is None else key, threads or usable_cores())
    alpha = params.get("ccp_alpha", 0.0)
    return native.pruned(alpha) if alpha > 0 else native


def fit_regression_forest(data: Targets, params, first, count, threads=None, progress=None,
                          key=None, splitter="best"):
    """(native model, out-of-bag sums and tree counts, or None) of trees first .. first +
    count - 1 of the regression forest `params` describe, as fit_forest grows a classifier's."""
    native, out_of_bag = _native_fit("fit_regression_forest", data)(
        *_native_targets(data), regression_forest_rules(params, data, splitter),
        fit_key(params["random_state"]) if key is None else key, first, count,
        threads or usable_cores(), progress)
    alpha = params.get("ccp_alpha", 0.0)
    return (native.pruned(alpha) if alpha > 0 else native), out_of_bag


def regression_out_of_bag(native, data: Targets, params, key, splitter, threads=None):
    """(sums n_rows x n_outputs, tree counts n_rows): what the trees that did not draw each row
    predict for it, summed, and how many they are."""
    return _native_fit("regression_out_of_bag", data)(
        native, *_native_targets(data), regression_forest_rules(params, data, splitter),
        key, threads or usable_cores())


def predicted_values(native, rows, threads=None) -> np.ndarray:
    """A regression model's predictions: the mean over its trees of each row's leaf values,
    (n_rows,) with one target, (n_rows, n_outputs) with several."""
    values = _ask(native, "values", rows, threads or usable_cores())
    return values[:, 0] if native.n_targets == 1 else values


def fit_regressor(kind, params, X, y, feature_names=None, threads=None,
                  sample_weight=None) -> Model:
    """A regression tree or a whole regression forest (by `kind`) fitted on float32 rows and
    numeric targets."""
    params = dict(DEFAULTS[kind], **params)
    data = targets(np.ascontiguousarray(X, dtype=np.float32), y, sample_weight,
                   params["criterion"])
    if is_forest(kind):
        native, _ = fit_regression_forest(data, params, 0, params["n_estimators"], threads,
                                          splitter=splitter_of(kind))
    else:
        native = fit_regression_tree(data, params, threads, splitter=splitter_of(kind))
    return Model(kind, params, native, None, feature_names)
