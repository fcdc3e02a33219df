#!/usr/bin/env bash
# Rasterizes the sample PostScript job through ravofilter into a PNG file, installing
# Ghostscript and building the filter first when needed.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/ensure-packages.sh
ensure_packages gs:ghostscript
ensure_build_tools
build_preset release
build/ravofilter < examples/sample.ps > build/sample.png
echo "PNG written to $PWD/build/sample.png"
