"""The module's surface: attributes, argument binding, refused arrays, integer conversion, PanicException and
the initialisation guard (a re-import, and a new interpreter in one process, are tested by
test_embedding.py)."""

import inspect

import numpy as np
import pytest

import lindorf
import lindorf._lindorf as module
from conftest import CUT, NOT_AN_ARRAY, finished, report_lines, run_snippet, shape_lines
from lindorf._lindorf import train_forest_np, train_tree_np

x = np.zeros((10, 2), dtype=np.float32)
y = np.zeros(10, dtype=np.uint32)
Y8 = y[:8]
EMPTY = "index out of bounds: the len is 0 but the index is 0"
OUT_OF_RANGE = "out of range integral type conversion attempted"


def assert_reaches_the_cut(capfd, call=lambda: train_tree_np(x, Y8, 1)):
    """8 labels for 10 rows: a call that converts everything prints both shape lines and then
    fails at the train/test cut, which also shows the module is still usable."""
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value).__qualname__ == "PanicException"
    assert caught.value.args == (CUT,)
    assert capfd.readouterr().out == shape_lines(10, 2, 8)


def test_module_attributes():
    assert module.__doc__ == ""
    assert module.__all__ == ["train_tree_np", "train_forest_np"]
    assert (lindorf.train_tree_np, lindorf.train_forest_np) == (train_tree_np, train_forest_np)
    for function, signature in [(train_tree_np, "(x_py, y_py, max_depth)"),
                                (train_forest_np, "(x_py, y_py, max_depth, n_trees)")]:
        assert function.__self__ is module
        assert function.__module__ == "lindorf._lindorf"
        assert function.__doc__ is None
        parameters = inspect.signature(function).parameters.values()
        assert str(inspect.signature(function)) == signature
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters)


class Outer:
    class Inner:
        pass


# (argument name, value, message after "argument 'NAME': ")
ACCEPTANCE_FAILURES = [
    ("x_py", [[1.0, 2.0]], f"'list' {NOT_AN_ARRAY}"),
    ("x_py", Outer.Inner(), f"'Outer.Inner' {NOT_AN_ARRAY}"),  # the type's qualified name
    ("y_py", [1, 0, 1], f"'list' {NOT_AN_ARRAY}"),
    ("x_py", np.zeros(3, np.float32), "dimensionality mismatch:\n from=1, to=2"),
    ("x_py", np.zeros(3, np.float64), "dimensionality mismatch:\n from=1, to=2"),  # before type
    ("y_py", np.zeros((3, 1), np.uint32), "dimensionality mismatch:\n from=2, to=1"),
    ("x_py", np.zeros((3, 2), np.float64), "type mismatch:\n from=float64, to=float32"),
    ("x_py", np.zeros((3, 2), np.int32), "type mismatch:\n from=int32, to=float32"),
    ("x_py", np.zeros((3, 2), ">f4"), "type mismatch:\n from=>f4, to=float32"),
    ("y_py", np.array([1, 0, 1], np.int64), "type mismatch:\n from=int64, to=uint32"),
    ("y_py", np.zeros(3, np.int32), "type mismatch:\n from=int32, to=uint32"),
]


TREE, FOREST = "train_tree_np", "train_forest_np"
# (function, positional args, keyword args, message); binding comes before any conversion.
BINDING_FAILURES = [
    (TREE, (x, y), {}, "missing 1 required positional argument: 'max_depth'"),
    (TREE, (x,), {}, "missing 2 required positional arguments: 'y_py' and 'max_depth'"),
    (TREE, (), {"y_py": y}, "missing 2 required positional arguments: 'x_py' and 'max_depth'"),
    (TREE, (), {}, "missing 3 required positional arguments: 'x_py', 'y_py', and 'max_depth'"),
    (FOREST, (), {}, "missing 4 required positional arguments: "
                     "'x_py', 'y_py', 'max_depth', and 'n_trees'"),
    (TREE, (1, 2, 3, 4, 5, 6), {"bogus": 1}, "takes 3 positional arguments but 6 were given"),
    (FOREST, (x, y, 3, 4, 5), {}, "takes 4 positional arguments but 5 were given"),
    (TREE, (x, y, 3), {"max_depth": 4}, "got multiple values for argument 'max_depth'"),
    (TREE, (x, y), {"depth": 3}, "got an unexpected keyword argument 'depth'"),
    (TREE, (), {"n_trees": 3}, "got an unexpected keyword argument 'n_trees'"),
    # Keywords are checked in the order given, and before anything is found missing.
    (TREE, (x,), {"x_py": x, "depth": 1}, "got multiple values for argument 'x_py'"),
    (TREE, (x,), {"depth": 1, "x_py": x}, "got an unexpected keyword argument 'depth'"),
    (TREE, (), {"max_depth": 1, "y_py": y, "z": 0}, "got an unexpected keyword argument 'z'"),
]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class TypeErrorSubclass(TypeError):
    pass


def chained_type_error():
    error = TypeError("index refused")
    error.__cause__ = ValueError("root cause")
    return error


