#!/usr/bin/env bash
# Runs the whole test suite: the C++ kernel tests (ctest) and the Python
# tests (pytest), after setting up the environment when needed.
# Extra arguments are passed to pytest.
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
.venv/bin/python -m pytest -q "$@"
