"""Training under every amount of free memory: each call either finishes or raises MemoryError,
the process survives, and the next call with the memory back prints what it always prints.
memory_sweep.py runs the calls, each in a forked child with its data limit lowered."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

from conftest import report, shape_lines
from memory_sweep import sweep_data

KIB, MIB = 1024, 1024 * 1024
UNLIMITED = 2**32 - 1
# Fine steps up to past each call's whole need (about 1.2 MiB here), then coarse ones through
# the range in which the shared threads' stacks (8 MiB each) fit one at a time.
HEADROOM = [[0, 2 * MIB, 8 * KIB], [7 * MIB, 18 * MIB, 512 * KIB]]
CALLS = {
    "tree, 2 classes, depth 3": dict(rows=12000, cols=6, classes=2, max_depth=3),
    "forest of 3, 2 classes, depth 3": dict(rows=12000, cols=6, classes=2, max_depth=3, n_trees=3),
    "tree, 12 classes, unlimited": dict(rows=5000, cols=4, classes=12, max_depth=UNLIMITED),
    "forest of 1, 12 classes, unlimited": dict(rows=5000, cols=4, classes=12, max_depth=UNLIMITED,
                                               n_trees=1),
}
SWEEP = os.path.join(os.path.dirname(__file__), "memory_sweep.py")


def expected_output(call):
    """Shapes and a perfect report: sweep_data makes every held-out row easy to label."""
    x, y = sweep_data(call["rows"], call["cols"], call["classes"], call["seed"])
    held_out = list(y[int(len(y) * 0.9):])
    return shape_lines(*x.shape, len(y)), report(held_out, held_out)


@pytest.mark.parametrize("warm", [False, True], ids=["fresh", "after a call"])
@pytest.mark.parametrize("cpus", [1, 2])
@pytest.mark.parametrize("name", CALLS)
def test_every_headroom_finishes_or_raises_memory_error(name, cpus, warm, tmp_path):
    if len(os.sched_getaffinity(0)) < cpus:
        pytest.skip(f"needs {cpus} usable CPUs")
    call = dict(CALLS[name], seed=len(name), cpus=cpus, warm=warm, headroom=HEADROOM)
    records_path = tmp_path / "records.jsonl"
    done = subprocess.run([sys.executable, SWEEP, json.dumps(call), str(records_path)],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    records = [json.loads(line) for line in records_path.read_text().splitlines()]
    reference, swept = records[0], records[1:]
    shapes, scores = expected_output(call)
    assert reference["outcome"] == "returned"
    assert reference["follow_up"].startswith(shapes) and reference["follow_up"].endswith(scores)
    for record in swept:
        where = f"headroom {record['headroom'] // KIB} KiB: {done.stderr}"
        assert record["status"] == 0, where
        assert record["outcome"] in ("MemoryError", "returned"), where
        assert record["follow_up"] == reference["follow_up"], where
    # The sweep reaches from too little memory to enough.
    outcomes = [record["outcome"] for record in swept]
    assert outcomes[0] == "MemoryError" and outcomes[-1] == "returned"


def test_failing_again_and_again_does_not_grow_memory():
    # The same data limit for every attempt; what stays allocated (mallinfo2, all arenas) after
    # ten failed calls and after forty must be the same.
    code = f"""
import ctypes, os, resource, sys
sys.path.insert(0, {os.path.dirname(__file__)!r})
from memory_sweep import data_in_use, sweep_data
import lindorf._lindorf as m

class Info(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]
mallinfo2 = ctypes.CDLL(None).mallinfo2
mallinfo2.restype = Info
x, y = sweep_data(12000, 6, 3, 5)
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
m.train_forest_np(x[:1000], y[:1000], 6, 2)
limit = data_in_use() + 256 * 1024
in_use = []
for attempt in range(40):
    resource.setrlimit(resource.RLIMIT_DATA, (limit, resource.RLIM_INFINITY))
    try:
        m.train_forest_np(x, y, 6, 2)
        sys.exit("the call did not run out of memory")
    except MemoryError:
        pass
    resource.setrlimit(resource.RLIMIT_DATA, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    info = mallinfo2()
    in_use.append(info.uordblks + info.hblkhd)
print(in_use[9], in_use[-1], file=sys.stderr)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    after_ten, after_forty = map(int, done.stderr.split())
    assert abs(after_forty - after_ten) < 64 * KIB
