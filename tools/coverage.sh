#!/usr/bin/env bash
# Builds with coverage, runs the test suite, and prints line and branch coverage of the
# filter and paper units.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/ensure-packages.sh
ensure_test_tools
ensure_packages gcovr:gcovr
build_preset coverage
find build-coverage -name '*.gcda' -delete
ctest --test-dir build-coverage -j2 --output-on-failure >/dev/null
for metric in "" --branches; do
    gcovr --root . --object-directory build-coverage --filter 'filter/' --filter 'paper/' \
        --exclude-unreachable-branches --exclude-throw-branches $metric
done
