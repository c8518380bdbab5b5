"""Growing a forest's trees on a cluster, through joblib's backends.

Inside ``with joblib.parallel_backend("dask"):`` (or any backend that is not one of joblib's own)
a forest's ``fit`` (classifier or regressor) converts the training data once and hands it here: the tree
indices are split into one chunk per worker, each chunk grows natively on a worker through the
learner layer (``lindorf._learner.fit_forest``), and the chunks come back as saved models that
the estimator joins in tree order. Tree i depends only on the fit's key and
i, so a seeded forest is the same whichever worker grows which trees. Without a seed each chunk
takes its key from its own worker's operating system.

On a Dask cluster the data is scattered to every worker once, each chunk is placed on its own
worker, and a failure (a chunk that raises, a worker that dies) cancels the other chunks and
waits until their workers have let go of them before ``fit`` raises ``ClusterFitError``. Other
backends get the chunks as joblib tasks and rely on the backend for shipping and cancelling.
"""

from __future__ import annotations

import sys
import time
import uuid

import numpy as np

from lindorf import _estimators, _learner
from lindorf._threads import threads_for

# joblib's own backends run on this machine, where one native call over the shared threads beats
# chunks: it sorts the features once and keeps one copy of the data.
_LOCAL_BACKENDS = ("SequentialBackend", "ThreadingBackend", "MultiprocessingBackend",
                   "LokyBackend")
# How long a failed fit waits for cancelled chunks to stop on their workers.
_STOP_WAIT_SECONDS = 30.0


class ClusterFitError(RuntimeError):
    """Growing a forest on a cluster failed; the estimator is left unfitted. The exception that
    ended it is the ``__cause__``."""


def cluster_backend():
    """(backend, n_jobs) of the active joblib backend if it is not one of joblib's own, else
    None."""
    from joblib.parallel import get_active_backend

    backend, n_jobs = get_active_backend()
    kind = type(backend)  # exactly: Ray's backend, for one, derives from joblib's process pool
    if kind.__name__ in _LOCAL_BACKENDS and kind.__module__.startswith("joblib."):
        return None
    return backend, n_jobs


def _dask_client(backend):
    distributed = sys.modules.get("distributed")
    client = getattr(backend, "client", None)
    return client if distributed is not None and isinstance(client, distributed.Client) else None


def tree_ranges(n_trees, n_chunks):
    """(first, count) of n_chunks nearly equal runs of tree indices, in order; none empty."""
    n_chunks = max(1, min(n_chunks, n_trees))
    bounds = np.linspace(0, n_trees, n_chunks + 1).round().astype(int)
    return [(int(a), int(b - a)) for a, b in zip(bounds[:-1], bounds[1:])]


def grow_chunks(backend, n_jobs, data, params, verbose=0, *, first=0, count=None, key=None,
                splitter="best"):
    """Grows trees first .. first + count - 1 (count: every tree) of the forest that `params`
    describe (scikit-learn's names, random_state an int or None) on `data` (a _learner.Training,
    or a _learner.Targets for a regression forest)
    in chunks on the joblib backend `backend`, under the fit's `key` (None: the one random_state
    gives; without a seed, each chunk's own worker's): the list of (native model, None) of each
    chunk, in tree order. The caller counts out-of-bag votes. A failure raises
    ClusterFitError."""
    params = {**params, "verbose": 0, "oob_score": False}
    client = _dask_client(backend)
    if client is not None:
        n_chunks = n_jobs if n_jobs and n_jobs > 0 else len(client.nthreads())
        run, where = _run_on_dask, "the Dask cluster"
    else:
        n_chunks = backend.effective_n_jobs(n_jobs if n_jobs else -1)
        run, where = _run_with_joblib, f"joblib's {type(backend).__name__}"
    count = params["n_estimators"] - first if count is None else count
    ranges = [(first + a, n) for a, n in tree_ranges(count, n_chunks)]
    regression = isinstance(data, _learner.Targets)
    try:
        grown = run(client, (params, key, splitter, regression), data, ranges, verbose)
    except _ChunkFailure as failure:
        first, count = failure.trees
        cause = failure.__cause__
        raise ClusterFitError(
            f"growing trees {first} to {first + count - 1} on {where} failed "
            f"({type(cause).__name__}: {cause}); the forest is left unfitted") from cause
    except Exception as error:
        raise ClusterFitError(f"growing the forest on {where} failed ({type(error).__name__}: "
                              f"{error}); the forest is left unfitted") from error
    return [(_estimators.NativeModel.from_bytes(saved)[0], None) for saved in grown]


class _ChunkFailure(Exception):
    """The chunk of trees (first, count) failed; the reason is the __cause__."""

    def __init__(self, trees):
        super().__init__(trees)
        self.trees = trees


