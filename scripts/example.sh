#!/usr/bin/env bash
# Set-up, Release build, then the example analyses.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bash scripts/build.sh release
.venv/bin/python examples/first_analysis.py
.venv/bin/python examples/cantilever.py
