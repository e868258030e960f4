#!/usr/bin/env bash
# The benchmark: builds everything, makes a fresh bench prefix and measures the service, its
# helpers and the control tool beside a do-nothing baseline, then prints one table (also saved
# as $BUILD_DIR/bench/RESULTS.md). Figures are medians of several runs with their spread.
#   QUILLON_BENCH_RUNS   runs of each timed figure (default 5)
#   QUILLON_BENCH_IDLE   seconds of the idle window (default 60)
#   QUILLON_BENCH_SIZES  virtual screens of the repaint figure (default 1920x1080 3840x2160 7680x4320)
#   QUILLON_BENCH_LIVE   seconds of each live-view figure (default 20)
set -euo pipefail
. "$(dirname "$0")/../testbench/lib.sh"

RUNS=${QUILLON_BENCH_RUNS:-5}
IDLE_SECONDS=${QUILLON_BENCH_IDLE:-60}
SIZES=${QUILLON_BENCH_SIZES:-"1920x1080 3840x2160 7680x4320"}
LIVE_SECONDS=${QUILLON_BENCH_LIVE:-20}
OUT_DIR=$BUILD_DIR/bench
MEASURE=$OUT_DIR/BenchMeasure.exe
SAMPLES=$OUT_DIR/samples.txt
MINIMAL=QuillonBenchMinimal
MINIMAL_WINDOW=QuillonBenchMinimalWindow

# sample FIGURE VALUE: one measured value of a table row.
sample() { printf '%s\t%s\n' "$1" "$2" >>"$SAMPLES"; }

# measure ARGS...: runs BenchMeasure, prints its "name value" lines; fails loudly.
measure() {
    bounded 900 "BenchMeasure $*" "$LOG_DIR/bench-measure.log" \
        wine "$MEASURE" "$@" </dev/null 2>>"$LOG_DIR/bench-measure.log" | tr -d '\r\000' \
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
    bounded 180 "booting the prefix on $1" "$LOG_DIR/wineboot.log" \
        setsid wine wineboot </dev/null >>"$LOG_DIR/wineboot.log" 2>&1 || fail "wineboot on $1"
    setsid wine "$BENCH_DIR/BenchDesktop.exe" </dev/null >/dev/null 2>&1 &
    bounded 60 "the Terminal Services host on $1" "$CRASH_LOG" \
        setsid wine "$BENCH_DIR/BenchTermSrv.exe" reset </dev/null >/dev/null 2>&1 || fail "Terminal Services host on $1"
}

prepare_bench
mkdir -p "$OUT_DIR"
: >"$SAMPLES"
: >"$LOG_DIR/bench-measure.log"
step "Registering the baseline service $MINIMAL"
bounded 60 "registering $MINIMAL" "$LOG_DIR/sc.log" wine sc create "$MINIMAL" binPath= "$(winepath -w "$MEASURE" | sed 's/BenchMeasure/BenchMinimalService/')" \
    type= own start= demand >>"$LOG_DIR/sc.log" 2>&1 || fail "registering $MINIMAL"
# Interactive, as UI0Detect is, so that its window shows on the desktop the bench watches.
bounded 60 "registering $MINIMAL_WINDOW" "$LOG_DIR/sc.log" wine sc create "$MINIMAL_WINDOW" binPath= "$(winepath -w "$MEASURE" | sed 's/BenchMeasure/BenchMinimalWindowService/')" \
    type= own type= interact start= demand >>"$LOG_DIR/sc.log" 2>&1 || fail "registering $MINIMAL_WINDOW"
CONTROL=$BUILD_DIR/bin/QuillonControl.exe

step "Start and stop, $RUNS runs each"
for run in $(seq "$RUNS"); do
    out=$(measure start "$MINIMAL"); sample "start.running.base" "$(value running_ms <<<"$out")"
    out=$(measure stop "$MINIMAL"); sample "stop.base" "$(value stopped_ms <<<"$out")"
    out=$(measure start "$MINIMAL_WINDOW")
    sample "start.running.window" "$(value running_ms <<<"$out")"
    sample "start.window.window" "$(value window_ms <<<"$out")"
    measure stop "$MINIMAL_WINDOW" >/dev/null
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
    bounded 60 "Terminal Services ready" "$CRASH_LOG" \
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

