# Shared steps of the test run and the demo: packages, build, display, Wine prefix, clean-up.
# Sourced, not run. Every process started here is ended by its own pid or by its prefix.

QUILLON_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The programs ship as 32-bit Windows programs, and the bench runs them so wherever it can. Some
# machines run no 32-bit code at all (IA-32 emulation switched off in the kernel: every i386
# program, Wine's 32-bit loader included, fails with "Exec format error"). There the bench builds
# the same sources as 64-bit programs and runs them under 64-bit Wine; the release archive stays
# 32-bit. QUILLON_ARCH=i686 or x86_64 forces the choice.
runs_32bit_code() {
    local dir status
    command -v as >/dev/null && command -v ld >/dev/null || return 0
    dir=$(mktemp -d)
    printf '.globl _start\n_start:\n mov $1, %%eax\n xor %%ebx, %%ebx\n int $0x80\n' >"$dir/p.s"
    as --32 -o "$dir/p.o" "$dir/p.s" 2>/dev/null && ld -m elf_i386 -o "$dir/p" "$dir/p.o" 2>/dev/null \
        && "$dir/p" 2>/dev/null
    status=$?
    rm -rf "$dir"
    return $status
}
if [ -z "${QUILLON_ARCH:-}" ]; then
    if runs_32bit_code; then QUILLON_ARCH=i686; else QUILLON_ARCH=x86_64; fi
fi
case $QUILLON_ARCH in
    i686)   PRESET=mingw;   WINE_SYSTEM_DIR=syswow64 ;;
    x86_64) PRESET=mingw64; WINE_SYSTEM_DIR=system32 ;;
    *) printf 'FAILED: QUILLON_ARCH=%s\nWhat to do: set it to i686 or x86_64, or leave it unset\n' "$QUILLON_ARCH" >&2; exit 1 ;;
esac
export QUILLON_ARCH
BUILD_DIR=${QUILLON_BUILD_DIR:-$QUILLON_ROOT/build/$PRESET}
BENCH_DIR=$BUILD_DIR/testbench
LOG_DIR=$BUILD_DIR/logs
SCREEN_SIZE=${QUILLON_SCREEN:-1280x1024x24}
XVFB_PID=

step() { printf '\n==> %s\n' "$*"; }

# Programs of the prefix that crashed without a filter of their own (BenchCrashLog.exe, the
# prefix's post-mortem debugger, writes them here; see make_prefix).
CRASH_LOG=$LOG_DIR/crashes.log

report_crashes() {
    if [ -s "$CRASH_LOG" ]; then
        printf 'Programs that crashed in this run (%s):\n' "$CRASH_LOG" >&2
        tr -d '\r' <"$CRASH_LOG" | sed 's/^/  /' >&2
    fi
}

# fail WHAT [WHAT TO DO]
fail() {
    printf '\nFAILED: %s\n' "$1" >&2
    if [ $# -gt 1 ]; then printf 'What to do: %s\n' "$2" >&2; fi
    report_crashes
    exit 1
}

# bounded SECONDS WHAT LOG COMMAND...: runs COMMAND, and fails the script naming WHAT and LOG when
# it has not ended within SECONDS (a program that hangs, or waits on a dialog). Otherwise returns
# the command's own status.
bounded() {
    local seconds=$1 what=$2 log=$3 status=0
    shift 3
    timeout -k 5 "$seconds" "$@" || status=$?
    if [ $status -eq 124 ] || [ $status -eq 137 ]; then
        fail "$what: it had not ended after $seconds s" "read $log"
    fi
    return $status
}

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"
    elif command -v sudo >/dev/null; then sudo "$@"
    else fail "installing packages needs root: $*" "run this script as root or install sudo"
    fi
}

