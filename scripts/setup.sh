#!/usr/bin/env bash
# Prepare a development environment: CPython (3.13 preferred), .venv with the
# Python dependencies, the Debian packages the C++ tests need, and an
# editable install of quelmar.  Safe to run again: finished steps are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

log() { printf 'setup: %s\n' "$*" >&2; }

sudo_cmd() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; elif command -v sudo >/dev/null 2>&1; then sudo "$@"; else "$@"; fi
}

# pip's notes about unreachable local indexes are noise; errors still show.
quiet_pip() { grep -v -E "^WARNING: Location '.*' is ignored" || true; }

apt_updated=0
apt_install() {
    command -v apt-get >/dev/null 2>&1 || return 1
    if [ "$apt_updated" -eq 0 ]; then
        sudo_cmd apt-get update -qq >/dev/null 2>&1 || true
        apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive sudo_cmd apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# A usable interpreter runs, reports the wanted version and can create venvs.
usable() {
    "$1" -c 'import sys, venv, ensurepip; sys.exit(0 if sys.version_info[:2] >= (3, 11) else 1)' >/dev/null 2>&1
}

find_python() {
    local c
    for c in python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13 \
             "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13; do
        if command -v "$c" >/dev/null 2>&1 && usable "$c"; then command -v "$c"; return 0; fi
    done
    if apt-cache show python3.13 >/dev/null 2>&1; then
        log "installing python3.13 from Debian's packages"
        apt_install python3.13 python3.13-venv python3.13-dev || true
        if usable /usr/bin/python3.13; then echo /usr/bin/python3.13; return 0; fi
    fi
    for v in 3.12 3.11; do
        for c in "python$v" "/usr/bin/python$v" \
                 "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v"*/bin/"python$v"; do
            if command -v "$c" >/dev/null 2>&1 && usable "$c"; then
                log "CPython 3.13 is not available here; falling back to CPython $v ($c)"
                command -v "$c"; return 0
            fi
        done
    done
    if command -v python3 >/dev/null 2>&1 && usable python3; then
        log "CPython 3.13 is not available here; falling back to $(python3 -V)"
        command -v python3; return 0
    fi
    log "error: no CPython 3.11 or later found"
    return 1
}

# Debian packages: GoogleTest and the reference LAPACK for the C++ unit tests,
# Graphviz for the hierarchy diagrams, Chromium (headless) for the test that
# opens the HTML report in a browser.
if ! { [ -f /usr/include/gtest/gtest.h ] && ls /usr/lib/*/liblapack.so >/dev/null 2>&1 && command -v dot >/dev/null 2>&1; }; then
    log "installing libgtest-dev, liblapack-dev and graphviz"
    apt_install libgtest-dev liblapack-dev libblas-dev graphviz || log "warning: could not install the Debian packages"
fi
if ! command -v chromium >/dev/null 2>&1; then
    log "installing chromium (headless browser for the HTML report test)"
    apt_install chromium fonts-dejavu-core || log "warning: could not install chromium"
fi

if [ ! -x .venv/bin/python ]; then
    PY=$(find_python)
    log "creating .venv with $("$PY" -V 2>&1)"
    "$PY" -m venv .venv
fi

# quelmar as an editable install (with every extra) and the groups of
# pyproject.toml: what a build without isolation needs, and the test tools.
# The editable install maps the package's Python modules when it is
# installed: reinstall when pyproject.toml changed or a module was added,
# moved or removed.  It does not rebuild the extension when imported (see
# src/quelmar/devbuild.py): that is done below.
stamp=.venv/.deps-stamp
modules=$(cd src && find quelmar -name '*.py' -o -name '*.pyi' | LC_ALL=C sort | cksum)
install_editable() {
    .venv/bin/python -m pip install -q --upgrade pip 2>&1 | quiet_pip
    .venv/bin/python -m pip install -q --group build 2>&1 | quiet_pip
    # every extra: the tests use them all
    .venv/bin/python -m pip install -q --no-build-isolation -e ".[models,plot,interop,batch,progress]" \
        --group test 2>&1 | quiet_pip
    printf '%s\n' "$modules" > "$stamp"
}
if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ] || [ "$(cat "$stamp")" != "$modules" ]; then
    log "installing quelmar (editable) and its development dependencies"
    install_editable
fi

# The extension from the current C++ sources (CMake rebuilds what changed,
# if anything), where build errors are seen rather than inside a test run.
# A build that cannot be used (its directory removed, or configured with
# tools that are gone) is made again from scratch, once.
if ! { scripts/rebuild.sh && .venv/bin/python -c "import quelmar.cyquelmar"; } >/dev/null 2>&1; then
    log "the installed build does not import; building it again"
    rm -rf build/cp*
    install_editable
    { scripts/rebuild.sh && .venv/bin/python -c "import quelmar.cyquelmar"; } ||
        { log "error: the extension did not build"; exit 1; }
fi
