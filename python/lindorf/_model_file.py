"""The estimators' saved form: the native model format (see src/model/format.hpp) with a JSON
description of the estimator in its metadata: the class, the parameters, the classes and the
feature names. Nothing in it is executed on loading, so a model file is safe to load."""

from __future__ import annotations

import json

import numpy as np

from lindorf import _estimators

_FORMAT = "lindorf-estimator"


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


def encode(estimator):
    """The estimator's native model with its description in the metadata."""
    names = getattr(estimator, "feature_names_in_", None)
    description = {
        "format": _FORMAT,
        "estimator": type(estimator).__name__,
        "params": {name: _plain(value) for name, value in estimator.get_params().items()},
        "classes": _encode_classes(estimator.classes_),
        "feature_names": None if names is None else [str(name) for name in names],
        "oob_score": _plain(getattr(estimator, "oob_score_", None)),
    }
    return estimator._native.to_bytes(json.dumps(description).encode())


def check_shape(native, n_features, classes, n_trees):
    """ValueError unless the native model fits the estimator's own record of its data."""
    if n_features is None or classes is None:
        raise ValueError("the model's description of its data is missing")
    if native.n_features != n_features or native.n_classes != len(classes):
        raise ValueError("the model does not match its description: it was fitted on "
                         f"{native.n_features} features and {native.n_classes} classes")
    if n_trees is not None and native.n_trees != n_trees:
        raise ValueError(f"the model holds {native.n_trees} trees, not {n_trees}")


def decode(data, kinds):
    """The estimator saved in `data`; `kinds` maps class names to estimator classes."""
    native, metadata = _estimators.NativeModel.from_bytes(data)
    try:
        description = json.loads(metadata.decode())
        if description.get("format") != _FORMAT:
            raise ValueError
        kind = kinds[description["estimator"]]
        classes = _decode_classes(description["classes"])
        estimator = kind(**description["params"])
        estimator._validate_params()
        names = description["feature_names"]
        if names is not None and (len(names) != native.n_features
                                  or not all(isinstance(name, str) for name in names)):
            raise ValueError
    except (ValueError, KeyError, TypeError, AttributeError, UnicodeDecodeError) as error:
        raise ValueError("the model's description of the estimator is missing or damaged") \
            from error
    fitted = {"classes_": classes, "n_classes_": len(classes),
              "n_features_in_": native.n_features}
    if names is not None:
        fitted["feature_names_in_"] = np.array(names, dtype=object)
    if description.get("oob_score") is not None:
        fitted["oob_score_"] = description["oob_score"]
    check_shape(native, native.n_features, classes, estimator._expected_trees(
        description["params"]))
    estimator.__dict__.update(fitted)
    estimator._native = native
    estimator._after_load()
    return estimator
