"""What each of the command's jobs does, once its arguments are parsed.

A plain run and `train` share one flow: read the data, cut it into training and test rows, print
the shapes, train, print the tree's depth, predict the test rows and print the report, exactly as
the learner's own entry points print it. Training goes through the models of `lindorf._learner`,
which release the interpreter lock and answer Ctrl-C; the learner's entry points hold the lock
for the whole call.
"""

import argparse

import numpy as np

from lindorf.cli import dataset, models, report
from lindorf.cli.dataset import BUILTIN_NAME, Dataset
from lindorf.cli.errors import DataError, blamed_on
from lindorf.cli.output import emit, say

DEFAULT_TREES = 100

HELP = {
    "train": {"description": "Train as a plain run does (same options, same report on standard "
              "output) and save the\ntrained model to MODEL for `lindorf predict` and `lindorf "
              "info`.",
              "epilog": "example:\n  lindorf train iris.csv --label species --seed 3 --save "
              "iris.model"},
    "predict": {"description": "Predict a label for every row of DATA with a saved model and "
                "write them to standard\noutput as CSV: a header, then one label per row (class "
                "names when the model was\ntrained on named classes). Columns are matched to the "
                "model's features by name\nwhen both have names, otherwise by position; a label "
                "column is left out.",
                "epilog": "example:\n  lindorf predict iris.model new_flowers.csv --proba > "
                "predictions.csv"},
    "export": {"description": "Print a saved model's trees: as indented rules (a row goes "
               "left when its value is\nstrictly less than the threshold; equal values and NaN "
               "go right), or in Graphviz's\nDOT language, one graph per tree.",
               "epilog": "examples:\n  lindorf export iris.model --max-depth 3\n  lindorf "
               "export forest.model --tree 0 --format dot | dot -Tsvg > tree0.svg"},
    "info": {"description": "Describe a saved model: its kind, parameters, classes, depth and "
             "node counts, and\nits ten most important features.",
             "epilog": "example:\n  lindorf info iris.model"},
}


def layout(args: argparse.Namespace) -> dataset.Layout:
    return dataset.Layout(args.header, args.drop_index)


def load_training_data(args: argparse.Namespace, scratch: str) -> tuple[str, Dataset]:
    source = BUILTIN_NAME if args.data is None else args.data
    with blamed_on(source):
        regression = args.task == "regression"
        if args.data is None:
            data = dataset.load_builtin(args.label, regression)
        else:
            data = dataset.load_file(args.data, args.label, args.delimiter, scratch,
                                     layout(args), regression)
    for note in data.notes:
        say(f"{source}: {note}")
    if data.classes is not None:
        mapping = ", ".join(f"{name}={code}" for code, name in enumerate(data.classes))
        say(f"{source}: classes in column '{data.label_name}': {mapping}")
    return source, data


def training_rows(n: int, test_size: float) -> int:
    # The learner's own cut is trunc(n * 0.9) in double precision; 1 - 0.1 is exactly 0.9.
    return int(n * (1.0 - test_size))


def holdout_order(y: np.ndarray, n_train: int, seed: int | None,
                  stratify: bool) -> np.ndarray | None:
    """The row order before the positional cut: the file's (None), shuffled, or shuffled so that
    the test rows hold each class in its share of the whole."""
    if seed is None:
        return None
    rng = np.random.default_rng(seed)
    order = rng.permutation(len(y))
    if not stratify:
        return order
    grouped = order[np.argsort(y[order], kind="stable")]  # by class, shuffled within each
    _, starts, counts = np.unique(y[grouped], return_index=True, return_counts=True)
    quota = counts * (len(y) - n_train) / len(y)
    taken = np.floor(quota).astype(np.int64)
    short = len(y) - n_train - int(taken.sum())
    taken[np.argsort(-(quota - taken), kind="stable")[:short]] += 1  # largest remainders
    position = np.arange(len(y)) - np.repeat(starts, counts)
    to_test = position < np.repeat(taken, counts)
    return np.concatenate([rng.permutation(grouped[~to_test]), rng.permutation(grouped[to_test])])


