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
ctest --preset release
tests/install-check.sh build
ctest --preset spooler
# The printer application on PAPPL 1.4.11 as well: its units and its end-to-end tests.
build_preset pappl-1.4
ctest --preset pappl-1.4
build_preset sanitize
# Under the sanitizers every run costs several times as much: a quarter of the junk files.
ctest --preset sanitize
tests/fuzz/run.sh 30
tools/coverage.sh
