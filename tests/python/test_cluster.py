"""Forests grown in chunks on joblib backends other than joblib's own: the same seeded forest as
one process grows, whatever the chunking; unseeded chunks keyed by their own processes; failures
that stop every chunk; and block-wise prediction of Dask collections. The tests marked `cluster`
run on a real two-process Dask cluster."""

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
from lindorf._distributed import grow_chunk
from lindorf.estimators import ClusterFitError
from test_estimators import blobs, native_bytes

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")


class _ChunkedThreads(ThreadingBackend):
    """Not one of joblib's own backends, so fits go through the chunked path, in threads."""


joblib.register_parallel_backend("lindorf-chunked-threads", _ChunkedThreads)

# (forest parameters, fit keywords): seeds of each kind, bootstrap off, weights, out-of-bag votes.
FORESTS = [
    ({"random_state": 0}, {}),
    ({"random_state": 7, "max_features": "sqrt", "oob_score": True}, {}),
    ({"random_state": np.random.default_rng(5), "bootstrap": False, "max_features": 2}, {}),
    ({"random_state": 3, "min_samples_leaf": 0.01},
     {"sample_weight": np.random.default_rng(2).integers(0, 3, 400).astype(float)}),
]


def one_process_forest(params, fit_kwargs, x, y, n_trees=20):
    params = {**params}
    if isinstance(params["random_state"], np.random.Generator):  # draw from a fresh copy
        params["random_state"] = np.random.default_rng(5)
    return RandomForestClassifier(n_trees, **params).fit(x, y, **fit_kwargs)


def assert_same_forest(forest, expected, x):
    assert native_bytes(forest) == native_bytes(expected)
    np.testing.assert_array_equal(forest.predict_proba(x), expected.predict_proba(x))
    assert forest.classes_.tolist() == expected.classes_.tolist()
    if expected.oob_score:
        np.testing.assert_array_equal(forest.oob_decision_function_,
                                      expected.oob_decision_function_)


@pytest.mark.parametrize("params, fit_kwargs", FORESTS)
def test_seeded_forest_is_the_same_in_any_chunking_on_another_backend(params, fit_kwargs):
    x, y = blobs()
    expected = one_process_forest(params, fit_kwargs, x, y)
    for chunks in (1, 2, 7, 20, 30):
        with joblib.parallel_backend("lindorf-chunked-threads", n_jobs=chunks):
            forest = one_process_forest(params, fit_kwargs, x, y)
        assert_same_forest(forest, expected, x)


# -- on a Dask cluster -------------------------------------------------------------------------

@pytest.fixture(scope="module")
def client():
    # A task whose worker dies fails at once instead of being retried elsewhere, so that the
    # failure path can be seen with two workers.
    environment = dict(os.environ)
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster:
            with distributed.Client(cluster) as dask_client:
                yield dask_client
    # Starting workers sets variables for them in this process too (MALLOC_TRIM_THRESHOLD_,
    # OMP_NUM_THREADS...), which later tests' child processes would inherit.
    os.environ.clear()
    os.environ.update(environment)


def lindorf_tasks(client, keys_only=False):
    """{worker address: keys of lindorf's chunks it is running or has been told to drop}."""
    def running(dask_worker):
        return [str(key) for key, task in dask_worker.state.tasks.items()
                if str(key).startswith("lindorf-trees")
                and task.state in ("executing", "long-running", "cancelled")]
    return client.run(running)


@pytest.mark.cluster
@pytest.mark.parametrize("params, fit_kwargs", FORESTS)
def test_seeded_forest_on_the_cluster_equals_the_one_process_forest(client, params, fit_kwargs):
    x, y = blobs()
    expected = one_process_forest(params, fit_kwargs, x, y)
    for chunks in (-1, 3, 20):  # -1: one chunk per worker
        with distributed.get_task_stream(client) as stream:
            with joblib.parallel_backend("dask", n_jobs=chunks):
                forest = one_process_forest(params, fit_kwargs, x, y)
        assert_same_forest(forest, expected, x)
        ran = [t for t in stream.data if str(t["key"]).startswith("lindorf-trees")]
        assert len(ran) == (2 if chunks == -1 else chunks)
        assert len({t["worker"] for t in ran}) == 2, "both workers grow trees"


@pytest.mark.cluster
def test_fits_inside_cluster_tasks_leave_the_workers_threads_to_the_chunks(client):
    """A model search on the cluster fits forests inside tasks; with one thread per worker, two
    such fits would wait forever for chunks that no thread is left to run."""
    x, y = blobs()

    def fit_inside(seed):
        with joblib.parallel_backend("dask"):
            return RandomForestClassifier(8, random_state=seed).fit(x, y)._native.to_bytes(b"")

    futures = client.map(fit_inside, [1, 2], pure=False)
    distributed.wait(futures, timeout=60)
    assert client.gather(futures) == [native_bytes(RandomForestClassifier(8, random_state=seed)
                                                   .fit(x, y)) for seed in (1, 2)]


