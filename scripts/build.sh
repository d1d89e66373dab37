#!/usr/bin/env bash
# Builds the core, the extension module, the C++ tests and benchmarks.
#   scripts/build.sh            Release build in build/
#   scripts/build.sh sanitize   ASan + UBSan build in build-sanitize/, then runs the C++ and Python tests
#   scripts/build.sh tsan       ThreadSanitizer build in build-tsan/, then runs the C++ tests
#                               (suppressions for the uninstrumented oneTBB: scripts/tsan.supp)
# The module is made importable from .venv through a .pth file naming build/python.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
mode=${1:-release}
jobs=$(nproc)
case "$mode" in
  release)  dir=build;          extra=() ;;
  sanitize) dir=build-sanitize; extra=(-DQUENLITH_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  tsan)     dir=build-tsan;     extra=(-DQUENLITH_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  *) echo "usage: scripts/build.sh [release|sanitize|tsan]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$root/.venv/bin/python" "${extra[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
if [ "$mode" = release ]; then
  site=$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
  echo "$root/build/python" > "$site/_quenlith_build.pth"
else
  # The system's oneTBB is not instrumented: reports on its scheduler's own objects
  # are suppressed (see the file); any report left fails the run.
  if [ "$mode" = tsan ]; then export TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp"; fi
  (cd "$dir" && ctest --output-on-failure)
  # The Python tests against the instrumented module; the interpreter itself is
  # not instrumented, so the runtimes are preloaded and leak checks stay off.
  if [ "$mode" = sanitize ]; then
    ASAN_OPTIONS=detect_leaks=0 \
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
    PYTHONPATH="$root/$dir/python" .venv/bin/python -m pytest -q -p no:cacheprovider tests
  fi
fi
