#!/usr/bin/env bash
# Sets up, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j "$(nproc)"
# The Python tools' tests, against the programs just built; no bytecode or
# cache files are left in the checkout.
PYTHONDONTWRITEBYTECODE=1 FUSE_RESULTS_BUILD=build \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests
