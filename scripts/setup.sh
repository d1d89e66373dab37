#!/usr/bin/env bash
# Installs what building and testing need: Debian packages and a Python 3.13
# virtualenv in .venv. Safe to run again: it only installs what is missing.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

apt_packages=(build-essential cmake ninja-build pkg-config libeigen3-dev libmumps-seq-dev
              libopenblas-dev libtbb-dev libfmt-dev libgtest-dev)

missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# Python 3.13 or later with headers: pyenv's build, else the system's.
find_python() {
  local c v
  if command -v pyenv >/dev/null 2>&1; then
    v=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.(1[3-9])(\.[0-9]+)?$' | sort -V | tail -n 1 || true)
    if [ -n "$v" ]; then
      c="$(pyenv root)/versions/$v/bin/python3"
      [ -x "$c" ] && { echo "$c"; return; }
    fi
  fi
  for c in /usr/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.14; do
    [ -x "$c" ] && { echo "$c"; return; }
  done
  for c in "$HOME"/.pyenv/versions/3.1[3-9]*/bin/python3; do
    [ -x "$c" ] && { echo "$c"; return; }
  done
  echo ""
}

py=$(find_python)
if [ -z "$py" ] || [[ "$py" == /usr/bin/* ]]; then
  # The system interpreter (Debian 13) needs its headers and venv module from Debian.
  for p in python3.13 python3.13-dev python3.13-venv; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
fi

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

[ -n "$py" ] || py=$(find_python)
[ -n "$py" ] || { echo "setup: no Python 3.13 or later found" >&2; exit 1; }

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info >= (3, 13)' 2>/dev/null; then
  rm -rf .venv
  "$py" -m venv .venv
fi
stamp=.venv/.requirements-installed
if [ ! -f "$stamp" ] || ! cmp -s requirements-dev.txt "$stamp"; then
  .venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
  cp requirements-dev.txt "$stamp"
fi
