#!/usr/bin/env bash
# Installs what building and testing vorpel needs: Debian packages (through
# apt-get when run as root), a virtual environment in .venv and its pip packages.
set -euo pipefail
cd "$(dirname "$0")/.."

DEB_PACKAGES=(g++ cmake ninja-build pkg-config git libre2-dev libicu-dev libgtest-dev libbenchmark-dev libfast-float-dev)
missing=()
for p in "${DEB_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" = 0 ]; then
    echo "bootstrap: installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "bootstrap: missing Debian packages; run:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
fi

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