def explain_labels(source: str, data: Dataset, test: np.ndarray, args) -> None:
    """Says on standard error what the standard report cannot show for these labels."""
    distinct = np.unique(data.y)
    if len(distinct) > max(50, len(data.y) // 4):
        say(f"{source}: note: {len(distinct)} classes in {len(data.y)} rows: if the labels are "
            "numbers to predict rather than classes, --task regression predicts them")
    if len(distinct) > 2 and args.report != "full":
        say(f"{source}: note: {len(distinct)} classes: the report's precision, recall and F1 "
            "treat label 1 as positive and every other label as negative; --report full "
            "covers every class")
    if len(distinct) > 1 and len(test) > 1 and np.all(test == test[0]) and not args.stratify:
        remedy = ("if the file is sorted by class, --shuffle SEED mixes the rows before the cut"
                  if args.shuffle is None else "--stratify keeps every class in the test rows")
        say(f"{source}: note: the {len(test)} test rows all have label {test[0]}, so the report "
            f"says little about the other classes; {remedy}")


def fit_and_report(args: argparse.Namespace, source: str, data: Dataset):
    """Prints what the learner's entry points print and returns the fitted model."""
    n_train = training_rows(len(data.y), args.test_size)
    if n_train < 1:
        raise DataError(f"--test-size {args.test_size} leaves no rows to train on")
    order = holdout_order(data.y, n_train, args.shuffle, args.stratify)
    x, y = (data.x, data.y) if order is None else (data.x[order], data.y[order])
    if args.task == "regression":
        return fit_and_report_regression(args, x, y, n_train, data)
    explain_labels(source, data, y[n_train:], args)
    emit(report.shape_lines(x.shape[0], x.shape[1], len(y)))
    model = models.fit(*models.build(args), x[:n_train], y[:n_train], data)
    if args.kind == "tree":
        emit(report.depth_line(models.depth(model)))
    predicted = models.predict_codes(model, x[n_train:], data)
    actual = y[n_train:]
    emit(report.standard_report(predicted, actual))
    if args.report == "full":
        names = (lambda code: data.classes[code]) if data.classes else str
        emit(report.full_report(predicted, actual, names))
    return model


def fit_and_report_regression(args, x: np.ndarray, y: np.ndarray, n_train: int, data: Dataset):
    """The regression report of a model trained on the first n_train rows and tested on the
    rest, after the shape lines (and a tree's depth line); the model."""
    models.check_targets(args.criterion, y[:n_train])
    emit(report.shape_lines(x.shape[0], x.shape[1], len(y)))
    model = models.fit(*models.build(args), x[:n_train], y[:n_train], data)
    if args.kind == "tree":
        emit(report.depth_line(models.depth(model)))
    predicted = models.predict_values(model, x[n_train:])
    emit(report.regression_report(predicted, y[n_train:]))
    return model


def run_command(args: argparse.Namespace, scratch: str) -> None:
    source, data = load_training_data(args, scratch)
    with blamed_on(source):
        fit_and_report(args, source, data)


def train_command(args: argparse.Namespace, scratch: str) -> None:
    with blamed_on(args.save):  # before the training, which may be long
        models.check_save(args.save)
    source, data = load_training_data(args, scratch)
    with blamed_on(source):
        model = fit_and_report(args, source, data)
    with blamed_on(args.save):
        models.save(model, args.save)


def predict_command(args: argparse.Namespace, scratch: str) -> None:
    with blamed_on(args.model):
        model = models.load(args.model)
    with blamed_on(args.data):
        x, notes = dataset.load_features(args.data, model.feature_names, model.n_features,
                                         args.label, args.delimiter, scratch, layout(args))
    for note in notes:
        say(f"{args.data}: {note}")
    if model.regressor and args.proba:
        raise DataError("--proba: a regression model predicts numbers, not class "
                        "probabilities")
    classes = [] if model.regressor else models.classes(model)
    header = ["value" if model.regressor else "label"] + (
        [f"proba_{name}" for name in classes] if args.proba else [])
    emit(models.csv_lines([header]))
    for start in range(0, len(x), models.BLOCK):
        emit(models.prediction_rows(model, x[start:start + models.BLOCK], args.proba))


def info_command(args: argparse.Namespace, scratch: str) -> None:
    with blamed_on(args.model):
        model = models.load(args.model)
    emit(models.describe(model))


def export_command(args: argparse.Namespace, scratch: str) -> None:
    with blamed_on(args.model):
        model = models.load(args.model)
        trees = range(model.native.n_trees)
        if args.tree is not None:
            if args.tree >= model.native.n_trees:
                raise DataError(f"--tree {args.tree}: the model has {model.native.n_trees} "
                                f"tree{'s' if model.native.n_trees > 1 else ''}")
            trees = [args.tree]
    for i in trees:
        if args.format == "text" and model.forest:
            emit(f"tree {i}\n")
        emit(models.tree_text(model, i, args.format, args.max_depth))


COMMANDS = {"run": run_command, "train": train_command, "predict": predict_command,
            "info": info_command, "export": export_command}
