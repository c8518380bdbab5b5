"""Reading NumPy arrays in any memory layout, arrays changed after they were accepted, and
reaching NumPy's C API (refused arrays are in test_module.py's table)."""

import contextlib
import io
import warnings

import numpy as np
import pytest

from conftest import CUT, NOT_AN_ARRAY, run_snippet, shape_lines
from lindorf._lindorf import train_tree_np

X = np.zeros((10, 2), dtype=np.float32)
Y8 = np.zeros(8, dtype=np.uint32)  # too few labels: every accepted call stops at the cut


@pytest.mark.parametrize(
    "change, message, printed",
    [
        ("x.resize((20,), refcheck=False)",
         "the feature array changed after it was accepted: "
         "TypeError('dimensionality mismatch:\\n from=1, to=2')", ""),
        ("y.resize((2, 4), refcheck=False)",
         "the label array changed after it was accepted: "
         "TypeError('dimensionality mismatch:\\n from=2, to=1')", "Shape of x matrix (10, 2)\n"),
    ],
    ids=["x_flattened", "y_folded"],
)
def test_an_array_changed_by_a_later_argument_is_refused(change, message, printed):
    # max_depth's __index__ runs after both arrays were accepted; reading an array by the shape it
    # had then would read past its memory.
    outcome = run_snippet(f"""
        x, y = np.zeros((10, 2), np.float32), np.zeros(8, np.uint32)
        class Depth:
            def __index__(self):
                {change}
                return 1
        train_tree_np(x, y, Depth())
        """)
    assert outcome.panic == message
    assert outcome.stdout == printed
    assert outcome.stderr.splitlines()[-1].endswith(": " + message)


class FloatArray(np.ndarray):
    pass


def unaligned(a):
    """A copy of `a` whose data starts one byte past an aligned address."""
    copy = np.frombuffer(bytearray(a.nbytes + 1), a.dtype, count=a.size, offset=1)
    copy = copy.reshape(a.shape)
    copy[...] = a
    return copy


RNG = np.random.default_rng(7)
BASE = RNG.normal(size=(200, 4)).astype(np.float32)
LABELS = (BASE[:, 0] + 0.5 * BASE[:, 2] + RNG.normal(size=200) > 0).astype(np.uint32)
with warnings.catch_warnings():
    warnings.simplefilter("ignore", PendingDeprecationWarning)
    MATRIX = np.asmatrix(BASE)

X_LAYOUTS = {
    "c_order": BASE,
    "fortran_order": np.asfortranarray(BASE),  # the same layout as a transposed C array
    "transposed_reversed": np.ascontiguousarray(BASE.T[::-1])[::-1].T,
    "reversed_rows": BASE[::-1].copy()[::-1],
    "reversed_columns": np.ascontiguousarray(BASE[:, ::-1])[:, ::-1],
    "every_other_row": np.repeat(BASE, 2, axis=0)[::2],
    "every_other_column": np.repeat(BASE, 2, axis=1)[:, ::2],
    "broadcast_row": np.broadcast_to(BASE[0], BASE.shape),
    "broadcast_scalar": np.broadcast_to(np.float32(7), (200, 5)),
    "unaligned": unaligned(BASE),
    "ndarray_subclass": BASE.view(FloatArray),
    "matrix_subclass": MATRIX,
    "no_columns": np.zeros((200, 0), np.float32),
}
Y_LAYOUTS = {
    "contiguous": LABELS,
    "reversed": LABELS[::-1].copy()[::-1],
    "every_other": np.repeat(LABELS, 2)[::2],
    "unaligned": unaligned(LABELS),
    "broadcast": np.broadcast_to(np.uint32(1), (200,)),
}
# Each x layout once, each label layout at least twice; constant labels only where x is constant
# too, so that every other pairing depends on the values read.
PAIRS = list(zip(X_LAYOUTS, ["contiguous", "reversed", "every_other", "unaligned"] * 2
                 + ["broadcast", "unaligned", "reversed", "every_other", "contiguous"]))


