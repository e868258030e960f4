#!/usr/bin/env bash
# The main job: builds everything, installs the UI0Detect entry in a fresh Wine prefix, starts the
# service, saves a screenshot of its session 0 shell, answers a session 0 message box and dialog
# with QuillonViewer and stops the service again. Every step that starts a program is bounded.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

prepare_bench
DEMO_DIR=$BUILD_DIR/demo
mkdir -p "$DEMO_DIR"

step "A simulated user, alice, logs on in session 1 and holds the console"
termsrv() { bounded 60 "the simulated Terminal Services (BenchTermSrv.exe $*)" "$CRASH_LOG" wine "$BENCH_DIR/BenchTermSrv.exe" "$@"; }
termsrv logon 1 alice && termsrv console 1 && termsrv ready || fail "setting up the simulated user session"

step "The taskbar of alice's session, which records the notifications her tray shows"
setsid wine "$BENCH_DIR/BenchTaskbar.exe" </dev/null >/dev/null 2>&1 &

step "Starting the UI0Detect service"
bounded 60 "starting the service (sc start UI0Detect)" "$LOG_DIR/sc-start.log" \
    wine sc start UI0Detect >"$LOG_DIR/sc-start.log" 2>&1 || { cat "$LOG_DIR/sc-start.log" >&2; fail "starting the service"; }
bounded 60 "waiting for the shell window" "$CRASH_LOG" wine "$BENCH_DIR/BenchWaitWindow.exe" '$$$UI0Background' 15000 \
    || fail "the shell window did not appear" "see $LOG_DIR for the bench logs"
bounded 60 "waiting for the helpers" "$CRASH_LOG" \
    wine "$BENCH_DIR/BenchSessionProcesses.exe" --wait QuillonTray.exe 1 15000 QuillonExplorer.exe >/dev/null \
    || fail "the tray helper did not start in alice's session"
sleep 1

step "The service and its helpers per session, as the simulated Terminal Services sees them"
bounded 60 "listing the processes" "$CRASH_LOG" wine "$BENCH_DIR/BenchSessionProcesses.exe" | tr -d '\r'

step "Taking a screenshot of the display"
bounded 60 "the screenshot" "$LOG_DIR/xvfb.log" import -display "$DISPLAY" -window root "$DEMO_DIR/quillon-shell.png" \
    || fail "screenshot with ImageMagick"

# The point of it all: a program in session 0 asks a question, as a service would, and the
# administrator answers it from their own desktop with QuillonViewer.
viewer() {
    bounded 60 "QuillonViewer $*" "$CRASH_LOG" wine "$BUILD_DIR/bin/QuillonViewer.exe" "$@" </dev/null \
        | iconv -f UTF-16LE -t UTF-8 | tr -d '\r'
}
taskbar() { bounded 60 "the bench taskbar ($*)" "$CRASH_LOG" wine "$BENCH_DIR/BenchTaskbar.exe" "$@" | tr -d '\r'; }
step "A program in session 0 shows a message box and a dialog, as a service would"
answers=$DEMO_DIR/answers.txt
rm -f "$answers"
setsid wine "$BENCH_DIR/BenchDialogs.exe" "$(winepath -w "$answers")" </dev/null >/dev/null 2>&1 &
for _ in $(seq 100); do viewer --list 2>/dev/null | grep -q $'\tBench question$' && break; sleep 0.2; done

step "The notifications alice's session received (session, title, text), as her taskbar recorded them"
for _ in $(seq 50); do taskbar --print | grep -q 'Bench question' && break; sleep 0.2; done
taskbar --print | awk -F'\t' '{ printf "session %s: %s: %s\n", $1, $2, $3 }'

step "QuillonViewer --list (ID, process id, program, title)"
list=$(viewer --list) || fail "QuillonViewer --list" "see $LOG_DIR for the bench logs"
echo "$list"
question=$(echo "$list" | awk -F'\t' '$4 == "Bench question" { print $1 }')
[ -n "$question" ] || fail "the message box is not in the list"

step "QuillonViewer --save $question: the box's picture, next to the shell's screenshot"
viewer --save "$question" "$(winepath -w "$DEMO_DIR/session0-question.png")" || fail "QuillonViewer --save"
echo "$DEMO_DIR/session0-question.png"

ok=$(bounded 60 "finding the OK button" "$CRASH_LOG" wine "$BENCH_DIR/BenchControlPoint.exe" "Bench question" Button OK | tr -d '\r') \
    || fail "finding the OK button of the message box"
step "QuillonViewer --click $question $ok: OK, where the picture shows it"
viewer --click "$question" $ok || fail "QuillonViewer --click"
for _ in $(seq 50); do grep -q '^box=' "$answers" 2>/dev/null && break; sleep 0.1; done
echo "what the program in session 0 received: $(grep '^box=' "$answers" 2>/dev/null || echo nothing) (1 is OK)"

