"""The module's surface: attributes, signatures, argument binding and conversion, the guard."""

import inspect
import sys

import numpy as np
import pytest

import lindorf._lindorf as module
from conftest import run_snippet, shape_lines
from lindorf._lindorf import train_forest_np, train_tree_np

X = np.zeros((10, 2), dtype=np.float32)
Y = np.zeros(10, dtype=np.uint32)


def probe_still_usable(capfd):
    """A call that converts, prints and cuts, failing deterministically at the cut."""
    with pytest.raises(BaseException) as caught:
        train_tree_np(X, np.zeros(8, dtype=np.uint32), 1)
    assert type(caught.value).__qualname__ == "PanicException"
    assert caught.value.args == ("range end index 9 out of range for slice of length 8",)
    assert capfd.readouterr().out == shape_lines(10, 2, 8)


class TestSurface:
    def test_module_attributes(self):
        assert module.__name__ == "lindorf._lindorf"
        assert module.__doc__ == ""
        assert module.__all__ == ["train_tree_np", "train_forest_np"]
        assert type(module.__all__) is list

    @pytest.mark.parametrize(
        "function, signature",
        [
            (train_tree_np, "(x_py, y_py, max_depth)"),
            (train_forest_np, "(x_py, y_py, max_depth, n_trees)"),
        ],
    )
    def test_functions_are_builtins_bound_to_the_module(self, function, signature):
        assert type(function).__name__ == "builtin_function_or_method"
        assert function.__self__ is module
        assert function.__module__ == "lindorf._lindorf"
        assert function.__doc__ is None
        assert function.__text_signature__ == signature
        assert str(inspect.signature(function)) == signature
        kinds = {p.kind for p in inspect.signature(function).parameters.values()}
        assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
        assert all(
            p.default is inspect.Parameter.empty
            for p in inspect.signature(function).parameters.values()
        )

    def test_package_reexports_the_functions(self):
        import lindorf

        assert lindorf.train_tree_np is train_tree_np
        assert lindorf.train_forest_np is train_forest_np


TREE = "train_tree_np"
FOREST = "train_forest_np"
x, y = X, Y  # short names for the tables below


