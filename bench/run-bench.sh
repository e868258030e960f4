#!/usr/bin/env bash
# The benchmark: builds everything, makes a fresh bench prefix and measures the service, its
# helpers and the control tool beside a do-nothing baseline, then prints one table (also saved
# as $BUILD_DIR/bench/RESULTS.md). Figures are medians of several runs with their spread.
#   QUILLON_BENCH_RUNS   runs of each timed figure (default 5)
#   QUILLON_BENCH_IDLE   seconds of the idle window (default 60)
#   QUILLON_BENCH_SIZES  virtual screens of the repaint figure (default 1920x1080 3840x2160 7680x4320)
set -euo pipefail
. "$(dirname "$0")/../testbench/lib.sh"

RUNS=${QUILLON_BENCH_RUNS:-5}
IDLE_SECONDS=${QUILLON_BENCH_IDLE:-60}
SIZES=${QUILLON_BENCH_SIZES:-"1920x1080 3840x2160 7680x4320"}
OUT_DIR=$BUILD_DIR/bench
MEASURE=$OUT_DIR/BenchMeasure.exe
SAMPLES=$OUT_DIR/samples.txt
MINIMAL=QuillonBenchMinimal

# sample FIGURE VALUE: one measured value of a table row.
sample() { printf '%s\t%s\n' "$1" "$2" >>"$SAMPLES"; }

# measure ARGS...: runs BenchMeasure, prints its "name value" lines; fails loudly.
measure() {
    wine "$MEASURE" "$@" </dev/null 2>>"$LOG_DIR/bench-measure.log" | tr -d '\r' \
        || fail "BenchMeasure $*" "see $LOG_DIR/bench-measure.log"
}

# value NAME (reads measure's output on stdin)
value() { awk -v n="$1" '$1 == n { print $2 }'; }

