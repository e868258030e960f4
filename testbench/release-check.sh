#!/usr/bin/env bash
# Checks the release archive: built twice (the second time from scratch in another folder) it
# must come out byte for byte the same; it holds exactly the shipped files with a checksum that
# matches; its programs import only the system's own DLLs; and, unpacked alone into a clean Wine
# prefix that has no UI0Detect entry (as Windows 10 1803 and later), it installs, starts and
# uninstalls, leaving no entry behind. The 32-bit programs are checked from their files for one C++
# ABI (check-abi.sh) on every machine; where the machine runs 32-bit code, the install check runs
# the very programs of the archive.
# Run by run-tests.sh after the tests, with the display of the run; can be run alone as well.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

VERSION=$(sed -n 's/^project(Quillon VERSION \([0-9.]*\).*/\1/p' "$QUILLON_ROOT/CMakeLists.txt")
NAME=Quillon-$VERSION-win32
# The archive is always the 32-bit build. Where the bench runs 64-bit programs, the archive is
# built in a folder of its own, and the install check below uses the bench's 64-bit build of the
# same sources, packed the same way.
if [ "$QUILLON_ARCH" = i686 ]; then
    RELEASE_DIR=$BUILD_DIR
else
    RELEASE_DIR=$QUILLON_ROOT/build/mingw-release
fi
ZIP=$RELEASE_DIR/$NAME.zip
SYMBOLS_ZIP=$RELEASE_DIR/$NAME-symbols.zip
SECOND=$BUILD_DIR/release-rebuild
CLEAN_PREFIX=$BUILD_DIR/release-prefix
mkdir -p "$LOG_DIR"

release_cleanup() {
    local status=$?
    if [ -d "$CLEAN_PREFIX" ]; then WINEPREFIX=$CLEAN_PREFIX wineserver -k 2>/dev/null || true; fi
    if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; wait "$XVFB_PID" 2>/dev/null || true; fi
    return $status
}
trap release_cleanup EXIT

step "Release: packing the archive"
if [ "$RELEASE_DIR" != "$BUILD_DIR" ]; then
    cmake --preset mingw -B "$RELEASE_DIR" -DQUILLON_TEST_BENCH=OFF >"$LOG_DIR/package.log" 2>&1 \
        || { cat "$LOG_DIR/package.log" >&2; fail "configuring the 32-bit release build in $RELEASE_DIR"; }
fi
cmake --build "$RELEASE_DIR" --target package >>"$LOG_DIR/package.log" 2>&1 \
    || { cat "$LOG_DIR/package.log" >&2; fail "the package target" "read the messages above"; }
[ -f "$ZIP" ] && [ -f "$ZIP.sha256" ] || fail "the package target made no $ZIP"
[ -f "$SYMBOLS_ZIP" ] && [ -f "$SYMBOLS_ZIP.sha256" ] || fail "the package target made no $SYMBOLS_ZIP"
first=$(sha256sum "$ZIP" | cut -d' ' -f1)

step "Release: rebuilding the shipped programs from scratch in $SECOND and packing again"
rm -rf "$SECOND"
cmake --preset mingw -B "$SECOND" -DQUILLON_TEST_BENCH=OFF >"$LOG_DIR/rebuild.log" 2>&1 \
    && cmake --build "$SECOND" --target package >>"$LOG_DIR/rebuild.log" 2>&1 \
    || { tail -30 "$LOG_DIR/rebuild.log" >&2; fail "the second build" "see $LOG_DIR/rebuild.log"; }
second=$(sha256sum "$SECOND/$NAME.zip" | cut -d' ' -f1)
if [ "$first" != "$second" ]; then
    fail "the archive is not reproducible ($first against $second)" \
         "compare the two with: diffoscope $ZIP $SECOND/$NAME.zip"
fi
cmp -s "$ZIP.sha256" "$SECOND/$NAME.zip.sha256" || fail "the two checksum files differ"
# The symbols: the programs and their debug files are the same bytes too. The PDBs are not
# compared: GNU ld names in them each object it linked by its absolute path, the build folder's.
rm -rf "$LOG_DIR/symbols-first" "$LOG_DIR/symbols-second"
unzip -q "$SYMBOLS_ZIP" -d "$LOG_DIR/symbols-first" && unzip -q "$SECOND/$NAME-symbols.zip" -d "$LOG_DIR/symbols-second" \
    || fail "unpacking the two symbols archives"
for file in $(cd "$LOG_DIR/symbols-first" && find . -type f ! -name '*.pdb' | sort); do
    cmp -s "$LOG_DIR/symbols-first/$file" "$LOG_DIR/symbols-second/$file" \
        || fail "$file of the symbols archive is not reproducible" \
                "compare $LOG_DIR/symbols-first/$file with $LOG_DIR/symbols-second/$file"
done
[ "$(cd "$LOG_DIR/symbols-first" && find . -type f | sort)" = "$(cd "$LOG_DIR/symbols-second" && find . -type f | sort)" ] \
    || fail "the two symbols archives hold different files"
rm -rf "$LOG_DIR/symbols-first" "$LOG_DIR/symbols-second"
echo "same bytes twice: $first; the symbols archive's programs and debug files too"

