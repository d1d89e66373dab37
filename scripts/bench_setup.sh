#!/usr/bin/env bash
# Makes .venv-bench: a Python 3.13 virtualenv holding the peers the benchmarks compare against
# (bench/requirements.txt), apart from .venv so that no test can come to depend on them. The
# benchmarks import _quenlith from the Release build (build/python), like the test venv.
#   bash scripts/bench_setup.sh && .venv-bench/bin/python bench/bench_solve_peers.py
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh            # the build's own packages and .venv (its interpreter is reused)
[ -d build/python ] || bash scripts/build.sh release
py=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')
if [ ! -x .venv-bench/bin/python ]; then
  "$py" -m venv .venv-bench
fi
stamp=.venv-bench/.requirements-installed
if [ ! -f "$stamp" ] || ! cmp -s bench/requirements.txt "$stamp"; then
  .venv-bench/bin/python -m pip install -q --disable-pip-version-check -r bench/requirements.txt
  cp bench/requirements.txt "$stamp"
fi
site=$(.venv-bench/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
echo "$root/build/python" > "$site/_quenlith_build.pth"
