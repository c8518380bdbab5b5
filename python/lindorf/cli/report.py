"""The reports the command prints: the learner's own five lines, and the full per-class report.

The standard report is the learner's, figure for figure: counts converted to float32 and divided
in float32, F1 evaluated as ((p + p) * r) / (p + r), each printed as the shortest decimal string
that reads back as the same float32, integral values without a point and not-a-number as "NaN".
Label 1 is the positive class and label 0 the negative one; other labels count for accuracy only.

The full report computes what scikit-learn's `classification_report` and `confusion_matrix`
compute for the same labels (float64, undefined ratios as 0), and prints them with class names.

The regression report gives what scikit-learn's `r2_score`, `mean_absolute_error` and
`root_mean_squared_error` give for the held-out targets, in float64, with six significant digits.
"""

import numpy as np


def shape_lines(rows: int, columns: int, labels: int) -> str:
    return f"Shape of x matrix ({rows}, {columns})\nShape of y ({labels},)\n"


def depth_line(depth: int) -> str:
    return f"Tree depth: {depth}\n"


def figure(value: np.float32) -> str:
    if np.isnan(value):
        return "NaN"
    return np.format_float_positional(value, unique=True, trim="-")


def standard_report(predicted: np.ndarray, actual: np.ndarray) -> str:
    """The learner's report; only the first min(len) positions are compared, and accuracy is
    divided by the number of true labels."""
    n = min(len(predicted), len(actual))
    p, a = np.asarray(predicted[:n]), np.asarray(actual[:n])
    f32 = np.float32
    matches = int(np.count_nonzero(p == a))
    tp = int(np.count_nonzero((p == 1) & (a == 1)))
    fp = int(np.count_nonzero((p == 1) & (a == 0)))
    fn = int(np.count_nonzero((p == 0) & (a == 1)))
    with np.errstate(divide="ignore", invalid="ignore"):
        accuracy = f32(matches) / f32(len(actual))
        precision = f32(tp) / f32(tp + fp)
        recall = f32(tp) / f32(tp + fn)
        f1 = ((precision + precision) * recall) / (precision + recall)
    return (
        "Classification Report:\n"
        f"\tAccuracy:   {figure(accuracy)}\n"
        f"\tPrecision:  {figure(precision)}\n"
        f"\tRecall:     {figure(recall)}\n"
        f"\tF1 Score:   {figure(f1)}\n"
    )


def regression_figures(predicted: np.ndarray, actual: np.ndarray) -> tuple[float, float, float]:
    """R^2, mean absolute error and root mean squared error, as scikit-learn computes them: R^2
    is NaN for fewer than two targets, and for constant targets 1 when every prediction is right
    and 0 otherwise."""
    p = np.asarray(predicted, dtype=np.float64)
    a = np.asarray(actual, dtype=np.float64)
    if len(a) == 0:
        return float("nan"), float("nan"), float("nan")
    errors = a - p
    squares = float(np.sum(errors * errors))
    spread = float(np.sum((a - np.mean(a)) ** 2))
    if len(a) < 2:
        r2 = float("nan")
    elif spread == 0.0:
        r2 = 1.0 if squares == 0.0 else 0.0
    else:
        r2 = 1.0 - squares / spread
    return r2, float(np.mean(np.abs(errors))), float(np.sqrt(squares / len(a)))


def regression_report(predicted: np.ndarray, actual: np.ndarray) -> str:
    r2, mae, rmse = (f"{value:.6g}" if not np.isnan(value) else "NaN"
                     for value in regression_figures(predicted, actual))
    return (
        "Regression Report:\n"
        f"\tR^2:                      {r2}\n"
        f"\tMean absolute error:      {mae}\n"
        f"\tRoot mean squared error:  {rmse}\n"
    )


def confusion(predicted: np.ndarray, actual: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The labels present in either list, sorted, and the matrix of counts: row = true label,
    column = predicted label."""
    labels = np.union1d(actual, predicted)
    true_at = np.searchsorted(labels, actual)
    predicted_at = np.searchsorted(labels, predicted)
    matrix = np.zeros((len(labels), len(labels)), dtype=np.int64)
    np.add.at(matrix, (true_at, predicted_at), 1)
    return labels, matrix


def per_class(matrix: np.ndarray) -> dict[str, np.ndarray]:
    tp = np.diag(matrix).astype(np.float64)
    predicted = matrix.sum(axis=0).astype(np.float64)
    support = matrix.sum(axis=1).astype(np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        precision = np.where(predicted > 0, tp / predicted, 0.0)
        recall = np.where(support > 0, tp / support, 0.0)
        denominator = support + predicted  # 2 tp + fn + fp
        f1 = np.where(denominator > 0, 2 * tp / denominator, 0.0)
    return {"precision": precision, "recall": recall, "f1": f1, "support": support}


def full_report(predicted: np.ndarray, actual: np.ndarray, names) -> str:
    """Per-class precision, recall, F1 and support with their macro and weighted averages, laid
    out as scikit-learn lays out its classification report, then the confusion matrix.
    `names(label)` gives a label's class name."""
    labels, matrix = confusion(predicted, actual)
    scores = per_class(matrix)
    support = scores["support"]
    total = int(support.sum())
    rows = [names(label) for label in labels]
    width = max([len("weighted avg"), *(len(row) for row in rows)])
    figures = "".join(f" {{{c}:>9.4f}}" for c in ("precision", "recall", "f1"))
    row = "{name:>{width}} " + figures + " {support:>9}"
    lines = ["", f"{'':>{width}} " + "".join(f" {h:>9}" for h in
                                            ("precision", "recall", "f1-score", "support")), ""]
    for i, name in enumerate(rows):
        lines.append(row.format(name=name, width=width, support=int(support[i]),
                                **{c: scores[c][i] for c in ("precision", "recall", "f1")}))
    accuracy = np.trace(matrix) / total if total else 0.0
    lines += ["", f"{'accuracy':>{width}} {'':>10}{'':>10} {accuracy:>9.4f} {total:>9}"]
    for average, weights in (("macro avg", None), ("weighted avg", support)):
        means = {c: np.average(scores[c], weights=weights) if total else 0.0
                 for c in ("precision", "recall", "f1")}
        lines.append(row.format(name=average, width=width, support=total, **means))
    lines += ["", "Confusion matrix (rows: true class, columns: predicted class):"]
    cell = max([6, len(str(matrix.max(initial=0))), *(len(name) for name in rows)])
    lines.append(" " * width + "".join(f"  {name:>{cell}}" for name in rows))
    lines += [f"{name:<{width}}" + "".join(f"  {count:>{cell}}" for count in counts)
              for name, counts in zip(rows, matrix)]
    return "\n".join(lines) + "\n"
