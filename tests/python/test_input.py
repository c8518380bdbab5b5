"""Accepting NumPy arrays and copying them: the three checks, the shape lines, the C API table."""

import array
import warnings

import numpy as np
import pytest

from conftest import run_snippet, shape_lines
from lindorf._lindorf import train_tree_np

X = np.zeros((10, 2), dtype=np.float32)
Y8 = np.zeros(8, dtype=np.uint32)  # too few labels: every accepted call stops at the cut
CUT = "range end index 9 out of range for slice of length 8"


class Outer:
    class Inner:
        pass


class FloatArray(np.ndarray):
    pass


with warnings.catch_warnings():
    warnings.simplefilter("ignore", PendingDeprecationWarning)
    MATRIX = np.asmatrix(X)  # numpy.matrix: a two-dimensional subclass of ndarray

NOT_AN_ARRAY = "object cannot be converted to 'PyArray<T, D>'"

# (argument name, value, message after "argument 'NAME': ")
ACCEPTANCE_FAILURES = [
    ("x_py", [[1.0, 2.0]], f"'list' {NOT_AN_ARRAY}"),
    ("x_py", None, f"'NoneType' {NOT_AN_ARRAY}"),
    ("x_py", Outer.Inner(), f"'Outer.Inner' {NOT_AN_ARRAY}"),
    ("x_py", np.float32(1.0), f"'float32' {NOT_AN_ARRAY}"),  # the type's qualified name
    ("x_py", array.array("f", [1.0]), f"'array' {NOT_AN_ARRAY}"),
    ("x_py", memoryview(X), f"'memoryview' {NOT_AN_ARRAY}"),
    ("y_py", [1, 0, 1], f"'list' {NOT_AN_ARRAY}"),
    ("y_py", (1, 0), f"'tuple' {NOT_AN_ARRAY}"),
    ("x_py", np.zeros(3, np.float32), "dimensionality mismatch:\n from=1, to=2"),
    ("x_py", np.zeros((2, 2, 2), np.float32), "dimensionality mismatch:\n from=3, to=2"),
    ("x_py", np.array(1.0, np.float32), "dimensionality mismatch:\n from=0, to=2"),
    # The dimensions are checked before the element type.
    ("x_py", np.zeros(3, np.float64), "dimensionality mismatch:\n from=1, to=2"),
    ("y_py", np.zeros((3, 1), np.uint32), "dimensionality mismatch:\n from=2, to=1"),
    ("y_py", np.array(1, np.uint32), "dimensionality mismatch:\n from=0, to=1"),
    ("y_py", np.zeros((3, 1), np.int64), "dimensionality mismatch:\n from=2, to=1"),
    ("x_py", np.zeros((3, 2), np.float64), "type mismatch:\n from=float64, to=float32"),
    ("x_py", np.zeros((3, 2), np.float16), "type mismatch:\n from=float16, to=float32"),
    ("x_py", np.zeros((3, 2), np.int32), "type mismatch:\n from=int32, to=float32"),
    ("x_py", np.zeros((3, 2), np.uint32), "type mismatch:\n from=uint32, to=float32"),
    ("x_py", np.zeros((3, 2), ">f4"), "type mismatch:\n from=>f4, to=float32"),
    ("x_py", np.zeros((3, 2), object), "type mismatch:\n from=object, to=float32"),
    ("y_py", np.zeros(3, np.int64), "type mismatch:\n from=int64, to=uint32"),
    ("y_py", np.array([1, 0, 1], np.int64), "type mismatch:\n from=int64, to=uint32"),
    ("y_py", np.zeros(3, np.uint64), "type mismatch:\n from=uint64, to=uint32"),
    ("y_py", np.zeros(3, np.int32), "type mismatch:\n from=int32, to=uint32"),
    ("y_py", np.zeros(3, np.bool_), "type mismatch:\n from=bool, to=uint32"),
    ("y_py", np.zeros(3, np.float32), "type mismatch:\n from=float32, to=uint32"),
    ("y_py", np.zeros(3, ">u4"), "type mismatch:\n from=>u4, to=uint32"),
]


