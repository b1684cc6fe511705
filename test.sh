#!/usr/bin/env bash
# Builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
scripts/build.sh build
ctest --test-dir build --output-on-failure -j "$(nproc)"
