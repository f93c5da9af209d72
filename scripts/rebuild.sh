#!/usr/bin/env bash
# Rebuilds the compiled core of the editable install in .venv from the
# current C++ sources (an import of quelmar does not: see
# src/quelmar/devbuild.py).  scripts/setup.sh, and so scripts/test.sh and
# CI, run it every time; run it yourself after changing a C++ source, or set
# QUELMAR_REBUILD=1 for a command.
set -euo pipefail
cd "$(dirname "$0")/.."
exec .venv/bin/python -m quelmar.devbuild
