"""The saved form of a fitted model: the native model format (see src/model/format.hpp) with a
JSON description in its metadata: the kind of estimator, its parameters, the classes and the
feature names. Nothing in it is executed on loading, so a model file is safe to load. It needs
NumPy alone: the command-line tool reads and writes it without scikit-learn."""

from __future__ import annotations

import json
from typing import NamedTuple

import numpy as np

from lindorf import _estimators

_FORMAT = "lindorf-estimator"


class Description(NamedTuple):
    kind: str  # the estimator's class name
    params: dict  # its parameters, as JSON holds them
    classes: np.ndarray
    feature_names: list[str] | None
    oob_score: float | None


def _plain(value):
    """A parameter value JSON can hold; generators and RandomState objects cannot be saved and
    become None."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return float(value)
    return None


def _encode_classes(classes):
    values = classes.tolist()
    for value in values:
        if not isinstance(value, (str, int, float, bool)):
            raise ValueError(f"cannot save a model whose classes include {type(value).__name__} "
                             "values: only numbers, strings and booleans can be saved")
    return {"dtype": classes.dtype.str if classes.dtype != object else "object",
            "values": values}


def _decode_classes(encoded):
    if encoded["dtype"] == "object":
        return np.array(encoded["values"], dtype=object)
    dtype = np.dtype(encoded["dtype"])
    # Only the kinds np.unique gives for labels, and no width that would take memory to reach.
    if dtype.kind not in "biufUS" or dtype.itemsize > 2**20:
        raise ValueError(f"classes of dtype {dtype} cannot be loaded")
    return np.array(encoded["values"], dtype=dtype)


def encode(native, description: Description) -> bytes:
    """The native model with its description in the metadata."""
    names = description.feature_names
    record = {
        "format": _FORMAT,
        "estimator": description.kind,
        "params": {name: _plain(value) for name, value in description.params.items()},
        "classes": _encode_classes(description.classes),
        "feature_names": None if names is None else [str(name) for name in names],
        "oob_score": _plain(description.oob_score),
    }
    return native.to_bytes(json.dumps(record).encode())


def trees_of(params) -> int:
    """How many trees a model with these parameters holds: a forest says so, a tree is one."""
    return params.get("n_estimators", 1)


def check_shape(native, n_features, classes, n_trees):
    """ValueError unless the native model fits the estimator's own record of its data."""
    if n_features is None or classes is None:
        raise ValueError("the model's description of its data is missing")
    if native.n_features != n_features or native.n_classes != len(classes):
        raise ValueError("the model does not match its description: it was fitted on "
                         f"{native.n_features} features and {native.n_classes} classes")
    if n_trees is not None and native.n_trees != n_trees:
        raise ValueError(f"the model holds {native.n_trees} trees, not {n_trees}")


def decode(data: bytes, kinds: dict) -> tuple[object, Description]:
    """The native model and its description saved in `data`; `kinds` maps each kind of
    estimator to its parameter names. ValueError for damaged bytes, a format version this
    lindorf does not read, or a description that does not fit the model."""
    native, metadata = _estimators.NativeModel.from_bytes(data)
    try:
        record = json.loads(metadata.decode())
        if record.get("format") != _FORMAT:
            raise ValueError
        kind, params = record["estimator"], record["params"]
        if set(params) != set(kinds[kind]):
            raise ValueError
        classes = _decode_classes(record["classes"])
        names = record["feature_names"]
        if names is not None and (len(names) != native.n_features
                                  or not all(isinstance(name, str) for name in names)):
            raise ValueError
        oob_score = record.get("oob_score")
        if oob_score is not None and not isinstance(oob_score, (int, float)):
            raise ValueError
    except (ValueError, KeyError, TypeError, AttributeError, UnicodeDecodeError) as error:
        raise ValueError("the model's description of the estimator is missing or damaged") \
            from error
    check_shape(native, native.n_features, classes, trees_of(params))
    return native, Description(kind, params, classes, names, oob_score)
