#!/usr/bin/env bash
# Prints every thread's stack of a mini dump of a Quillon program, with function names and source
# lines, using lldb 15 and the debug files (NAME.debug, DWARF) of the build that crashed.
#
#   testbench/read-dump.sh DUMP [SYMBOLS [FOLDER...]]
#
# SYMBOLS is Quillon-<version>-win32-symbols.zip, or a folder holding the programs with their
# .debug files (a build's bin folder); without it, the bench's own build. The programs must be the
# very builds that crashed: lldb matches each one to the dump by its debug record and ignores
# others, and finds each debug file beside its program through the program's debug link.
# FOLDERs hold further DLLs of the crashed process (the bench's stand-ins, say). Wine's own DLLs
# are taken from its installation, when there is one, so that stacks read through them.
set -euo pipefail

usage() { echo "usage: $0 DUMP [SYMBOLS [FOLDER...]]" >&2; exit 2; }
[ $# -ge 1 ] || usage
dump=$1
symbols=${2:-}
extra=("${@:3}")
root=$(cd "$(dirname "$0")/.." && pwd)

[ -f "$dump" ] || { echo "FAILED: no dump at $dump" >&2; exit 1; }
lldb=$(command -v lldb-15 || true)
[ -n "$lldb" ] || { echo "FAILED: lldb-15 is missing; install Debian's lldb-15" >&2; exit 1; }

if [ -z "$symbols" ]; then
    for preset in mingw64 mingw; do
        if [ -d "$root/build/$preset/bin" ]; then symbols=$root/build/$preset/bin; break; fi
    done
    [ -n "$symbols" ] || { echo "FAILED: no build to take symbols from; name the symbols archive" >&2; exit 1; }
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -f "$symbols" ]; then
    unzip -q "$symbols" -d "$work/symbols" || { echo "FAILED: $symbols is not a zip archive" >&2; exit 1; }
    symbols=$work/symbols
fi
[ -d "$symbols" ] || { echo "FAILED: no symbols at $symbols" >&2; exit 1; }
# The folder that holds the programs (the archive has one folder inside).
programs=$(find "$symbols" -name '*.exe' -printf '%h\n' | sort -u | head -1)
[ -n "$programs" ] || { echo "FAILED: no programs in $symbols" >&2; exit 1; }

# The dump's processor (its system information stream): 64-bit x86 (9) or 32-bit x86 (0). It picks
# which of Wine's DLLs fit.
arch=$(python3 - "$dump" <<'EOF'
import struct, sys
data = open(sys.argv[1], 'rb').read()
if data[:4] != b'MDMP':
    sys.exit('not a mini dump')
count, rva = struct.unpack_from('<II', data, 8)
for i in range(count):
    kind, size, at = struct.unpack_from('<III', data, rva + 12 * i)
    if kind == 7:   # SystemInfoStream
        print({0: 'i386', 9: 'x86_64'}.get(struct.unpack_from('<H', data, at)[0], 'other'))
        break
else:
    print('other')
EOF
) || { echo "FAILED: $dump is not a mini dump" >&2; exit 1; }
search=("$programs" "${extra[@]}")
for wine_dlls in /usr/lib/$arch-linux-gnu/wine/$arch-windows /usr/lib/wine/$arch-windows; do
    if [ -d "$wine_dlls" ]; then search+=("$wine_dlls"); break; fi
done

# Debian's lldb-15 lacks its Python scripting files and says so on every command: those lines
# only are left out.
# Frames name function, file and line, without argument values: lldb 15 crashed evaluating the
# location of a by-value std::function argument in GCC's DWARF.
"$lldb" -b -x \
    -o 'settings set frame-format "frame #${frame.index}: ${frame.pc}{ ${module.file.basename}`${function.name}}{ at ${line.file.basename}:${line.number}}\n"' \
    -o "settings set target.exec-search-paths $(printf '"%s" ' "${search[@]}")" \
    -o "target create --core \"$dump\"" \
    -o 'thread backtrace all' \
    2> >(grep -vE '^(Traceback \(most recent call last\):|  File "<string>", line 1, in <module>|ModuleNotFoundError: No module named .lldb\.|NameError: name .run_one_line. is not defined)' >&2)
