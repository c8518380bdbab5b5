"""An application that embeds Python and starts the interpreter again after finalising it gets
a working module every time (embed_cycles.c, compiled here against libpython)."""

import os
import shutil
import subprocess
import sys
import sysconfig

import numpy as np
import pytest

from lindorf._lindorf import train_tree_np

# NumPy cannot be imported again in a later interpreter of the same process, so only the first
# cycle trains; the later ones show that a call reaches the learner's own failure for that.
ARGUMENTS = "np.arange(20, dtype=np.float32).reshape(10, 2), np.arange(10, dtype=np.uint32) % 3, 2"
SNIPPET = f"""
import importlib, sys
import lindorf._lindorf as m
assert m.__all__ == ["train_tree_np", "train_forest_np"], m.__all__
del sys.modules["lindorf._lindorf"]
assert importlib.import_module("lindorf._lindorf") is m
try:
    m.train_tree_np()
except TypeError as error:
    print(cycle, error, flush=True)
try:
    import numpy as np
    m.train_tree_np({ARGUMENTS})
except ImportError:
    try:
        m.train_tree_np([], [], 1)
    except Exception:
        raise
    except BaseException as error:
        print(cycle, type(error).__module__, type(error).__name__, str(error).split(":")[0],
              flush=True)
"""


def build_embedder(directory):
    compiler = shutil.which(os.environ.get("CC", "cc"))
    if compiler is None:
        pytest.skip("no C compiler to build the embedding program")
    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("this Python has no shared libpython to link an embedding program against")
    libdir = sysconfig.get_config_var("LIBDIR")
    program = os.path.join(directory, "embed_cycles")
    source = os.path.join(os.path.dirname(__file__), "embed_cycles.c")
    built = subprocess.run(
        [compiler, "-o", program, source, "-I" + sysconfig.get_paths()["include"], "-L" + libdir,
         "-Wl,-rpath," + libdir, "-lpython" + sysconfig.get_config_var("LDVERSION")],
        capture_output=True, text=True)
    if built.returncode != 0:
        pytest.skip("cannot link against libpython: " + built.stderr.strip()[-300:])
    return program


def test_each_new_interpreter_gets_a_working_module(tmp_path, capfd):
    program = build_embedder(str(tmp_path))
    # The embedded interpreter finds the standard library itself; lindorf and NumPy come from
    # wherever this interpreter found them.
    paths = [p for p in sys.path if p and os.path.isdir(p)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    done = subprocess.run([program, SNIPPET], capture_output=True, text=True, env=env,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    missing = "train_tree_np() missing 3 required positional arguments: 'x_py', 'y_py', and 'max_depth'"
    # The first cycle prints what the same call prints here.
    train_tree_np(*eval(ARGUMENTS))
    expected = f"1 {missing}\n" + capfd.readouterr().out
    for cycle in (2, 3):
        expected += (f"{cycle} {missing}\n"
                     f"{cycle} pyo3_runtime PanicException Failed to access NumPy array API capsule\n")
    assert done.stdout == expected
