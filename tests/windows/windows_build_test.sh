#!/usr/bin/env bash
# The Windows executables of format149, cross-built with MinGW-w64 and checked on
# this host: the 32-bit one's PE header, imports and release archive; runs under
# Wine without the VWIN32 device (64-bit, or 32-bit as an NT-family system), and
# under 32-bit Wine as Windows 95, 98 and ME, whose VWIN32 device passes the
# records to Wine's MS-DOS services, drive A: being an image file.
#
#   windows_build_test.sh build SOURCE_DIR WORK_DIR [CMAKE [GENERATOR]]
#       Cross-builds WORK_DIR/win32/format149.exe and WORK_DIR/win64/format149.exe.
#   windows_build_test.sh pe-imports EXE32 IMPORT_LIST [EXE64]
#       The 32-bit PE header asks for Windows 4.0 and the imports are exactly the
#       reviewed list; neither executable needs a DLL besides KERNEL32 and MSVCRT.
#   windows_build_test.sh release SOURCE_DIR WORK_DIR VERSION CMAKE CPACK [GENERATOR]
#       cpack in two clean 32-bit builds, WORK_DIR/release-1 and -2: the files,
#       the texts, the program stripped, without time stamp, the same in both.
#   windows_build_test.sh wine-confirmed EXE64 [NATIVE_EXE]
#       "y" piped in: the run on a system without the device, byte for byte:
#       the line that says so, 128 on every line; with NATIVE_EXE, the image
#       runs as below.
#   windows_build_test.sh wine-declined EXE64
#       "n" piped in: the declined message, and the device is never opened.
#   windows_build_test.sh wine-win9x EXE32 NATIVE_EXE RELEASE_ZIP [CMAKE]
#       The 32-bit program without the device, then as Windows 95, 98 (from the
#       archive) and ME: declined, and confirmed with the records the device got
#       and the image against the native build's for the moment shown; as 98
#       also --verify, -x, and under both 98 and the NT family an image named
#       on the command line (made, verified, device names and the like refused,
#       the causes of a 4 GiB file, a long name, a drive and a redirection into
#       the image), /? and /verify, and a SOURCE_DATE_EPOCH in 2107.
#
# Exits 77 (skipped) when the MinGW-w64 compilers, their objdump or Wine are
# missing (a missing Wine fails under continuous integration, CI=true); any
# other failure exits 1.
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
WINE32=${WINE32:-/usr/lib/wine/wine}
WINE=

