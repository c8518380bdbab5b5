"""How many of lindorf's threads a call may use, counted as scikit-learn counts ``n_jobs``."""

from __future__ import annotations

from lindorf import _learner


def threads_for(n_jobs):
    """Threads for `n_jobs` as scikit-learn counts them (None: the active joblib context's
    n_jobs, or 1), never more than the usable cores. Counted as joblib's thread backend counts:
    its process backends count 1 inside daemonic processes, such as Dask's workers."""
    from joblib import effective_n_jobs, parallel_config

    with parallel_config(backend="threading"):
        return max(1, min(effective_n_jobs(n_jobs), _learner.usable_cores()))
