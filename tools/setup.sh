#!/bin/bash
# Installs everything wavequery needs on a fresh Debian 12 machine with
# CPython 3.11 and pip, into the virtual environment .venv of this checkout:
# system libraries and tools from apt-get, Python packages from pip, and
# wavequery itself (built from this source tree).
#   bash tools/setup.sh          # the package
#   bash tools/setup.sh --test   # the package and what the tests use
set -euo pipefail
cd "$(dirname "$0")/.."

DEBIAN_PACKAGES=(g++ cmake make libtbb-dev zlib1g-dev liblz4-dev iverilog gtkwave verilator)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
missing=()
for p in "${DEBIAN_PACKAGES[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PYTHON="${PYTHON:-python3}"
if [ ! -x .venv/bin/python ]; then
    # Debian's own python3 needs python3-venv for this; a python built from source has it.
    if ! "$PYTHON" -m venv .venv 2>/dev/null; then
        rm -rf .venv
        $SUDO apt-get install -y -qq python3-venv >/dev/null
        "$PYTHON" -m venv .venv
    fi
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q .
if [ "${1:-}" = "--test" ]; then
    .venv/bin/python -m pip install -q pytest hypothesis
fi
