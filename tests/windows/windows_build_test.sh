#!/usr/bin/env bash
# The Windows executables of format149, cross-built with MinGW-w64 and checked on
# this host: the 32-bit one's PE header and imports (the Wine used here runs
# 64-bit programs only), and the 64-bit one's format run under Wine, which has
# no VWIN32 device.
#
#   windows_build_test.sh build SOURCE_DIR WORK_DIR [CMAKE [GENERATOR]]
#       Cross-builds WORK_DIR/win32/format149.exe and WORK_DIR/win64/format149.exe.
#   windows_build_test.sh pe-imports EXE32 IMPORT_LIST [EXE64]
#       The 32-bit PE header asks for Windows 4.0 and the imports are exactly the
#       reviewed list; neither executable needs a DLL besides KERNEL32 and MSVCRT.
#   windows_build_test.sh wine-confirmed EXE64
#       "y" piped in: the run on a system without the device, byte for byte.
#   windows_build_test.sh wine-declined EXE64
#       "n" piped in: the declined message, and the device is never opened.
#
# Exits 77 (skipped) when the MinGW-w64 compilers, their objdump or Wine are
# missing; any other failure exits 1.
set -u

SKIP=77

fail()
{
    echo "FAIL: $*" >&2
    exit 1
}

skip()
{
    echo "SKIPPED: $*" >&2
    exit "$SKIP"
}

# The C++ driver for a target triplet, in the order the toolchain files look
# for it; empty when there is none.
mingw_compiler()
{
    local name
    for name in "$1-g++-win32" "$1-c++-win32" "$1-g++"; do
        if command -v "$name" >/dev/null 2>&1; then
            command -v "$name"
            return 0
        fi
    done
    return 1
}

MINGW_PACKAGES="Debian: g++-mingw-w64-i686, g++-mingw-w64-x86-64"

have_mingw()
{
    mingw_compiler i686-w64-mingw32 >/dev/null && mingw_compiler x86_64-w64-mingw32 >/dev/null
}

require_mingw()
{
    have_mingw || skip "the MinGW-w64 C++ compilers are missing ($MINGW_PACKAGES)"
}

WINE64=${WINE64:-/usr/lib/wine/wine64}

require_wine()
{
    [ -x "$WINE64" ] || skip "no Wine at $WINE64 (Debian: wine64)"
}

require_file()
{
    [ -f "$1" ] || fail "$2 not found: $1"
}

# An executable of the cross build: missing only because the build was skipped
# for want of the compilers, or else a failure.
require_executable()
{
    [ -f "$1" ] && return 0
    have_mingw || skip "no $2 was built: the MinGW-w64 C++ compilers are missing ($MINGW_PACKAGES)"
    fail "$2 not found: $1"
}

# ---------------------------------------------------------------------------
# Cross build

