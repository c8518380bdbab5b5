"""Forests grown in chunks on joblib backends other than joblib's own, and block-wise prediction
of Dask collections. Tests marked `cluster` run on a real Dask cluster of two worker processes."""

import contextlib
import os
import signal
import threading
import time

import joblib
import numpy as np
import pytest
from joblib._parallel_backends import ThreadingBackend
from sklearn.exceptions import NotFittedError

from conftest import run_snippet
from lindorf import DecisionTreeClassifier, RandomForestClassifier
from lindorf import _learner
from lindorf._distributed import grow_chunk
from lindorf.estimators import ClusterFitError
from test_estimators import blobs, native_bytes

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")


# Not one of joblib's own backends, so fits take the chunked path, here in threads.
joblib.register_parallel_backend("lindorf-chunked-threads",
                                 type("ChunkedThreads", (ThreadingBackend,), {}))

# (forest parameters, fit keywords): bootstrap on and off, out-of-bag votes, weights.
FORESTS = [({"random_state": 0}, {}),
           ({"random_state": 7, "max_features": "sqrt", "oob_score": True}, {}),
           ({"random_state": 2**40 + 5, "bootstrap": False, "max_features": 2}, {}),
           ({"random_state": 3, "min_samples_leaf": 0.01},
            {"sample_weight": np.random.default_rng(2).integers(0, 3, 400).astype(float)})]


@pytest.fixture(scope="module")
def client():
    environment = dict(os.environ)
    # A task whose worker dies fails at once instead of being retried elsewhere.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                      dashboard_address=None) as cluster:
            with distributed.Client(cluster) as dask_client:
                yield dask_client
    # Starting workers also set MALLOC_TRIM_THRESHOLD_ and more here; later children must not
    # inherit them.
    os.environ.clear()
    os.environ.update(environment)


def lindorf_tasks(client):  # the chunks that workers run or still have to drop
    def running(dask_worker):
        return [str(key) for key, task in dask_worker.state.tasks.items()
                if str(key).startswith("lindorf-trees")
                and task.state in ("executing", "long-running", "cancelled")]
    return sum(client.run(running).values(), [])


@pytest.mark.parametrize("backend, chunkings", [
    ("lindorf-chunked-threads", (1, 2, 7, 20, 30)),
    pytest.param("dask", (-1, 3, 20), marks=pytest.mark.cluster),  # -1: one chunk per worker
])
@pytest.mark.parametrize("params, fit_kwargs", FORESTS)
def test_seeded_forest_is_the_one_process_forest_in_any_chunking(request, backend, chunkings,
                                                                  params, fit_kwargs):
    x, y = blobs()
    expected = RandomForestClassifier(20, **params).fit(x, y, **fit_kwargs)
    client = request.getfixturevalue("client") if backend == "dask" else None
    watch = (lambda: distributed.get_task_stream(client)) if client else contextlib.nullcontext
    for chunks in chunkings:
        with joblib.parallel_backend(backend, n_jobs=chunks), watch() as stream:
            forest = RandomForestClassifier(20, **params).fit(x, y, **fit_kwargs)
        assert native_bytes(forest) == native_bytes(expected)
        np.testing.assert_array_equal(forest.predict(x), expected.predict(x))
        np.testing.assert_array_equal(*(getattr(f, "oob_decision_function_", None)
                                        for f in (forest, expected)))
        if stream is not None:
            ran = [t for t in stream.data if str(t["key"]).startswith("lindorf-trees")]
            assert len(ran) == (2 if chunks == -1 else chunks)
            assert len({t["worker"] for t in ran}) == 2, "both workers grow trees"


@pytest.mark.cluster
def test_fits_inside_cluster_tasks_leave_the_workers_threads_to_the_chunks(client):
    """Two fits inside tasks on one-thread workers would wait forever for their chunks."""
    x, y = blobs()

    def fit_inside(seed):
        with joblib.parallel_backend("dask"):
            return RandomForestClassifier(8, random_state=seed).fit(x, y)._native.to_bytes(b"")

    futures = client.map(fit_inside, [1, 2], pure=False)
    distributed.wait(futures, timeout=60)
    assert client.gather(futures) == [
        native_bytes(RandomForestClassifier(8, random_state=seed).fit(x, y)) for seed in (1, 2)]


