#!/usr/bin/env bash
# The main job from a clean clone: sets up .venv (scripts/setup.sh, quietly) and runs the lindorf
# command with the given arguments; with none, a 100-tree forest on the built-in breast-cancer data.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >&2
exec .venv/bin/python -m lindorf "$@"
