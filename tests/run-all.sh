#!/usr/bin/env bash
# Installs what the tests need, then runs the whole suite in the release build, checks the
# installed tree and the package, runs the filter inside real CUPS, BSD lpd and LPRng
# spoolers and the printer application with driverless clients, runs the printer
# application's tests again on PAPPL 1.4.11, runs the suite again under AddressSanitizer and
# UBSan, fuzzes the settings reader and classification, and measures coverage.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/ensure-packages.sh
ensure_test_tools
build_preset release
ctest --test-dir build --output-on-failure -j2 -LE spooler
tests/install-check.sh build
ctest --test-dir build --output-on-failure -L spooler
# The printer application on PAPPL 1.4.11 as well: its units and its end-to-end tests.
build_preset pappl-1.4
ctest --test-dir build-pappl-1.4 --output-on-failure -R '^PrinterApp|^Spooler\.(printer-app|driverless)$'
build_preset sanitize
# Under the sanitizers every run costs several times as much: a quarter of the junk files.
RAVO_JUNK_RUNS=500 ctest --test-dir build-sanitize --output-on-failure -j2 -LE spooler
tests/fuzz/run.sh 30
tools/coverage.sh