@pytest.mark.cluster
def test_unseeded_chunks_are_keyed_by_their_own_worker_or_forked_process(client):
    x, y = blobs()
    chunk = ((RandomForestClassifier(3).get_params(), None, "best", False), x,
             np.unique(y, return_inverse=True)[1].astype(np.uint32), None, 0, 3)  # no key given
    grown = {client.submit(grow_chunk, *chunk, workers=[w], pure=False).result()
             for w in client.nthreads()}
    forked = run_snippet(f"""
        import os, pickle
        from lindorf._distributed import grow_chunk
        chunk = pickle.loads({__import__("pickle").dumps(chunk)!r})
        result = [grow_chunk(*chunk)]  # the parent's threads exist before it forks
        for _ in range(2):
            read, write = os.pipe()
            if os.fork() == 0:
                os.write(write, grow_chunk(*chunk))
                os._exit(0)
            os.close(write)
            result.append(b"".join(iter(lambda: os.read(read, 65536), b"")))
            os.wait()
        """, prelude=False)
    assert forked.error is None, forked.error
    grown |= set(eval(forked.result))
    assert len(grown) == 5 and all(grown)


@pytest.mark.cluster
@pytest.mark.parametrize("failure", ["killed", "raises"])
def test_a_failed_chunk_fails_the_fit_cleanly_and_stops_the_others(client, failure, tmp_path):
    x, y = blobs(20_000, seed=1)
    forest = RandomForestClassifier(5_000, random_state=1)  # minutes of work if nothing stops it
    victim, outcome = next(iter(client.nthreads())), {}
    both_running = tmp_path / "both chunks run"  # the workers are processes of this machine

    def fit():
        with joblib.parallel_backend("dask"), pytest.raises(ClusterFitError) as error:
            forest.fit(x, y)
        outcome.update(error=error.value)

    def fail(*_, **__):  # the victim's chunk fails once the test has seen both chunks run
        deadline = time.monotonic() + 120
        while not both_running.exists() and time.monotonic() < deadline:
            time.sleep(0.01)
        raise MemoryError("no room for the trees")

    def patch(replacement):
        _learner.__dict__.setdefault("unpatched_fit_forest", _learner.fit_forest)
        _learner.fit_forest = replacement or _learner.__dict__.pop("unpatched_fit_forest")

    if failure == "raises":
        client.run(patch, fail, workers=[victim])
    fitting = threading.Thread(target=fit)
    fitting.start()
    deadline = time.monotonic() + 120
    while len(lindorf_tasks(client)) < 2:
        assert time.monotonic() < deadline, "the chunks never started"
    both_running.touch()
    if failure == "killed":
        os.kill(client.run(os.getpid, workers=[victim])[victim], signal.SIGKILL)
    fitting.join(120)
    assert not fitting.is_alive(), "the fit went on after a chunk failed"
    error = outcome["error"]
    cause = {"killed": distributed.KilledWorker, "raises": MemoryError}[failure]
    assert isinstance(error.__cause__, cause)
    assert f"({cause.__name__}: " in str(error) and "left unfitted" in str(error)
    # The fit returns once no worker runs a chunk of it, or after 30 s: the other chunk, which
    # had minutes of work left, was stopped rather than waited for.
    assert not lindorf_tasks(client), "nothing of the fit is left running"
    with pytest.raises(NotFittedError):
        forest.predict(x[:1])
    if failure == "raises":
        client.run(patch, None, workers=[victim])
    client.wait_for_workers(2, timeout=300)  # a killed worker's nanny starts a new one


@pytest.mark.cluster
def test_blockwise_prediction_equals_in_memory_prediction(client):
    pandas = pytest.importorskip("pandas")
    import dask.array as da
    import dask.dataframe as dd

    x, y = blobs(3_000, seed=3)
    trees = DecisionTreeClassifier(max_depth=6), RandomForestClassifier(9, random_state=1)
    frame = pandas.DataFrame(x, columns=[f"f{i}" for i in range(x.shape[1])])
    lazy_x = da.from_array(x, chunks=((700, 1, 1500, 799), (4, 2)))  # blocks split columns too
    lazy_frame = dd.from_pandas(frame, npartitions=4)
    for in_memory in trees:
        named = type(in_memory)(**in_memory.get_params()).fit(frame, y)
        in_memory.fit(x, y)
        for method in ("predict", "predict_proba", "predict_log_proba"):
            expected, lazy = getattr(in_memory, method)(x), getattr(in_memory, method)(lazy_x)
            assert isinstance(lazy, da.Array) and lazy.shape == expected.shape
            np.testing.assert_array_equal(lazy.compute(), expected)
            np.testing.assert_array_equal(getattr(named, method)(lazy_frame).compute(), expected)
        assert named.predict_proba(lazy_frame[lazy_frame.f0 > 10]).compute().shape == (0, 3)
    with pytest.raises(ValueError, match="features"):
        in_memory.predict(lazy_x[:, :4])
