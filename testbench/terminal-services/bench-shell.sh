#!/usr/bin/env bash
# A shell inside a fresh bench prefix, with the UI0Detect service registered and the simulated
# Terminal Services at hand:
#     testbench/terminal-services/bench-shell.sh            an interactive shell
#     testbench/terminal-services/bench-shell.sh -c 'CMDS'  runs the commands and ends
# In it, `ts COMMAND` drives the simulated Terminal Services (`ts` alone lists the commands),
# `service start|stop` drives the service, and `screenshot FILE.png` saves the display.
# Everything started here ends with the shell.
set -euo pipefail
. "$(dirname "$0")/../lib.sh"

prepare_bench

cat >"$BUILD_DIR/bench-shell.rc" <<RC
[ -f ~/.bashrc ] && . ~/.bashrc
ts() { wine "$BENCH_DIR/BenchTermSrv.exe" "\$@"; }
service() {
    case "\${1:-}" in
        start) wine sc start UI0Detect >/dev/null && wine "$BENCH_DIR/BenchWaitWindow.exe" '\$\$\$UI0Background' 10000 && echo "service running, shell window shown" ;;
        stop) wine sc stop UI0Detect >/dev/null; echo "stop requested" ;;
        *) echo "usage: service start|stop (ts control 129 returns the console)" ;;
    esac
}
screenshot() { import -display "\$DISPLAY" -window root "\${1:-screen.png}"; }
PS1='[quillon bench] \w\$ '
RC
step "Bench shell (DISPLAY=$DISPLAY, WINEPREFIX=$WINEPREFIX); leave it with exit"
status=0
if [ "${1:-}" = -c ]; then
    bash --rcfile "$BUILD_DIR/bench-shell.rc" -ic "$2" || status=$?
else
    bash --rcfile "$BUILD_DIR/bench-shell.rc" -i || status=$?
fi
exit $status
