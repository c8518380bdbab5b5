"""Fitted trees and forests with NumPy alone: what the command-line tool trains, predicts and
saves with, and what the scikit-learn estimators (``lindorf.estimators``) wrap with scikit-learn's
validation, parameters and fitted attributes.

The inputs here are already checked: features as C-contiguous float32 rows (NaN and infinities
are values like any other), labels as a 1-D array, weights as non-negative float64 or None, and
parameters by scikit-learn's names with valid values. The native calls release the interpreter
lock while the learner works and turn Ctrl-C into ``KeyboardInterrupt``.
"""

from __future__ import annotations

import contextlib
import errno
import numbers
import os
import stat
from dataclasses import dataclass
from typing import NamedTuple

import numpy as np

from lindorf import _estimators, _model_file

U32_MAX = 2**32 - 1
TREE = "DecisionTreeClassifier"
FOREST = "RandomForestClassifier"
# The parameters of each kind of model, as the estimators name them and model files keep them.
GROWTH_PARAMETERS = ("criterion", "max_depth", "min_samples_split", "min_samples_leaf",
                     "max_features", "random_state")
PARAMETERS = {TREE: GROWTH_PARAMETERS,
              FOREST: GROWTH_PARAMETERS + ("n_estimators", "bootstrap", "oob_score", "n_jobs",
                                           "verbose")}


def usable_cores() -> int:
    return _estimators.usable_cores()


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
    return SparseMatrix(np.ascontiguousarray(X.data, dtype=np.float32),
                        np.ascontiguousarray(X.indices, dtype=np.uint32),
                        np.ascontiguousarray(X.indptr, dtype=np.uint64), tuple(X.shape))


class Training(NamedTuple):
    X: np.ndarray  # C-contiguous float32
    codes: np.ndarray  # uint32 class indices
    weights: np.ndarray | None  # uint32, or None when every weight is 1
    total: int  # total weight
    classes: np.ndarray  # the class of each index, in np.unique order


def whole_weights(weights):
    """Non-negative float64 weights as uint32 (None when every weight is 1), or ValueError."""
    if weights is None:
        return None
    if not np.all(np.isfinite(weights)) or np.any(weights != np.floor(weights)):
        raise ValueError(
            "sample_weight must hold non-negative whole numbers: a row of weight w stands for w "
            "copies of itself, and lindorf cannot grow trees on fractions of rows")
    if weights.sum() >= U32_MAX:
        raise ValueError(f"sample_weight adds up to {weights.sum():.0f}, more than lindorf "
                         f"supports (below {U32_MAX})")
    if np.all(weights == 1):
        return None
    return weights.astype(np.uint32)


def classes_of(y):
    """np.unique(y, return_inverse=True), by counting when the labels are small non-negative
    integers (the usual case, and several times faster than sorting a long list)."""
    if y.dtype.kind in "iu" and y.size and y.min() >= 0 and y.max() < 4 * y.size + 1024:
        present = np.bincount(y) > 0
        codes = (np.cumsum(present) - 1).astype(np.uint32)[y]
        return np.flatnonzero(present).astype(y.dtype), codes
    classes, codes = np.unique(y, return_inverse=True)
    return classes, codes.astype(np.uint32, copy=False)


def training(X, y, weights=None) -> Training:
    """The learner's view of checked rows `X`, labels `y` and weights."""
    weights = whole_weights(weights)
    classes, codes = classes_of(y)
    if len(classes) > U32_MAX or X.shape[1] > U32_MAX:
        raise ValueError("lindorf supports fewer than 2**32 classes and features")
    total = len(codes) if weights is None else int(weights.sum())
    return Training(X, codes, weights, total, classes)


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


def _least_weight(value, total_weight, least) -> int:
    """A count as it is, a fraction of the total weight rounded up; at least `least`."""
    if isinstance(value, numbers.Integral):
        return min(int(value), U32_MAX)
    return min(max(least, int(np.ceil(value * total_weight))), U32_MAX)


def growth_rules(params, n_features, total_weight) -> tuple:
    """(max_depth, min_split, min_leaf, max_features, criterion) for the native learner."""
    depth = params["max_depth"]
    return (U32_MAX if depth is None else min(depth, U32_MAX),
            _least_weight(params["min_samples_split"], total_weight, 2),
            _least_weight(params["min_samples_leaf"], total_weight, 1),
            features_per_node(params["max_features"], n_features), params["criterion"])


def _features(X) -> tuple:
    """The leading arguments of the native fits for dense or sparse rows."""
    if isinstance(X, SparseMatrix):
        return X.values, X.indices, X.starts, X.shape[0]
    return (X,)


