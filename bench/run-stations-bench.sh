#!/usr/bin/env bash
# What reaching every window station costs the session 0 agent: its CPU (Linux utime+stime of the
# session 0 QuillonTray.exe) while a tray follows the feed, with extra window stations and their
# windows, beside the same run's baseline without them. Prints a table, also saved as
# $BUILD_DIR/bench/STATIONS.md.
#   QUILLON_BENCH_SECONDS   length of each measured window (default 30)
#   QUILLON_BENCH_STATIONS  window stations made besides WinSta0 (default 2)
#   QUILLON_BENCH_WINDOWS   bench windows in all, spread over WinSta0 and those (default 50)
set -euo pipefail
. "$(dirname "$0")/../testbench/lib.sh"

SECONDS_EACH=${QUILLON_BENCH_SECONDS:-30}
EXTRA=${QUILLON_BENCH_STATIONS:-2}
WINDOWS=${QUILLON_BENCH_WINDOWS:-50}
OUT_DIR=$BUILD_DIR/bench
MEASURE=$OUT_DIR/BenchMeasure.exe

measure() {
    bounded 900 "BenchMeasure $*" "$LOG_DIR/bench-measure.log" \
        wine "$MEASURE" "$@" </dev/null 2>>"$LOG_DIR/bench-measure.log" | tr -d '\r\000' \
        || fail "BenchMeasure $*" "see $LOG_DIR/bench-measure.log"
}
value() { awk -v n="$1" '$1 == n { printf "%d", $2 }'; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# follow_cpu FILE: a tray's feed loop for SECONDS_EACH, its figures to FILE; prints the agent's CPU
# meanwhile as "ms percent-of-one-core".
follow_cpu() {
    local c0 c1 t0 t1
    c0=$(cpu_ticks "$tpid"); t0=$(date +%s%N)
    measure follow "$SECONDS_EACH" >"$1"
    c1=$(cpu_ticks "$tpid"); t1=$(date +%s%N)
    awk -v c=$(((c1 - c0) * tick_ms)) -v t=$(((t1 - t0) / 1000000)) 'BEGIN { printf "%d %.2f\n", c, 100 * c / t }'
}

prepare_bench
mkdir -p "$OUT_DIR"
: >"$LOG_DIR/bench-measure.log"
tick_ms=$((1000 / $(getconf CLK_TCK)))

step "Starting the service; its agent is the session 0 tray"
measure start UI0Detect >/dev/null
sleep 3   # the helpers settle
tpid=$(for pid in $(ps -eo pid=,args= | awk 'index($0, "QuillonTray.exe") { print $1 }'); do
    if tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX"; then echo "$pid"; fi; done)
[ "$(echo "$tpid" | grep -c .)" = 1 ] || fail "not exactly one tray (the session 0 agent) runs: ${tpid:-none}"

step "Baseline: a tray follows the feed for $SECONDS_EACH s; no extra stations, no bench windows"
base_listed=$(measure agent-count)
read -r base_ms base_pct < <(follow_cpu "$OUT_DIR/follow-base.txt")
printf 'agent CPU %s ms (%s %% of one core)\n' "$base_ms" "$base_pct"

step "Load: $EXTRA window stations besides WinSta0, $WINDOWS windows in all; the tray follows for $SECONDS_EACH s"
setsid wine "$MEASURE" stations "$EXTRA" "$WINDOWS" $((SECONDS_EACH + 120)) </dev/null >>"$LOG_DIR/bench-measure.log" 2>&1 &
load_listed=
for _ in $(seq 100); do
    load_listed=$(measure agent-count)
    [ "$(value windows <<<"$load_listed")" -ge "$WINDOWS" ] && [ "$(value places <<<"$load_listed")" -ge $((EXTRA + 1)) ] && break
    sleep 0.2
done
if [ "$(value places <<<"$load_listed")" -lt $((EXTRA + 1)) ]; then
    printf 'WARNING: the agent lists %s windows in %s places, not the %s windows in %s places made: it does not reach every station, and the figures below do not measure that reach\n' \
        "$(value windows <<<"$load_listed")" "$(value places <<<"$load_listed")" "$WINDOWS" $((EXTRA + 1))
fi
sleep 2   # the agent's first look at the new places is behind it
read -r load_ms load_pct < <(follow_cpu "$OUT_DIR/follow-load.txt")
printf 'agent CPU %s ms (%s %% of one core)\n' "$load_ms" "$load_pct"

step "Results"
{
    printf 'Stations benchmark of %s: %s, %s, %s cores; each figure over %s s.\n\n' "$(date -u '+%Y-%m-%d %H:%M UTC')" \
        "$(wine --version)" "$QUILLON_ARCH" "$(nproc)" "$SECONDS_EACH"
    printf '| Figure | %s stations, %s bench windows | Baseline: WinSta0 alone, no bench windows |\n' $((EXTRA + 1)) "$WINDOWS"
    printf '|---|---|---|\n'
    printf '| Agent CPU (Linux utime+stime of the session 0 QuillonTray.exe) while a tray follows the feed | %s ms | %s ms |\n' "$load_ms" "$base_ms"
    printf '| ... as a share of one core | %s %% | %s %% |\n' "$load_pct" "$base_pct"
    printf '| Windows the agent lists, in how many places | %s in %s | %s in %s |\n' \
        "$(value windows <<<"$load_listed")" "$(value places <<<"$load_listed")" \
        "$(value windows <<<"$base_listed")" "$(value places <<<"$base_listed")"
    printf '| Feed answers the tray got (changes among them) | %s (%s) | %s (%s) |\n' \
        "$(value answers <"$OUT_DIR/follow-load.txt")" "$(value changes <"$OUT_DIR/follow-load.txt")" \
        "$(value answers <"$OUT_DIR/follow-base.txt")" "$(value changes <"$OUT_DIR/follow-base.txt")"
} | tee "$OUT_DIR/STATIONS.md"
