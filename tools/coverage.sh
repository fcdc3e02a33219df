#!/usr/bin/env bash
# Builds with coverage, runs the test suite (the spooler tests aside: they install the release
# build; and the hostile jobs), and prints line and branch coverage of the filter, paper, checker and
# CUPS units and the printer application.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/ensure-packages.sh
ensure_test_tools
ensure_packages gcovr:gcovr
build_preset coverage
find build-coverage -name '*.gcda' -delete
# The junk settings files cost most under instrumentation: a quarter of them; the hostile
# jobs exercise Ghostscript far more than the filter, and the other builds run them.
ctest --preset coverage >build-coverage/ctest.log ||
    { cat build-coverage/ctest.log; exit 1; }
tail -n 3 build-coverage/ctest.log
for metric in "" --branches; do
    gcovr --root . --object-directory build-coverage --filter 'filter/' --filter 'paper/' \
        --filter 'check/' --filter 'cups/' --filter 'printer-app/' --exclude-unreachable-branches --exclude-throw-branches $metric
done