@pytest.mark.parametrize("x_layout, y_layout", PAIRS)
def test_every_layout_reads_as_its_contiguous_copy(x_layout, y_layout, capfd):
    x, y = X_LAYOUTS[x_layout], Y_LAYOUTS[y_layout]
    x_copy, y_copy = np.ascontiguousarray(x), np.ascontiguousarray(y)
    train_tree_np(x_copy, y_copy, 3)
    expected = capfd.readouterr().out
    assert expected.startswith(shape_lines(200, x.shape[1], 200) + "Tree depth: ")
    train_tree_np(x, y, 3)
    assert capfd.readouterr().out == expected
    assert np.array_equal(x, x_copy) and np.array_equal(y, y_copy)  # the input is not modified


def test_the_report_depends_on_how_values_are_read(capfd):
    # What a reader ignoring strides would see (rows reversed, values regrouped) changes the
    # output, so the layout comparisons above are not vacuous.
    outputs = set()
    for x in (BASE, BASE[::-1].copy(), BASE.reshape(4, 200).T.copy()):
        train_tree_np(x, LABELS, 3)
        outputs.add(capfd.readouterr().out)
    assert len(outputs) == 3


def test_output_bypasses_sys_stdout(capfd):
    redirected = io.StringIO()
    with contextlib.redirect_stdout(redirected), pytest.raises(BaseException):
        train_tree_np(X, Y8, 1)
    assert redirected.getvalue() == ""
    assert capfd.readouterr().out == shape_lines(10, 2, 8)


CAPSULE = "Failed to access NumPy array API capsule: "
FAKE_NUMPY = """
for name in ("numpy", "numpy._core", "numpy.core"):
    sys.modules[name] = types.ModuleType(name)
    sys.modules[name].__path__ = []
core = sys.modules["numpy._core.multiarray"] = types.ModuleType("numpy._core.multiarray")
legacy = sys.modules["numpy.core.multiarray"] = types.ModuleType("numpy.core.multiarray")
"""


@pytest.mark.parametrize(
    "setup, error",
    [
        # The interpreter's own error for importing numpy.core.multiarray, worked out below.
        ("sys.modules['numpy'] = None", None),
        (FAKE_NUMPY + "core._ARRAY_API = 42",
         "TypeError(\"_ARRAY_API is a 'int' object, not a capsule\")"),
        (FAKE_NUMPY,
         "AttributeError(\"module 'numpy._core.multiarray' has no attribute '_ARRAY_API'\")"),
        # Without numpy._core.multiarray, numpy.core.multiarray is asked instead.
        (FAKE_NUMPY + "sys.modules['numpy._core.multiarray'] = None; legacy._ARRAY_API = 'text'",
         "TypeError(\"_ARRAY_API is a 'str' object, not a capsule\")"),
    ],
    ids=["no_numpy", "not_a_capsule", "no_attribute", "fallback_not_a_capsule"],
)
def test_unreachable_numpy_is_a_panic_and_is_retried(setup, error):
    outcome = run_snippet(
        "import sys, types\n" + setup + """
try:
    import numpy.core.multiarray
except ImportError as error:
    import_error = repr(error)
import lindorf._lindorf as module
result = [globals().get("import_error")]
for attempt in range(3):
    if attempt == 2:  # the real NumPy from now on
        for name in [name for name in sys.modules if name.split(".")[0] == "numpy"]:
            del sys.modules[name]
    try:
        module.train_tree_np([], [], 1)
    except BaseException as error:
        result.append((type(error).__qualname__, error.args))
""",
        prelude=False,
    )
    import_error, *failures = eval(outcome.result)
    if error is None:
        assert import_error.startswith("ModuleNotFoundError(")
        error = import_error
    # Nothing is kept after a failure: once NumPy can be reached the ordinary check follows.
    panic = ("PanicException", (CAPSULE + error,))
    assert failures == [
        panic, panic, ("TypeError", (f"argument 'x_py': 'list' {NOT_AN_ARRAY}",))]
    diagnostics = outcome.stderr.splitlines()
    assert len(diagnostics) == 2
    assert all(line.endswith(": " + CAPSULE + error) for line in diagnostics)
    assert outcome.stdout == ""


def test_numpy_warnings_as_errors_do_not_break_the_table():
    outcome = run_snippet("train_tree_np(np.zeros((10, 2), np.float32), np.zeros(8, np.uint32), 1)",
                          python_args=("-W", "error"))
    assert outcome.panic == CUT
    assert outcome.stdout == shape_lines(10, 2, 8)