# The Linux process behind a service image of this build and prefix.
linux_pid() {
    local image=$1 pid
    for pid in $(ps -eo pid=,args= | awk -v i="$image" 'index($0, i) { print $1 }'); do
        if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
            echo "$pid"
            return
        fi
    done
}

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ { s += $2 } END { print s + 0 }'; }
status_kb() { awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status"; }

# Boots the same prefix again on a display of another size (services read the display at boot).
reboot_on() {
    wineserver -k 2>/dev/null || true
    if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; wait "$XVFB_PID" 2>/dev/null || true; XVFB_PID=; fi
    SCREEN_SIZE=$1x24
    start_display
    setsid wineserver -p </dev/null >/dev/null 2>&1
    setsid wine wineboot </dev/null >>"$LOG_DIR/wineboot.log" 2>&1 || fail "wineboot on $1"
    setsid wine "$BENCH_DIR/BenchDesktop.exe" </dev/null >/dev/null 2>&1 &
    setsid wine "$BENCH_DIR/BenchTermSrv.exe" reset </dev/null >/dev/null 2>&1 || fail "Terminal Services host on $1"
}

prepare_bench
mkdir -p "$OUT_DIR"
: >"$SAMPLES"
: >"$LOG_DIR/bench-measure.log"
step "Registering the baseline service $MINIMAL"
wine sc create "$MINIMAL" binPath= "$(winepath -w "$MEASURE" | sed 's/BenchMeasure/BenchMinimalService/')" \
    type= own start= demand >>"$LOG_DIR/sc.log" 2>&1 || fail "registering $MINIMAL"
CONTROL=$BUILD_DIR/bin/QuillonControl.exe

step "Start and stop, $RUNS runs each"
for run in $(seq "$RUNS"); do
    out=$(measure start "$MINIMAL"); sample "start.running.base" "$(value running_ms <<<"$out")"
    out=$(measure stop "$MINIMAL"); sample "stop.base" "$(value stopped_ms <<<"$out")"
    out=$(measure start UI0Detect)
    sample "start.running" "$(value running_ms <<<"$out")"
    sample "start.shell" "$(value shell_ms <<<"$out")"
    out=$(measure stop UI0Detect)
    sample "stop.helpers" "$(value stopped_ms <<<"$out")"
    sample "stop.helpersgone" "$(value helpers_gone_ms <<<"$out")"
    out=$(measure stubborn-stop); sample "stop.stubborn" "$(value stopped_ms <<<"$out")"
    out=$(measure early-stop); sample "stop.early.left" "$(value helpers_left <<<"$out")"
    printf '.'
done
echo

step "Idle cost and memory after start (idle window ${IDLE_SECONDS} s)"
measure clean >/dev/null
measure start "$MINIMAL" >/dev/null
measure start UI0Detect >/dev/null
sleep 5   # the helpers settle
qpid=$(linux_pid 'bin\Quillon.exe'); bpid=$(linux_pid 'BenchMinimalService.exe')
[ -n "$qpid" ] && [ -n "$bpid" ] || fail "the Linux processes of the services were not found"
out=$(measure figures Quillon.exe)
sample "mem.handles" "$(value handles <<<"$out")"
sample "mem.ws" "$(value working_set_kb <<<"$out")"
out=$(measure figures BenchMinimalService.exe)
sample "mem.handles.base" "$(value handles <<<"$out")"
sample "mem.ws.base" "$(value working_set_kb <<<"$out")"
sample "mem.anon" "$(status_kb "$qpid" RssAnon)"; sample "mem.anon.base" "$(status_kb "$bpid" RssAnon)"
sample "mem.fds" "$(ls /proc/"$qpid"/fd | wc -l)"; sample "mem.fds.base" "$(ls /proc/"$bpid"/fd | wc -l)"
c0=$(cpu_ticks "$qpid"); s0=$(switches "$qpid"); bc0=$(cpu_ticks "$bpid"); bs0=$(switches "$bpid")
sleep "$IDLE_SECONDS"
c1=$(cpu_ticks "$qpid"); s1=$(switches "$qpid"); bc1=$(cpu_ticks "$bpid"); bs1=$(switches "$bpid")
tick_ms=$((1000 / $(getconf CLK_TCK)))
sample "idle.cpu" $(((c1 - c0) * tick_ms)); sample "idle.cpu.base" $(((bc1 - bc0) * tick_ms))
sample "idle.switches" $((s1 - s0)); sample "idle.switches.base" $((bs1 - bs0))
measure stop "$MINIMAL" >/dev/null

step "Event storms and lookups, $RUNS runs each"
for run in $(seq "$RUNS"); do
    measure stop UI0Detect >/dev/null
    measure clean >/dev/null
    wine "$BENCH_DIR/BenchTermSrv.exe" ready </dev/null >/dev/null 2>&1 || fail "Terminal Services ready"
    measure start UI0Detect >/dev/null
    out=$(measure hook-storm 1000)
    sample "storm.hook" "$(value drain_ms <<<"$out")"; sample "storm.hook.cpu" "$(value cpu_ms <<<"$out")"
    sample "storm.hook.trays1" "$(value trays_session1 <<<"$out")"
    sample "storm.hook.trays0" "$(value trays_session0 <<<"$out")"
    out=$(measure session-storm 1000)
    sample "storm.session" "$(value drain_ms <<<"$out")"; sample "storm.session.cpu" "$(value cpu_ms <<<"$out")"
    sample "storm.session.trays1" "$(value trays_session1 <<<"$out")"
    for n in 100 1000 5000; do
        out=$(measure lookup "$n"); sample "lookup.$n" "$(value lookup_us <<<"$out")"
    done
    out=$(measure lookup 0); sample "lookup.real" "$(value lookup_us <<<"$out")"
    printf '.'
done
echo
measure stop UI0Detect >/dev/null
measure clean >/dev/null

step "Control tool, $RUNS runs each"
for run in $(seq "$RUNS"); do
    out=$(measure run "$(winepath -w "$MEASURE")" nothing); sample "tool.base" "$(value wall_ms <<<"$out")"
    for option in -s -r "-k --query" -t; do
        out=$(measure run "$(winepath -w "$CONTROL")" $option)
        [ "$(value exit_code <<<"$out")" = 0.000 ] || fail "QuillonControl $option exited with $(value exit_code <<<"$out")"
        sample "tool.${option// /}" "$(value wall_ms <<<"$out")"
    done
    printf '.'
done
echo
measure clean >/dev/null

step "Peak memory of one full repaint at $SIZES"
for size in $SIZES; do
    reboot_on "$size"
    measure start UI0Detect >/dev/null
    sleep 2
    qpid=$(linux_pid 'bin\Quillon.exe')
    [ -n "$qpid" ] || fail "the Linux process of the service was not found on $size"
    for run in $(seq "$RUNS"); do
        # Writing 5 to clear_refs sets the peak resident size back to the current one.
        echo 5 >"/proc/$qpid/clear_refs"
        before=$(status_kb "$qpid" VmRSS)
        out=$(measure repaint)
        peak=$(status_kb "$qpid" VmHWM)
        sample "repaint.$size.ms" "$(value repaint_ms <<<"$out")"
        sample "repaint.$size.peak" $((peak - before))
        sample "repaint.$size.anon" "$(status_kb "$qpid" RssAnon)"
    done
    measure stop UI0Detect >/dev/null
    measure clean >/dev/null
done

for program in Quillon QuillonControl QuillonExplorer QuillonTray; do
    sample "size.$program" "$(stat -c %s "$BUILD_DIR/bin/$program.exe")"
done
sample "size.base" "$(stat -c %s "$OUT_DIR/BenchMinimalService.exe")"

step "Results"
python3 "$(dirname "$0")/table.py" "$SAMPLES" "$RUNS" "$IDLE_SECONDS" "$SIZES" | tee "$OUT_DIR/RESULTS.md"
