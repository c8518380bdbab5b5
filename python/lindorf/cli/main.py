"""The `lindorf` command: train a tree or a forest on a data set and print the learner's report;
train and save a model, predict with it, or describe it.

Standard output carries only results (the report, the predictions, the description); everything
the command itself has to say goes to standard error, one line each. Exit status: 0 on success
(and when the reader of standard output went away), 1 when the work failed (out of memory, an
unwritable output), 2 for bad usage, data or model files, 130 when interrupted.
"""

import argparse
import os
import signal
import sys
import tempfile

from lindorf.cli import commands
from lindorf.cli.dataset import MAX_UINT32
from lindorf.cli.errors import DataError, one_line
from lindorf.cli.output import (OutputFailed, ReaderGone, finish_stdout, prepare_streams, say,
                                silence_stdout)

EXIT_FAILED = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130
SUBCOMMANDS = ("train", "predict", "info", "export")
CLASSIFICATION_CRITERIA = ("entropy", "gini", "log_loss")
REGRESSION_CRITERIA = ("squared_error", "friedman_mse", "absolute_error", "poisson")
DELIMITER_NAMES = {"tab": "\t", "\\t": "\t", "comma": ",", "semicolon": ";", "pipe": "|",
                   "space": " "}

DESCRIPTION = """\
Train a decision tree or a random forest and report how well it labels rows it
did not see. The first nine tenths of the rows (in file order, unless --shuffle
is given) are the training set and the last tenth the test set. Standard output
shows the shapes of the feature matrix and the labels, the tree's depth (--tree
only), and a classification report: accuracy, and precision, recall and F1
score with label 1 as the positive class (--report full adds every class).
With --task regression the label column holds numbers to predict, and the
report gives R^2, the mean absolute error and the root mean squared error.

Without DATA, trains on the built-in Wisconsin diagnostic breast-cancer data
(569 rows, 30 features, label 1 = malignant, 0 = benign)."""

DATA_HELP = """\
data files:
  CSV   with a header row of column names; the delimiter (comma, semicolon, tab
        or pipe) is detected, or given with --delimiter. Files compressed with
        gzip, bzip2 or xz are read as they are; '-' reads standard input.
        Empty cells and NA, N/A, NaN, nan, null and ? are missing values (NaN).
        --no-header reads a file without a header row. An unnamed first
        column numbering the rows 0, 1, 2, ... (the index pandas writes) is
        dropped; --drop-index drops any first column. A label column holding
        names rather than numbers is numbered 0, 1, ... in sorted order of the
        names; the mapping is printed to standard error.
  .npy  a 2-D numeric array; the label is one of its columns, given by index.
  .npz  arrays 'x' (2-D features) and 'y' (1-D labels), or a single 2-D array
        read like a .npy file.
  Labels must be non-negative whole numbers (with --task regression, any finite
  numbers); features are read as 32-bit floats:
  infinities are values like any other, and so are numbers beyond the 32-bit
  range (3.4e38), which become infinities."""

