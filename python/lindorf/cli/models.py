"""The command's models: building the parameters from the options, fitting on a data set's
labels, saving and loading, predicting and describing.

It uses the learner's NumPy-only layer (`lindorf._learner`), not the scikit-learn estimators, so
every command works without scikit-learn; the files it writes are the estimators' model files,
and the other way round.
"""

import csv
import io

import numpy as np

from lindorf import _export, _learner
from lindorf.cli.dataset import MAX_UINT32, Dataset
from lindorf.cli.errors import DataError, one_line

TOP_FEATURES = 10
KIND_NAMES = {_learner.TREE: "decision tree", _learner.EXTRA_TREE: "extremely randomized tree",
              _learner.FOREST: "random forest",
              _learner.EXTRA_FOREST: "forest of extremely randomized trees",
              _learner.REGRESSOR: "regression tree",
              _learner.EXTRA_REGRESSOR: "extremely randomized regression tree",
              _learner.FOREST_REGRESSOR: "regression forest",
              _learner.EXTRA_FOREST_REGRESSOR: "forest of extremely randomized regression trees"}
BLOCK = 1 << 16  # rows predicted at a time: bounds memory, and Ctrl-C is seen between blocks


def build(args) -> tuple[str, dict]:
    """The kind of model and its parameters, every one given, as the estimators name them."""
    depth = None if args.max_depth == MAX_UINT32 else args.max_depth
    extra = args.extra_trees
    if args.task == "regression":
        # scikit-learn's regressors' rules: nodes of 2 rows split; every feature by default.
        params = dict(criterion=args.criterion, max_depth=depth, min_samples_split=2,
                      min_samples_leaf=args.min_samples_leaf, max_features=args.max_features,
                      random_state=args.seed, max_leaf_nodes=args.max_leaf_nodes)
        if args.kind == "tree":
            return (_learner.EXTRA_REGRESSOR if extra else _learner.REGRESSOR), params
        return (_learner.EXTRA_FOREST_REGRESSOR if extra else _learner.FOREST_REGRESSOR), dict(
            params, n_estimators=args.trees, bootstrap=not extra, oob_score=False, n_jobs=-1,
            verbose=0)
    # Unless the options say otherwise, the learner's own rules: every feature at every node,
    # nodes of fewer than 3 rows are leaves.
    params = dict(criterion=args.criterion, max_depth=depth, min_samples_split=3,
                  min_samples_leaf=args.min_samples_leaf, max_features=args.max_features,
                  random_state=args.seed, max_leaf_nodes=args.max_leaf_nodes,
                  class_weight=args.class_weight)
    if args.kind == "tree":
        return (_learner.EXTRA_TREE if extra else _learner.TREE), params
    # Without --seed the operating system keys the bootstrap samples, as the learner does; the
    # trees vote with their labels, as train_forest_np's do.
    return (_learner.EXTRA_FOREST if extra else _learner.FOREST), dict(
        params, n_estimators=args.trees, bootstrap=not extra, oob_score=False, n_jobs=-1,
        verbose=0, voting="hard")


def fit(kind: str, params: dict, x: np.ndarray, y: np.ndarray, data: Dataset) -> _learner.Model:
    """Fits on the class names when the file named its classes, so that the model predicts
    names, and on the label values otherwise; a regressor on the targets."""
    if _learner.is_regressor(kind):
        return _learner.fit_regressor(kind, params, x, y, data.feature_names)
    labels = np.asarray(data.classes)[y] if data.classes else y
    return _learner.fit(kind, params, x, labels, data.feature_names)


def check_targets(criterion: str, y: np.ndarray) -> None:
    """DataError for targets the criterion cannot take (Poisson: negative ones, or no positive
    sum)."""
    try:
        _learner.targets(np.zeros((len(y), 0), np.float32), y, None, criterion)
    except ValueError as exc:
        raise DataError(one_line(exc)) from None


def predict_values(model: _learner.Model, x: np.ndarray) -> np.ndarray:
    """A regressor's predictions for the rows `x`."""
    if len(x) == 0:
        return np.zeros(0)
    return np.concatenate([model.predict(x[i:i + BLOCK]) for i in range(0, len(x), BLOCK)])


