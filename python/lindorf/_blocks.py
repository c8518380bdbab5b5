"""Prediction of data larger than memory: a fitted estimator given a ``dask.array`` or a
``dask.dataframe`` returns a lazy ``dask.array`` whose blocks are the predictions of the input's
row blocks (a dask array's column blocks are joined first, so each block holds whole rows). The
estimator enters the graph once, as one shared node; nothing is computed or gathered until the
caller computes the result. Dask is imported only when the input is already one of its
collections."""

from __future__ import annotations

import functools
import sys

import numpy as np


def is_lazy(X):
    """True when X is a Dask collection (Dask is loaded if it is one)."""
    dask = sys.modules.get("dask")
    return dask is not None and dask.is_dask_collection(X)


def over_blocks(method):
    """Lets an estimator's prediction method take Dask collections, block by block."""

    @functools.wraps(method)
    def predict(self, X):
        if not is_lazy(X):
            return method(self, X)
        return _lazy(self, method.__name__, X)

    return predict


def _apply(block, estimator, name):
    if len(block) == 0:  # Dask partitions may be empty; scikit-learn's checks refuse 0 rows
        return _empty(estimator, name)
    return getattr(estimator, name)(block)


def _width(estimator, name):
    """The columns of a block's result: None for one column that is dropped (labels, one
    regression output)."""
    classes = getattr(estimator, "classes_", None)
    if classes is None:  # a regressor's values
        return None if estimator.n_outputs_ == 1 else estimator.n_outputs_
    return None if name == "predict" else len(classes)


def _empty(estimator, name):
    classes = getattr(estimator, "classes_", None)
    width = _width(estimator, name)
    dtype = classes.dtype if classes is not None and name == "predict" else np.float64
    return np.empty(0 if width is None else (0, width), dtype=dtype)


def _lazy(estimator, name, X):
    import dask
    from sklearn.utils.validation import check_is_fitted

    check_is_fitted(estimator)
    model = dask.delayed(estimator, pure=False)
    meta = _empty(estimator, name)
    if not hasattr(X, "chunks"):  # a dask DataFrame: partitions keep their column names
        return X.map_partitions(_apply, model, name, meta=meta)
    if X.ndim != 2:
        raise ValueError(f"Expected a 2-D dask array of rows, got {X.ndim} dimensions")
    if X.shape[1] != estimator.n_features_in_:
        raise ValueError(f"X has {X.shape[1]} features, but {type(estimator).__name__} is "
                         f"expecting {estimator.n_features_in_} features as input.")
    X = X.rechunk({1: -1})
    width = _width(estimator, name)
    if width is None:
        return X.map_blocks(_apply, model, name, dtype=meta.dtype, drop_axis=1, meta=meta)
    return X.map_blocks(_apply, model, name, dtype=meta.dtype, meta=meta,
                        chunks=(X.chunks[0], (width,)))
