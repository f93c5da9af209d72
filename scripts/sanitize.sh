#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer run: the C++ kernel tests and
# the Python suite against an instrumented build of the extension.
# Extra arguments are passed to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake_bin=cmake
[ -x .venv/bin/cmake ] && cmake_bin=.venv/bin/cmake
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "== C++ kernel tests (sanitizers)"
"$cmake_bin" -S . -B build/cpp-asan -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON \
    -DQUELMAR_SANITIZE=ON >/dev/null
"$cmake_bin" --build build/cpp-asan -j2 >/dev/null
ctest --test-dir build/cpp-asan --output-on-failure -j2 | tail -n 3

echo "== Python tests against the instrumented extension"
"$cmake_bin" -S . -B build/module-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
    -DQUELMAR_BUILD_MODULE=ON -DQUELMAR_SANITIZE=ON \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
"$cmake_bin" --build build/module-asan -j2 >/dev/null
pkg=build/module-asan/pkg
rm -rf "$pkg" && mkdir -p "$pkg"
cp -r src/quelmar "$pkg/"
find build/module-asan/src/bindings -maxdepth 1 -name "*.so" -exec cp {} "$pkg/quelmar/" \;

# The interpreter is not instrumented: load the runtime (and the C++ runtime
# whose exceptions it intercepts) first, and leave leak
# checking to the reference-count tests (CPython keeps objects alive at exit).
asan_rt="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
QUELMAR_SANITIZED=1 PYTHONPATH="$PWD/$pkg" LD_PRELOAD="$asan_rt" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    .venv/bin/python -m pytest -q -p no:cacheprovider "$@"
