#!/bin/sh
# Installs, with apt, the Debian packages the build and the tests need.
# Idempotent: only what is missing is installed; with nothing missing it
# touches neither the network nor the package database.
#   sh scripts/deps.sh --list   prints the package list
set -eu

PACKAGES="g++ cmake make pkg-config pybind11-dev python3-dev python3-numpy
python3-pandas python3-scipy python3-pytest googletest libgtest-dev
python3-xgboost python3-sklearn python3-xlsxwriter python3-openpyxl
python3-matplotlib python3-hypothesis python3-venv python3-pip python3-setuptools
python3-wheel libxgboost-dev ${EXTRA_PACKAGES:-}"

# --list: only print the list (the Debian 13 chroot installs the same).
if [ "${1:-}" = "--list" ]; then
    echo $PACKAGES
    exit 0
fi

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

echo "installing:$missing"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
# An update is needed on a fresh machine whose package lists are empty;
# a failing update (offline mirror) still lets a cached install go ahead.
$SUDO apt-get update -qq || true
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
