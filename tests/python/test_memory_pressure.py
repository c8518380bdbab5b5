"""Training under every amount of free memory (memory_sweep.py): each call finishes or raises
MemoryError, the process survives, failing calls keep nothing, and once the memory is back the
next call prints exactly what an unlimited one prints."""

import json
import os
import subprocess
import sys

import pytest

from conftest import report, shape_lines
from memory_sweep import sweep_data

KIB, MIB = 1024, 1024 * 1024
# Fine steps past each call's whole need (about 1.2 MiB), then coarse ones through the range in
# which the shared threads' 8 MiB stacks fit one at a time.
HEADROOM = [[0, 2 * MIB, 8 * KIB], [7 * MIB, 18 * MIB, 512 * KIB]]
CALLS = {
    "tree, 2 classes, depth 3": dict(rows=12000, cols=6, classes=2, max_depth=3),
    "forest of 3, 2 classes, depth 3": dict(rows=12000, cols=6, classes=2, max_depth=3, n_trees=3),
    "tree, 12 classes, unlimited": dict(rows=5000, cols=4, classes=12, max_depth=2**32 - 1),
    "forest of 1, 12 classes": dict(rows=5000, cols=4, classes=12, max_depth=2**32 - 1, n_trees=1),
}


@pytest.mark.parametrize("warm", [False, True], ids=["fresh", "after a call"])
@pytest.mark.parametrize("cpus", [1, 2])
@pytest.mark.parametrize("name", CALLS)
def test_every_headroom_finishes_or_raises_memory_error(name, cpus, warm, tmp_path):
    if len(os.sched_getaffinity(0)) < cpus:
        pytest.skip(f"needs {cpus} usable CPUs")
    call = dict(CALLS[name], seed=len(name), cpus=cpus, warm=warm, headroom=HEADROOM)
    sweep = os.path.join(os.path.dirname(__file__), "memory_sweep.py")
    done = subprocess.run([sys.executable, sweep, json.dumps(call), str(tmp_path / "records")],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    reference, *swept = map(json.loads, (tmp_path / "records").read_text().splitlines())
    x, y = sweep_data(call["rows"], call["cols"], call["classes"], call["seed"])
    held_out = list(y[int(len(y) * 0.9):])
    assert reference["output"].startswith(shape_lines(*x.shape, len(y)))
    assert reference["output"].endswith(report(held_out, held_out))
    for record in swept:
        where = f"headroom {record['headroom'] // KIB} KiB: {done.stderr}"
        assert record["status"] == 0, where
        assert set(record["outcomes"]) <= {"MemoryError", "returned"}, where
        if record["outcomes"] == ["MemoryError"] * 2:  # the second failure kept nothing more
            assert abs(record["allocated"][1] - record["allocated"][0]) < 16 * KIB, where
        assert record["output"] == reference["output"], where
    # The sweep reaches from too little memory to enough.
    assert swept[0]["outcomes"][0] == "MemoryError" and swept[-1]["outcomes"][0] == "returned"
