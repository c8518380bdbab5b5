"""Runs one training call under a sweep of data-limit headroom, as a script:

    python memory_sweep.py SETTINGS_JSON RECORDS_PATH

For every headroom a forked child lowers its data limit (RLIMIT_DATA) to what it already uses
plus the headroom, makes the call, restores the limit and makes the same call again with its
standard output in a file (the first child, a reference, has no limit). The parent never calls the learner, so every child starts with the
module as a fresh import leaves it; with "warm" the child makes an ordinary call first. One JSON
line per headroom goes to RECORDS_PATH: the child's wait status, what the limited call ended
with, and the output of the call that followed.
"""

import json
import os
import resource
import sys
import tempfile

import numpy as np


def sweep_data(rows, cols, classes, seed):
    """Column 0 falls into one narrow interval per class, [k, k + 0.4]; the held-out last tenth
    sits at the top of its class's interval, so every tree deep enough to separate the classes
    labels it right, whatever rows its sample drew. The other columns are noise."""
    rng = np.random.default_rng(seed)
    y = rng.integers(0, classes, rows).astype(np.uint32)
    x = rng.standard_normal((rows, cols)).astype(np.float32)
    x[:, 0] = y + rng.uniform(0.0, 0.4, rows)
    n_train = int(rows * 0.9)
    x[n_train:, 0] = y[n_train:] + np.float32(0.4)
    return x, y


def training_call(settings):
    import lindorf._lindorf as module

    x, y = sweep_data(settings["rows"], settings["cols"], settings["classes"], settings["seed"])
    depth, trees = settings["max_depth"], settings.get("n_trees")
    if trees is None:
        return lambda rows=None: module.train_tree_np(x[:rows], y[:rows], depth)
    return lambda rows=None: module.train_forest_np(x[:rows], y[:rows], depth, trees)


def data_in_use():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmData:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmData in /proc/self/status")


def limited_call(call, headroom):
    """Makes the call with the data limit `headroom` bytes above what is in use (no limit for
    None); names the outcome."""
    if headroom is None:
        call()
        return "returned"
    _, hard = resource.getrlimit(resource.RLIMIT_DATA)
    resource.setrlimit(resource.RLIMIT_DATA, (data_in_use() + headroom, hard))
    try:
        call()
        outcome = "returned"
    except MemoryError:
        outcome = "MemoryError"
    except BaseException as error:
        outcome = type(error).__qualname__
    resource.setrlimit(resource.RLIMIT_DATA, (hard, hard))
    return outcome


def child(call, headroom, warm, follow_up_path, report_fd):
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    if warm:
        call(rows=1000)
    outcome = limited_call(call, headroom)
    os.dup2(os.open(follow_up_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC), 1)
    call()
    os.write(report_fd, outcome.encode())


def run_child(call, headroom, warm, scratch):
    follow_up_path = os.path.join(scratch, "follow_up.txt")
    if os.path.exists(follow_up_path):
        os.unlink(follow_up_path)
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            child(call, headroom, warm, follow_up_path, write_end)
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as report:
        outcome = report.read().decode()
    _, status = os.waitpid(pid, 0)
    follow_up = ""
    if os.path.exists(follow_up_path):
        with open(follow_up_path) as text:
            follow_up = text.read()
    return {"headroom": headroom, "status": status, "outcome": outcome, "follow_up": follow_up}


def main(settings, records_path):
    if settings.get("cpus"):
        cpus = sorted(os.sched_getaffinity(0))[: settings["cpus"]]
        os.sched_setaffinity(0, cpus)
    call = training_call(settings)
    with open(records_path, "w") as records, tempfile.TemporaryDirectory() as scratch:
        # The first child, without a limit, shows what every follow-up call must print.
        headrooms = [None] + [h for start, stop, step in settings["headroom"]
                              for h in range(start, stop, step)]
        for headroom in headrooms:
            record = run_child(call, headroom, settings.get("warm", False), scratch)
            records.write(json.dumps(record) + "\n")
            records.flush()


if __name__ == "__main__":
    main(json.loads(sys.argv[1]), sys.argv[2])
