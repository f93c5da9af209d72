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
# The package with an instrumented extension, built by scikit-build-core into
# a folder of its own.
pkg=build/sanitize/pkg
rm -rf "$pkg"
CMAKE_BUILD_PARALLEL_LEVEL=2 .venv/bin/python -m pip install -q --no-build-isolation --no-deps \
    --target "$pkg" . -Cbuild-dir=build/sanitize/build -Ccmake.build-type=RelWithDebInfo \
    -Ccmake.define.QUELMAR_SANITIZE=ON -Ccmake.define.QUELMAR_TEST_HOOKS=ON 2>&1 | { grep -v -E "^WARNING: Location '.*' is ignored" || true; }

# The editable install in .venv redirects imports of quelmar to its own
# build; this names that build so that it steps aside for the package above.
skip=$(.venv/bin/python -c 'import sys; print(":".join(f.path for f in sys.meta_path
                                              if hasattr(f, "known_wheel_files") and f.path))')

# The interpreter is not instrumented: load the runtime (and the C++ runtime
# whose exceptions it intercepts) first, and leave leak
# checking to the reference-count tests (CPython keeps objects alive at exit).
asan_rt="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
run() {
    SKBUILD_EDITABLE_SKIP="$skip" QUELMAR_SANITIZED=1 PYTHONPATH="$PWD/$pkg" \
        LD_PRELOAD="$asan_rt" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 "$@"
}
run .venv/bin/python -c "import sys, quelmar.cyquelmar as m
sys.exit(0 if m.__file__.startswith('$PWD/$pkg/') else 'not the instrumented module: ' + m.__file__)"
run .venv/bin/python -m pytest -q -p no:cacheprovider "$@"