step "Session 0 agent and QuillonViewer ($RUNS runs of the command line, live view ${LIVE_SECONDS} s, idle ${IDLE_SECONDS} s)"
VIEWER=$BUILD_DIR/bin/QuillonViewer.exe
# canvas moving|still: an 800x600 bench window in session 0 (ends by itself after 30 min at most).
canvas() { setsid wine "$BENCH_DIR/BenchDialogs.exe" --canvas "$1" 1800 </dev/null >/dev/null 2>&1 & }
# agent_cpu FILE COMMAND...: runs the command, its output to FILE, and prints the agent's CPU
# meanwhile (Linux utime+stime of the session 0 tray) as "ms percent-of-one-core".
agent_cpu() {
    local file=$1 c0 c1 t0 t1
    shift
    c0=$(cpu_ticks "$tpid"); t0=$(date +%s%N)
    "$@" >"$file"
    c1=$(cpu_ticks "$tpid"); t1=$(date +%s%N)
    awk -v c=$(((c1 - c0) * tick_ms)) -v t=$(((t1 - t0) / 1000000)) 'BEGIN { printf "%d %.2f\n", c, 100 * c / t }'
}
measure start UI0Detect >/dev/null
sleep 3   # the helpers settle
tpids=$(for pid in $(ps -eo pid=,args= | awk 'index($0, "QuillonTray.exe") { print $1 }'); do
    if tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX"; then echo "$pid"; fi; done)
[ "$(echo "$tpids" | grep -c .)" = 1 ] || fail "not exactly one tray (the session 0 agent) runs: ${tpids:-none}"
tpid=$tpids
canvas still
still=$(measure agent-window "Bench still" | value id)
[ -n "$still" ] || fail "the agent does not list the bench window"
printf 'agent: Linux pid %s; still window %s\n' "$tpid" "$still"
sleep 2
printf 'agent CPU with no client, %s s\n' "$IDLE_SECONDS"
c0=$(cpu_ticks "$tpid"); sleep "$IDLE_SECONDS"; c1=$(cpu_ticks "$tpid")
sample "agent.idle.cpu" $(((c1 - c0) * tick_ms))
printf 'command line, %s runs ' "$RUNS"
png_out=$OUT_DIR/viewer-still.png
for run in $(seq "$RUNS"); do
    rm -f "$png_out"
    for what in list save; do
        if [ $what = list ]; then args=(--list); else args=(--save "$still" "$(winepath -w "$png_out")"); fi
        out=$(measure run "$(winepath -w "$VIEWER")" "${args[@]}")
        [ "$(value exit_code <<<"$out")" = 0.000 ] || fail "QuillonViewer ${args[*]} exited with $(value exit_code <<<"$out")"
        sample "viewer.$what" "$(value wall_ms <<<"$out")"
    done
    [ -s "$png_out" ] || fail "QuillonViewer --save wrote no PNG"
    printf '.'
done
echo
sample "viewer.png" "$(stat -c %s "$png_out")"
for kind in still moving; do
    printf 'live view of the %s window, %s s\n' "$kind" "$LIVE_SECONDS"
    if [ $kind = moving ]; then
        canvas moving
        [ -n "$(measure agent-window "Bench moving" | value id)" ] || fail "the agent does not list the moving window"
        sleep 1
    fi
    title="Bench $kind"
    read -r ms pct < <(agent_cpu "$OUT_DIR/live-$kind.txt" measure live "$title" "$LIVE_SECONDS")
    out=$(cat "$OUT_DIR/live-$kind.txt")
    [ "$(value width <<<"$out")x$(value height <<<"$out")" = 800.000x600.000 ] \
        || fail "the $kind window's image is $(value width <<<"$out")x$(value height <<<"$out"), not 800x600"
    sample "live.$kind.fps" "$(value frames_per_s <<<"$out")"
    sample "live.$kind.changed" "$(value changed_frames <<<"$out")"
    sample "live.$kind.polls" "$(value polls <<<"$out")"
    sample "live.$kind.capture" "$(value changed_capture_ms <<<"$out")"
    sample "live.$kind.cpu" "$ms"; sample "live.$kind.cpupct" "$pct"
done
measure close-window "Bench moving" >/dev/null
printf 'agent CPU with the viewer window showing the still window, %s s\n' "$IDLE_SECONDS"
# The viewer outlives the call and keeps the Unix ends of its parent's output: no pipe here.
bounded 120 "BenchMeasure viewer-open" "$LOG_DIR/bench-measure.log" \
    wine "$MEASURE" viewer-open "Bench still" </dev/null >>"$LOG_DIR/bench-measure.log" 2>&1 \
    || fail "BenchMeasure viewer-open" "see $LOG_DIR/bench-measure.log"
sleep 3   # the first image is drawn
vpid=$(linux_pid 'QuillonViewer.exe')
[ -n "$vpid" ] || fail "the Linux process of the viewer was not found"
c0=$(cpu_ticks "$tpid"); v0=$(cpu_ticks "$vpid"); sleep "$IDLE_SECONDS"; c1=$(cpu_ticks "$tpid"); v1=$(cpu_ticks "$vpid")
sample "agent.viewer.cpu" $(((c1 - c0) * tick_ms)); sample "viewer.idle.cpu" $(((v1 - v0) * tick_ms))
measure viewer-close >/dev/null
measure close-window "Bench still" >/dev/null
measure stop UI0Detect >/dev/null
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

for program in Quillon QuillonControl QuillonExplorer QuillonTray QuillonViewer; do
    sample "size.$program" "$(stat -c %s "$BUILD_DIR/bin/$program.exe")"
done
sample "size.base" "$(stat -c %s "$OUT_DIR/BenchMinimalService.exe")"

step "Results"
python3 "$(dirname "$0")/table.py" "$SAMPLES" "$RUNS" "$IDLE_SECONDS" "$SIZES" "$LIVE_SECONDS" | tee "$OUT_DIR/RESULTS.md"