def fit_tree(data: Training, params, threads=None):
    """The native model of one tree grown on `data`."""
    fit = _estimators.fit_tree_sparse if isinstance(data.X, SparseMatrix) else _estimators.fit_tree
    return fit(
        *_features(data.X), data.codes, data.weights, len(data.classes),
        *growth_rules(params, data.X.shape[1], data.total), fit_key(params["random_state"]),
        threads or usable_cores())


def fit_forest(data: Training, params, first, count, threads=None, progress=None):
    """(native model, out-of-bag votes or None) of trees first .. first + count - 1 of the
    forest `params` describe: with an int random_state, exactly the trees a whole fit has at
    those indices. `progress`, when given, is called every few tens of milliseconds with the
    trees done."""
    fit = (_estimators.fit_forest_sparse if isinstance(data.X, SparseMatrix)
           else _estimators.fit_forest)
    return fit(
        *_features(data.X), data.codes, data.weights, len(data.classes),
        *growth_rules(params, data.X.shape[1], data.total), params["bootstrap"],
        params["oob_score"], fit_key(params["random_state"]), first, count,
        threads or usable_cores(), progress)


# -- predictions ------------------------------------------------------------------------------

def _ask(native, question: str, rows, threads):
    """native.question(rows, threads), for dense rows or a SparseMatrix by rows."""
    if isinstance(rows, SparseMatrix):
        return getattr(_estimators, question + "_sparse")(native, rows.values, rows.indices,
                                                           rows.starts, threads)
    return getattr(native, question)(rows, threads)


def predicted_codes(native, forest: bool, rows, threads=None) -> np.ndarray:
    """Class indices: the label of each row's leaf, or the class most trees vote for (tied
    votes going to the lowest index)."""
    threads = threads or usable_cores()
    if forest:
        return np.argmax(_ask(native, "votes", rows, threads), axis=1)
    return _ask(native, "tree_labels", rows, threads)


def probabilities(native, forest: bool, rows, threads=None) -> np.ndarray:
    """The weighted class shares of each row's leaf, or the share of trees voting for each
    class."""
    threads = threads or usable_cores()
    if forest:
        return _ask(native, "votes", rows, threads) / float(native.n_trees)
    return _ask(native, "tree_shares", rows, threads)


def leaves(native, rows, threads=None) -> np.ndarray:
    """n_rows x n_trees: the position of the leaf each row reaches in each tree."""
    return _ask(native, "leaves", rows, threads or usable_cores())


def leaf_value(forest: bool, params) -> str:
    """What each leaf adds to the model's class shares, as the native explanations name it: its
    weighted class shares (a tree), or one vote for its label (a forest's vote)."""
    return "vote" if forest else "shares"


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
    threads = threads or usable_cores()
    kind = leaf_value(forest, params)
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

    kind: str  # TREE or FOREST
    params: dict
    native: object  # _estimators.NativeModel
    classes: np.ndarray
    feature_names: list[str] | None = None
    oob_score: float | None = None

    @property
    def forest(self) -> bool:
        return self.kind == FOREST

    @property
    def n_features(self) -> int:
        return self.native.n_features

    def predict(self, rows, threads=None) -> np.ndarray:
        return self.classes.take(predicted_codes(self.native, self.forest, rows, threads))

    def predict_proba(self, rows, threads=None) -> np.ndarray:
        return probabilities(self.native, self.forest, rows, threads)

    def to_bytes(self) -> bytes:
        """The model in lindorf's versioned format, which the estimators read too."""
        return _model_file.encode(self.native, _model_file.Description(
            self.kind, self.params, self.classes, self.feature_names, self.oob_score))

    @classmethod
    def from_bytes(cls, data) -> Model:
        """The model saved in `data`; ValueError if it is damaged or in a format version this
        lindorf does not read."""
        native, description = _model_file.decode(bytes(data), PARAMETERS)
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


def fit(kind, params, X, y, feature_names=None, threads=None) -> Model:
    """A tree or a whole forest (by `kind`) fitted on float32 rows and checked labels."""
    data = training(np.ascontiguousarray(X, dtype=np.float32), y)
    if kind == FOREST:
        native, _ = fit_forest(data, params, 0, params["n_estimators"], threads)
    else:
        native = fit_tree(data, params, threads)
    return Model(kind, params, native, data.classes, feature_names)


def training_of_codes(X, codes, weights=None) -> Training:
    """The learner's view of rows `X` whose labels are already class indices 0 .. k - 1, every
    one of them present (as ``training`` numbers them), with uint32 weights or None."""
    n_classes = int(codes.max()) + 1 if len(codes) else 0
    total = len(codes) if weights is None else int(weights.sum())
    return Training(X, codes, weights, total, np.arange(n_classes, dtype=np.uint32))
