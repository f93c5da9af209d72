#!/usr/bin/env bash
# The main job: set up when needed, then run the example analysis.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python examples/main.py "$@"
