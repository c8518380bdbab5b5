"""The estimators under the import path that lindorf 0.1 gave them, kept so that scripts and
pickles written then keep working; new code imports from ``lindorf.tree`` and
``lindorf.ensemble``."""

from lindorf._distributed import ClusterFitError
from lindorf.ensemble._forest import (ExtraTreesClassifier, ExtraTreesRegressor,
                                     RandomForestClassifier, RandomForestRegressor)
from lindorf.tree._classes import (DecisionTreeClassifier, DecisionTreeRegressor,
                                   ExtraTreeClassifier, ExtraTreeRegressor)

__all__ = ["DecisionTreeClassifier", "RandomForestClassifier", "ClusterFitError", "load",
           "from_bytes"]

_KINDS = {cls.__name__: cls for cls in (DecisionTreeClassifier, ExtraTreeClassifier,
                                         RandomForestClassifier, ExtraTreesClassifier,
                                         DecisionTreeRegressor, ExtraTreeRegressor,
                                         RandomForestRegressor, ExtraTreesRegressor)}


def load(path):
    """The estimator (any tree or forest) saved at `path`."""
    from lindorf import _model_file

    return from_bytes(_model_file.read(path))


def from_bytes(data):
    """The estimator (any tree or forest) saved in `data`."""
    from lindorf import _learner

    model = _learner.Model.from_bytes(data)
    return _KINDS[model.kind]._from_model(model)
