"""The saved form of a fitted model: the native model format (see src/model/format.hpp) with a
JSON description in its metadata: the kind of estimator, its parameters, the classes (none for a
regressor) and the feature names. Nothing in it is executed on loading, so a model file is safe
to load. It needs NumPy alone: the command-line tool reads and writes it without scikit-learn."""

from __future__ import annotations

import json
import os
import stat
from typing import NamedTuple

import numpy as np

from lindorf import _estimators

_FORMAT = "lindorf-estimator"
_MAGIC = b"LNDFMODL"  # the first bytes of every model (src/model/format.hpp)
_READ_CHUNK = 1 << 24  # memory follows the bytes a source actually gives, never a claimed size
_STREAM_MOST = 1 << 32  # bytes of a model from a source of unknown size (a pipe, a device)
# A class list may be stored wider than its values need (np.unique keeps the labels' dtype), but
# never wider than this many times the description's own size, and a few MiB.
_CLASS_BYTES_PER_BYTE = 64
_CLASS_BYTES_ANYWAY = 1 << 22


class Description(NamedTuple):
    kind: str  # the estimator's class name
    params: dict  # its parameters, as JSON holds them
    classes: np.ndarray | list | None  # a list of arrays with several outputs; None: a regressor
    feature_names: list[str] | None
    oob_score: float | None