@pytest.mark.parametrize("name, value, message", ACCEPTANCE_FAILURES)
def test_acceptance_failures(name, value, message, capfd):
    arguments = {"x_py": X, "y_py": Y8, "max_depth": -1}  # a bad depth is never reached
    arguments[name] = value
    with pytest.raises(TypeError) as caught:
        train_tree_np(**arguments)
    assert type(caught.value) is TypeError
    assert caught.value.args == (f"argument '{name}': {message}",)
    assert caught.value.__cause__ is None
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "x, y",
    [
        (X.view(FloatArray), Y8),  # subclasses of ndarray are arrays
        (MATRIX, Y8),
        (X.astype("<f4"), Y8.astype("<u4")),  # explicit native byte order
        (X, Y8.astype(np.uintc)),  # the C unsigned int is uint32 here
        (X, Y8.astype("I")),
    ],
    ids=["ndarray_subclass", "matrix", "explicit_little_endian", "uintc", "type_code_I"],
)
def test_equivalent_arrays_are_accepted(x, y, capfd):
    with pytest.raises(BaseException) as caught:
        train_tree_np(x, y, 1)
    assert caught.value.args == (CUT,)
    assert capfd.readouterr().out == shape_lines(10, 2, 8)


BASE = np.arange(60, dtype=np.float32).reshape(20, 3)
LABELS = np.arange(16, dtype=np.uint32)

