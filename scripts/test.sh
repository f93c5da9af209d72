#!/usr/bin/env bash
# Runs the whole test suite: the C++ kernel tests (ctest) and the Python
# tests (pytest, one process per CPU), after setting up the environment
# (and rebuilding the extension from the current C++ sources) when needed.
# Extra arguments are passed to pytest: `scripts/test.sh -m "not slow"`
# leaves out the genome-scale cases, `-n 0` runs in this process only.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake_bin=$(command -v cmake || echo .venv/bin/cmake)
[ -x .venv/bin/cmake ] && cmake_bin=.venv/bin/cmake
echo "== C++ kernel tests"
"$cmake_bin" -S . -B build/cpp -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON \
    -DQUELMAR_WERROR=ON -DQUELMAR_CONVERSION_WARNINGS=ON >/dev/null
"$cmake_bin" --build build/cpp -j2 >/dev/null
ctest --test-dir build/cpp --output-on-failure -j2 | tail -n 3

echo "== Python tests"
.venv/bin/python -m pytest -q -n auto "$@"