def _plain(value):
    """A parameter value JSON can hold: numbers, strings, lists (monotonic_cst) and class
    weights as lists of [class, weight] pairs under "pairs"; generators and RandomState objects
    cannot be saved and become None, and a callable oob_score becomes True."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return float(value)
    if isinstance(value, dict):
        return {"pairs": [[_plain(k), _plain(v)] for k, v in value.items()]}
    if isinstance(value, (list, tuple, np.ndarray)):
        return [_plain(v) for v in value]
    if callable(value):
        return True
    return None


def _restored(value, nested=False):
    """A saved parameter value as the estimator takes it: a scalar, a list of them (or of class
    weights, one per output), or class weights from their pairs; ValueError for anything else."""
    if _is_scalar(value):
        return value
    if isinstance(value, dict) and set(value) == {"pairs"} and isinstance(value["pairs"], list):
        pairs = value["pairs"]
        if not all(isinstance(p, list) and len(p) == 2 and all(map(_is_scalar, p))
                   for p in pairs):
            raise ValueError("the class weights are not pairs of numbers or names")
        return {key: weight for key, weight in pairs}
    if isinstance(value, list) and not nested:
        return [_restored(v, nested=True) for v in value]
    raise ValueError("a parameter's value is not one lindorf saves")


def _encode_classes(classes):
    if classes is None:  # a regressor's
        return None
    if isinstance(classes, list):  # one array per output
        return [_encode_classes(c) for c in classes]
    values = classes.tolist()
    for value in values:
        if not isinstance(value, (str, int, float, bool)):
            raise ValueError(f"cannot save a model whose classes include {type(value).__name__} "
                             "values: only numbers, strings and booleans can be saved")
    return {"dtype": classes.dtype.str if classes.dtype != object else "object",
            "values": values}


def _is_scalar(value) -> bool:
    return value is None or isinstance(value, (bool, int, float, str))


def _decode_classes(encoded, description_size, nested=False):
    if encoded is None and not nested:  # a regressor's
        return None
    if isinstance(encoded, list) and not nested:  # one entry per output
        if not encoded:
            raise ValueError("no outputs' classes")
        return [_decode_classes(e, description_size, nested=True) for e in encoded]
    values = encoded["values"]
    if not isinstance(values, list) or not all(_is_scalar(v) and v is not None for v in values):
        raise ValueError("the classes are not a list of numbers, strings or booleans")
    if encoded["dtype"] == "object":
        return np.array(values, dtype=object)
    dtype = np.dtype(encoded["dtype"])
    # Only the kinds np.unique gives for labels, and no width that would take memory to reach.
    if dtype.kind not in "biufUS" or dtype.itemsize * len(values) > (
            _CLASS_BYTES_ANYWAY + _CLASS_BYTES_PER_BYTE * description_size):
        raise ValueError(f"classes of dtype {dtype} cannot be loaded")
    classes = np.array(values, dtype=dtype)
    if classes.shape != (len(values),):
        raise ValueError("the classes are not one list")
    return classes


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


def check_shape(native, n_features, classes, n_trees, n_outputs=None):
    """ValueError unless the native model fits the estimator's own record of its data: its
    features and classes, or for a regressor (classes None) its targets (`n_outputs`, when
    known)."""
    if n_features is None:
        raise ValueError("the model's description of its data is missing")
    if classes is None:
        if native.n_targets == 0 or native.n_features != n_features or (
                n_outputs is not None and native.n_targets != n_outputs):
            raise ValueError("the model does not match its description: it was fitted on "
                             f"{native.n_features} features and {native.n_targets} targets")
    elif native.n_targets != 0 or native.n_features != n_features or \
            native.output_classes != ([len(c) for c in classes] if isinstance(classes, list)
                                      else [len(classes)]):
        raise ValueError("the model does not match its description: it was fitted on "
                         f"{native.n_features} features and {native.n_classes} classes")
    if n_trees is not None and native.n_trees != n_trees:
        raise ValueError(f"the model holds {native.n_trees} trees, not {n_trees}")


def _description(metadata: bytes, n_features: int, kinds: dict, former: dict,
                 regressors) -> Description:
    """The description a model file keeps in its metadata, checked field by field: whatever
    the bytes hold, the outcome is a Description or ValueError. Parameters a file written before
    them leaves out take their defaults, or what leaving them out meant then (`former`); the
    kinds in `regressors` have no classes, every other kind has."""
    record = json.loads(metadata.decode())
    if not isinstance(record, dict) or record.get("format") != _FORMAT:
        raise ValueError("not an estimator's description")
    kind, saved = record["estimator"], record["params"]
    if (not isinstance(kind, str) or kind not in kinds or not isinstance(saved, dict)
            or not set(saved) <= set(kinds[kind])):
        raise ValueError("no such estimator or parameters")
    params = {**kinds[kind], **former.get(kind, {}),
              **{name: _restored(value) for name, value in saved.items()}}
    if not isinstance(params.get("n_estimators", 1), int):
        raise ValueError("the number of trees is not a whole number")
    classes = _decode_classes(record["classes"], len(metadata))
    if (classes is None) != (kind in regressors):
        raise ValueError("the classes do not fit the kind of estimator")
    names = record["feature_names"]
    if names is not None and (not isinstance(names, list) or len(names) != n_features
                              or not all(isinstance(name, str) for name in names)):
        raise ValueError("the feature names do not fit the model")
    oob_score = record.get("oob_score")
    if oob_score is not None and (isinstance(oob_score, bool)
                                  or not isinstance(oob_score, (int, float))):
        raise ValueError("the out-of-bag score is not a number")
    return Description(kind, params, classes, names, oob_score)


def decode(data: bytes, kinds: dict, former: dict,
           regressors=()) -> tuple[object, Description]:
    """The native model and its description saved in `data`; `kinds` maps each kind of
    estimator to its parameters' defaults, which fill in the parameters a file written before
    them leaves out (or, for a kind in `former`, what leaving them out meant then); the kinds in
    `regressors` have no classes. ValueError for damaged bytes, a format version this lindorf
    does not read, or a description that does not fit the model."""
    native, metadata = _estimators.NativeModel.from_bytes(data)
    try:
        description = _description(metadata, native.n_features, kinds, former, regressors)
    # Crafted JSON can fail in every way its decoding and NumPy's conversions can: too deep,
    # numbers too large for the class dtype, fields of the wrong type, a dtype NumPy parses as
    # Python ("(2,").
    except (ValueError, KeyError, TypeError, AttributeError, OverflowError, RecursionError,
            UnicodeDecodeError, SyntaxError) as error:
        raise ValueError("the model's description of the estimator is missing or damaged") \
            from error
    check_shape(native, native.n_features, description.classes,
                trees_of(description.params))
    return native, description


def read(path) -> bytes:
    """The bytes of the model file at `path`, read no further than the model goes: OSError if
    the file cannot be read, ValueError as soon as its first bytes are not a model's. A regular
    file is read up to its size; anything else (a pipe, a device) only as far as the model's
    own structure says it reaches, so that an endless source costs no more than a model."""
    # Unbuffered: a buffer would read ahead of the model's end in a pipe.
    with open(path, "rb", buffering=0) as source:
        data = _read_up_to(source, bytearray(), len(_MAGIC))
        if data != _MAGIC:
            raise ValueError("not a lindorf model: the bytes do not start with its mark")
        info = os.fstat(source.fileno())
        while True:
            if stat.S_ISREG(info.st_mode):
                size = info.st_size
            else:
                size, _ = _estimators.model_extent(bytes(data))
                if size > _STREAM_MOST:
                    raise ValueError(f"the model claims {size} bytes, and one read from a pipe "
                                     f"or device may have {_STREAM_MOST}: save it to a file first")
            if size <= len(data):
                return bytes(data)
            before = len(data)
            if len(_read_up_to(source, data, size)) == before:
                return bytes(data)  # the source ended first: the model is cut short


def _read_up_to(source, data: bytearray, size: int) -> bytearray:
    """Appends to `data` what `source` gives until `data` holds `size` bytes or the source ends,
    a chunk at a time, so that memory follows the bytes that come."""
    while len(data) < size:
        chunk = source.read(min(size - len(data), _READ_CHUNK))
        if not chunk:
            break
        data += chunk
    return data