def grow_chunk(growth, X, labels, weights, first, count):
    """Runs on a worker: trees first .. first + count - 1 of the forest that `growth` (its
    parameters, key, splitter and whether it is a regression forest) describes, grown on rows
    `X` with class indices or targets `labels`, as a saved model. Stops early when the worker
    has cancelled it."""
    params, key, splitter, regression = growth
    worker_task = _current_dask_task()
    n_jobs = params["n_jobs"]
    if n_jobs is None and worker_task is not None:
        n_jobs = worker_task[0].state.nthreads  # the threads the worker was given
    poll = None if worker_task is None else _cancel_poll(*worker_task)
    if regression:
        total = float(len(labels) if weights is None else weights.sum(dtype=np.float64))
        native, _ = _learner.fit_regression_forest(
            _learner.Targets(X, labels, weights, total), params, first, count,
            threads_for(n_jobs), poll, key=key, splitter=splitter)
    else:
        native, _ = _learner.fit_forest(_learner.training_of_codes(X, labels, weights), params,
                                        first, count, threads_for(n_jobs), poll, key=key,
                                        splitter=splitter)
    return native.to_bytes(b"")


def _labels(data):
    """What a chunk learns from besides the rows: class indices or targets."""
    return data.y if isinstance(data, _learner.Targets) else data.codes


def _current_dask_task():
    """(worker, task key) when running as a task on a Dask worker, else None."""
    if "distributed" not in sys.modules:
        return None
    from distributed import get_worker
    from distributed.worker import thread_state

    try:
        return get_worker(), thread_state.key
    except (ValueError, AttributeError):
        return None


class _Cancelled(Exception):
    pass


def _cancel_poll(worker, key):
    """A progress callback that raises once the worker no longer wants task `key` run (the
    client cancelled it or released it): the native fit then stops at its next node."""

    def poll(_done):
        task = worker.state.tasks.get(key)
        if task is None or task.state not in ("executing", "long-running"):
            raise _Cancelled(f"the chunk {key} was cancelled")

    return poll


# -- Dask ---------------------------------------------------------------------------------------

def _run_on_dask(client, params, data, ranges, verbose):
    from distributed import as_completed, rejoin, secede

    workers = list(client.nthreads())
    if not workers:
        raise RuntimeError("the Dask cluster has no workers")
    shared = client.scatter([data.X, _labels(data)], broadcast=True, hash=False)
    weights = None if data.weights is None else client.scatter(data.weights, broadcast=True,
                                                               hash=False)
    token = uuid.uuid4().hex[:12]
    futures = [client.submit(grow_chunk, params, *shared, weights, first, count,
                             key=f"lindorf-trees-{first}-{first + count}-{token}",
                             workers=[workers[i % len(workers)]], allow_other_workers=True,
                             pure=False, retries=0)
               for i, (first, count) in enumerate(ranges)]
    trees = dict(zip(futures, ranges))
    nested = _current_dask_task() is not None
    if nested:  # a fit inside a task: give the worker's thread back while the chunks grow
        secede()
    try:
        for done, future in enumerate(as_completed(futures), 1):
            if future.status != "finished":
                raise _ChunkFailure(trees[future]) from _failure_of(future)
            if verbose:
                print(f"lindorf: {done}/{len(futures)} chunks of trees grown", file=sys.stderr,
                      flush=True)
        return client.gather(futures)
    except BaseException:
        client.cancel(futures, force=True)
        _wait_until_stopped(client, {f.key for f in futures})
        raise
    finally:
        client.cancel(shared + ([] if weights is None else [weights]), force=True)
        if nested:
            rejoin()


def _failure_of(future):
    if future.status == "error":
        return future.exception()
    return RuntimeError(f"the chunk's task ended as {future.status}")


def _running_keys(dask_worker, keys):
    return [key for key, task in dask_worker.state.tasks.items()
            if key in keys and task.state in ("executing", "long-running", "cancelled")]


def _wait_until_stopped(client, keys):
    """Waits (a bounded time) until no worker still runs any of the tasks `keys`."""
    deadline = time.monotonic() + _STOP_WAIT_SECONDS
    while time.monotonic() < deadline:
        try:
            running = client.run(_running_keys, keys=keys, on_error="ignore")
        except Exception:  # the cluster itself is gone: nothing of ours can run there
            return
        if not any(running.values()):
            return
        time.sleep(0.05)


# -- any other joblib backend -------------------------------------------------------------------

def _run_with_joblib(_client, params, data, ranges, verbose):
    from joblib import Parallel, delayed

    return Parallel(n_jobs=len(ranges), verbose=verbose)(
        delayed(grow_chunk)(params, data.X, _labels(data), data.weights, first, count)
        for first, count in ranges)
