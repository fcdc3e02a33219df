#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/ensure-packages.sh
build_filter
ctest --test-dir build --output-on-failure -j2
