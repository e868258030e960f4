#!/usr/bin/env bash
# How CTest runs each test of the bench (tests/CMakeLists.txt registers every test through it):
# first BenchReset puts the prefix back as testbench/lib.sh made it, whatever the test before
# left; then the test runs, ended after LIMIT seconds together with every process it started
# (a child left running would keep CTest waiting on the test's output pipe).
#   bench-test.sh WINE BENCH_RESET_EXE LIMIT_SECONDS COMMAND [ARGUMENTS...]
set -uo pipefail
wine=$1 reset=$2 limit=$3
shift 3

# Bounded: a reset that cannot finish is a broken prefix, not a slow one.
timeout -k 2 30 "$wine" "$reset"
status=$?
if [ $status -ne 0 ]; then
    echo "FAILED: the bench reset before this test (exit code $status); the test did not run." \
         "What to do: read the reset's line above; a prefix it cannot put back needs a fresh run of testbench/run-tests.sh"
    exit 1
fi

# timeout runs the test in a process group of its own and signals the whole group.
timeout -k 5 "$limit" "$@"
status=$?
if [ $status -eq 124 ] || [ $status -eq 137 ]; then
    echo "FAILED: the test did not end within $limit s; it was ended with the processes it started"
fi
exit $status
