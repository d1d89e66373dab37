#!/usr/bin/env bash
# Set-up, Release build, then every example in examples/, each writing its VTK files into
# build/examples (or the directory given as first argument).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bash scripts/build.sh release
out=$(mkdir -p "${1:-build/examples}" && cd "${1:-build/examples}" && pwd)
for example in first_analysis cantilever heat portal_frame gmsh_annulus meshers plasticity; do
  echo "=== examples/$example.py"
  "$root/.venv/bin/python" "$root/examples/$example.py" "$out"
done
echo "=== files written in $out"