ensure_packages() {
    local wanted=(g++-mingw-w64-i686 wine wine32:i386 wine64 xvfb xauth libboost-dev cmake ninja-build
                  imagemagick googletest python3 unzip binutils xdotool
                  llvm-15 lldb-15 clang-15 libfuzzer-15-dev)
    [ "$QUILLON_ARCH" = x86_64 ] && wanted+=(g++-mingw-w64-x86-64-posix)
    local missing=() p
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        step "Packages: all present"
        return
    fi
    step "Installing packages: ${missing[*]} (about a minute)"
    as_root dpkg --add-architecture i386 || fail "dpkg --add-architecture i386"
    as_root apt-get update -q || fail "apt-get update" "check the network and /etc/apt/sources.list"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" \
        || fail "apt-get install ${missing[*]}" "see the apt output above"
}

build_all() {
    step "Configuring and building in $BUILD_DIR"
    if [ "$QUILLON_ARCH" = x86_64 ]; then
        step "This machine runs no 32-bit code: the bench builds and runs the programs as 64-bit Windows programs"
    fi
    # The wine that runs the tests is the one of this run (the 64-bit one where 32-bit code cannot
    # run), also in a build folder configured before.
    cmake --preset "$PRESET" -B "$BUILD_DIR" -DWINE_PROGRAM="$(command -v wine)" >"$LOG_DIR.configure.log" 2>&1 \
        || { cat "$LOG_DIR.configure.log" >&2; fail "CMake configure" "read the messages above"; }
    rm -f "$LOG_DIR.configure.log"
    cmake --build "$BUILD_DIR" -- -k 0 || fail "build" "fix the compiler errors above"
}

start_display() {
    local n i
    # Another run may take the same number at the same moment: try the next one then.
    for n in $(seq 90 150); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 "$SCREEN_SIZE" -nolisten tcp >"$LOG_DIR/xvfb.log" 2>&1 &
        XVFB_PID=$!
        for i in $(seq 100); do
            kill -0 "$XVFB_PID" 2>/dev/null || break
            if [ -e "/tmp/.X11-unix/X$n" ]; then
                export DISPLAY=":$n"
                step "Xvfb runs on :$n ($SCREEN_SIZE)"
                return
            fi
            sleep 0.1
        done
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
    done
    fail "Xvfb did not start" "see $LOG_DIR/xvfb.log"
}