# (value, exception type, message with NAME for the argument, message of __cause__ or None)
INTEGER_FAILURES = [
    (3.0, TypeError, "argument 'NAME': 'float' object cannot be interpreted as an integer", None),
    (Index("7"), TypeError, "argument 'NAME': __index__ returned non-int (type str)", None),
    # A renamed TypeError keeps the original's __cause__.
    (Index(chained_type_error()), TypeError, "argument 'NAME': index refused", "root cause"),
    (-1, OverflowError, OUT_OF_RANGE, None),
    (2**32, OverflowError, OUT_OF_RANGE, None),
    (2**63, OverflowError, "Python int too large to convert to C long", None),
    # Only an exact TypeError is renamed.
    (Index(ValueError("no value")), ValueError, "no value", None),
    (Index(TypeErrorSubclass("subclass")), TypeErrorSubclass, "subclass", None),
]


# (call, exception type, its one argument, the message of its __cause__ or None). Arguments are
# bound first, then converted in order: a bad value after a bad one is never reached.
REFUSALS = [
    *((lambda n=name, v=value: train_tree_np(
        **{"x_py": x, "y_py": None if n == "x_py" else Y8, "max_depth": -1, n: v}),
       TypeError, f"argument '{name}': {message}", None)
      for name, value, message in ACCEPTANCE_FAILURES),
    *((lambda f=function, a=args, k=kwargs: getattr(module, f)(*a, **k), TypeError,
       f"{function}() {message}", None) for function, args, kwargs, message in BINDING_FAILURES),
    *((lambda n=name, v=value: train_forest_np(
        **{"x_py": x, "y_py": y, "max_depth": 1, "n_trees": "many", n: v}),
       kind, message.replace("NAME", name), cause)
      for name in ("max_depth", "n_trees") for value, kind, message, cause in INTEGER_FAILURES),
]


@pytest.mark.parametrize("call, kind, message, cause", REFUSALS, ids=[r[2] for r in REFUSALS])
def test_refused_arguments_print_nothing_and_leave_the_module_usable(call, kind, message, cause,
                                                                      capfd):
    with pytest.raises(BaseException) as caught:
        call()
    assert (type(caught.value), caught.value.args) == (kind, (message,))
    assert (caught.value.__cause__ and str(caught.value.__cause__)) == cause
    assert capfd.readouterr().out == ""
    assert_reaches_the_cut(capfd)


@pytest.mark.parametrize("value", [0, True, 2**32 - 1, np.uint8(5), Index(4)])
def test_integers_in_range_are_accepted(value, capfd):
    assert_reaches_the_cut(capfd, lambda: train_tree_np(max_depth=value, y_py=Y8, x_py=x))
    assert_reaches_the_cut(capfd, lambda: train_forest_np(x, Y8, value, value))


def test_panic_exception(capfd):
    errors = []
    for shape in ((0, 5), (10, 2)):  # with no rows the column count cannot even be read
        try:
            train_tree_np(np.zeros(shape, np.float32), Y8, 1)
        except Exception:
            pytest.fail("a PanicException was caught by 'except Exception'")
        except BaseException as error:
            errors.append(error)
    kind = type(errors[0])
    assert type(errors[1]) is kind
    assert (kind.__module__, kind.__qualname__, kind.__bases__) == (
        "pyo3_runtime", "PanicException", (BaseException,))
    assert [error.args for error in errors] == [(EMPTY,), (CUT,)]
    captured = capfd.readouterr()
    assert captured.out == shape_lines(10, 2, 8)
    diagnostics = captured.err.splitlines()
    assert len(diagnostics) == 2
    for line, message in zip(diagnostics, (EMPTY, CUT)):
        prefix, _, location = line.removesuffix(": " + message).partition(" at ")
        path, number = location.rsplit(":", 1)
        assert prefix == "lindorf: internal failure" and line.endswith(": " + message)
        assert path.endswith(".cpp") and int(number) > 0, line


def test_exhausted_memory_is_memory_error_and_the_module_stays_usable():
    # A broadcast view describes 2**50 values without holding them; copying it cannot succeed.
    printed = finished("""
        try:
            train_tree_np(np.broadcast_to(np.float32(1), (2**40, 2**10)), np.zeros(3, np.uint32), 1)
        except MemoryError:
            result = train_tree_np(np.zeros((10, 1), np.float32), np.ones(10, np.uint32), 0)
        """)
    assert printed == shape_lines(10, 1, 10) + "Tree depth: 0\n" + report_lines("1", "1", "1", "1")


def test_second_interpreter_gets_import_error():
    pytest.importorskip("_xxsubinterpreters")
    # A legacy (non-isolated) interpreter lets the import reach the module's own check; the
    # interpreter's own refusal would mention "subinterpreters" instead.
    outcome = run_snippet(
        """
        import _xxsubinterpreters as interpreters
        sub = interpreters.create(isolated=False)
        try:
            interpreters.run_string(sub, "import lindorf._lindorf")
        except interpreters.RunFailedError as error:
            result = (str(error), train_tree_np.__self__ is lindorf_module)
        interpreters.destroy(sub)
        """
    )
    assert outcome.result == repr((
        "<class 'ImportError'>: lindorf._lindorf cannot be loaded in a sub-interpreter: "
        "it supports only the interpreter that first imported it", True))
