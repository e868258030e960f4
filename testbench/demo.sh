#!/usr/bin/env bash
# The main job: builds everything, installs the UI0Detect entry in a fresh Wine prefix, starts the
# service, saves a screenshot of its session 0 shell and stops the service again.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

prepare_bench
DEMO_DIR=$BUILD_DIR/demo
mkdir -p "$DEMO_DIR"

step "A simulated user, alice, logs on in session 1 and holds the console"
wine "$BENCH_DIR/BenchTermSrv.exe" logon 1 alice && wine "$BENCH_DIR/BenchTermSrv.exe" console 1 \
    && wine "$BENCH_DIR/BenchTermSrv.exe" ready || fail "setting up the simulated user session"

step "Starting the UI0Detect service"
wine sc start UI0Detect >"$LOG_DIR/sc-start.log" 2>&1 || { cat "$LOG_DIR/sc-start.log" >&2; fail "starting the service"; }
wine "$BENCH_DIR/BenchWaitWindow.exe" '$$$UI0Background' 15000 \
    || fail "the shell window did not appear" "see $LOG_DIR for the bench logs"
wine "$BENCH_DIR/BenchSessionProcesses.exe" --wait QuillonTray.exe 1 15000 QuillonExplorer.exe >/dev/null \
    || fail "the tray helper did not start in alice's session"
sleep 1

step "The service and its helpers per session, as the simulated Terminal Services sees them"
wine "$BENCH_DIR/BenchSessionProcesses.exe" | tr -d '\r'

step "Taking a screenshot of the display"
import -display "$DISPLAY" -window root "$DEMO_DIR/quillon-shell.png" || fail "screenshot with ImageMagick"

step "Stopping the service"
wine sc stop UI0Detect >"$LOG_DIR/sc-stop.log" 2>&1 || { cat "$LOG_DIR/sc-stop.log" >&2; fail "stopping the service"; }

step "The session 0 report of QuillonControl.exe"
# The tool writes UTF-16; the terminal wants UTF-8.
wine "$BUILD_DIR/bin/QuillonControl.exe" -k --query | iconv -f UTF-16LE -t UTF-8 | tr -d '\r' \
    || fail "the session 0 report"

step "Done. Screenshot of the session 0 shell: $DEMO_DIR/quillon-shell.png"