# Views of every layout; each has 10 rows, and the labels 8 elements.
LAYOUTS = {
    "c_order": (BASE[:10], 3),
    "fortran_order": (np.asfortranarray(BASE[:10]), 3),
    "transposed": (np.ascontiguousarray(BASE[:10].T).T, 3),
    "transposed_reversed": (np.arange(20, dtype=np.float32).reshape(2, 10)[::-1].T, 2),
    "reversed_rows": (BASE[:10][::-1], 3),
    "reversed_columns": (BASE[:10, ::-1], 3),
    "every_other_row": (BASE[::2], 3),
    "one_column": (BASE[:10, 1:2], 1),
    "broadcast_row": (np.broadcast_to(BASE[0], (10, 3)), 3),
    "broadcast_scalar": (np.broadcast_to(np.float32(7), (10, 5)), 5),
    "no_columns": (np.zeros((10, 0), np.float32), 0),
    "unaligned": (np.frombuffer(bytearray(121), np.float32, count=30, offset=1).reshape(10, 3), 3),
}
LABEL_LAYOUTS = {
    "contiguous": LABELS[:8],
    "reversed": LABELS[:8][::-1],
    "every_other": LABELS[::2],
    "broadcast": np.broadcast_to(np.uint32(1), (8,)),
    "unaligned": np.frombuffer(bytearray(33), np.uint32, count=8, offset=1),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("label_layout", LABEL_LAYOUTS)
def test_shape_lines_for_every_layout(layout, label_layout, capfd):
    x, cols = LAYOUTS[layout]
    y = LABEL_LAYOUTS[label_layout]
    assert x.shape == (10, cols) and y.shape == (8,)
    with pytest.raises(BaseException) as caught:
        train_tree_np(x, y, 1)
    assert caught.value.args == (CUT,)
    assert capfd.readouterr().out == shape_lines(10, cols, 8)


@pytest.mark.parametrize("shape", [(0, 5), (0, 0)])
def test_feature_array_without_rows_prints_nothing(shape, capfd):
    with pytest.raises(BaseException) as caught:
        train_tree_np(np.zeros(shape, np.float32), np.zeros(3, np.uint32), 1)
    assert type(caught.value).__qualname__ == "PanicException"
    assert caught.value.args == ("index out of bounds: the len is 0 but the index is 0",)
    assert capfd.readouterr().out == ""


def test_empty_label_vector_is_accepted(capfd):
    # One row trains on nothing, so whatever the learner makes of that, both lines come first.
    with pytest.raises(BaseException) as caught:
        train_tree_np(np.zeros((1, 2), np.float32), np.zeros(0, np.uint32), 1)
    assert type(caught.value).__qualname__ == "PanicException"
    assert capfd.readouterr().out == "Shape of x matrix (1, 2)\nShape of y (0,)\n"


def test_output_bypasses_sys_stdout(capfd):
    import contextlib
    import io

    redirected = io.StringIO()
    with contextlib.redirect_stdout(redirected), pytest.raises(BaseException):
        train_tree_np(X, Y8, 1)
    assert redirected.getvalue() == ""
    assert capfd.readouterr().out == shape_lines(10, 2, 8)


def test_arrays_are_not_modified():
    x = np.arange(20, dtype=np.float32).reshape(10, 2)
    y = np.arange(8, dtype=np.uint32)
    before = (x.copy(), y.copy())
    with pytest.raises(BaseException):
        train_tree_np(x, y, 1)
    assert np.array_equal(x, before[0]) and np.array_equal(y, before[1])


CAPSULE = "Failed to access NumPy array API capsule: "


class TestApiTable:
    def test_missing_numpy_is_a_panic_and_is_retried(self):
        outcome = run_snippet(
            """
            import sys
            sys.modules["numpy"] = None
            try:
                import numpy.core.multiarray
            except ImportError as error:
                expected = repr(error)
            import lindorf._lindorf as module
            failures = []
            for attempt in range(2):
                try:
                    module.train_tree_np([], [], 1)
                except BaseException as error:
                    failures.append((type(error).__qualname__, error.args))
            del sys.modules["numpy"]
            import numpy
            try:
                module.train_tree_np([], [], 1)
            except BaseException as error:
                failures.append((type(error).__qualname__, error.args))
            result = (expected, failures)
            """,
            prelude=False,
        )
        assert outcome.error is None, outcome.error
        expected, failures = eval(outcome.result)
        assert expected.startswith("ModuleNotFoundError(")
        panic = ("PanicException", (CAPSULE + expected,))
        # Nothing is kept after a failure: the next call tries again, and succeeds once NumPy
        # can be imported, reaching the ordinary type check.
        assert failures == [
            panic,
            panic,
            ("TypeError", ("argument 'x_py': 'list' object cannot be converted to 'PyArray<T, D>'",)),
        ]
        diagnostics = outcome.stderr.splitlines()
        assert len(diagnostics) == 2
        assert all(line.endswith(": " + CAPSULE + expected) for line in diagnostics)
        assert outcome.stdout == ""

    @pytest.mark.parametrize(
        "setup, expected",
        [
            # numpy._core.multiarray exists but holds no capsule.
            ("core.multiarray._ARRAY_API = 42", "TypeError(\"_ARRAY_API is a 'int' object, not a capsule\")"),
            ("pass", "AttributeError(\"module 'numpy._core.multiarray' has no attribute '_ARRAY_API'\")"),
            # Without numpy._core, numpy.core.multiarray is asked instead.
            ("sys.modules['numpy._core.multiarray'] = None; legacy._ARRAY_API = 'text'",
             "TypeError(\"_ARRAY_API is a 'str' object, not a capsule\")"),
        ],
        ids=["not_a_capsule", "no_attribute", "fallback_not_a_capsule"],
    )
    def test_unusable_numpy(self, setup, expected):
        outcome = run_snippet(
            f"""
            import sys, types
            def package(name):
                module = types.ModuleType(name)
                module.__path__ = []
                sys.modules[name] = module
                return module
            package("numpy"), package("numpy._core"), package("numpy.core")
            core = types.SimpleNamespace(multiarray=types.ModuleType("numpy._core.multiarray"))
            legacy = types.ModuleType("numpy.core.multiarray")
            sys.modules["numpy._core.multiarray"] = core.multiarray
            sys.modules["numpy.core.multiarray"] = legacy
            {setup}
            import lindorf._lindorf as module
            module.train_tree_np(None, None, None)
            """,
            prelude=False,
        )
        assert outcome.panic == CAPSULE + expected

    def test_legacy_module_alone_serves_the_table(self):
        # Real NumPy, but reached only through numpy.core.multiarray.
        outcome = run_snippet(
            """
            import sys, types
            import numpy as np
            from numpy._core import multiarray
            legacy = types.ModuleType("numpy.core.multiarray")
            legacy._ARRAY_API = multiarray._ARRAY_API
            sys.modules["numpy._core.multiarray"] = None
            sys.modules["numpy.core.multiarray"] = legacy
            import lindorf._lindorf as module
            module.train_tree_np(np.zeros((10, 2), np.float32), np.zeros(8, np.uint32), 1)
            """,
            prelude=False,
        )
        assert outcome.panic == CUT
        assert outcome.stdout == shape_lines(10, 2, 8)

    def test_warnings_as_errors(self):
        outcome = run_snippet(
            "train_tree_np(np.zeros((10, 2), np.float32), np.zeros(8, np.uint32), 1)",
            python_args=("-W", "error"),
        )
        assert outcome.panic == CUT
        assert outcome.stdout == shape_lines(10, 2, 8)
