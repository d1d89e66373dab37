#!/usr/bin/env bash
# Runs every C++ unit test (the binary given) with a fresh, empty temporary
# directory and fails when anything is left in it afterwards: fixtures, death-test
# children and the per-process default swap directory all clean up after
# themselves.
set -euo pipefail
tests=$1
tmp=$(mktemp -d)
log=$(mktemp)
trap 'rm -rf "$tmp" "$log"' EXIT
if ! TMPDIR=$tmp "$tests" --gtest_brief=1 >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
if [ -n "$(ls -A "$tmp")" ]; then
  echo "left behind in the temporary directory:"
  ls -lA "$tmp"
  exit 1
fi
