#!/usr/bin/env bash
# The main job: set up when needed, then analyse the bundled model (Brown et
# al. 2004, NGF/EGF signalling): sensitivity, isolated buffering structures,
# their hierarchy and the indicator diagnosis.  Writes out/report.json, the
# hierarchy diagram out/hierarchy.svg, the sensitivity heat map
# out/sensitivity.png and the whole analysis as a page, out/report.html; the
# report goes to standard output.
# Extra arguments go to `quelmar analyze` (for example a model file).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
mkdir -p out
exec .venv/bin/quelmar analyze --seed 0 --json out/report.json \
    --diagram out/hierarchy.svg --plot out/sensitivity.png --html out/report.html "$@"