build_both()
{
    local source_dir=$1 work_dir=$2 cmake=${3:-cmake} generator=${4:-}
    require_mingw
    mkdir -p "$work_dir" || fail "cannot create $work_dir"
    local generator_option=()
    [ -n "$generator" ] && generator_option=(-G "$generator")
    local target
    for target in i686:win32 x86_64:win64; do
        local arch=${target%%:*} dir=$work_dir/${target##*:}
        "$cmake" -S "$source_dir" -B "$dir" "${generator_option[@]}" \
            -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-$arch.cmake" \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >"$dir.configure.log" 2>&1 ||
            { cat "$dir.configure.log" >&2; fail "configuring the $arch build"; }
        "$cmake" --build "$dir" --parallel >"$dir.build.log" 2>&1 ||
            { cat "$dir.build.log" >&2; fail "building the $arch executable"; }
        # The build is to be free of warnings, as the native one is.
        if grep -i -E 'warning:' "$dir.build.log" >&2; then
            fail "the $arch build gave warnings"
        fi
        require_file "$dir/format149.exe" "the $arch executable"
        echo "built $dir/format149.exe"
    done
}

# ---------------------------------------------------------------------------
# PE header and imports

# "DLL!function" for every import of the executable, one a line, sorted.
list_imports()
{
    "$1" -p "$2" | awk '
        /^[ \t]*DLL Name:/ { dll = $3; next }
        /^[ \t]*$/         { dll = ""; next }
        dll != "" && /^\t[0-9a-f]+\t/ {
            if (NF >= 3) print dll "!" $3; else print dll "!#" $2
        }' | LC_ALL=C sort
}

check_dlls()
{
    local objdump=$1 exe=$2 dll bad=0
    local dlls
    dlls=$("$objdump" -p "$exe" | awk '/^[ \t]*DLL Name:/ { print $3 }')
    [ -n "$dlls" ] || fail "no imported DLLs found in $exe: objdump output not understood"
    for dll in $dlls; do
        case $(printf '%s' "$dll" | tr '[:upper:]' '[:lower:]') in
            kernel32.dll | msvcrt.dll) ;;
            *) echo "$exe imports from $dll" >&2; bad=1 ;;
        esac
    done
    [ "$bad" -eq 0 ] || fail "$exe needs DLLs besides KERNEL32.dll and msvcrt.dll"
}

header_field()
{
    awk -v name="$1" '$1 == name { print $2; exit }'
}