licence=$(echo "$list" | awk -F'\t' '$4 == "Bench licence" { print $1 }')
[ -n "$licence" ] || fail "the licence dialog is not in the list"
edit=$(bounded 60 "finding the licence dialog's edit box" "$CRASH_LOG" \
    wine "$BENCH_DIR/BenchControlPoint.exe" "Bench licence" Edit "" | tr -d '\r') \
    || fail "finding the edit box of the licence dialog"
step "QuillonViewer --click $licence $edit, --type $licence ABC-123, --key $licence ENTER: the licence dialog answered"
viewer --click "$licence" $edit || fail "QuillonViewer --click into the edit box"
# The click is posted: the text waits until the edit box has the focus, as a person waits for the caret.
sleep 0.5
viewer --type "$licence" ABC-123 || fail "QuillonViewer --type"
viewer --key "$licence" ENTER || fail "QuillonViewer --key"
for _ in $(seq 50); do grep -q '^dialog=' "$answers" 2>/dev/null && break; sleep 0.1; done
echo "what the program in session 0 received: $(grep '^dialog=' "$answers" 2>/dev/null || echo nothing) (1 is OK)"

# Most services are not interactive: Windows puts their windows on a window station of their own,
# where nobody sees them and the service waits for ever. The agent reaches those too.
step "A service without the interactive flag shows a message box and a dialog: on which desktop they land"
hung_record=$DEMO_DIR/hung-service.txt
bounded 60 "starting the bench's non-interactive service (BenchHungService.exe start)" "$CRASH_LOG" \
    wine "$BENCH_DIR/BenchHungService.exe" start "$(winepath -w "$hung_record")" </dev/null | tr -d '\r' \
    || fail "the non-interactive service's windows did not show" "see $LOG_DIR for the bench logs"
hung_dialog='Quillon bench: export'
hung_box='Quillon bench: disk full'
for _ in $(seq 50); do viewer --list 2>/dev/null | grep -q $'\t'"$hung_dialog"$'\t' && break; sleep 0.2; done

step "QuillonViewer --list (ID, process id, program, title, place)"
list=$(viewer --list) || fail "QuillonViewer --list" "see $LOG_DIR for the bench logs"
echo "$list"
export_id=$(echo "$list" | awk -F'\t' -v t="$hung_dialog" '$4 == t { print $1 }')
disk_id=$(echo "$list" | awk -F'\t' -v t="$hung_box" '$4 == t { print $1 }')
[ -n "$export_id" ] && [ -n "$disk_id" ] || fail "the non-interactive service's windows are not in the list"

step "QuillonViewer --controls $export_id (control, id, class, text, rectangle in the window, states)"
controls=$(viewer --controls "$export_id") || fail "QuillonViewer --controls"
echo "$controls"
# The edit box's centre, from its rectangle: a click there gives it the focus, as it would a user.
edit_at=$(echo "$controls" | awk -F'\t' '$3 == "Edit" { split($5, r, ","); print int((r[1] + r[3]) / 2), int((r[2] + r[4]) / 2) }')
[ -n "$edit_at" ] || fail "the dialog's edit box is not among its controls"

step "QuillonViewer --press $export_id \"overwrite the file\", --click $export_id $edit_at, --type $export_id 'D:\\exports\\report.csv', --press $export_id save, --press $disk_id retry"
viewer --press "$export_id" "overwrite the file" || fail "QuillonViewer --press (the check box)"
viewer --click "$export_id" $edit_at || fail "QuillonViewer --click into the edit box"
sleep 0.5   # the click is posted: the text waits until the edit box has the focus
viewer --type "$export_id" 'D:\exports\report.csv' || fail "QuillonViewer --type"
viewer --press "$export_id" save || fail "QuillonViewer --press (the dialog's Save)"
viewer --press "$disk_id" retry || fail "QuillonViewer --press (the message box's Retry)"
for _ in $(seq 50); do grep -q '^box=' "$hung_record" 2>/dev/null && grep -q '^dialog=' "$hung_record" && break; sleep 0.1; done
echo "what the service recorded:"
sed 's/^/  /' "$hung_record" 2>/dev/null || echo "  nothing"
bounded 60 "stopping the bench's non-interactive service" "$CRASH_LOG" \
    wine "$BENCH_DIR/BenchHungService.exe" stop </dev/null >/dev/null 2>&1 || fail "the non-interactive service did not end"

step "Stopping the service"
bounded 60 "stopping the service (sc stop UI0Detect)" "$LOG_DIR/sc-stop.log" \
    wine sc stop UI0Detect >"$LOG_DIR/sc-stop.log" 2>&1 || { cat "$LOG_DIR/sc-stop.log" >&2; fail "stopping the service"; }

step "The session 0 report of QuillonControl.exe"
# The tool writes UTF-16; the terminal wants UTF-8.
bounded 60 "the session 0 report (QuillonControl -k --query)" "$CRASH_LOG" \
    wine "$BUILD_DIR/bin/QuillonControl.exe" -k --query | iconv -f UTF-16LE -t UTF-8 | tr -d '\r' \
    || fail "the session 0 report"

step "Done. Screenshot of the session 0 shell: $DEMO_DIR/quillon-shell.png; the box: $DEMO_DIR/session0-question.png"