# use_wine LOADER PACKAGE [UNAVAILABLE]: the Wine loader of this test's runs;
# missing, the test is skipped, except under continuous integration, where
# run-tests installs it, unless UNAVAILABLE says why run-tests could not.
use_wine()
{
    [ -x "$1" ] || [ -z "${3:-}" ] || skip "no Wine at $1: $3"
    [ -x "$1" ] || [ "${CI:-}" = true ] || skip "no Wine at $1 (Debian: $2)"
    [ -x "$1" ] || fail "no Wine at $1 (Debian: $2), though run-tests installs it"
    WINE=$1
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

# cross_build SOURCE_DIR DIR ARCH CMAKE GENERATOR: one warning-free build.
cross_build()
{
    local source_dir=$1 dir=$2 arch=$3 cmake=$4 generator=$5
    local generator_option=()
    [ -n "$generator" ] && generator_option=(-G "$generator")
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
}

build_both()
{
    local source_dir=$1 work_dir=$2 cmake=${3:-cmake} generator=${4:-}
    require_mingw
    mkdir -p "$work_dir" || fail "cannot create $work_dir"
    cross_build "$source_dir" "$work_dir/win32" i686 "$cmake" "$generator"
    cross_build "$source_dir" "$work_dir/win64" x86_64 "$cmake" "$generator"
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
# The release archive

release()
{
    local source_dir=$1 work_dir=$2 version=$3 cmake=$4 cpack=$5 generator=${6:-} build header
    local objdump32=i686-w64-mingw32-objdump name=format149-$version-win32
    require_mingw
    command -v "$objdump32" >/dev/null || skip "no $objdump32 (Debian: binutils-mingw-w64-i686)"
    for build in 1 2; do # two clean builds, each packed as the README says
        local dir=$work_dir/release-$build
        rm -rf "$dir" "$dir.unpacked" && mkdir -p "$dir.unpacked" || fail "cannot clear $dir"
        cross_build "$source_dir" "$dir" i686 "$cmake" "$generator"
        (cd "$dir" && "$cpack" >"$dir.cpack.log" 2>&1 && cd "$dir.unpacked" && "$cmake" -E tar xf "$dir/$name.zip") ||
            { cat "$dir.cpack.log" >&2; fail "cpack in $dir made no $name.zip to unpack"; }
    done
    local unpacked=$work_dir/release-1.unpacked/$name
    [ "$(cd "$unpacked/.." && find . | LC_ALL=C sort | tr '\n' ' ')" = \
        ". ./$name ./$name/LICENSE.TXT ./$name/README.TXT ./$name/format149.exe " ] ||
        fail "the archive holds other than $name/ with format149.exe, README.TXT and LICENSE.TXT"
    cmp "$unpacked/format149.exe" "$work_dir/release-2.unpacked/$name/format149.exe" ||
        fail "two clean builds of the same source packed different programs"
    header=$(TZ=UTC "$objdump32" -p "$unpacked/format149.exe") || fail "$objdump32 cannot read the packed program"
    grep -q -E '^Time/Date[[:space:]]+Thu Jan  1 00:00:00 1970$' <<<"$header" || fail "the packed program has a time stamp"
    grep -q -E '^[[:space:]]+symbols stripped$' <<<"$header" && ! "$objdump32" -h "$unpacked/format149.exe" |
        grep -q '\.debug' || fail "the packed program is not stripped"
    local text # as Notepad shows it whole: printable ASCII, CR LF line ends, at most 76 columns
    for text in "$unpacked/README.TXT" "$unpacked/LICENSE.TXT"; do
        expect_crlf_only "$text" "$text"
        ! LC_ALL=C awk '!/^[ -~]*\r$/ || length > 77 { print FNR ": " $0; bad = 1 } END { exit !bad }' "$text" >&2 &&
            [ "$(tail -c 2 "$text" | od -An -tx1)" = " 0d 0a" ] || fail "$text: lines beyond 76 columns, not ASCII, or no CR LF"
    done
    echo "$name.zip: format149.exe stripped, no time stamp, the same from two clean builds; texts for Notepad"
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
    wineserver=$(dirname "$WINE")/wineserver
    [ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
    [ -n "$wineserver" ] && WINEPREFIX=$RUN_DIR/prefix "$wineserver" -k >/dev/null 2>&1
    rm -rf "$RUN_DIR"
}

# make_prefix [IMAGE]: a fresh prefix, set up before the program runs, with
# drive A: a floppy drive whose folder (a:) is empty and whose raw device (a::)
# is IMAGE in the run folder, when one is named. The first program a Wine
# server starts also starts wineboot and Wine's services, and they write to
# that program's standard error (a service that fails under load says so
# there). So the prefix's server is made persistent and a first program runs
# here, its output in boot.log: the services stay up, apart from the runs.
make_prefix()
{
    local wineserver
    RUN_DIR=$(mktemp -d "${TMPDIR:-/tmp}/format149-wine.XXXXXX") || fail "no temporary folder"
    trap cleanup_run_dir EXIT
    export WINEPREFIX=$RUN_DIR/prefix
    export WINEDLLOVERRIDES='mscoree,mshtml='   # no Mono or Gecko installers
    WINEDEBUG=-all timeout 300 "$WINE" wineboot >"$RUN_DIR/boot.log" 2>&1 ||
        { cat "$RUN_DIR/boot.log" >&2; fail "Wine cannot set up a prefix"; }
    if [ -n "${1:-}" ]; then
        wine_setting 'HKLM\Software\Wine\Drives' a: floppy
        mkdir "$RUN_DIR/floppy" && ln -s "$RUN_DIR/floppy" "$WINEPREFIX/dosdevices/a:" &&
            ln -s "$RUN_DIR/$1" "$WINEPREFIX/dosdevices/a::" || fail "cannot set up drive A: in $WINEPREFIX"
    fi
    # Wine's services read the drive type as they start: the server ends
    # (and they with it) before the persistent one starts.
    wineserver=$(dirname "$WINE")/wineserver
    timeout 60 "$wineserver" -w && "$wineserver" -p &&
        WINEDEBUG=-all timeout 300 "$WINE" cmd /c exit >>"$RUN_DIR/boot.log" 2>&1 ||
        { cat "$RUN_DIR/boot.log" >&2; fail "Wine's services do not start in $WINEPREFIX"; }
}

# wine_setting KEY VALUE DATA: a registry value, set through Wine's reg.
wine_setting()
{
    WINEDEBUG=-all timeout 60 "$WINE" reg add "$1" /v "$2" /d "$3" /f >/dev/null 2>&1 || fail "Wine cannot set $1\\$2"
}

# run_program EXE INPUT STDOUT STDERR STATUS [ARGUMENT...]: one run in the run
# folder with INPUT piped in, which is to end with exit status STATUS. STDERR
# may be "-" to send standard error to the standard-output file as well. Local
# time is UTC.
run_program()
{
    local exe=$1 input=$2 out=$3 err=$4 expected_status=$5 status
    shift 5
    # WINEDEBUG=-all: no Wine diagnostics among the program's own output.
    if [ "$err" = - ]; then
        printf '%s' "$input" | (cd "$RUN_DIR" && TZ=UTC WINEDEBUG=-all timeout 300 "$WINE" "$exe" "$@") >"$out" 2>&1
    else
        printf '%s' "$input" | (cd "$RUN_DIR" && TZ=UTC WINEDEBUG=-all timeout 300 "$WINE" "$exe" "$@") >"$out" 2>"$err"
    fi
    status=$?
    [ "$status" -ne 124 ] || fail "the program did not end within 300 seconds"
    [ "$status" -eq "$expected_status" ] || fail "exit status $status, not $expected_status"
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

# The road of the runs that name no drive: "absent" without the VWIN32 device
# (the NT family), where the cause line follows the date line, no call is
# made and every line shows 128; "vwin32" through Wine's VWIN32 device, where
# each format comes back as passed (5) and each write lands (0).
ROAD=absent
NO_VWIN32_LINE=$'format149: A: only Windows 95, 98 and ME let a program format a diskette; '\
$'name an image file: format149 DISK.IMG\n'

cause_line()
{
    [ "$ROAD" != absent ] || crlf "$NO_VWIN32_LINE"
}

# opening DATE [together]: with "together", standard error's cause line in its place.
opening()
{
    crlf $'\n\n     The date and time of your format will be: '"$1"$'\n'
    [ "${2:-}" != together ] || cause_line
    crlf "$WARNING_AND_PROMPT"
}

format_lines()
{
    local cylinder head code=5
    [ "$ROAD" != absent ] || code=128
    for ((cylinder = 0; cylinder < 82; ++cylinder)); do
        for head in 0 1; do
            printf '     Formatting side %d of track %d, where error code = %d. \a \a \a \r' "$head" "$cylinder" "$code"
        done
    done
}

write_lines()
{
    local sector code=0
    [ "$ROAD" != absent ] || code=128
    for ((sector = 0; sector < 36; ++sector)); do
        printf '     Writing sector %d, where error code = %d. \r' "$sector" "$code"
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
# FILE_FLAG_DELETE_ON_CLOSE, "call N" for each of the program's control calls
# with code N on the handle just opened, with the same 28-byte record as input
# and output buffer, a byte count and no overlapped structure; "record ..." for
# the registers Wine's VWIN32 device received, where a format's EBX and ESI read
# "list" when equal and not zero, and a nonzero write EBX "image1", "image2", ...
# by address in the order first seen; "other: ..." for anything else that names
# the device (but Wine's own vwin32.vxd) or makes a control call.
device_calls()
{
    awk '
        /:trace:file:CreateFileW / && /vwin32/ && !/vwin32\.vxd" / {
            if ($0 ~ /:trace:file:CreateFileW L"\\\\\\\\\.\\\\vwin32" QUERY_ACCESS  creation 0 attributes 0x4000000$/)
                print "open"
            else
                print "other: " $0
            next
        }
        /:trace:file:KERNEL32_DeviceIoControl \(/ {
            line = $0
            sub(/^.*:trace:file:KERNEL32_DeviceIoControl \(/, "", line)
            sub(/\)$/, "", line)
            n = split(line, f, ",")
            code = f[2]
            sub(/^0x/, "", code)
            if (n == 8 && f[3] == f[5] && f[4] == "28" && f[6] == "28" && f[7] !~ /^0+$/ && f[8] ~ /^0+$/)
                print "call " code
            else
                print "other: " $0
            next
        }
        /:trace:vxd:VWIN32_DeviceIoControl / {
            line = $0
            sub(/^.*: eax=0x/, "", line)
            if (split(line, r, /, e[a-z][a-z]=0x/) != 6) { print "other: " $0; next }
            if (code == "4" && r[2] == r[5] && r[2] !~ /^0+$/) r[2] = r[5] = "list"
            if (code == "3" && r[2] !~ /^0+$/) { if (!(r[2] in image)) image[r[2]] = "image" ++images; r[2] = image[r[2]] }
            print "record eax=" r[1] " ebx=" r[2] " ecx=" r[3] " edx=" r[4] " esi=" r[5] " edi=" r[6]
        }'
}

# traced_run EXE INPUT TRACE [ARGUMENT...]: standard output into TRACE.out.
traced_run()
{
    local exe=$1 input=$2 trace=$3
    shift 3
    printf '%s' "$input" | (cd "$RUN_DIR" && TZ=UTC WINEDEBUG=trace+file,trace+vxd timeout 300 "$WINE" "$exe" "$@") \
        >"$trace.out" 2>"$trace"
    [ $? -ne 124 ] || fail "the traced run did not end within 300 seconds"
    grep -q -a ':trace:file:' "$trace" || fail "Wine wrote no file traces; this Wine build cannot show the device calls"
}

# device_record EAX EBX ECX EDX ESI: a record as device_calls shows it, EDI 0.
device_record()
{
    printf 'record eax=%08x ebx=%s ecx=%08x edx=%08x esi=%s edi=00000000\n' "$1" "$2" "$3" "$4" "$5"
}

# device_call CODE EAX EBX ECX EDX ESI: one opening of the device, and on the
# VWIN32 road the call on it with the record the device received; without
# the device, the opening alone.
device_call()
{
    echo open
    [ "$ROAD" != absent ] || return 0
    echo "call $1"
    shift
    device_record "$@"
}

# A confirmed run's calls, each after an opening, with the records: the lock
# (IOCTL 440Dh, 084Ah, drive 1), the formats in track order (Int 13h 05h, 18
# sectors, CH cylinder, DH head), the writes (Int 26h, sector EDX, EBX its image
# as the README's layout has them: the FAT copies' first sectors 1 and 10 share
# one, all but 0, 1, 10 and 19 the blank one), with "verify" the verifies in
# track order (Int 13h 04h, 18 sectors from CL 1), the unlock (086Ah). Through
# the device, one opening comes first, before the question: the look for it.
expected_device_calls()
{
    local cylinder head sector image
    [ "$ROAD" = absent ] || echo open
    device_call 1 0x440d 00000001 0x084a 0 00000000
    for ((cylinder = 0; cylinder < 82; ++cylinder)); do
        for head in 0 1; do
            device_call 4 0x0512 list $((cylinder << 8)) $((head << 8)) list
        done
    done
    for ((sector = 0; sector < 36; ++sector)); do
        case $sector in 0) image=image1 ;; 1 | 10) image=image2 ;; 19) image=image4 ;; *) image=image3 ;; esac
        device_call 3 0 "$image" 1 "$sector" 00000000
    done
    for ((cylinder = 0; cylinder < 82; ++cylinder)); do
        for head in 0 1; do
            [ "${1:-}" = verify ] || continue
            device_call 4 0x0412 00000000 $((cylinder << 8 | 1)) $((head << 8)) 00000000
        done
    done
    device_call 1 0x440d 00000001 0x086a 0 00000000
}

# expect_device_calls TRACE [verify]: the traced run made exactly those calls.
expect_device_calls()
{
    local calls expected_calls
    calls=$(device_calls <"$1")
    expected_calls=$(expected_device_calls "${2:-}")
    if [ "$calls" != "$expected_calls" ]; then
        diff <(printf '%s\n' "$expected_calls") <(printf '%s\n' "$calls") | head -20 >&2
        fail "the device calls differ from lock, 164 formats, 36 writes, unlock on the $ROAD road"
    fi
}

LOCK_FAILED=$'\n\n     Lock failed!\n\n'
LOCK_SUCCEEDED=$'\n     Lock succeeded!\n\n'
UNLOCK_FAILED=$'\n\n     Unlock failed!\n\n'
UNLOCK_SUCCEEDED=$'\n\n     Unlock succeeded!\n\n'

# confirmed_transcript DATE LOCK_TEXT UNLOCK_TEXT [together]: the standard output
# of a confirmed run; with "together", standard error's lines in their places.
confirmed_transcript()
{
    opening "$1" "${4:-}"
    crlf "$2"
    [ "${4:-}" != together ] || format_lines
    crlf $'\n\n     *****     \n\n'
    [ "${4:-}" != together ] || write_lines
    crlf "$3"
    crlf "$FAREWELL_BANNER"
}

# confirmed_run EXE LOCK_TEXT UNLOCK_TEXT: standard output and error apart, byte
# for byte; every format fails under Wine, so the exit status is 1. Sets SHOWN_DATE.
SHOWN_DATE=
confirmed_run()
{
    local exe=$1 out=$RUN_DIR/out err=$RUN_DIR/err expected=$RUN_DIR/expected
    run_program "$exe" $'y\n\n' "$out" "$err" 1
    expect_crlf_only "$out" "standard output"
    SHOWN_DATE=$(shown_date "$out") || exit 1
    confirmed_transcript "$SHOWN_DATE" "$2" "$3" >"$expected"
    expect_bytes "$out" "$expected" "standard output"
    { cause_line; format_lines; write_lines; } >"$expected"
    expect_bytes "$err" "$expected" "standard error"
}

# The road without the device: byte for byte, apart and together, and the calls.
confirmed_without_device()
{
    local exe=$1 both=$RUN_DIR/both expected=$RUN_DIR/expected date
    ROAD=absent
    confirmed_run "$exe" "$LOCK_FAILED" "$UNLOCK_FAILED"
    grep -q -a -x -F "${NO_VWIN32_LINE%$'\n'}"$'\r' "$RUN_DIR/err" || fail "no line saying that only Windows 9x formats a diskette"
    ! tr '\r' '\n' <"$RUN_DIR/err" | grep -q -a 'error code = 0\.' || fail "a line shows error code 0 without the device"
    echo "standard output: date line ($SHOWN_DATE), warning, Lock failed!, separator, Unlock failed!, farewell; CR LF line ends"
    echo "standard error: the line that only Windows 95, 98 and ME format a diskette, then 200 lines with error code 128"
    # Both into one file: every text is out before the next one is written.
    run_program "$exe" $'y\n\n' "$both" - 1
    date=$(shown_date "$both") || exit 1
    confirmed_transcript "$date" "$LOCK_FAILED" "$UNLOCK_FAILED" together >"$expected"
    expect_bytes "$both" "$expected" "standard output and error together"
    echo "together: every text in the order written; exit status 1"
    traced_run "$exe" $'y\n\n' "$RUN_DIR/trace"
    expect_device_calls "$RUN_DIR/trace"
    echo "device calls: 202 failed openings of \\\\.\\vwin32 (access 0, share 0, disposition 0, delete on close),"
    echo "              and no control call"
    run_program "$exe" $'y\n\n' "$RUN_DIR/out" "$RUN_DIR/err" 1 --verify
    grep -q -a -x -F $'     The disk was not formatted, so it was not verified.\r' "$RUN_DIR/out" &&
        ! grep -q -a -e 'Verifying side' -e 'tracks failed to verify' -e 'Track 0' "$RUN_DIR/out" "$RUN_DIR/err" ||
        fail "--verify without the device: not the line that the disk was not formatted, or a verify"
    echo "--verify: the disk was not formatted, so not verified; no verify line; exit status 1"
}

# confirmed_with_vwin32 EXE NATIVE_EXE IMAGE ORIGINAL: the run through Wine's
# VWIN32 device on IMAGE, still as ORIGINAL. Wine has no Int 13h: each format
# comes back as passed (code 5) and changes nothing; the writes land.
confirmed_with_vwin32()
{
    local exe=$1 native=$2 image=$3 original=$4
    ROAD=vwin32
    confirmed_run "$exe" "$LOCK_SUCCEEDED" "$UNLOCK_SUCCEEDED"
    expect_written_system_area "$native" "$image" "$original" "$SHOWN_DATE"
    traced_run "$exe" $'y\n\n' "$RUN_DIR/trace"
    expect_device_calls "$RUN_DIR/trace"
    echo "confirmed ($SHOWN_DATE): Lock/Unlock succeeded, formats 5, writes 0, status 1; cylinder 0 that moment's"
    echo "system area, the rest unchanged, fsck.fat -n clean; one look for the device, then the 202 records as it got them"
}

# expect_written_system_area NATIVE_EXE IMAGE ORIGINAL DATE: cylinder 0 of IMAGE
# is what the native build writes for the moment DATE, in the same zone, and
# the rest is still ORIGINAL.
expect_written_system_area()
{
    local native=$1 image=$2 original=$3 reference=$RUN_DIR/reference.img epoch
    epoch=$(TZ=UTC date -d "$4" +%s) || fail "cannot read the date line $4"
    rm -f "$reference"
    printf 'y\n\n' | SOURCE_DATE_EPOCH=$epoch TZ=UTC DRIVE_A_IMAGE=$reference "$native" >/dev/null 2>&1 ||
        fail "the native build did not make the reference image"
    cmp -n $((36 * 512)) "$image" "$reference" || fail "cylinder 0 is not the system area stamped $4"
    cmp -i $((36 * 512)) "$image" "$original" || fail "the image changed beyond cylinder 0"
    fsck.fat -n "$image" >"$RUN_DIR/fsck.log" 2>&1 || { cat "$RUN_DIR/fsck.log" >&2; fail "fsck.fat -n finds faults"; }
}

# verify_with_vwin32 EXE NATIVE_EXE IMAGE ORIGINAL: --verify through Wine's
# VWIN32 device, which has no Int 13h: each verify record comes back as
# passed, so cylinder 0 failed and nothing more is written after the verifies
# (the trace shows no write after them); the image is as after a plain run.
verify_with_vwin32()
{
    local exe=$1 out=$RUN_DIR/out err=$RUN_DIR/err
    cp "$4" "$3" || fail "cannot copy $4"
    run_program "$exe" $'y\n\n' "$out" "$err" 1 --verify
    grep -q -a '164 of 164 tracks failed to verify' "$out" &&
        grep -q -a 'Track 0 could not be read back, so the disk is unusable.' "$out" ||
        fail "--verify: no Track 0 text after the summary: $(tr -d '\r' <"$out" | tail -6)"
    expect_written_system_area "$2" "$3" "$4" "$(shown_date "$out")"
    cp "$4" "$3" || fail "cannot copy $4"
    traced_run "$exe" $'y\n\n' "$RUN_DIR/trace" --verify
    expect_device_calls "$RUN_DIR/trace" verify
    echo "--verify: 164 verify records after the writes, all failing; Track 0 unusable, nothing more written"
    run_program "$exe" '' "$out" "$err" 2 -x
    grep -q -a '^Usage: format149 \[--verify\] ' "$err" || fail "-x: no usage on standard error"
    traced_run "$exe" '' "$RUN_DIR/trace" -x
    [ -z "$(device_calls <"$RUN_DIR/trace")" ] || fail "-x reached the device"
    echo "-x: the usage, exit status 2, no device call"
}

# image_runs EXE NATIVE_EXE: an image named on the command line, through the
# stand-in's image drive, never VWIN32. At a fixed moment it is the native
# build's image byte for byte; --verify reads every track and finds no bad
# sector; device names, a folder and a read-only file show their status on
# every line, and nothing is written or created.
image_runs()
{
    local exe=$1 out=$RUN_DIR/out err=$RUN_DIR/err made=$RUN_DIR/made.img reference=$RUN_DIR/native.img target code files
    rm -f "$made" "$reference"
    printf 'y\n\n' | SOURCE_DATE_EPOCH=1086615931 TZ=UTC "$2" "$reference" >/dev/null 2>&1 || fail "no native image"
    SOURCE_DATE_EPOCH=1086615931 run_program "$exe" $'y\n\n' "$out" "$err" 0 made.img
    cmp "$made" "$reference" || fail "format149.exe made.img is not the native build's image"
    head -c 2949120 /dev/zero >"$RUN_DIR/large.img" || fail "cannot make a blank 2.88 MB image"
    SOURCE_DATE_EPOCH=1086615931 run_program "$exe" $'y\n\n' "$out" "$err" 0 large.img
    cmp "$RUN_DIR/large.img" "$reference" || fail "a blank 2.88 MB image is not cut to the native build's image"
    SOURCE_DATE_EPOCH=1086615931 traced_run "$exe" $'y\n\n' "$RUN_DIR/trace" --verify made.img
    grep -q -a 'All 164 tracks verified.' "$RUN_DIR/trace.out" && grep -q -a ' 0 bytes in bad sectors.' "$RUN_DIR/trace.out" ||
        fail "--verify made.img: $(tr -d '\r' <"$RUN_DIR/trace.out" | tail -8)"
    [ -z "$(device_calls <"$RUN_DIR/trace")" ] || fail "the image runs reached the VWIN32 device"
    cp "$reference" "$RUN_DIR/protected.img" && chmod a-w "$RUN_DIR/protected.img" && mkdir -p "$RUN_DIR/folder.img" ||
        fail "cannot lay out the refused targets"
    files=$(find "$RUN_DIR" -path "$RUN_DIR/prefix" -prune -o -print | sort)
    for target in NUL nul.img "\\\\?\\Z:${RUN_DIR//\//\\}\\made.img" folder.img protected.img; do
        code=128
        [ "$target" != protected.img ] || code=3
        run_program "$exe" $'y\n\n' "$out" "$err" 1 "$target"
        [ "$(tr '\r' '\n' <"$err" | grep -c -a -E "^     (Formatting|Writing) .* error code = $code\. ")" -eq 200 ] ||
            { tr '\r' '\n' <"$err" | sort | uniq -c | sort -rn | head -8 >&2; cat "$out" | tail -5 >&2; fail "$target: not error code $code on every line"; }
    done
    cmp "$made" "$reference" && cmp "$RUN_DIR/protected.img" "$reference" || fail "a refused target changed"
    [ "$(find "$RUN_DIR" -path "$RUN_DIR/prefix" -prune -o -print | sort)" = "$files" ] ||
        fail "a refused target made a file"
    echo "made.img, and a blank 2.88 MB image cut to the volume: the native build's image;"
    echo "--verify: 164 tracks, no bad sector; no VWIN32 call;"
    echo "NUL, nul.img, a \\\\?\\ path, a folder: 128 on every line; a read-only file 3; nothing written or created"
    cause_runs "$exe"
    switch_runs "$exe" "$2"
}

# expect_cause TARGET CAUSE: the run just made said on a line of its own why
# TARGET cannot be a diskette image, with no colon doubled after a name that
# ends in one.
expect_cause()
{
    local separator=': '
    [ "${1: -1}" != : ] || separator=' '
    grep -q -a -x -F "format149: $1$separator$2"$'\r' "$RUN_DIR/err" ||
        { tr '\r' '\n' <"$RUN_DIR/err" | grep -a -v '^     ' | head -5 >&2; fail "${1:0:40}: no cause line '$2'"; }
}

# cause_runs EXE: names that cannot be a diskette image, each with its cause:
# a sparse 4 GiB file (the high half of its size counts), a name longer than
# Windows takes, a drive letter, and an image that standard output goes into,
# through cmd's redirection and handed over by the shell. None is formatted.
cause_runs()
{
    local exe=$1 out=$RUN_DIR/out err=$RUN_DIR/err big=$RUN_DIR/big.img long target status
    long=$(printf 'x%.0s' {1..300}).img
    truncate -s 4G "$big" || fail "cannot make a sparse 4 GiB file"
    run_program "$exe" $'y\n\n' "$out" "$err" 1 big.img
    expect_cause big.img 'larger than any diskette (4294967296 bytes)'
    [ "$(stat -c %s "$big")" = 4294967296 ] && cmp -s -n 2949120 "$big" /dev/zero || fail "the 4 GiB file changed"
    rm -f "$big" "$RUN_DIR/cmd.img" "$RUN_DIR/shell.img"
    run_program "$exe" $'y\n\n' "$out" "$err" 1 "$long"
    expect_cause "$long" 'the name is too long'
    run_program "$exe" $'y\n\n' "$out" "$err" 1 B:
    # Without the device (the NT family), with the hint of where a diskette can be formatted.
    if [ "$ROAD" = absent ]; then
        expect_cause B: 'a drive, not a diskette image; only Windows 95, 98 and ME let a program format a diskette'
    else
        expect_cause B: 'a drive, not a diskette image'
    fi
    # Windows' own words, without their line end and closing period, and the number.
    run_program "$exe" $'y\n\n' "$out" "$err" 1 'a*b.img'
    grep -q -a -E "^format149: a\*b\.img: cannot be opened: [A-Z][^$(printf '\r')]*[^. ] \(Windows error 123\)$(printf '\r')\$" "$err" ||
        fail "a*b.img: not Windows' words for error 123: $(tr -d '\r' <"$err" | grep -a -v '^     ' | head -3)"
    printf 'y\n\n' | (cd "$RUN_DIR" && TZ=UTC WINEDEBUG=-all timeout 300 "$WINE" cmd /c "Z:${exe//\//\\} cmd.img > cmd.img") 2>"$err"
    status=$?
    [ "$status" -eq 1 ] || fail "cmd /c \"format149 cmd.img > cmd.img\": exit status $status, not 1"
    expect_cause cmd.img "the program's own output goes into it"
    printf 'y\n\n' | (cd "$RUN_DIR" && TZ=UTC WINEDEBUG=-all timeout 300 "$WINE" "$exe" shell.img >shell.img) 2>"$err"
    status=$?
    [ "$status" -eq 1 ] || fail "format149 shell.img >shell.img: exit status $status, not 1"
    expect_cause shell.img "the program's own output goes into it"
    for target in cmd.img shell.img; do
        grep -q -a 'Thank you for using format149.' "$RUN_DIR/$target" && [ "$(stat -c %s "$RUN_DIR/$target")" -lt 9216 ] ||
            fail "$target: formatted, or not the program's own output"
    done
    echo "causes: a sparse 4 GiB file larger than any diskette and unchanged; 300 characters too long; B: a drive;"
    echo "a*b.img: cannot be opened, in Windows' words with the number 123;"
    echo "standard output into the image, by cmd's redirection and by the shell's: the program's own output, not formatted"
}

# switch_runs EXE NATIVE_EXE: options as Windows writes them: /? is the help;
# /verify is no option of this program, nor a file: the usage, exit status 2,
# and nothing made, in the folder or in the drive's root. A SOURCE_DATE_EPOCH
# beyond 2038 (the last second of 2107) makes the native build's image, or is
# refused with exit status 2 and a range that does not hold it.
switch_runs()
{
    local exe=$1 out=$RUN_DIR/out err=$RUN_DIR/err files root status
    run_program "$exe" '' "$out" "$err" 0 '/?'
    grep -q -a '^Usage: format149 ' "$out" && grep -q -a '^Formats the 3.5-inch' "$out" || fail "/?: no help on standard output"
    files=$(find "$RUN_DIR" -path "$RUN_DIR/prefix" -prune -o -print | sort)
    root=$(ls -ld --time-style=full-iso /verify 2>&1) # the root of drive Z:, where the run folder is
    run_program "$exe" '' "$out" "$err" 2 /verify
    grep -q -a "^format149: unknown option '/verify'" "$err" && grep -q -a '^Usage: format149 ' "$err" ||
        fail "/verify: no usage on standard error"
    [ "$(ls -ld --time-style=full-iso /verify 2>&1)" = "$root" ] &&
        [ "$(find "$RUN_DIR" -path "$RUN_DIR/prefix" -prune -o -print | sort)" = "$files" ] ||
        fail "/verify made a file"
    rm -f "$RUN_DIR/epoch.img" "$RUN_DIR/native-epoch.img"
    printf 'y\n\n' | SOURCE_DATE_EPOCH=4354819199 TZ=UTC "$2" "$RUN_DIR/native-epoch.img" >/dev/null 2>&1 ||
        fail "the native build refuses SOURCE_DATE_EPOCH=4354819199"
    printf 'y\n\n' | (cd "$RUN_DIR" && SOURCE_DATE_EPOCH=4354819199 TZ=UTC WINEDEBUG=-all timeout 300 "$WINE" "$exe" epoch.img) \
        >"$out" 2>"$err"
    status=$?
    if [ "$status" -eq 0 ]; then
        cmp "$RUN_DIR/epoch.img" "$RUN_DIR/native-epoch.img" || fail "SOURCE_DATE_EPOCH=4354819199: not the native build's image"
        echo "SOURCE_DATE_EPOCH=4354819199 TZ=UTC: the native build's image"
    else
        [ "$status" -eq 2 ] && [ ! -e "$RUN_DIR/epoch.img" ] && grep -q -a '^format149: SOURCE_DATE_EPOCH must fall from ' "$err" &&
            ! grep -q -a '2107-12-31 23:59:59' "$err" ||
            fail "SOURCE_DATE_EPOCH=4354819199: exit status $status: $(tr -d '\r' <"$err" | head -3)"
        echo "SOURCE_DATE_EPOCH=4354819199 TZ=UTC: refused, exit status 2, with the range the program takes"
    fi
    echo "/?: the help, exit status 0; /verify: the usage, exit status 2, no file made"
}

# declined_run EXE: "n" piped in: the declined message, exit status 0, and no
# call: on the NT family the cause line, and the device never opened; through
# the device, standard error empty and the device opened once, to be found.
declined_run()
{
    local exe=$1 out=$RUN_DIR/out err=$RUN_DIR/err expected=$RUN_DIR/expected date calls expected_calls=
    run_program "$exe" $'n\n\n' "$out" "$err" 0
    expect_crlf_only "$out" "standard output"
    date=$(shown_date "$out") || exit 1
    {
        opening "$date"
        crlf $'\n\n     You chose not to format A:!\n\n     '
        crlf "$FAREWELL_BANNER"
    } >"$expected"
    expect_bytes "$out" "$expected" "standard output"
    cause_line >"$expected"
    expect_bytes "$err" "$expected" "standard error"
    traced_run "$exe" $'n\n\n' "$RUN_DIR/trace"
    calls=$(device_calls <"$RUN_DIR/trace")
    [ "$ROAD" = absent ] || expected_calls=open
    [ "$calls" = "$expected_calls" ] || { printf '%s\n' "$calls" | head -5 >&2; fail "the declined run reached the device"; }
    echo "declined: date line, warning, You chose not to format A:!, farewell; exit status 0; no device call;"
    echo "standard error $([ "$ROAD" = absent ] && echo 'the cause line alone' || echo 'empty, the device opened once')"
}

wine_64()
{
    use_wine "$WINE64" wine64
    require_executable "$2" "64-bit executable"
    make_prefix
    "$1" "$2"
    if [ -n "${3:-}" ]; then
        command -v fsck.fat >/dev/null || skip "no fsck.fat (Debian: dosfstools)"
        echo "== an image named on the command line"
        image_runs "$2" "$3"
    fi
}

# The 32-bit program in one prefix whose drive A: is an image: with Wine's
# default version (NT family, the road without the device), then as Windows 95,
# 98 (the program unpacked from the archive) and ME.
wine_win9x()
{
    local exe=$1 native=$2 archive=$3 cmake=${4:-cmake} version packed round
    use_wine "$WINE32" 'wine32:i386, after dpkg --add-architecture i386' "${FORMAT149_WINE32_UNAVAILABLE:-}"
    require_executable "$exe" "32-bit executable"
    command -v fsck.fat >/dev/null || skip "no fsck.fat (Debian: dosfstools)"
    make_prefix drive_a.img
    local image=$RUN_DIR/drive_a.img original=$RUN_DIR/original.img
    # Neither zeros nor the format's filler F6h: every byte a run leaves shows.
    yes 'format149 under Wine, an image as it was. ' | head -c $((2952 * 512)) >"$original"
    (cd "$RUN_DIR" && "$cmake" -E tar xf "$archive") || fail "cannot unpack $archive"
    packed=$(find "$RUN_DIR" -path "$RUN_DIR/prefix" -prune -o -name format149.exe -print)
    require_file "$packed" "format149.exe from the archive"

    echo "== Wine's default version (NT family)"
    cp "$original" "$image" || fail "cannot copy $original"
    confirmed_without_device "$exe"
    cmp "$image" "$original" || fail "the run without the device changed the image"
    image_runs "$exe" "$native"
    for version in win95 win98 winme; do
        round=$exe
        [ $version != win98 ] || round=$packed
        echo "== $version: $round"
        wine_setting 'HKCU\Software\Wine' Version "$version"
        cp "$original" "$image" || fail "cannot copy $original"
        ROAD=vwin32
        declined_run "$round"
        cmp "$image" "$original" || fail "the declined run changed the image"
        confirmed_with_vwin32 "$round" "$native" "$image" "$original"
        if [ $version = win98 ]; then
            verify_with_vwin32 "$round" "$native" "$image" "$original"
            image_runs "$round" "$native"
        fi
    done
}

mode=${1:-}
shift || true
case $mode in
    build) [ $# -ge 2 ] || fail "usage: $0 build SOURCE_DIR WORK_DIR [CMAKE [GENERATOR]]"; build_both "$@" ;;
    pe-imports) [ $# -ge 2 ] || fail "usage: $0 pe-imports EXE32 IMPORT_LIST [EXE64]"; pe_imports "$@" ;;
    release) [ $# -ge 5 ] || fail "usage: $0 release SOURCE_DIR WORK_DIR VERSION CMAKE CPACK [GENERATOR]"; release "$@" ;;
    wine-confirmed) [ $# -ge 1 ] || fail "usage: $0 wine-confirmed EXE64 [NATIVE_EXE]"; wine_64 confirmed_without_device "$@" ;;
    wine-declined) [ $# -eq 1 ] || fail "usage: $0 wine-declined EXE64"; wine_64 declined_run "$1" ;;
    wine-win9x) [ $# -ge 3 ] || fail "usage: $0 wine-win9x EXE32 NATIVE_EXE RELEASE_ZIP [CMAKE]"; wine_win9x "$@" ;;
    *) fail "usage: $0 build|pe-imports|release|wine-confirmed|wine-declined|wine-win9x ..." ;;
esac
echo "PASS"
