#!/usr/bin/env bash
# Builds everything and runs every test under Wine in a fresh prefix.
# Extra arguments go to ctest (for example -R service to run only the service tests); without
# them the release archive is checked as well (testbench/release-check.sh).
set -euo pipefail
. "$(dirname "$0")/lib.sh"

# The last lines say which build the tests ran: on a machine that runs no 32-bit code, not the
# programs that ship.
which_build() {
    if [ "$QUILLON_ARCH" = i686 ]; then
        echo "The tests ran the shipped 32-bit build ($BUILD_DIR)."
    else
        echo "This machine runs no 32-bit code: the shipped 32-bit programs were NOT run. The tests ran the"
        echo "64-bit build of the same sources ($BUILD_DIR); the 32-bit programs were only built, packed"
        echo "and checked from their files (testbench/check-abi.sh)."
    fi
}

prepare_bench
step "Running the tests"
status=0
bounded 5400 "the tests (ctest)" "$LOG_DIR and the test output above" \
    ctest --test-dir "$BUILD_DIR" --output-on-failure --no-tests=error --timeout 600 "$@" || status=$?
if [ $status -ne 0 ]; then
    which_build >&2
    fail "some tests failed" "read the test output above; logs of the bench are in $LOG_DIR"
fi
# A run narrowed to some tests skips the fuzzing and the release checks.
if [ $# -eq 0 ]; then
    step "Fuzzing every decoder of the agent's messages for 60 s (fuzz/run-fuzz.sh)"
    bounded 600 "fuzzing the agent's decoders" "the output above" "$QUILLON_ROOT/fuzz/run-fuzz.sh" 60 \
        || fail "the fuzzer found an input that breaks a decoder" "read the FUZZ FAILED line above; mend the decoder and keep the input in fuzz/regressions/"
    "$(dirname "$0")/release-check.sh" || { which_build >&2; exit 1; }
fi
report_crashes
step "All tests passed"
which_build
