#!/usr/bin/env bash
# Installs what building and testing vorpel needs: Debian packages (through
# apt-get when run as root), a virtual environment in .venv and its pip packages.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/debian_packages.sh
ensure_debian_packages bootstrap g++ cmake ninja-build pkg-config git libre2-dev libicu-dev libgtest-dev \
  libbenchmark-dev libfast-float-dev zlib1g-dev libzstd-dev libsimdjson-dev

PY=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  echo "bootstrap: creating .venv"
  "$PY" -m venv .venv
fi
stamp=.venv/.vorpel-requirements
if [ ! -f "$stamp" ] || ! cmp -s requirements-dev.txt "$stamp"; then
  echo "bootstrap: installing Python packages"
  .venv/bin/python -m pip install -q --upgrade pip >/dev/null
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  cp requirements-dev.txt "$stamp"
fi