# (function, positional args, keyword args, message). Binding happens before any conversion, so
# placeholder values such as None never reach the array checks.
BINDING_FAILURES = [
    (TREE, (x, y), {}, "train_tree_np() missing 1 required positional argument: 'max_depth'"),
    (TREE, (x,), {}, "train_tree_np() missing 2 required positional arguments: 'y_py' and 'max_depth'"),
    (TREE, (), {}, "train_tree_np() missing 3 required positional arguments: 'x_py', 'y_py', and 'max_depth'"),
    (TREE, (), {"max_depth": 1}, "train_tree_np() missing 2 required positional arguments: 'x_py' and 'y_py'"),
    (TREE, (), {"y_py": y}, "train_tree_np() missing 2 required positional arguments: 'x_py' and 'max_depth'"),
    (FOREST, (), {}, "train_forest_np() missing 4 required positional arguments: 'x_py', 'y_py', 'max_depth', and 'n_trees'"),
    (FOREST, (x, y, 3), {}, "train_forest_np() missing 1 required positional argument: 'n_trees'"),
    (FOREST, (x,), {"n_trees": 1}, "train_forest_np() missing 2 required positional arguments: 'y_py' and 'max_depth'"),
    (FOREST, (None,), {}, "train_forest_np() missing 3 required positional arguments: 'y_py', 'max_depth', and 'n_trees'"),
    (TREE, (x, y, 3, 4), {}, "train_tree_np() takes 3 positional arguments but 4 were given"),
    (TREE, (1, 2, 3, 4, 5, 6), {"bogus": 1}, "train_tree_np() takes 3 positional arguments but 6 were given"),
    (FOREST, (x, y, 3, 4, 5), {}, "train_forest_np() takes 4 positional arguments but 5 were given"),
    (TREE, (x, y, 3), {"max_depth": 4}, "train_tree_np() got multiple values for argument 'max_depth'"),
    (TREE, (x,), {"x_py": x}, "train_tree_np() got multiple values for argument 'x_py'"),
    (FOREST, (x, y, 1, 2), {"n_trees": 2}, "train_forest_np() got multiple values for argument 'n_trees'"),
    (TREE, (x, y), {"depth": 3}, "train_tree_np() got an unexpected keyword argument 'depth'"),
    (TREE, (), {"n_trees": 3}, "train_tree_np() got an unexpected keyword argument 'n_trees'"),
    (FOREST, (x, y, 1, 1), {"x": 1}, "train_forest_np() got an unexpected keyword argument 'x'"),
    (TREE, (x, y), {"Max_depth": 3}, "train_tree_np() got an unexpected keyword argument 'Max_depth'"),
    (TREE, (x, y), {"max_depthé": 3}, "train_tree_np() got an unexpected keyword argument 'max_depthé'"),
    # Keywords are checked in the order given, and before anything is found missing.
    (TREE, (x,), {"x_py": x, "depth": 1}, "train_tree_np() got multiple values for argument 'x_py'"),
    (TREE, (x,), {"depth": 1, "x_py": x}, "train_tree_np() got an unexpected keyword argument 'depth'"),
    (TREE, (), {"max_depth": 1, "y_py": y, "z": 0}, "train_tree_np() got an unexpected keyword argument 'z'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_FAILURES)
def test_binding_failures(name, args, kwargs, message, capfd):
    function = getattr(module, name)
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)
    assert capfd.readouterr().out == ""
    probe_still_usable(capfd)


class Index:
    """An object whose integer value comes only from __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexRaising:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class TypeErrorSubclass(TypeError):
    pass


def chained_type_error():
    try:
        raise ValueError("root cause")
    except ValueError as cause:
        error = TypeError("index refused")
        error.__cause__ = cause
        return error


INTEGER_FAILURES = [
    # (value, exception type, message, message of __cause__ or None)
    (3.0, TypeError, "argument 'NAME': 'float' object cannot be interpreted as an integer", None),
    ("3", TypeError, "argument 'NAME': 'str' object cannot be interpreted as an integer", None),
    (None, TypeError, "argument 'NAME': 'NoneType' object cannot be interpreted as an integer", None),
    (np.float32(2), TypeError, "argument 'NAME': 'numpy.float32' object cannot be interpreted as an integer", None),
    (Index("7"), TypeError, "argument 'NAME': __index__ returned non-int (type str)", None),
    (IndexRaising(chained_type_error()), TypeError, "argument 'NAME': index refused", "root cause"),
    (-1, OverflowError, "out of range integral type conversion attempted", None),
    (-(2**40), OverflowError, "out of range integral type conversion attempted", None),
    (2**32, OverflowError, "out of range integral type conversion attempted", None),
    (2**63 - 1, OverflowError, "out of range integral type conversion attempted", None),
    (Index(-5), OverflowError, "out of range integral type conversion attempted", None),
    (np.int64(-1), OverflowError, "out of range integral type conversion attempted", None),
    (2**63, OverflowError, "Python int too large to convert to C long", None),
    (-(2**63) - 1, OverflowError, "Python int too large to convert to C long", None),
    # Not exactly TypeError, so not renamed.
    (IndexRaising(ValueError("no value")), ValueError, "no value", None),
    (IndexRaising(TypeErrorSubclass("subclass")), TypeErrorSubclass, "subclass", None),
]


@pytest.mark.parametrize("value, kind, message, cause", INTEGER_FAILURES)
@pytest.mark.parametrize("name", ["max_depth", "n_trees"])
def test_integer_failures(name, value, kind, message, cause, capfd):
    args = {"x_py": X, "y_py": Y, "max_depth": 1, "n_trees": 1}
    args[name] = value
    with pytest.raises(BaseException) as caught:
        train_forest_np(**args)
    assert type(caught.value) is kind
    assert str(caught.value) == message.replace("NAME", name)
    if cause is None:
        assert caught.value.__cause__ is None
    else:
        assert type(caught.value.__cause__) is ValueError
        assert str(caught.value.__cause__) == cause
    assert capfd.readouterr().out == ""
    probe_still_usable(capfd)


@pytest.mark.parametrize(
    "value", [0, 1, True, False, 2**32 - 1, np.uint8(5), np.int64(2**32 - 1), Index(4)]
)
def test_integers_in_range_are_accepted(value, capfd):
    # With 8 labels for 10 rows the call gets as far as the cut, past every conversion.
    for call in (
        lambda: train_tree_np(X, Y[:8], value),
        lambda: train_forest_np(X, Y[:8], value, value),
    ):
        with pytest.raises(BaseException) as caught:
            call()
        assert str(caught.value) == "range end index 9 out of range for slice of length 8"
    assert capfd.readouterr().out == shape_lines(10, 2, 8) * 2


def test_arguments_are_converted_in_parameter_order(capfd):
    cases = [
        # Only the first bad argument is reported, and nothing is printed.
        ((None, None, -1, -1), "argument 'x_py': 'NoneType' object cannot be converted to 'PyArray<T, D>'"),
        ((X, [], 2.5, -1), "argument 'y_py': 'list' object cannot be converted to 'PyArray<T, D>'"),
        ((X, Y, 2.5, "many"), "argument 'max_depth': 'float' object cannot be interpreted as an integer"),
        ((X, Y, 1, "many"), "argument 'n_trees': 'str' object cannot be interpreted as an integer"),
    ]
    for args, message in cases:
        with pytest.raises(TypeError) as caught:
            train_forest_np(*args)
        assert str(caught.value) == message
    assert capfd.readouterr().out == ""


def test_keyword_call_behaves_as_positional_call(capfd):
    outcomes = []
    for call in (
        lambda: train_tree_np(X, Y[:8], 3),
        lambda: train_tree_np(max_depth=3, y_py=Y[:8], x_py=X),
        lambda: train_tree_np(X, max_depth=3, y_py=Y[:8]),
    ):
        with pytest.raises(BaseException) as caught:
            call()
        outcomes.append((type(caught.value), caught.value.args, capfd.readouterr().out))
    assert outcomes[0][2] == shape_lines(10, 2, 8)
    assert outcomes[1] == outcomes[0]
    assert outcomes[2] == outcomes[0]


class TestPanicException:
    def test_type_and_args(self):
        outcome = run_snippet(
            """
            try:
                train_tree_np(np.zeros((0, 5), np.float32), np.zeros(0, np.uint32), 1)
            except Exception:
                result = "caught by except Exception"
            """
        )
        assert outcome.result is None
        assert outcome.error == {
            "module": "pyo3_runtime",
            "qualname": "PanicException",
            "message": "index out of bounds: the len is 0 but the index is 0",
            "args": ["index out of bounds: the len is 0 but the index is 0"],
            "cause": None,
            "is_exception": False,
        }

    def test_one_type_derived_from_base_exception(self):
        outcome = run_snippet(
            """
            panics = []
            for rows in (0, 10):
                try:
                    train_tree_np(np.zeros((rows, 1), np.float32), np.zeros(8, np.uint32), 1)
                except BaseException as error:
                    panics.append(type(error))
            result = (panics[0] is panics[1], panics[0].__bases__ == (BaseException,),
                      panics[0].__name__, panics[0].__module__)
            """
        )
        assert outcome.error is None
        assert outcome.result == "(True, True, 'PanicException', 'pyo3_runtime')"

    def test_diagnostic_names_the_source_location(self):
        outcome = run_snippet(
            """
            train_tree_np(np.zeros((10, 1), np.float32), np.zeros(8, np.uint32), 1)
            """
        )
        assert outcome.panic == "range end index 9 out of range for slice of length 8"
        lines = outcome.stderr.splitlines()
        assert len(lines) == 1
        assert lines[0].startswith("lindorf: internal failure at ")
        assert lines[0].endswith(": range end index 9 out of range for slice of length 8")
        location = lines[0].split(" at ", 1)[1].split(": ", 1)[0]
        path, line = location.rsplit(":", 1)
        assert path.endswith(".cpp") and int(line) > 0


class TestGuard:
    def test_exhausted_memory_is_memory_error(self):
        # A broadcast view describes 2**50 values without holding them: copying it cannot be
        # allocated, and that must surface as MemoryError, not as a crash.
        outcome = run_snippet(
            """
            x = np.broadcast_to(np.float32(1), (2**40, 2**10))
            train_tree_np(x, np.zeros(3, np.uint32), 1)
            """
        )
        assert outcome.returncode == 0
        assert outcome.error["qualname"] == "MemoryError"
        assert outcome.stdout == ""


class TestInitialisation:
    def test_reimport_yields_the_same_module_object(self):
        outcome = run_snippet(
            """
            import importlib, sys
            first = sys.modules.pop("lindorf._lindorf")
            second = importlib.import_module("lindorf._lindorf")
            result = (first is second, second.__all__, second.train_tree_np.__self__ is second)
            """
        )
        assert outcome.error is None
        assert outcome.result == "(True, ['train_tree_np', 'train_forest_np'], True)"

    def test_second_interpreter_gets_import_error(self, tmp_path):
        pytest.importorskip("_xxsubinterpreters")
        report = tmp_path / "sub.txt"
        # A legacy (non-isolated) interpreter lets the import reach the module's own check.
        outcome = run_snippet(
            f"""
            import _xxsubinterpreters as interpreters
            sub = interpreters.create(isolated=False)
            interpreters.run_string(sub, '''
            try:
                import lindorf._lindorf
                outcome = "imported"
            except ImportError as error:
                outcome = "ImportError: " + str(error)
            with open({str(report)!r}, "w") as f:
                f.write(outcome)
            ''')
            interpreters.destroy(sub)
            result = train_tree_np.__self__ is lindorf_module
            """
        )
        assert outcome.error is None, outcome.error
        assert outcome.result == "True"
        # The interpreter's own refusal says "subinterpreters"; this is the module's.
        assert report.read_text() == (
            "ImportError: lindorf._lindorf cannot be loaded in a sub-interpreter: "
            "it supports only the interpreter that first imported it"
        )