# A fresh prefix for this run. The stand-ins must be in place, and WINEDLLOVERRIDES set, before
# the prefix boots for good: services inherit their environment from Wine's services.exe.
make_prefix() {
    export WINEPREFIX=$BUILD_DIR/wine-prefix
    export WINEARCH=win64
    export WINEDEBUG=-all
    # Native first for the DLLs the tests place stand-ins or decoys of.
    export WINEDLLOVERRIDES="mscoree,mshtml=;winsta,wtsapi32,userenv,dbghelp,comctl32=n,b"
    step "Making a fresh Wine prefix in $WINEPREFIX (about 15 s)"
    rm -rf "$WINEPREFIX"
    rm -f "$CRASH_LOG"
    bounded 180 "making the prefix (wineboot -i)" "$LOG_DIR/wineboot.log" wineboot -i >"$LOG_DIR/wineboot.log" 2>&1 \
        || fail "wineboot -i" "see $LOG_DIR/wineboot.log"
    bounded 60 "registry setting for the X11 driver" "$LOG_DIR/wineboot.log" \
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 \
        || fail "registry setting for the X11 driver"
    bounded 60 "registry setting for Version" "$LOG_DIR/wineboot.log" \
        wine reg add 'HKCU\Software\Wine' /v Version /d win10 /f >/dev/null 2>&1 || fail "registry setting for Version"
    set_crash_debugger "$WINEPREFIX" "$BENCH_DIR/BenchCrashLog.exe"
    bounded 60 "waiting for the prefix's first server to end" "$LOG_DIR/wineboot.log" wineserver -w
    # The bench's programs run from drive Q:, whose root is the build folder: their Windows paths
    # have no folder above it, so the programs' check of their folder up to the root sees only
    # what this build owns, wherever the checkout lies (a clone under /tmp has a parent that
    # Wine reports as changeable by every user, and the service would start no helper there).
    ln -sfn "$BUILD_DIR" "$WINEPREFIX/dosdevices/q:"

    local system=$WINEPREFIX/drive_c/windows/$WINE_SYSTEM_DIR dll
    for dll in "$BENCH_DIR"/*.dll; do
        [ -e "$dll" ] && cp "$dll" "$system/"
    done

    step "Booting the prefix under a persistent wineserver"
    setsid wineserver -p </dev/null >/dev/null 2>&1
    # Wine's ReportEventW writes no event log: it traces each string on the eventlog channel
    # (information as trace:, warnings as warn:, errors as err:). Services inherit services.exe's
    # environment and its standard error, this log: there the tests read the audit trail of the
    # service's programs (testbench/EventTrace.h). Every other channel stays silent.
    bounded 180 "booting the prefix (wineboot)" "$LOG_DIR/wineboot.log" \
        setsid env WINEDEBUG=-all,+eventlog wine wineboot </dev/null >>"$LOG_DIR/wineboot.log" 2>&1 \
        || fail "wineboot" "see $LOG_DIR/wineboot.log"
    setsid wine "$BENCH_DIR/BenchDesktop.exe" </dev/null >/dev/null 2>&1 &
    # The simulated Terminal Services' host lives as long as the prefix. Started here, not by the
    # first test that needs it: Wine hands a child its parent's Unix stdout even with null
    # standard handles, and ctest would wait for that test's pipe until the host ended.
    if [ -e "$BENCH_DIR/BenchTermSrv.exe" ]; then
        bounded 60 "starting the simulated Terminal Services (BenchTermSrv.exe reset)" "$CRASH_LOG" \
            setsid wine "$BENCH_DIR/BenchTermSrv.exe" reset </dev/null >/dev/null 2>&1 \
            || fail "starting the simulated Terminal Services" "run $BENCH_DIR/BenchTermSrv.exe status by hand"
    fi

    local image
    image=$(winepath -w "$BUILD_DIR/bin/Quillon.exe")
    bounded 60 "registering the UI0Detect service entry" "$LOG_DIR/sc.log" \
        wine sc create UI0Detect binPath= "$image" type= own type= interact start= demand \
        DisplayName= "Interactive Services Detection" >"$LOG_DIR/sc.log" 2>&1 \
        || { cat "$LOG_DIR/sc.log" >&2; fail "registering the UI0Detect service entry"; }
}

# set_crash_debugger PREFIX LOGGER: a program that crashes without a filter of its own starts
# the post-mortem debugger of AeDebug; Wine's shows a dialog and waits for an answer, which would
# hold a run until its time-out. LOGGER names the program in $CRASH_LOG and lets it end. Set for
# both views of the registry, as 32-bit programs read their own.
set_crash_debugger() {
    local prefix=$1 logger key command
    logger=$(WINEPREFIX=$prefix winepath -w "$2")
    command="\"$logger\" \"$(WINEPREFIX=$prefix winepath -w "$CRASH_LOG")\" %ld %ld"
    for key in 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
               'HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\AeDebug'; do
        bounded 60 "setting the post-mortem debugger" "$LOG_DIR/wineboot.log" \
            env WINEPREFIX="$prefix" wine reg add "$key" /v Debugger /d "$command" /f >/dev/null 2>&1 \
            && bounded 60 "setting the post-mortem debugger" "$LOG_DIR/wineboot.log" \
                env WINEPREFIX="$prefix" wine reg add "$key" /v Auto /d 1 /f >/dev/null 2>&1 \
            || fail "setting the post-mortem debugger ($key)"
    done
}

cleanup() {
    local status=$?
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
    fi
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
    fi
    return $status
}

# Where Wine's 32-bit loader cannot run, "wine" and the tools that call it must take the 64-bit one.
use_wine64() {
    local shim=$BUILD_DIR/wine64-path name
    mkdir -p "$shim"
    for name in wine wine-stable; do
        printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"\n' >"$shim/$name"
        chmod +x "$shim/$name"
    done
    case :$PATH: in *":$shim:"*) ;; *) export PATH=$shim:$PATH ;; esac
}
if [ "$QUILLON_ARCH" = x86_64 ]; then use_wine64; fi

prepare_bench() {
    trap cleanup EXIT
    trap 'exit 130' INT TERM
    ensure_packages
    mkdir -p "$LOG_DIR"
    build_all
    start_display
    make_prefix
}
