"""The ``lindorf`` command (``python -m lindorf``): reading data files, training, predicting and
describing models, on NumPy and the learner layer alone (never scikit-learn)."""

from lindorf.cli.main import main

__all__ = ["main"]