@pytest.mark.cluster
def test_unseeded_chunks_are_keyed_by_their_own_worker_or_forked_process(client):
    x, y = blobs()
    params = RandomForestClassifier(3, random_state=None).get_params()
    codes = np.unique(y, return_inverse=True)[1].astype(np.uint32)
    workers = list(client.scheduler_info()["workers"])
    on_workers = [client.submit(grow_chunk, params, x, codes, None, 0, 3, workers=[w],
                                pure=False).result()[0] for w in workers]
    assert on_workers[0] != on_workers[1]
    forked = run_snippet(f"""
        import hashlib, os, pickle
        from lindorf._distributed import grow_chunk
        params, x, codes = pickle.loads({__import__("pickle").dumps((params, x, codes))!r})

        def digest():
            return hashlib.sha256(grow_chunk(params, x, codes, None, 0, 3)[0]).hexdigest()

        result = [digest()]  # the parent's threads and streams exist before it forks
        for _ in range(2):
            read, write = os.pipe()
            if os.fork() == 0:
                os.write(write, digest().encode())
                os._exit(0)
            os.close(write)
            os.wait()
            result.append(os.read(read, 64).decode())
        """, prelude=False)
    assert forked.error is None, forked.error
    digests = eval(forked.result)
    assert len(digests) == 3 and len(set(digests)) == 3, digests
    with joblib.parallel_backend("dask"):
        unseeded = [RandomForestClassifier(6).fit(x, y) for _ in range(2)]
    assert native_bytes(unseeded[0]) != native_bytes(unseeded[1])


@pytest.mark.cluster
@pytest.mark.parametrize("failure", ["killed", "raises"])
def test_a_failed_chunk_fails_the_fit_cleanly_and_stops_the_others(client, failure):
    x, y = blobs(20_000, seed=1)
    forest = RandomForestClassifier(5_000, random_state=1)  # minutes of work if nothing stops it
    victim = list(client.scheduler_info()["workers"])[0]
    outcome = {}

    def fit():
        try:
            with joblib.parallel_backend("dask"):
                forest.fit(x, y)
        except Exception as error:
            outcome["error"] = error
        outcome["end"] = time.monotonic()

    def fail_chunks():  # run on the victim: its chunk fails a moment after it starts
        def fail(*args, **kwargs):
            time.sleep(0.5)
            raise MemoryError("no room for the trees")
        RandomForestClassifier._fit_chunk = fail

    if failure == "raises":
        client.run(fail_chunks, workers=[victim])
    fitting = threading.Thread(target=fit)
    fitting.start()
    deadline = time.monotonic() + 30
    while sum(map(len, lindorf_tasks(client).values())) < 2:
        assert time.monotonic() < deadline, "the chunks never started"
        time.sleep(0.05)
    failed_at = time.monotonic()
    if failure == "killed":
        os.kill(client.run(os.getpid, workers=[victim])[victim], signal.SIGKILL)
    fitting.join(60)
    assert not fitting.is_alive()
    error = outcome["error"]
    assert isinstance(error, ClusterFitError), repr(error)
    cause = {"killed": distributed.KilledWorker, "raises": MemoryError}[failure]
    assert isinstance(error.__cause__, cause)
    assert f"({cause.__name__}: " in str(error) and "left unfitted" in str(error)
    assert outcome["end"] - failed_at < 15  # the surviving chunk was stopped, not waited for
    assert not any(lindorf_tasks(client).values()), "nothing of the fit is left running"
    with pytest.raises(NotFittedError):
        forest.predict(x[:1])
    client.restart()  # fresh worker processes for the tests after this one
    client.wait_for_workers(2, timeout=60)


@pytest.mark.cluster
def test_blockwise_prediction_equals_in_memory_prediction(client):
    pandas = pytest.importorskip("pandas")
    import dask.array as da
    import dask.dataframe as dd

    x, y = blobs(3_000, seed=3)
    columns = [f"f{i}" for i in range(x.shape[1])]
    lazy_x = da.from_array(x, chunks=((700, 1, 1500, 799), (4, 2)))  # blocks split columns too
    lazy_frame = dd.from_pandas(pandas.DataFrame(x, columns=columns), npartitions=4)
    for estimator in (DecisionTreeClassifier(max_depth=6), RandomForestClassifier(15, random_state=2)):
        in_memory = estimator.fit(x, y)
        named = type(estimator)(**estimator.get_params()).fit(pandas.DataFrame(x, columns=columns), y)
        for method in ("predict", "predict_proba", "predict_log_proba"):
            expected = getattr(in_memory, method)(x)
            lazy = getattr(in_memory, method)(lazy_x)
            assert isinstance(lazy, da.Array) and lazy.shape == expected.shape
            np.testing.assert_array_equal(lazy.compute(), expected)
            np.testing.assert_array_equal(getattr(named, method)(lazy_frame).compute(), expected)
        empty_partitions = lazy_frame[lazy_frame.f0 > 10]  # every partition filtered away
        assert named.predict_proba(empty_partitions).compute().shape == (0, 3)
    with pytest.raises(ValueError, match="features"):
        in_memory.predict(lazy_x[:, :4])
