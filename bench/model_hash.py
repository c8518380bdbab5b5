"""Fits a seeded model and prints a hash of its leaves and predictions, and the fit's time.

    .venv/bin/python bench/model_hash.py KIND [n_jobs]

Two builds grow the same trees when they print the same hash: a change meant to make a path
faster is checked with the kind that reaches it, on the old build and on the new, run in turns
for the processor time. Kinds: xt (30 extremely randomized trees), cw and cwg (30 class-weighted
trees, entropy and Gini), rf (30 trees), reg (20 regression trees), labelsN (two trees on 2^N
rows of distinct labels; labels17 when N is left out).
"""
import hashlib
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import lindorf  # noqa: E402

kind = sys.argv[1]
jobs = int(sys.argv[2]) if len(sys.argv) > 2 else 2
if kind == "xt":
    x, y = common.synthetic(100_000, 20, 10)
    m = lindorf.ExtraTreesClassifier(n_estimators=30, max_features="sqrt", n_jobs=jobs, random_state=0)
elif kind in ("cw", "cwg"):
    from sklearn.datasets import make_classification
    x, y = make_classification(n_samples=100_000, n_features=20, n_informative=10, n_redundant=2,
                               weights=[0.9, 0.1], random_state=0)
    x = np.ascontiguousarray(x, dtype=np.float32); y = y.astype(np.uint32)
    extra = dict(criterion="gini", min_samples_split=2) if kind == "cwg" else {}
    m = lindorf.RandomForestClassifier(n_estimators=30, class_weight="balanced", max_features="sqrt",
                                       n_jobs=jobs, random_state=0, **extra)
elif kind == "rf":
    x, y = common.synthetic(100_000, 20, 10)
    m = lindorf.RandomForestClassifier(n_estimators=30, max_features="sqrt", n_jobs=jobs, random_state=0)
elif kind == "reg":
    x, _ = common.synthetic(100_000, 20, 10)
    rng = np.random.default_rng(0)
    t = (x[:, 0] * 2 + np.sin(x[:, 1]) + rng.normal(size=len(x)) * 0.1).astype(np.float64)
    y = t
    m = lindorf.RandomForestRegressor(n_estimators=20, max_features=1/3, n_jobs=jobs, random_state=0)
elif kind.startswith("labels"):
    n = 1 << int(kind[6:] or 17)
    x, y = common.all_distinct_labels(n, 10)
    m = lindorf.RandomForestClassifier(n_estimators=2, max_features=None, n_jobs=jobs, random_state=0)
else:
    sys.exit(f"unknown kind {kind!r}: see the docstring")
start = time.perf_counter(); c0 = time.process_time()
m.fit(x, y)
wall = time.perf_counter() - start; cpu = time.process_time() - c0
h = hashlib.sha256()
h.update(np.ascontiguousarray(m.apply(x)).tobytes())
if kind == "reg":
    h.update(np.ascontiguousarray(m.predict(x)).tobytes())
elif kind.startswith("labels"):
    # a forest's predict goes through rows x classes shares: keep the rows few
    h.update(np.ascontiguousarray(m.predict(x[:1000])).tobytes())
else:
    h.update(np.ascontiguousarray(m.predict_proba(x[:20000])).tobytes())
print(f"{kind} hash {h.hexdigest()[:10]} fit {wall:.3f} s wall {cpu:.3f} s cpu")