EPILOG = f"""\
{DATA_HELP}

commands (each has its own --help):
  lindorf train DATA --save MODEL [options]   train as above and save the model
  lindorf predict MODEL DATA [--proba]        one predicted label per row, as CSV
  lindorf info MODEL                          what a saved model is and holds
  lindorf export MODEL [--format text|dot]    a saved model's trees as rules or Graphviz

examples:
  lindorf                                    forest of 100 trees, built-in data
  lindorf --tree --max-depth 4               one tree of depth at most 4
  lindorf iris.csv --label species --shuffle 7 --stratify --report full
  lindorf table.npy --label 0 --trees 20 --seed 1
  lindorf data.csv --extra-trees --max-features sqrt --class-weight balanced
  lindorf prices.csv --label price --task regression --criterion absolute_error
  gunzip -c data.csv.gz | lindorf - --delimiter ';'

exit status: 0 success, 1 the work failed, 2 bad usage or bad data,
130 interrupted."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str):
        # One line, as for every other bad input; the usage is one --help away.
        say(f"{message} ({self.prog} --help explains every option)")
        raise SystemExit(EXIT_BAD_INPUT)


def bounded_int(low: int, high: int):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = low - 1
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(
                f"expected a whole number from {low} to {high}, got {text!r}")
        return value

    return parse


def test_size(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0.0 <= value < 1.0:
        raise argparse.ArgumentTypeError(f"expected a fraction from 0 up to 1, got {text!r}")
    return value


def delimiter(text: str) -> str:
    value = DELIMITER_NAMES.get(text.lower(), text)
    if len(value) != 1 or value in "\"\r\n":
        raise argparse.ArgumentTypeError(
            f"expected one character (or tab, comma, semicolon, pipe, space), got {text!r}")
    return value


def max_features(text: str):
    """sqrt, log2, all, a whole number of features or a fraction of them."""
    value = text.lower()
    if value in ("sqrt", "log2"):
        return value
    if value == "all":
        return None
    try:
        number = float(text)
    except ValueError:
        number = -1.0
    if number >= 1 and number == int(number) and number <= MAX_UINT32:
        return int(number)
    if 0 < number < 1:
        return number
    raise argparse.ArgumentTypeError(
        f"expected sqrt, log2, all, a whole number of features or a fraction, got {text!r}")


def add_reading_options(parser: argparse.ArgumentParser) -> None:
    reading = parser.add_argument_group("reading the data")
    reading.add_argument(
        "--label", metavar="COLUMN",
        help="the label column: a header name, or a 0-based index, negative counting from the "
        "end (default: the last column)")
    reading.add_argument(
        "--delimiter", metavar="CHAR", type=delimiter,
        help="the CSV field delimiter: one character, or tab, comma, semicolon, pipe, space "
        "(default: detected)")
    header = reading.add_mutually_exclusive_group()
    header.add_argument("--no-header", dest="header", action="store_false", default=None,
                        help="the CSV file has no header row: its first line is data, and "
                        "columns are known by their 0-based index")
    header.add_argument("--header", dest="header", action="store_true", default=None,
                        help="the CSV file's first line is a header row, even if it holds only "
                        "numbers (the default, without the note that it then brings)")
    reading.add_argument("--drop-index", action="store_true",
                        help="leave out the CSV file's first column, an index that numbers the "
                        "rows (one numbering them 0, 1, 2, ... under an empty name is left out "
                        "anyway)")


def add_training_options(parser: argparse.ArgumentParser) -> None:
    add_reading_options(parser)
    model = parser.add_argument_group("what to train")
    model.add_argument("--task", choices=("classification", "regression"),
                       default="classification",
                       help="what the label column holds: classes to tell apart, or numbers to "
                       "predict (regression: trees of means or medians, and a report of R^2, "
                       "mean absolute error and root mean squared error; default: "
                       "classification)")
    kind = model.add_mutually_exclusive_group()
    kind.add_argument("--tree", dest="kind", action="store_const", const="tree",
                       help="train a single decision tree and print its depth")
    kind.add_argument("--forest", dest="kind", action="store_const", const="forest",
                       help="train a random forest, each tree on a bootstrap sample (the default)")
    model.add_argument("--trees", metavar="N", type=bounded_int(1, MAX_UINT32),
                       help=f"number of trees in the forest (default: {commands.DEFAULT_TREES})")
    model.add_argument("--extra-trees", action="store_true",
                       help="extremely randomized trees: one random threshold per searched "
                       "feature at each node, the best of them kept; a forest of them grows "
                       "every tree on every row")
    model.add_argument("--seed", metavar="N", type=bounded_int(0, MAX_UINT32),
                       help="seed the forest's bootstrap samples and every random draw, so the "
                       "same data, options and seed give the same model (default: fresh "
                       "randomness every run)")
    growth = parser.add_argument_group("how the trees grow")
    growth.add_argument("--max-depth", metavar="D", type=bounded_int(0, MAX_UINT32),
                        default=MAX_UINT32,
                        help="grow no deeper than D levels; 0 makes every tree a single leaf "
                        "(default: unlimited)")
    growth.add_argument("--max-features", metavar="M", type=max_features, default=None,
                        help="features searched at each node, drawn afresh: sqrt, log2, a "
                        "number, a fraction, or all (default: all)")
    growth.add_argument("--criterion", choices=CLASSIFICATION_CRITERIA + REGRESSION_CRITERIA,
                        help="what splits lower: information gain in bits (entropy, also "
                        "called log_loss) or Gini impurity (default: entropy); with --task "
                        "regression the squared error (also friedman_mse), the absolute error "
                        "(leaves predict medians) or the Poisson deviance (for counts; default: "
                        "squared_error)")
    growth.add_argument("--min-samples-leaf", metavar="N", type=bounded_int(1, MAX_UINT32),
                        default=1,
                        help="least training rows a split leaves on each side (default: 1)")
    growth.add_argument("--max-leaf-nodes", metavar="N", type=bounded_int(2, MAX_UINT32),
                        help="grow best first, the split that lowers the impurity most next, "
                        "until N leaves (default: no limit, depth first)")
    growth.add_argument("--class-weight", choices=("balanced",),
                        help="weigh each class by rows / (classes * its rows), so that rare "
                        "classes count as much as common ones (default: every row weighs 1)")
    evaluation = parser.add_argument_group("the held-out rows and the report")
    parser = evaluation
    parser.add_argument("--shuffle", metavar="SEED", type=bounded_int(0, 2**63 - 1),
                        help="shuffle the rows with this random seed before the cut into "
                        "training and test rows; the same seed gives the same cut (default: keep "
                        "the file's order)")
    parser.add_argument("--stratify", action="store_true",
                        help="with --shuffle: give the test rows the class proportions of the "
                        "whole data set")
    parser.add_argument("--test-size", metavar="F", type=test_size, default=0.1,
                        help="the share of rows held out for testing, taken from the end "
                        "(default: 0.1, the last tenth)")
    parser.add_argument("--report", choices=("standard", "full"), default="standard",
                        help="full adds per-class precision, recall, F1 and support, their "
                        "averages and the confusion matrix (default: standard)")


def version_text() -> str:
    from importlib.metadata import PackageNotFoundError, version

    from lindorf import _estimators

    try:
        number = version("lindorf")
    except PackageNotFoundError:  # pragma: no cover - run from a source tree
        number = "unknown"
    return f"lindorf {number} (model format {_estimators.format_version})"


def build_parser(command: str | None) -> argparse.ArgumentParser:
    if command is None:
        parser = Parser(
            prog="lindorf", description=DESCRIPTION, epilog=EPILOG,
            formatter_class=argparse.RawDescriptionHelpFormatter)
        parser.add_argument(
            "data", nargs="?", metavar="DATA",
            help="CSV, .npy or .npz file to train on, '-' for standard input (default: the "
            "built-in breast-cancer data)")
        parser.add_argument("--version", action="version", version=version_text(),
                            help="print lindorf's version and that of the model files it writes")
        add_training_options(parser)
        return parser
    parser = Parser(
        prog=f"lindorf {command}", formatter_class=argparse.RawDescriptionHelpFormatter,
        **commands.HELP[command])
    if command == "train":
        parser.add_argument("data", metavar="DATA", help="CSV, .npy or .npz file, or '-'")
        add_training_options(parser)
        parser.add_argument("--save", metavar="MODEL", required=True,
                            help="write the trained model to this file")
    elif command == "predict":
        parser.add_argument("model", metavar="MODEL", help="a model saved by lindorf train")
        parser.add_argument("data", metavar="DATA", help="CSV, .npy or .npz file, or '-'")
        add_reading_options(parser)
        parser.add_argument("--proba", action="store_true",
                            help="add one column per class with its predicted probability")
    elif command == "export":
        parser.add_argument("model", metavar="MODEL", help="a model saved by lindorf train")
        parser.add_argument("--format", choices=("text", "dot"), default="text",
                            help="text: indented rules; dot: Graphviz's language, for "
                            "'dot -Tsvg' (default: text)")
        parser.add_argument("--tree", metavar="I", type=bounded_int(0, MAX_UINT32),
                            help="only tree I of a forest, counting from 0 (default: every "
                            "tree)")
        parser.add_argument("--max-depth", metavar="D", type=bounded_int(0, MAX_UINT32),
                            help="show D levels and summarise deeper branches (default: every "
                            "level)")
    else:
        parser.add_argument("model", metavar="MODEL", help="a model saved by lindorf train")
    return parser


def parse_arguments(argv: list[str]) -> argparse.Namespace:
    command = argv[0] if argv and argv[0] in SUBCOMMANDS else None
    parser = build_parser(command)
    args = parser.parse_args(argv[1:] if command else argv)
    args.command = command or "run"
    if command in (None, "train"):
        args.kind = args.kind or "forest"
        if args.kind == "tree" and args.trees is not None:
            parser.error("--trees applies to a forest, not to --tree")
        if args.trees is None:
            args.trees = commands.DEFAULT_TREES
        if args.stratify and args.shuffle is None:
            parser.error("--stratify needs --shuffle SEED: the rows are shuffled within classes")
        check_task(parser, args)
    return args


def check_task(parser, args: argparse.Namespace) -> None:
    """The criterion's default for the task, and no option that belongs to the other task."""
    regression = args.task == "regression"
    if args.criterion is None:
        args.criterion = "squared_error" if regression else "entropy"
    wanted = REGRESSION_CRITERIA if regression else CLASSIFICATION_CRITERIA
    if args.criterion not in wanted:
        parser.error(f"--criterion {args.criterion} does not fit --task {args.task}: take one of "
                     + ", ".join(wanted))
    if not regression:
        return
    for given, option in ((args.class_weight, "--class-weight"), (args.stratify, "--stratify"),
                          (args.report == "full", "--report full")):
        if given:
            parser.error(f"{option} applies to classification, not to --task regression")


