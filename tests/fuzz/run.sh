#!/usr/bin/env bash
# Runs each fuzz target of the sanitize build for the given seconds (default 30), starting
# from the seed corpus in the repo. Fails on any crash, leak or undefined behaviour; the
# input that caused it is left in build-sanitize/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-30}
for target in settings classify check; do
    work=build-sanitize/fuzz/$target
    mkdir -p "$work/corpus"
    echo "fuzzing $target for ${seconds}s"
    # The programs' own output is dropped (-close_fd_mask=3); the sanitizers' reports still show.
    if ! build-sanitize/tests/fuzz/${target}_fuzz -max_total_time="$seconds" -close_fd_mask=3 \
        -artifact_prefix="$work/" "$work/corpus" "tests/fuzz/corpus/$target" >"$work/log" 2>&1; then
        tail -n 60 "$work/log"
        echo "fuzz target $target failed; the input is in $work/" >&2
        exit 1
    fi
    grep -E '^Done [0-9]+ runs' "$work/log"
done
