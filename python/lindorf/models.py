"""The command's use of the estimators: building one from the options, fitting it on a data
set's labels, saving and loading it, and describing it.

The estimators need scikit-learn; it is imported only when a job trains or loads a model, so
that `--help` and data errors work without it, and its absence is one line saying what to
install.
"""

import csv
import importlib.util
import io
import warnings

import numpy as np

from lindorf.dataset import MAX_UINT32, Dataset
from lindorf.errors import DataError, MissingDependency, one_line

INSTALL_HINT = "pip install 'lindorf[sklearn]'"
TOP_FEATURES = 10
BLOCK = 1 << 16  # rows predicted at a time: bounds memory, and Ctrl-C is seen between blocks


def estimators():
    """The estimator module; MissingDependency when scikit-learn, which it needs, is absent."""
    if importlib.util.find_spec("sklearn") is None:
        raise MissingDependency("training and saved models need scikit-learn, which is not "
                                f"installed: install it with {INSTALL_HINT}")
    from lindorf import estimators as module

    return module


def build(args):
    module = estimators()
    depth = None if args.max_depth == MAX_UINT32 else args.max_depth
    rules = dict(criterion="entropy", max_depth=depth, min_samples_split=3, max_features=None)
    if args.kind == "tree":
        return module.DecisionTreeClassifier(**rules)
    # Without --seed the operating system keys the bootstrap samples, as the learner does.
    return module.RandomForestClassifier(n_estimators=args.trees, bootstrap=True,
                                         random_state=args.seed, n_jobs=-1, **rules)


def fit(model, x: np.ndarray, y: np.ndarray, data: Dataset) -> None:
    """Fits on the class names when the file named its classes, so that the model predicts
    names, and on the label values otherwise."""
    labels = np.asarray(data.classes)[y] if data.classes else y
    model.fit(x, labels)


def predict_codes(model, x: np.ndarray, data: Dataset) -> np.ndarray:
    if len(x) == 0:
        return np.zeros(0, dtype=np.uint32)
    predicted = np.concatenate([model.predict(x[i:i + BLOCK]) for i in range(0, len(x), BLOCK)])
    if data.classes:
        return np.searchsorted(np.asarray(data.classes), predicted).astype(np.uint32)
    return predicted.astype(np.uint32)


def depth(model) -> int:
    return int(model.get_depth())


def save(model, path: str, names: list[str] | None) -> None:
    """Writes the model with the feature names of the file it was trained on, by which
    `predict` finds its columns in another file."""
    if names is not None:
        model.feature_names_in_ = np.asarray(names, dtype=object)
    try:
        model.save(path)
    except OSError as exc:
        raise DataError(f"cannot write the model: {exc.strerror or exc}") from None


def load(path: str):
    module = estimators()
    try:
        return module.load(path)
    except FileNotFoundError:
        raise DataError("no such file") from None
    except IsADirectoryError:
        raise DataError("is a directory, not a model file") from None
    except OSError as exc:
        raise DataError(f"cannot read: {exc.strerror or exc}") from None
    except ValueError as exc:  # the message says what is wrong with the file
        raise DataError(one_line(exc)) from None


def feature_names(model) -> list[str] | None:
    names = getattr(model, "feature_names_in_", None)
    return None if names is None else [str(name) for name in names]


def n_features(model) -> int:
    return int(model.n_features_in_)


def classes(model) -> list[str]:
    return [str(name) for name in model.classes_]


def csv_lines(rows) -> str:
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows(rows)
    return text.getvalue()


def prediction_rows(model, x: np.ndarray, proba: bool) -> str:
    """CSV lines for the rows `x`: the predicted label, then each class's probability."""
    with warnings.catch_warnings():
        # The rows were matched to the model's features by name already; they come as an array.
        warnings.filterwarnings("ignore", message="X does not have valid feature names")
        labels = model.predict(x).tolist()
        shares = model.predict_proba(x).tolist() if proba else [[]] * len(labels)
    rows = [[label, *row] for label, row in zip(labels, shares)]
    return csv_lines(rows)


def describe(model) -> str:
    forest = hasattr(model, "estimators_")
    trees = list(model.estimators_) if forest else [model]
    depths = [int(tree.get_depth()) for tree in trees]
    nodes = [2 * int(tree.get_n_leaves()) - 1 for tree in trees]  # every split has two children
    names = feature_names(model) or [f"column {i}" for i in range(n_features(model))]
    lines = [
        f"kind: {'random forest' if forest else 'decision tree'} ({type(model).__name__})",
        "parameters: " + ", ".join(f"{key}={value!r}" for key, value in
                                   sorted(model.get_params().items())),
        f"classes: {len(model.classes_)}: " + ", ".join(classes(model)),
        f"features: {n_features(model)}",
    ]
    if forest:
        lines += [f"trees: {len(trees)}",
                  f"depth: {min(depths)} to {max(depths)} (mean {np.mean(depths):.1f})",
                  f"nodes: {sum(nodes)} in all, {np.mean(nodes):.1f} per tree on average"]
    else:
        lines += [f"depth: {depths[0]}", f"nodes: {nodes[0]} ({int(trees[0].get_n_leaves())} "
                  "leaves)"]
    importances = np.asarray(model.feature_importances_, dtype=np.float64)
    top = np.argsort(-importances, kind="stable")[:TOP_FEATURES]
    lines.append(f"most important features (of {len(importances)}):")
    width = max(len(names[i]) for i in top)
    lines += [f"  {names[i]:<{width}}  {importances[i]:.4f}" for i in top]
    return "\n".join(lines) + "\n"
