#!/usr/bin/env bash
# The service's crash on its UI thread (ServiceCrashTest.cpp, under Wine), then its dump read with
# the symbols of the build that crashed: the failing thread names the shell's own functions below
# the system call that faulted, and the main thread's stack reaches the program's entry.
# On a machine that runs 32-bit code the bench runs the 32-bit build, whose debug files these are; where
# it runs none (see testbench/lib.sh) it is the 64-bit build of the same sources with its debug files.
#   ServiceCrashTest.sh CRASH_PROGRAM SYMBOLS_FOLDER STAND_IN_FOLDER
set -euo pipefail
program=$1 symbols=$2 standins=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dump=$work/Quillon.dmp

# Wine maps drive Z: to the root of the file system.
QUILLON_DUMP_COPY="Z:${dump//\//\\}" wine "$program" --gtest_color=no
[ -s "$dump" ] || { echo "FAILED: the crash left no dump to read"; exit 1; }

"$here/../../testbench/read-dump.sh" "$dump" "$symbols" "$standins" >"$work/stacks.txt" 2>&1 \
    || { cat "$work/stacks.txt"; echo "FAILED: read-dump.sh could not read the dump"; exit 1; }
cat "$work/stacks.txt"

# Thread blocks of lldb's "thread backtrace all": the one that failed starts with "* thread".
failing=$(awk '/^\* thread #/ {on=1; next} /^  thread #/ {on=0} on' "$work/stacks.txt")
others=$(awk '/^\* thread #/ {on=0; next} /^  thread #/ {on=1} on' "$work/stacks.txt")
status=0
expect() {   # expect WHAT TEXT PATTERN
    if ! grep -qE "$3" <<<"$2"; then echo "FAILED: $1 (no match for $3)"; status=1; fi
}
expect "the fault is inside the system DLL" "$failing" 'frame #0: .*wtsapi32\.dll'
expect "the failing call is the registration" "$failing" 'wtsapi32\.dll`(::)?WTSRegisterSessionNotification'
expect "the failing thread names the shell's handler, with its source line" "$failing" \
    'Quillon\.exe`.*QuillonShellWindow::OnTerminalServicesReady.* at ShellWindow\.cpp:[0-9]+'
expect "the failing thread reaches the service's UI thread" "$failing" 'Quillon\.exe`.*RunUiThread'
expect "the main thread's stack shows the program's entry" "$others" 'Quillon\.exe`.*wWinMain.* at Main\.cpp:[0-9]+'
exit $status
