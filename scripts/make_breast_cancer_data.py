"""Regenerates python/lindorf/data/breast_cancer.csv from the copy that scikit-learn ships.

The numbers are copied as the same decimal text, so reading the file gives exactly the values
scikit-learn loads. Only two things change: the header names every column (feature names with
underscores, so that they can be passed to --label without quoting) and the class is given as
`diagnosis` with 1 = malignant, the class the report's precision and recall are about
(scikit-learn's own target uses 0 for malignant).

Run from the repository root with scikit-learn installed (scripts/setup.sh puts it in .venv):

    .venv/bin/python scripts/make_breast_cancer_data.py
"""

import csv
import importlib.resources
import io
import pathlib
import sys

import numpy as np
from sklearn.datasets import load_breast_cancer

OUTPUT = pathlib.Path(__file__).resolve().parent.parent / "python/lindorf/data/breast_cancer.csv"
ROWS, FEATURES = 569, 30
# scikit-learn's target values in its file, and the diagnosis each becomes here.
MALIGNANT, BENIGN = "0", "1"
DIAGNOSIS = {MALIGNANT: "1", BENIGN: "0"}


def read_source() -> list[list[str]]:
    text = (importlib.resources.files("sklearn.datasets.data") / "breast_cancer.csv").read_text()
    rows = list(csv.reader(io.StringIO(text)))
    header, body = rows[0], rows[1:]
    # The first line states the shape and the class names in target order.
    if header != [str(ROWS), str(FEATURES), "malignant", "benign"]:
        sys.exit(f"unexpected header in scikit-learn's breast_cancer.csv: {header}")
    if len(body) != ROWS or any(len(row) != FEATURES + 1 for row in body):
        sys.exit("scikit-learn's breast_cancer.csv does not have 569 rows of 31 fields")
    return body


def convert(body: list[list[str]], names: list[str]) -> str:
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow([name.replace(" ", "_") for name in names] + ["diagnosis"])
    for row in body:
        writer.writerow(row[:FEATURES] + [DIAGNOSIS[row[FEATURES]]])
    return out.getvalue()


def check_against_loader(text: str) -> None:
    """The written file must hold what scikit-learn's own loader returns, with the class flipped."""
    reference = load_breast_cancer()
    table = np.loadtxt(io.StringIO(text), delimiter=",", skiprows=1)
    if not np.array_equal(table[:, :FEATURES], reference.data):
        sys.exit("feature values differ from load_breast_cancer()")
    if not np.array_equal(table[:, FEATURES], 1 - reference.target):
        sys.exit("diagnosis differs from load_breast_cancer() with malignant as 1")


def main() -> None:
    names = list(load_breast_cancer().feature_names)
    text = convert(read_source(), names)
    check_against_loader(text)
    OUTPUT.write_text(text)
    print(f"wrote {OUTPUT} ({ROWS} rows, {FEATURES} features and diagnosis)")


if __name__ == "__main__":
    main()
