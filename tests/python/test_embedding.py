"""An application that embeds Python and starts it again after finalising it gets a working
module every time (embed_cycles.c, compiled here against libpython)."""

import os
import shutil
import subprocess
import sys
import sysconfig

import numpy as np  # noqa: F401 (ARGUMENTS uses it)
import pytest

from lindorf._lindorf import train_tree_np

ARGUMENTS = "np.arange(20, dtype=np.float32).reshape(10, 2), np.arange(10, dtype=np.uint32) % 3, 2"
# NumPy cannot be imported again in a later interpreter of one process: only the first cycle
# trains, the later ones reach the learner's own failure for that.
SNIPPET = f"""
import importlib, sys
import lindorf._lindorf as m
assert m.__all__ == ["train_tree_np", "train_forest_np"], m.__all__
del sys.modules["lindorf._lindorf"]
assert importlib.import_module("lindorf._lindorf") is m
try:
    import numpy as np
    m.train_tree_np({ARGUMENTS})
except ImportError:
    try:
        m.train_tree_np([], [], 1)
    except BaseException as error:
        print(cycle, type(error).__module__, isinstance(error, Exception), error, flush=True)
"""


def test_each_new_interpreter_gets_a_working_module(tmp_path, capfd):
    compiler, libdir = shutil.which("cc"), sysconfig.get_config_var("LIBDIR")
    if compiler is None or not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("needs a C compiler and a shared libpython to build an embedding program")
    program = str(tmp_path / "embed_cycles")
    source = os.path.join(os.path.dirname(__file__), "embed_cycles.c")
    built = subprocess.run([compiler, "-o", program, source, "-I" + sysconfig.get_paths()["include"],
                            "-L" + libdir, "-Wl,-rpath," + libdir,
                            "-lpython" + sysconfig.get_config_var("LDVERSION")],
                           capture_output=True, text=True)
    if built.returncode != 0:
        pytest.skip("cannot link against libpython: " + built.stderr[-300:])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if os.path.isdir(p)))
    done = subprocess.run([program, SNIPPET], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    train_tree_np(*eval(ARGUMENTS))  # what the first cycle prints
    failure = "pyo3_runtime False Failed to access NumPy array API capsule: ImportError("
    assert done.stdout.startswith(capfd.readouterr().out + f"2 {failure}")
    assert done.stdout.count(f"\n3 {failure}") == 1 and done.stdout.count("\n") == 10
