#!/bin/bash
# Fuzzes every decoder of the agent's pipe messages (agent/Wire.cpp) on the build host: clang 15
# with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer. First every input kept in
# fuzz/regressions/ is replayed, then new inputs are tried for SECONDS (60 by default), starting
# from one valid message of each type.
#
#   fuzz/run-fuzz.sh [SECONDS]
#
# Works in $QUILLON_FUZZ_DIR (default: build/fuzz in the source tree). Exit 0 when nothing was
# found; otherwise 1, with a line "FUZZ FAILED: ..." that names the input that broke a decoder.
# A mended input belongs in fuzz/regressions/, so that every later run replays it.
set -euo pipefail

seconds=${1:-60}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
    echo "usage: $0 [SECONDS]" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
work=${QUILLON_FUZZ_DIR:-$root/build/fuzz}
mkdir -p "$work"

fail() {
    echo "FUZZ FAILED: $*" >&2
    exit 1
}

# clang 15 and its libFuzzer, installed when missing (never while another apt or dpkg runs).
packages=(clang-15 libfuzzer-15-dev)
missing=()
for package in "${packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    [ "$(id -u)" -eq 0 ] || fail "missing ${missing[*]}; install them: apt-get install -y ${missing[*]}"
    for attempt in $(seq 60); do
        pgrep -x apt-get >/dev/null || pgrep -x apt >/dev/null || pgrep -x dpkg >/dev/null || break
        [ "$attempt" -eq 1 ] && echo "fuzz: waiting for another apt to end before installing ${missing[*]}"
        [ "$attempt" -eq 60 ] && fail "another apt still runs after 10 minutes; ${missing[*]} not installed"
        sleep 10
    done
    echo "fuzz: installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >"$work/apt.log" 2>&1 ||
        fail "apt-get install ${missing[*]} failed: see $work/apt.log"
fi

echo "fuzz: building in $work"
flags=(-std=c++17 -g -O1 -Wall -Wextra -Werror -I"$root")
sanitizers=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
clang++-15 "${flags[@]}" "${sanitizers[@]}" "$here/FuzzWire.cpp" "$root/agent/Wire.cpp" -o "$work/fuzz-wire" ||
    fail "the fuzz target did not build"
clang++-15 "${flags[@]}" -fsanitize=address,undefined -fno-sanitize-recover=all \
    "$here/Seeds.cpp" "$root/agent/Wire.cpp" -o "$work/seeds" || fail "the seed generator did not build"

corpus=$work/corpus
rm -rf "$corpus" "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*
mkdir -p "$corpus"
"$work/seeds" "$corpus" || fail "the seed generator failed"
echo "fuzz: $(ls "$corpus" | wc -l) seed messages"

# Inputs that once broke a decoder.
mapfile -t kept < <(find "$here/regressions" -type f 2>/dev/null | sort)
if [ ${#kept[@]} -gt 0 ]; then
    echo "fuzz: replaying ${#kept[@]} kept inputs"
    "$work/fuzz-wire" "${kept[@]}" >"$work/regressions.log" 2>&1 || {
        grep -E "ERROR|SUMMARY|Running:|broken" "$work/regressions.log" | tail -n 8 >&2
        fail "a kept input of fuzz/regressions breaks a decoder again (log: $work/regressions.log)"
    }
fi

echo "fuzz: fuzzing for $seconds s"
log=$work/fuzz.log
"$work/fuzz-wire" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/" "$corpus" >"$log" 2>&1 &
fuzzer=$!
# Progress every ten seconds: runs so far, coverage and corpus size.
shown=
while kill -0 "$fuzzer" 2>/dev/null; do
    for _ in $(seq 10); do
        sleep 1
        kill -0 "$fuzzer" 2>/dev/null || break
    done
    status=$(grep -aE '^#[0-9]+' "$log" | tail -n 1 || true)
    if [ -n "$status" ] && [ "$status" != "$shown" ]; then
        echo "fuzz: $status"
        shown=$status
    fi
done
code=0
wait "$fuzzer" || code=$?

crash=$(find "$work" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) |
    head -n 1)
if [ "$code" -ne 0 ] || [ -n "$crash" ]; then
    grep -aE "ERROR|SUMMARY|broken" "$log" | head -n 8 >&2
    fail "fuzz-wire exited with $code on ${crash:-an input it did not save} (log: $log)"
fi
runs=$(grep -aE '^stat::number_of_executed_units' "$log" | awk '{print $2}')
echo "fuzz: passed: ${runs:-?} inputs in $seconds s, none broke a decoder (log: $log)"