def run(argv: list[str]) -> int:
    args = parse_arguments(argv)
    with tempfile.TemporaryDirectory(prefix="lindorf-") as scratch:
        try:
            commands.COMMANDS[args.command](args, scratch)
        except DataError as exc:
            say(f"{exc.source}: {exc}" if exc.source else str(exc))
            return EXIT_BAD_INPUT
    return 0


def main(argv: list[str] | None = None) -> None:
    prepare_streams()
    try:
        status = run(sys.argv[1:] if argv is None else argv)
        finish_stdout()
    except SystemExit as exc:  # argparse: --help, or a usage error already explained
        status = exc.code if isinstance(exc.code, int) else EXIT_BAD_INPUT
        status = finish_quietly(status)
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C must not interrupt this
        say("interrupted")
        # The user wants the prompt back now: the scratch files are gone, the streams flushed,
        # and tearing down the interpreter's modules and a half-grown forest would only delay it.
        stdout_healthy()
        os._exit(EXIT_INTERRUPTED)
    except ReaderGone:
        status = 0
    except OutputFailed as exc:
        say(f"cannot write to standard output: {exc}")
        status = EXIT_FAILED
    except MemoryError:
        say("out of memory")
        status = EXIT_FAILED
    except Exception as exc:  # a fault of the command itself: still one line, no traceback
        say(f"internal error: {type(exc).__name__}: {one_line(exc)}")
        status = EXIT_FAILED
    if status != 0 or not stdout_healthy():
        silence_stdout()
    sys.exit(status)


def finish_quietly(status: int) -> int:
    try:
        finish_stdout()
    except ReaderGone:
        return status
    except OutputFailed as exc:
        say(f"cannot write to standard output: {exc}")
        return EXIT_FAILED
    return status


def stdout_healthy() -> bool:
    try:
        sys.stdout.flush()
        return True
    except (OSError, ValueError):
        return False
