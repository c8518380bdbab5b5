"""`python memory_sweep.py SETTINGS_JSON RECORDS_PATH`: for each headroom a forked child (fresh,
or "warm" after one small call) lowers its data limit to what it uses plus the headroom, trains
twice, restores the limit and trains with its output in a file. One JSON line per child: wait
status, outcomes, bytes allocated after each limited call, final output. The first child, with
no limit, is the reference."""

import ctypes
import json
import os
import resource
import sys

import numpy as np


def sweep_data(rows, cols, classes, seed):
    """Column 0 lies in [k, k + 0.4] for class k and the held-out rows sit at k + 0.4, so every
    tree deep enough to separate the classes labels them right, whatever its sample."""
    rng = np.random.default_rng(seed)
    y = rng.integers(0, classes, rows).astype(np.uint32)
    x = rng.standard_normal((rows, cols)).astype(np.float32)
    x[:, 0] = y + rng.uniform(0.0, 0.4, rows)
    x[int(rows * 0.9):, 0] = y[int(rows * 0.9):] + np.float32(0.4)
    return x, y


def child(call, warm, headroom, out_path):
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    if warm:
        call(1000)
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = type("MallInfo", (ctypes.Structure,), {"_fields_": [("f", ctypes.c_size_t * 10)]})
    in_use = int(open("/proc/self/status").read().split("VmData:")[1].split()[0]) * 1024
    limit = resource.RLIM_INFINITY if headroom is None else in_use + headroom
    record = {"outcomes": [], "allocated": []}
    for _ in range(2):
        resource.setrlimit(resource.RLIMIT_DATA, (limit, resource.RLIM_INFINITY))
        try:
            call()
            record["outcomes"].append("returned")
        except BaseException as error:
            record["outcomes"].append(type(error).__qualname__)
        resource.setrlimit(resource.RLIMIT_DATA, (resource.RLIM_INFINITY,) * 2)
        info = mallinfo2().f
        record["allocated"].append(info[7] + info[4])  # uordblks + hblkhd: bytes in use
    os.dup2(os.open(out_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC), 1)
    call()
    return record


def main(s, records_path):
    import lindorf._lindorf as module
    os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[: s["cpus"]])
    x, y = sweep_data(s["rows"], s["cols"], s["classes"], s["seed"])
    args = [s["max_depth"]] + ([s["n_trees"]] if "n_trees" in s else [])
    train = module.train_forest_np if "n_trees" in s else module.train_tree_np
    out_path = records_path + ".out"
    with open(records_path, "w") as records:
        for headroom in [None] + [h for r in s["headroom"] for h in range(*r)]:
            read_end, write_end = os.pipe()
            if (pid := os.fork()) == 0:
                try:
                    call = lambda rows=None: train(x[:rows], y[:rows], *args)  # noqa: E731
                    os.write(write_end, json.dumps(child(call, s["warm"], headroom, out_path)).encode())
                finally:
                    os._exit(0)
            os.close(write_end)
            with os.fdopen(read_end) as report:
                record = json.loads(report.read() or "{}")
            record.update(headroom=headroom, status=os.waitpid(pid, 0)[1], output=None)
            if os.path.exists(out_path):  # a child that died wrote nothing
                record["output"] = open(out_path).read()
                os.unlink(out_path)
            records.write(json.dumps(record) + "\n")


if __name__ == "__main__":
    main(json.loads(sys.argv[1]), sys.argv[2])
