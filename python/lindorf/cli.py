"""The `lindorf` command: train a tree or a forest on a data set and print the learner's report.

Standard output carries exactly what the learner prints (shape lines, the tree's depth, the
classification report); everything the command itself has to say goes to standard error.
Exit status: 0 on success, 1 when training fails inside the learner, 2 for bad usage or data.
"""

import argparse
import sys

import numpy as np

from lindorf import _lindorf
from lindorf.dataset import BUILTIN_NAME, MAX_UINT32, DataError, Dataset, load_builtin, load_file

DEFAULT_TREES = 100
EXIT_TRAINING_FAILED = 1
EXIT_BAD_INPUT = 2

DESCRIPTION = """\
Train a decision tree or a random forest and report how well it labels rows it
did not see. The first nine tenths of the rows (in file order, unless --shuffle
is given) are the training set and the last tenth the test set. Standard output
shows the shapes of the feature matrix and the labels, the tree's depth (--tree
only), and a classification report: accuracy, and precision, recall and F1
score with label 1 as the positive class.

Without DATA, trains on the built-in Wisconsin diagnostic breast-cancer data
(569 rows, 30 features, label 1 = malignant, 0 = benign)."""

EPILOG = """\
data files:
  CSV   comma-separated, with a header row of column names. Empty cells are
        missing values (NaN). A label column holding names rather than numbers
        is numbered 0, 1, ... in sorted order of the names; the mapping is
        printed to standard error.
  .npy  a 2-D numeric array; the label is one of its columns, given by index.
  .npz  arrays 'x' (2-D features) and 'y' (1-D labels), or a single 2-D array
        read like a .npy file.
  Labels must be non-negative whole numbers; features are read as 32-bit floats.

examples:
  python -m lindorf                          forest of 100 trees, built-in data
  python -m lindorf --tree --max-depth 4     one tree of depth at most 4
  python -m lindorf iris.csv --label species --shuffle 7
  python -m lindorf table.npy --label 0 --trees 20

exit status: 0 success, 1 training failed, 2 bad usage or bad data."""


def uint32(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= MAX_UINT32:
        raise argparse.ArgumentTypeError(
            f"expected a whole number from 0 to {MAX_UINT32}, got {text!r}"
        )
    return value


def seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a non-negative whole number, got {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="lindorf",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "data", nargs="?", metavar="DATA",
        help="CSV, .npy or .npz file to train on (default: the built-in breast-cancer data)",
    )
    parser.add_argument(
        "--label", metavar="COLUMN",
        help="the label column: a header name, or a 0-based index, negative counting from the "
        "end (default: the last column)",
    )
    model = parser.add_mutually_exclusive_group()
    model.add_argument(
        "--tree", dest="model", action="store_const", const="tree",
        help="train a single decision tree and print its depth",
    )
    model.add_argument(
        "--forest", dest="model", action="store_const", const="forest",
        help="train a random forest, each tree on a bootstrap sample (the default)",
    )
    parser.add_argument(
        "--trees", metavar="N", type=uint32,
        help=f"number of trees in the forest (default: {DEFAULT_TREES})",
    )
    parser.add_argument(
        "--max-depth", metavar="D", type=uint32, default=MAX_UINT32,
        help="grow no deeper than D levels; 0 makes every tree a single leaf "
        "(default: unlimited)",
    )
    parser.add_argument(
        "--shuffle", metavar="SEED", type=seed,
        help="shuffle the rows with this random seed before the cut into training and test "
        "rows; the same seed gives the same cut (default: keep the file's order)",
    )
    return parser


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = build_parser()
    args = parser.parse_args(argv)
    args.model = args.model or "forest"
    if args.model == "tree" and args.trees is not None:
        parser.error("--trees applies to a forest, not to --tree")
    if args.trees is None:
        args.trees = DEFAULT_TREES
    return args


def load(args: argparse.Namespace) -> Dataset:
    if args.data is None:
        return load_builtin(args.label)
    return load_file(args.data, args.label)


def shuffled(data: Dataset, seed_value: int) -> Dataset:
    order = np.random.default_rng(seed_value).permutation(len(data.y))
    return Dataset(data.x[order], data.y[order], data.classes, data.label_name)


def train(data: Dataset, args: argparse.Namespace) -> None:
    # The learner writes straight to file descriptor 1; anything still buffered in Python
    # would otherwise come out after its report.
    sys.stdout.flush()
    sys.stderr.flush()
    if args.model == "tree":
        _lindorf.train_tree_np(data.x, data.y, args.max_depth)
    else:
        _lindorf.train_forest_np(data.x, data.y, args.max_depth, args.trees)


def is_panic(exc: BaseException) -> bool:
    # The learner's internal failures derive from BaseException and are not importable by name.
    return type(exc).__name__ == "PanicException"


def say(source: str, message: str) -> None:
    print(f"lindorf: {source}: {message}", file=sys.stderr, flush=True)


def run(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    source = BUILTIN_NAME if args.data is None else args.data
    try:
        data = load(args)
    except DataError as exc:
        say(source, str(exc))
        return EXIT_BAD_INPUT
    if data.classes is not None:
        mapping = ", ".join(f"{name}={code}" for code, name in enumerate(data.classes))
        say(source, f"classes in column '{data.label_name}': {mapping}")
    if args.shuffle is not None:
        data = shuffled(data, args.shuffle)
    try:
        train(data, args)
    except BaseException as exc:
        if not is_panic(exc):
            raise
        detail = " ".join(str(exc.args[0] if exc.args else exc).split())
        say(source, f"training failed: {detail}")
        return EXIT_TRAINING_FAILED
    return 0


def main() -> None:
    try:
        status = run()
    except KeyboardInterrupt:
        print("lindorf: interrupted", file=sys.stderr)
        status = 130
    sys.exit(status)
