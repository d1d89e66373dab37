#!/usr/bin/env bash
# Set-up, Release build, then every test: the C++ unit tests (ctest) and the Python tests (pytest).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bash scripts/build.sh release
(cd build && ctest --output-on-failure)
.venv/bin/python -m pytest -q tests