def predict_codes(model: _learner.Model, x: np.ndarray, data: Dataset) -> np.ndarray:
    """The data set's label codes predicted for the rows `x`."""
    if len(x) == 0:
        return np.zeros(0, dtype=np.uint32)
    predicted = np.concatenate([model.predict(x[i:i + BLOCK]) for i in range(0, len(x), BLOCK)])
    if data.classes:
        return np.searchsorted(np.asarray(data.classes), predicted).astype(np.uint32)
    return predicted.astype(np.uint32)


def depth(model: _learner.Model) -> int:
    return int(model.native.depths()[0])


def save(model: _learner.Model, path: str) -> None:
    try:
        model.save(path)
    except OSError as exc:
        raise DataError(f"cannot write the model: {exc.strerror or exc}") from None


def check_save(path: str) -> None:
    """DataError now, rather than after the training, when the model could not be saved."""
    try:
        _learner.save_target(path)
    except OSError as exc:
        raise DataError(f"cannot write the model: {exc.strerror or exc}") from None


def load(path: str) -> _learner.Model:
    try:
        return _learner.Model.load(path)
    except FileNotFoundError:
        raise DataError("no such file") from None
    except IsADirectoryError:
        raise DataError("is a directory, not a model file") from None
    except OSError as exc:
        raise DataError(f"cannot read: {exc.strerror or exc}") from None
    except ValueError as exc:  # the message says what is wrong with the file
        raise DataError(one_line(exc)) from None


def classes(model: _learner.Model) -> list[str]:
    return [str(name) for name in model.classes]


def csv_lines(rows) -> str:
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows(rows)
    return text.getvalue()


def prediction_rows(model: _learner.Model, x: np.ndarray, proba: bool) -> str:
    """CSV lines for the rows `x`: the predicted label, then each class's probability; a
    regressor's predicted value, as the shortest text that reads back as the same number."""
    if model.regressor:
        return csv_lines([repr(float(value))] for value in model.predict(x))
    labels = model.predict(x).tolist()
    shares = model.predict_proba(x).tolist() if proba else [[]] * len(labels)
    return csv_lines([label, *row] for label, row in zip(labels, shares))


def top_features(native, count: int) -> tuple[np.ndarray, np.ndarray]:
    """The `count` most important features and their importances, ties to the lowest index, at
    a cost that follows the model's splits rather than its feature count."""
    features, values = native.importance_list()
    # Every other feature has importance 0; the lowest-numbered of them compete for the places.
    unused = np.setdiff1d(np.arange(min(native.n_features, count + len(features))), features)
    features = np.concatenate([features, unused[:count]])
    values = np.concatenate([values, np.zeros(min(count, len(unused)))])
    top = np.lexsort((features, -values))[:count]
    return features[top], values[top]


def describe(model: _learner.Model) -> str:
    depths = model.native.depths()
    nodes = model.native.node_counts()
    lines = [
        f"kind: {KIND_NAMES[model.kind]} ({model.kind})",
        "parameters: " + ", ".join(f"{key}={value!r}" for key, value in
                                   sorted(model.params.items())),
        ("targets: 1" if model.regressor
         else f"classes: {len(model.classes)}: " + ", ".join(classes(model))),
        f"features: {model.n_features}",
    ]
    if model.forest:
        lines += [f"trees: {len(depths)}",
                  f"depth: {min(depths)} to {max(depths)} (mean {np.mean(depths):.1f})",
                  f"nodes: {sum(nodes)} in all, {np.mean(nodes):.1f} per tree on average"]
    else:
        lines += [f"depth: {depths[0]}",
                  f"nodes: {nodes[0]} ({model.native.leaf_counts()[0]} leaves)"]
    features, importances = top_features(model.native, TOP_FEATURES)
    names = [model.feature_names[i] if model.feature_names else f"column {i}" for i in features]
    lines.append(f"most important features (of {model.n_features}):")
    width = max(map(len, names), default=0)
    lines += [f"  {name:<{width}}  {value:.4f}" for name, value in zip(names, importances)]
    return "\n".join(lines) + "\n"


def tree_text(model: _learner.Model, index: int, fmt: str, max_depth: int | None) -> str:
    """Tree `index` as rules or DOT, with the model's feature and class names."""
    return _export.model_tree_text(
        model.native, index, fmt, feature_names=model.feature_names,
        classes=None if model.regressor else classes(model),
        criterion=model.params.get("criterion"), max_depth=max_depth,
        name=f"Tree{index}" if model.forest else "Tree")
