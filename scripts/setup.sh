#!/usr/bin/env bash
# Prepares a working environment from a clean clone: a Python 3.12 virtual environment in .venv
# with the build tools, the test and benchmark dependencies, and lindorf itself built and
# installed into it. Safe to run again; later runs rebuild only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

find_python() {
    local candidate
    for candidate in python3.12 "$(pyenv root 2>/dev/null)/versions/"3.12*/bin/python3.12 \
                     /root/.pyenv/versions/3.12*/bin/python3.12 /usr/bin/python3.12; do
        if [ -x "$(command -v "$candidate" 2>/dev/null)" ]; then
            command -v "$candidate"
            return 0
        fi
    done
    return 1
}

export PIP_DISABLE_PIP_VERSION_CHECK=1
if [ ! -x .venv/bin/python ]; then
    python=$(find_python) || {
        echo "lindorf needs Python 3.12: install it (for example 'pyenv install 3.12') and run again" >&2
        exit 1
    }
    "$python" -m venv .venv
    # Once, for the new environment: on later runs it would ask the package index every time.
    .venv/bin/python -m pip install -q --upgrade pip
fi

# The build tools and the test extra of pyproject.toml: the tests run every tool of the tree
# ecosystem (shap, skl2onnx with onnxruntime, matplotlib, dtreeviz, treelite) on lindorf's
# exported models, on the scikit-learn version its tree state is tested with.
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "numpy>=1.26" "nanobind>=2.4" \
    "cmake>=3.24" ninja "pytest>=8" "scikit-learn>=1.9,<1.10" "pandas>=2" \
    "dask[array,dataframe,distributed]>=2025.1" "shap>=0.46" "skl2onnx>=1.19" "onnx>=1.16" \
    "onnxruntime>=1.20" "matplotlib>=3.8" "dtreeviz>=2.2" "treelite>=4.4"
# Built against the environment's NumPy, without an isolated build environment, so that repeated
# runs reuse the build directory.
.venv/bin/python -m pip install -q --no-build-isolation --no-deps .
