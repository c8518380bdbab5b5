"""Decision trees, as ``sklearn.tree`` offers them, and the functions that print and draw them.

The estimators need scikit-learn and are imported on first use, so that what needs NumPy alone
stays usable without it: ``export_text`` and ``export_graphviz`` need NumPy alone, ``plot_tree``
matplotlib.
"""

_NAMES = {"DecisionTreeClassifier": "lindorf.tree._classes",
          "ExtraTreeClassifier": "lindorf.tree._classes",
          "DecisionTreeRegressor": "lindorf.tree._classes",
          "ExtraTreeRegressor": "lindorf.tree._classes",
          "export_text": "lindorf._export",
          "export_graphviz": "lindorf._export",
          "plot_tree": "lindorf._export"}

__all__ = sorted(_NAMES)


def __getattr__(name):
    if name in _NAMES:
        import importlib

        return getattr(importlib.import_module(_NAMES[name]), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(__all__))
