"""Run as `python memory_sweep.py SETTINGS_JSON RECORDS_PATH`: for every headroom, a forked child
(cold: the parent never trains; "warm": after one small call) lowers its data limit to what it
uses plus the headroom, trains, trains again under the same limit, then restores the limit and
trains with its output in a file. One JSON line per child: its wait status, how the limited
calls ended, the bytes allocated after each, and the final output. The first child, unlimited,
is the reference."""

import ctypes
import json
import os
import resource
import sys
import tempfile

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


class MallInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in "arena ordblks smblks hblks hblkhd usmblks "
                "fsmblks uordblks fordblks keepcost".split()]


def allocated():
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def child(call, settings, headroom, out_path):
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    if settings["warm"]:
        call(1000)
    record = {"outcomes": [], "allocated": []}
    with open("/proc/self/status") as status:
        in_use = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmData"))
    limit = resource.RLIM_INFINITY if headroom is None else in_use + headroom
    for _ in range(2):
        resource.setrlimit(resource.RLIMIT_DATA, (limit, resource.RLIM_INFINITY))
        try:
            call()
            record["outcomes"].append("returned")
        except BaseException as error:
            record["outcomes"].append(type(error).__qualname__)
        resource.setrlimit(resource.RLIMIT_DATA, (resource.RLIM_INFINITY,) * 2)
        record["allocated"].append(allocated())
    os.dup2(os.open(out_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC), 1)
    call()
    return record


def main(settings, records_path):
    import lindorf._lindorf as module
    os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[: settings["cpus"]])
    x, y = sweep_data(*(settings[k] for k in ("rows", "cols", "classes", "seed")))
    trees = settings.get("n_trees")
    train = (lambda xs, ys: module.train_tree_np(xs, ys, settings["max_depth"])) if trees is None \
        else (lambda xs, ys: module.train_forest_np(xs, ys, settings["max_depth"], trees))
    call = lambda rows=None: train(x[:rows], y[:rows])  # noqa: E731
    headrooms = [None] + [h for r in settings["headroom"] for h in range(*r)]
    with open(records_path, "w") as records, tempfile.TemporaryDirectory() as scratch:
        out_path = os.path.join(scratch, "out.txt")
        for headroom in headrooms:
            read_end, write_end = os.pipe()
            pid = os.fork()
            if pid == 0:
                try:
                    os.write(write_end, json.dumps(child(call, settings, headroom, out_path)).encode())
                finally:
                    os._exit(0)
            os.close(write_end)
            with os.fdopen(read_end) as report:
                record = json.loads(report.read() or "{}")
            record.update(headroom=headroom, status=os.waitpid(pid, 0)[1], output=None)
            if os.path.exists(out_path):  # a child that died wrote nothing
                with open(out_path) as out:
                    record["output"] = out.read()
                os.unlink(out_path)
            records.write(json.dumps(record) + "\n")


if __name__ == "__main__":
    main(json.loads(sys.argv[1]), sys.argv[2])
