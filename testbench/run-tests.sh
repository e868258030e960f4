#!/usr/bin/env bash
# Builds everything and runs every test under Wine in a fresh prefix.
# Extra arguments go to ctest (for example -R service to run only the service tests); without
# them the release archive is checked as well (testbench/release-check.sh).
set -euo pipefail
. "$(dirname "$0")/lib.sh"

prepare_bench
step "Running the tests"
ctest --test-dir "$BUILD_DIR" --output-on-failure --timeout 600 "$@" \
    || fail "some tests failed" "read the test output above; logs of the bench are in $LOG_DIR"
# A run narrowed to some tests skips the release checks.
if [ $# -eq 0 ]; then "$(dirname "$0")/release-check.sh"; fi
step "All tests passed"
