#!/usr/bin/env bash
# Proves from built programs, not from the build files, that each was made by one C++ ABI:
#
# - every compile unit of the program names its compiler (the DWARF of NAME.debug, and the
#   compile records of NAME.pdb): our sources must be compiled by the same GCC as the C++ and C
#   runtime in the program, and nothing by clang, whose i686 objects do not agree with GCC's on
#   every call (a libstdc++ function compiled by one calling a template copy made by the other
#   crashed);
# - on i686, the program registers its DWARF unwind tables with libgcc's unwinder at start
#   (GCC's own crtbegin/crtend: ___gcc_register_frame, and ___register_frame_info linked in),
#   without which every throw ends in std::terminate;
# - the debug file is the program's own (same CodeView GUID).
#
#   testbench/check-abi.sh ARCH FOLDER     ARCH: i686 or x86_64; FOLDER holds Quillon*.exe with
#                                          their .pdb and .debug (a build's bin, or the
#                                          unpacked symbols archive)
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 i686|x86_64 FOLDER" >&2; exit 2; }
arch=$1 folder=$2
root=$(cd "$(dirname "$0")/.." && pwd)
for tool in llvm-dwarfdump-15 llvm-pdbutil-15 llvm-readobj-15; do
    command -v "$tool" >/dev/null || { echo "FAILED: $tool is missing; install Debian's llvm-15" >&2; exit 1; }
done

status=0
problem() { echo "  FAILED: $*"; status=1; }
guid() { llvm-readobj-15 --coff-debug-directory "$1" 2>/dev/null | sed -n 's/.*PDBGUID: (\(.*\))/\1/p'; }

shopt -s nullglob
programs=("$folder"/Quillon*.exe)
[ ${#programs[@]} -gt 0 ] || { echo "FAILED: no Quillon*.exe in $folder" >&2; exit 1; }
for exe in "${programs[@]}"; do
    name=$(basename "$exe" .exe)
    debug=$folder/$name.debug pdb=$folder/$name.pdb
    echo "$name.exe:"

    # Compile units as "producer<TAB>source" lines.
    units=
    if [ -f "$debug" ]; then
        [ "$(guid "$debug")" = "$(guid "$exe")" ] || problem "$name.debug is not the debug file of this $name.exe"
        units=$(llvm-dwarfdump-15 --debug-info "$debug" | awk '
            /DW_TAG_compile_unit/ { unit = 1; producer = ""; next }
            unit && /DW_AT_producer/ { sub(/.*DW_AT_producer[ \t]*\("/, ""); sub(/"\)$/, ""); producer = $0 }
            unit && /DW_AT_name/ { sub(/.*DW_AT_name[ \t]*\("/, ""); sub(/"\)$/, ""); print producer "\t" $0; unit = 0 }')
    else
        problem "no $name.debug beside it: nothing tells which compiler made each of its objects"
    fi
    # Compile records that a PDB carries for objects with CodeView (clang, MSVC); GNU ld writes
    # one for itself.
    records=
    if [ -f "$pdb" ]; then
        records=$(llvm-pdbutil-15 dump --symbols "$pdb" 2>/dev/null | grep -iE -A2 'S_COMPILE[23]' \
                  | grep -ioE '(clang|microsoft|gnu)[^,]*version[^,]*|(clang|gnu ld)[^,]*' | sort -u || true)
    fi

    ours=0 others=0
    while IFS=$'\t' read -r producer source; do
        [ -n "$source" ] || continue
        if [ -f "$root/${source#./}" ]; then
            ours=$((ours + 1))
            case $producer in
                "GNU C++"*) ;;
                *) problem "${source#./} was compiled by: ${producer:-an unnamed compiler}" ;;
            esac
        else
            # The build links the runtime without its DWARF; any unit of it left must be GCC's too.
            others=$((others + 1))
            case $producer in
                "GNU "*) ;;
                *) problem "the runtime's ${source} was compiled by: ${producer:-an unnamed compiler}" ;;
            esac
        fi
    done <<<"$units"
    # One GCC for all of our sources: the version word after "GNU C++<standard>".
    versions=$(awk -F'\t' '$1 ~ /^GNU C\+\+/ { split($1, w, " "); print w[3] }' <<<"$units" | sort -u)
    [ "$(grep -c . <<<"$versions")" -le 1 ] || problem "compiled by more than one GCC: $(echo $versions)"
    if grep -qi clang <<<"$units$records"; then
        problem "clang compiled objects of this program: $(grep -io 'clang version [0-9.]*' <<<"$units$records" | sort -u | tr '\n' ' ')"
    fi
    [ "$ours" -gt 0 ] || problem "no compile unit of Quillon's sources in its DWARF: which compiler made them cannot be shown"
    echo "  compile units: $ours of Quillon's sources ($(awk -F'\t' '{ split($1, w, " "); print w[1] " " w[2] " " w[3] }' <<<"$units" | sort -u | paste -sd, - | sed 's/,/, /g')), $others of the runtime"

    if [ "$arch" = i686 ]; then
        publics=
        if [ -f "$pdb" ]; then publics=$(llvm-pdbutil-15 dump --publics "$pdb" 2>/dev/null || true); fi
        [ -n "$publics" ] || problem "no public symbols in $name.pdb to find the start files in"
        # A program that cannot throw (no unwinder linked) needs no registration.
        if grep -qE '`(__Unwind_RaiseException|___cxa_throw)`' <<<"$publics"; then
            missing=
            for symbol in ___gcc_register_frame ___register_frame_info; do
                grep -q "\`$symbol\`" <<<"$publics" || missing+=" $symbol"
            done
            if [ -n "$missing" ]; then
                problem "it throws, but$missing is not in it: its DWARF unwind tables are never registered, so every throw ends in std::terminate"
            else
                echo "  unwind tables: registered at start (___gcc_register_frame, ___register_frame_info)"
            fi
        else
            echo "  unwind tables: no unwinder linked (the program throws nothing)"
        fi
    fi
done

if [ $status -ne 0 ]; then
    echo "FAILED: the programs in $folder mix C++ ABIs or cannot show which they use" >&2
    echo "What to do: build them with the GCC cross compiler's own driver and start files (cmake/mingw-common.cmake), and keep their .debug and .pdb files beside them" >&2
fi
exit $status