step "Release: contents and checksum"
expected="$NAME/LICENSE.txt
$NAME/Quillon.exe
$NAME/QuillonControl.exe
$NAME/QuillonExplorer.exe
$NAME/QuillonTray.exe
$NAME/QuillonViewer.exe
$NAME/README.txt"
actual=$(unzip -Z1 "$ZIP" | sort)
[ "$actual" = "$expected" ] || fail "the archive holds:
$actual
instead of:
$expected"
(cd "$RELEASE_DIR" && sha256sum -c "$NAME.zip.sha256" >/dev/null) || fail "the checksum file does not match the archive"
echo "$(stat -c %s "$ZIP") bytes, $(echo "$expected" | wc -l) files, checksum matches"

UNPACKED=$BUILD_DIR/release-unpacked
rm -rf "$UNPACKED" && mkdir -p "$UNPACKED"
unzip -q "$ZIP" -d "$UNPACKED"

step "Release: the symbols archive holds each program with the PDB its debug record names"
programs="Quillon QuillonControl QuillonExplorer QuillonTray QuillonViewer"
expected=$(for p in $programs; do echo "$NAME-symbols/$p.exe"; echo "$NAME-symbols/$p.pdb"; echo "$NAME-symbols/$p.debug"; done | sort)
actual=$(unzip -Z1 "$SYMBOLS_ZIP" | sort)
[ "$actual" = "$expected" ] || fail "the symbols archive holds:
$actual
instead of:
$expected"
(cd "$RELEASE_DIR" && sha256sum -c "$NAME-symbols.zip.sha256" >/dev/null) || fail "the checksum file does not match the symbols archive"
SYMBOLS_UNPACKED=$BUILD_DIR/release-symbols
rm -rf "$SYMBOLS_UNPACKED" && mkdir -p "$SYMBOLS_UNPACKED"
unzip -q "$SYMBOLS_ZIP" -d "$SYMBOLS_UNPACKED"
for p in $programs; do
    dir=$SYMBOLS_UNPACKED/$NAME-symbols
    cmp -s "$dir/$p.exe" "$UNPACKED/$NAME/$p.exe" || fail "$p.exe of the symbols archive is not the released one"
    record=$(llvm-readobj-15 --coff-debug-directory "$dir/$p.exe")
    grep -q "PDBFileName: $p.pdb\$" <<<"$record" || fail "$p.exe does not name $p.pdb in its debug record"
    # The GUID as the program holds it (bytes) and as the PDB shows it (a Windows GUID).
    bytes=$(sed -n 's/.*PDBGUID: (\(.*\))/\1/p' <<<"$record" | tr -d ' ')
    guid=$(llvm-pdbutil-15 dump -summary "$dir/$p.pdb" | sed -n 's/.*GUID: {\(.*\)}/\1/p' | tr -d '-')
    swapped=${guid:6:2}${guid:4:2}${guid:2:2}${guid:0:2}${guid:10:2}${guid:8:2}${guid:14:2}${guid:12:2}${guid:16}
    [ -n "$bytes" ] && [ "$bytes" = "$swapped" ] || fail "$p.pdb is not the PDB of $p.exe ($bytes against $guid)"
    debuglink=$(llvm-readobj-15 --string-dump=.gnu_debuglink "$dir/$p.exe" 2>/dev/null | grep -o "$p\.debug" | head -1)
    [ "$debuglink" = "$p.debug" ] || fail "$p.exe does not link to $p.debug, where lldb finds its source lines"
    echo "$p.exe: $p.pdb {$guid}, $p.debug"
done

step "Release: the 32-bit programs of the symbols archive are of one C++ ABI"
"$QUILLON_ROOT/testbench/check-abi.sh" i686 "$SYMBOLS_UNPACKED/$NAME-symbols" \
    || fail "the shipped 32-bit programs mix compilers or do not register their unwind tables" \
            "read the lines above; the toolchain is cmake/mingw-common.cmake"