pe_imports()
{
    local exe32=$1 import_list=$2 exe64=${3:-}
    local objdump32=i686-w64-mingw32-objdump objdump64=x86_64-w64-mingw32-objdump
    command -v "$objdump32" >/dev/null || skip "no $objdump32 (Debian: binutils-mingw-w64-i686)"
    require_executable "$exe32" "32-bit executable"
    require_file "$import_list" "the list of reviewed imports"

    local header
    header=$("$objdump32" -p "$exe32") || fail "$objdump32 cannot read $exe32"
    grep -q 'file format pei-i386' <<<"$header" || fail "$exe32 is not a 32-bit PE executable"
    grep -q -E '^Magic[[:space:]]+010b' <<<"$header" || fail "$exe32 has no PE32 optional header"
    grep -q -E '^Subsystem[[:space:]]+00000003' <<<"$header" || fail "$exe32 is not a console program"
    local field value expected
    for field in MajorOSystemVersion:4 MinorOSystemVersion:0 MajorSubsystemVersion:4 MinorSubsystemVersion:0; do
        expected=${field##*:}
        value=$(header_field "${field%%:*}" <<<"$header")
        [ "$value" = "$expected" ] || fail "${field%%:*} is '$value', not $expected"
    done
    echo "PE header: PE32 console program for operating system and subsystem 4.0"

    check_dlls "$objdump32" "$exe32"
    local actual reviewed
    actual=$(list_imports "$objdump32" "$exe32")
    [ -n "$actual" ] || fail "no imports found in $exe32: objdump output not understood"
    reviewed=$(grep -v -E '^[[:space:]]*(#|$)' "$import_list" | LC_ALL=C sort)
    if [ "$actual" != "$reviewed" ]; then
        echo "imports of $exe32 (+) against the reviewed list (-):" >&2
        diff <(printf '%s\n' "$reviewed") <(printf '%s\n' "$actual") | grep -E '^[<>]' |
            sed -e 's/^</-/' -e 's/^>/+/' >&2
        fail "the imports differ from the reviewed list; every import must exist in Windows 98"
    fi
    echo "imports: the $(printf '%s\n' "$actual" | wc -l) reviewed functions of KERNEL32.dll and msvcrt.dll"

    if [ -n "$exe64" ]; then
        command -v "$objdump64" >/dev/null || skip "no $objdump64 (Debian: binutils-mingw-w64-x86-64)"
        require_executable "$exe64" "64-bit executable"
        check_dlls "$objdump64" "$exe64"
        echo "64-bit executable: no DLLs besides KERNEL32.dll and msvcrt.dll"
    fi
}

# ---------------------------------------------------------------------------
# Runs under Wine

# A temporary folder for one test's runs: the outputs, and in "prefix" a fresh
# Wine prefix, removed (and its Wine server stopped) on exit.
RUN_DIR=
cleanup_run_dir()
{
    [ -n "$RUN_DIR" ] || return 0
    local wineserver
    wineserver=$(dirname "$WINE64")/wineserver
    [ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
    [ -n "$wineserver" ] && WINEPREFIX=$RUN_DIR/prefix "$wineserver" -k >/dev/null 2>&1
    rm -rf "$RUN_DIR"
}

# The prefix is set up before the program runs, so that Wine's own start-up
# messages stay out of the program's standard error.
make_prefix()
{
    RUN_DIR=$(mktemp -d "${TMPDIR:-/tmp}/format149-wine.XXXXXX") || fail "no temporary folder"
    trap cleanup_run_dir EXIT
    export WINEPREFIX=$RUN_DIR/prefix
    export WINEDLLOVERRIDES='mscoree,mshtml='   # no Mono or Gecko installers
    WINEDEBUG=-all timeout 300 "$WINE64" wineboot >"$RUN_DIR/boot.log" 2>&1 ||
        { cat "$RUN_DIR/boot.log" >&2; fail "Wine cannot set up a prefix"; }
}

# run_program EXE INPUT STDOUT STDERR: one run with INPUT piped in. STDERR may
# be "-" to send standard error to the standard-output file as well.
run_program()
{
    local exe=$1 input=$2 out=$3 err=$4 status
    # WINEDEBUG=-all: no Wine diagnostics among the program's own output.
    if [ "$err" = - ]; then
        printf '%s' "$input" | WINEDEBUG=-all timeout 300 "$WINE64" "$exe" >"$out" 2>&1
    else
        printf '%s' "$input" | WINEDEBUG=-all timeout 300 "$WINE64" "$exe" >"$out" 2>"$err"
    fi
    status=$?
    [ "$status" -ne 124 ] || fail "the program did not end within 300 seconds"
}

# Text as a Windows console program writes it in text mode: every line feed
# goes out as carriage return and line feed.
crlf()
{
    printf '%s' "${1//$'\n'/$'\r\n'}"
}

WARNING_AND_PROMPT=$'\n\n     Make sure you have a 1.44 megabyte floppy disk in drive A.\n'\
$'     This is a high level program for the Windows environment\n'\
$'     and an unusually formatted disk will not format well\n'\
$'     with this software.  Enter Y or y if you want to format\n'\
$'     the floppy disk in drive A: to 1.49 megabytes.  Warning, all\n'\
$'     data on the disk will be lost.  Take the disk out of the\n'\
$'     drive and reinsert the floppy for Windows to take notice\n'\
$'     of the new format.\n\n     '

FAREWELL_BANNER=$'\n     Thank you for using format149.\n'\
$'     format149 is published by the Marvesto diskette tools team.\n'\
$'     Press Enter to end the program.\n'

DATE_PATTERN='[A-Z][a-z][a-z] [A-Z][a-z][a-z] [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9][0-9][0-9][0-9]'

# The date text the run showed, checked for its form; the rest of the output is
# compared byte for byte.
shown_date()
{
    local date
    date=$(head -c 120 "$1" | grep -a -o -m 1 "will be: $DATE_PATTERN"$'\r$')
    [ -n "$date" ] || { cat -A "$1" | head -5 >&2; fail "no date line of the fixed form in $1"; }
    date=${date#will be: }
    printf '%s' "${date%$'\r'}"
}

opening()
{
    crlf $'\n\n     The date and time of your format will be: '"$1"$'\n'"$WARNING_AND_PROMPT"
}

format_lines()
{
    local cylinder head
    for ((cylinder = 0; cylinder < 82; ++cylinder)); do
        for head in 0 1; do
            printf '     Formatting side %d of track %d, where error code = %d. \a \a \a \r' "$head" "$cylinder" 5
        done
    done
}

write_lines()
{
    local sector
    for ((sector = 0; sector < 36; ++sector)); do
        printf '     Writing sector %d, where error code = %d. \r' "$sector" 0
    done
}

# expect_bytes ACTUAL EXPECTED WHAT: the same bytes, or the first difference
# shown in both (cat -A: ^M carriage return, ^G bell, $ line feed).
expect_bytes()
{
    cmp -s "$1" "$2" && return 0
    local offset start
    offset=$(cmp "$2" "$1" 2>&1 | grep -o -E '(byte|after byte) [0-9]+' | grep -o -E '[0-9]+$' | head -1)
    offset=${offset:-1}
    start=$((offset > 120 ? offset - 120 : 1))
    echo "--- $3: first difference at byte $offset; expected from byte $start:" >&2
    tail -c "+$start" "$2" | head -c 240 | cat -A >&2
    echo >&2
    echo "--- got from byte $start:" >&2
    tail -c "+$start" "$1" | head -c 240 | cat -A >&2
    echo >&2
    echo "--- sizes: expected $(wc -c <"$2"), got $(wc -c <"$1") bytes" >&2
    fail "$3 differs"
}

# No line feed without its carriage return.
expect_crlf_only()
{
    local bare
    bare=$(od -An -v -tx1 "$1" | tr -s ' \n' '\n\n' | awk '
        $1 == "0a" && previous != "0d" { ++bare } { previous = $1 } END { print bare + 0 }')
    [ "$bare" -eq 0 ] || fail "$bare bare line feeds in $2"
    grep -q -a $'\r$' "$1" || fail "no CR LF line ends in $2"
}

# The device calls of one traced run as Wine logs them: "open" for each opening
# of the device with access 0, share mode 0, disposition 0 and
# FILE_FLAG_DELETE_ON_CLOSE, "call N" for each control call with code N on the
# handle just opened, with the same 28-byte record as input and output buffer,
# a byte count and no overlapped structure; "other: ..." for anything else that
# names the device or makes a control call.
device_calls()
{
    awk '
        /:trace:file:CreateFileW / && /vwin32/ {
            if ($0 ~ /:trace:file:CreateFileW L"\\\\\\\\\.\\\\vwin32" QUERY_ACCESS  creation 0 attributes 0x4000000$/)
                print "open"
            else
                print "other: " $0
            next
        }
        /:trace:file:DeviceIoControl \(/ {
            line = $0
            sub(/^.*:trace:file:DeviceIoControl \(/, "", line)
            sub(/\)$/, "", line)
            n = split(line, f, ",")
            if (n == 8 && f[3] == f[5] && f[4] == "28" && f[6] == "28" && f[7] !~ /^0+$/ && f[8] ~ /^0+$/)
                print "call " f[2]
            else
                print "other: " $0
        }'
}

traced_run()
{
    local exe=$1 input=$2 trace=$3
    printf '%s' "$input" | WINEDEBUG=trace+file timeout 300 "$WINE64" "$exe" >/dev/null 2>"$trace"
    [ $? -ne 124 ] || fail "the traced run did not end within 300 seconds"
    grep -q -a ':trace:file:' "$trace" || fail "Wine wrote no file traces; this Wine build cannot show the device calls"
}

wine_confirmed()
{
    local exe=$1
    require_wine
    require_executable "$exe" "64-bit executable"
    make_prefix
    local out=$RUN_DIR/out err=$RUN_DIR/err both=$RUN_DIR/both expected=$RUN_DIR/expected trace=$RUN_DIR/trace

    # Standard output and standard error apart.
    run_program "$exe" $'y\n\n' "$out" "$err"
    expect_crlf_only "$out" "standard output"
    local date
    date=$(shown_date "$out") || exit 1
    {
        opening "$date"
        crlf $'\n\n     Lock failed!\n\n'
        crlf $'\n\n     *****     \n\n'
        crlf $'\n\n     Unlock failed!\n\n'
        crlf "$FAREWELL_BANNER"
    } >"$expected"
    expect_bytes "$out" "$expected" "standard output"
    echo "standard output: date line ($date), warning, Lock failed!, separator, Unlock failed!, farewell; CR LF line ends"
    { format_lines; write_lines; } >"$expected"
    expect_bytes "$err" "$expected" "standard error"
    echo "standard error: 164 format lines with error code 5, 36 write lines with error code 0; CR and bells as written"

    # Both into one file: every text is out before the next one is written.
    run_program "$exe" $'y\n\n' "$both" -
    date=$(shown_date "$both") || exit 1
    {
        opening "$date"
        crlf $'\n\n     Lock failed!\n\n'
        format_lines
        crlf $'\n\n     *****     \n\n'
        write_lines
        crlf $'\n\n     Unlock failed!\n\n'
        crlf "$FAREWELL_BANNER"
    } >"$expected"
    expect_bytes "$both" "$expected" "standard output and error together"
    echo "together: every text in the order written"

    # The device calls: lock, 164 formats, 36 writes, unlock; each one opening.
    traced_run "$exe" $'y\n\n' "$trace"
    local calls expected_calls
    calls=$(device_calls <"$trace")
    expected_calls=$(
        printf 'open\ncall 1\n'
        for ((i = 0; i < 164; ++i)); do printf 'open\ncall 4\n'; done
        for ((i = 0; i < 36; ++i)); do printf 'open\ncall 3\n'; done
        printf 'open\ncall 1\n')
    if [ "$calls" != "$expected_calls" ]; then
        diff <(printf '%s\n' "$expected_calls") <(printf '%s\n' "$calls") | head -20 >&2
        fail "the device calls differ from lock, 164 formats, 36 writes, unlock"
    fi
    echo "device calls: 202 openings of \\\\.\\vwin32 (access 0, share 0, disposition 0, delete on close),"
    echo "              control codes 1, 164 x 4, 36 x 3, 1, each with the 28-byte record in and out"
}

wine_declined()
{
    local exe=$1
    require_wine
    require_executable "$exe" "64-bit executable"
    make_prefix
    local out=$RUN_DIR/out err=$RUN_DIR/err expected=$RUN_DIR/expected trace=$RUN_DIR/trace

    run_program "$exe" $'n\n\n' "$out" "$err"
    expect_crlf_only "$out" "standard output"
    local date
    date=$(shown_date "$out") || exit 1
    {
        opening "$date"
        crlf $'\n\n     You chose not to format A:!\n\n     '
        crlf "$FAREWELL_BANNER"
    } >"$expected"
    expect_bytes "$out" "$expected" "standard output"
    [ ! -s "$err" ] || { cat -A "$err" | head -c 2000 >&2; fail "standard error is not empty"; }
    echo "standard output: date line, warning, You chose not to format A:!, farewell; standard error empty"

    traced_run "$exe" $'n\n\n' "$trace"
    local calls
    calls=$(device_calls <"$trace")
    [ -z "$calls" ] || { printf '%s\n' "$calls" | head -5 >&2; fail "the declined run reached the device"; }
    echo "device calls: none"
}

mode=${1:-}
shift || true
case $mode in
    build) [ $# -ge 2 ] || fail "usage: $0 build SOURCE_DIR WORK_DIR [CMAKE [GENERATOR]]"; build_both "$@" ;;
    pe-imports) [ $# -ge 2 ] || fail "usage: $0 pe-imports EXE32 IMPORT_LIST [EXE64]"; pe_imports "$@" ;;
    wine-confirmed) [ $# -eq 1 ] || fail "usage: $0 wine-confirmed EXE64"; wine_confirmed "$1" ;;
    wine-declined) [ $# -eq 1 ] || fail "usage: $0 wine-declined EXE64"; wine_declined "$1" ;;
    *) fail "usage: $0 build|pe-imports|wine-confirmed|wine-declined ..." ;;
esac
echo "PASS"
