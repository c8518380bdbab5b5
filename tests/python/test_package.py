"""The package's shape: where each name is found, what needs scikit-learn, and no import
circles."""

import ast
from pathlib import Path

import pytest

import lindorf
import lindorf.ensemble
import lindorf.tree
from conftest import run_snippet

PACKAGE = Path(lindorf.__file__).parent


def module_name(path):
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def imports_of(path, modules):
    """The package's modules that `path` imports anywhere in its code (lazy imports in functions
    included), leaving out the packages that Python imports on the way to a submodule."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            found |= {alias.name for alias in node.names}
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            found |= {f"{node.module}.{alias.name}" if f"{node.module}.{alias.name}" in modules
                      else node.module for alias in node.names}
    this = module_name(path)
    return {name for name in found & modules if not this.startswith(name + ".") and name != this}


def test_no_module_of_the_package_imports_itself_through_others():
    paths = {module_name(p): p for p in PACKAGE.rglob("*.py")}
    graph = {name: imports_of(path, set(paths)) for name, path in paths.items()}

    def reaches(start, target, seen):
        for nxt in graph[start] - seen:
            if nxt == target or reaches(nxt, target, seen | {nxt}):
                return True
        return False

    circles = sorted(name for name in graph if reaches(name, name, set()))
    assert not circles, {name: sorted(graph[name]) for name in circles}
    assert "lindorf.ensemble._forest" in graph["lindorf.estimators"]  # the walk sees imports


def test_estimators_are_the_same_under_every_import_path():
    from lindorf import estimators, tree, ensemble

    for name, home in (("DecisionTreeClassifier", tree), ("RandomForestClassifier", ensemble)):
        cls = getattr(home, name)
        assert cls is getattr(lindorf, name) is getattr(estimators, name)
        assert cls.__module__ == home.__name__ and name in dir(home)


@pytest.mark.parametrize("missing, call, extra", [
    # The package, the command and the printed trees need no scikit-learn; the estimators do.
    ("sklearn", "import lindorf.ensemble, lindorf.cli\n"
                "from lindorf._export import export_text, export_graphviz\n"
                "from lindorf._nodes import NodeTable\n"
                "model = _learner.fit('DecisionTreeClassifier', dict(criterion='entropy', "
                "max_depth=2, min_samples_split=3, min_samples_leaf=1, max_features=None, "
                "random_state=None), x, y)\n"
                "print(export_text(NodeTable(model.native)), export_graphviz(NodeTable("
                "model.native))[:7], flush=True)\nlindorf.tree.DecisionTreeClassifier",
     "pip install 'lindorf[sklearn]'"),
    ("matplotlib", "lindorf.tree.plot_tree(lindorf.DecisionTreeClassifier().fit(x, y))",
     "lindorf[plot]"),
    ("onnx", "lindorf.to_onnx(lindorf.DecisionTreeClassifier().fit(x, y))", "lindorf[onnx]"),
])
def test_what_each_tool_needs_and_the_extra_that_brings_it(missing, call, extra):
    outcome = run_snippet(
        f"import sys\nsys.modules[{missing!r}] = None  # as if not installed\n"
        "import numpy as np, lindorf, lindorf.tree\nfrom lindorf import _learner\n"
        "x = np.arange(40, dtype=np.float32).reshape(20, 2); y = np.arange(20) % 2\n" + call,
        prelude=False)
    assert outcome.error[0] == "ImportError" and extra in outcome.error[1]
    printed = "|--- feature_" in outcome.stdout and "digraph" in outcome.stdout
    assert printed == (missing == "sklearn"), outcome.stdout


@pytest.mark.parametrize("module", [lindorf, lindorf.tree, lindorf.ensemble])
def test_unknown_names_raise_attribute_error(module):
    with pytest.raises(AttributeError, match="no attribute 'Nothing'"):
        module.Nothing  # noqa: B018