step "Release: the programs load at start only the system's known DLLs"
# Known DLLs always come from the system folder. The others (wtsapi32, userenv, dbghelp,
# comctl32) must load on first use, from the system folder only: never as imports the loader
# would look for beside the program first.
allowed='^(advapi32|gdi32|kernel32|msvcrt|ole32|shell32|shlwapi|user32)\.dll$'
for exe in "$UNPACKED/$NAME"/*.exe; do
    imports=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
    bad=$(echo "$imports" | grep -vE "$allowed" || true)
    [ -z "$bad" ] || fail "$(basename "$exe") imports $bad at start" \
        "link it statically (-static), or load that system DLL on first use (cmake/SystemDlls.cmake)"
    echo "$(basename "$exe"): $(echo $imports)"
done

step "Release: installing the unpacked archive in a clean prefix"
[ -n "${DISPLAY:-}" ] || start_display
export WINEPREFIX=$CLEAN_PREFIX WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$CLEAN_PREFIX"
boot_log=$LOG_DIR/release-wineboot.log
bounded 180 "making the clean prefix (wineboot -i)" "$boot_log" wineboot -i >"$boot_log" 2>&1 \
    || fail "wineboot -i of the clean prefix" "see $boot_log"
bounded 60 "registry settings of the clean prefix" "$boot_log" \
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
bounded 60 "registry settings of the clean prefix" "$boot_log" \
    wine reg add 'HKCU\Software\Wine' /v Version /d win10 /f >/dev/null 2>&1
set_crash_debugger "$CLEAN_PREFIX" "$BENCH_DIR/BenchCrashLog.exe"
bounded 60 "waiting for the clean prefix's first server" "$boot_log" wineserver -w
setsid wineserver -p </dev/null >/dev/null 2>&1
bounded 180 "booting the clean prefix" "$boot_log" setsid wine wineboot </dev/null >>"$boot_log" 2>&1
# Wine, like Windows 10 1803 and later, has no UI0Detect entry: the tool creates it.
install_dir=$CLEAN_PREFIX/drive_c/Quillon
if [ "$QUILLON_ARCH" = i686 ]; then
    cp -r "$UNPACKED/$NAME" "$install_dir"
else
    echo "this machine runs no 32-bit code: installing the bench's 64-bit build of the same sources"
    cmake --build "$BUILD_DIR" --target package >>"$LOG_DIR/package.log" 2>&1 \
        || { cat "$LOG_DIR/package.log" >&2; fail "packing the 64-bit build"; }
    unpacked64=$BUILD_DIR/release-unpacked-64
    rm -rf "$unpacked64" && mkdir -p "$unpacked64"
    unzip -q "$BUILD_DIR/$NAME.zip" -d "$unpacked64"
    cp -r "$unpacked64/$NAME" "$install_dir"
fi

query() { bounded 60 "reading the UI0Detect entry" "$CRASH_LOG" wine "$BENCH_DIR/BenchQueryService.exe" UI0Detect 2>&1 | tr -d '\r'; }
# control LOG ARGS...: the unpacked archive's QuillonControl.exe
control() {
    local log=$LOG_DIR/$1
    shift
    bounded 120 "QuillonControl $* from the unpacked archive" "$log" \
        wine 'C:\Quillon\QuillonControl.exe' "$@" </dev/null >"$log" 2>&1 \
        || { iconv -f UTF-16LE -t UTF-8 "$log" >&2 2>/dev/null || cat "$log" >&2; fail "QuillonControl $* from the unpacked archive" "see $log"; }
}
shell_window() { bounded 60 "waiting for the shell window" "$CRASH_LOG" wine "$BENCH_DIR/BenchWaitWindow.exe" '$$$UI0Background' 15000; }

control release-install.log -i
query | grep -qx 'IMAGE=C:\\Quillon\\Quillon.exe' || { query >&2; fail "-i did not point UI0Detect at C:\\Quillon\\Quillon.exe"; }
query | grep -qx 'START=2' || { query >&2; fail "-i did not make the start automatic"; }
query | grep -qx 'ERROR_CONTROL=2' || { query >&2; fail "-i did not make the error control severe"; }
query | grep -qx 'TYPE=0x110' || { query >&2; fail "-i did not create an own-process, interactive entry"; }
query | grep -qE '^STATE=(2|4)$' || { query >&2; fail "-i did not start the service"; }
shell_window || fail "the installed service showed no shell window" "see $LOG_DIR/release-install.log"
echo "installed and running: $(query | grep IMAGE=)"

control release-stop.log -t
query | grep -qx 'STATE=1' || { query >&2; fail "-t did not stop the service"; }
control release-start.log -s
query | grep -qE '^STATE=(2|4)$' || { query >&2; fail "-s did not start the service"; }
shell_window || fail "the service started by -s showed no shell window" "see $LOG_DIR/release-start.log"
echo "stopped with -t, started again with -s"

control release-uninstall.log -u
after=$(query || true)
[ "$after" = 'cannot open UI0Detect: error 1060' ] || { echo "$after" >&2; fail "-u did not remove the UI0Detect entry it created"; }
echo "removed: no UI0Detect entry"

# Without an entry the tool reports what it cannot find, and fails.
status=0
bounded 60 "QuillonControl -t without an entry" "$CRASH_LOG" \
    wine 'C:\Quillon\QuillonControl.exe' -t </dev/null >"$LOG_DIR/release-no-entry.log" 2>&1 || status=$?
line=$(iconv -f UTF-16LE -t UTF-8 "$LOG_DIR/release-no-entry.log" | tr -d '\r' | sed 's/^\xEF\xBB\xBF//')
[ "$status" = 1 ] && grep -q '^\[system:1060\] Couldn.t connect to UI0Detect service: ' <<<"$line" \
    || fail "-t without an entry gave exit code $status and: $line" "expected the 1060 line and exit code 1"
echo "-t without an entry: $line (exit code 1)"
if [ "$QUILLON_ARCH" = i686 ]; then
    echo "the programs installed, started, stopped and removed were the archive's own 32-bit programs"
else
    echo "this machine runs no 32-bit code: that was the 64-bit build of the same sources; the archive's own programs were not run"
fi
step "Release checks passed"
