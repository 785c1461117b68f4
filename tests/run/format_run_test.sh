#!/usr/bin/env bash
# Runs the built program with piped input on temporary images and checks the
# transcript bytes, the progress lines and the disk it leaves, with independent
# FAT readers (fsck.fat, minfo, mdir, mcopy).
set -u
program=$1
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
passed=0
failed=0

pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
quiet() { "$@" >/dev/null 2>&1; }
check() { # description, command...
    local description=$1
    shift
    if "$@"; then pass; else fail "$description"; fi
}

faketime_library=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n 1)
if [ -z "$faketime_library" ]; then
    echo "libfaketime is missing (Debian package faketime)"
    exit 1
fi

# Runs the program at a frozen clock: image path, input, output file (standard
# output and error together, as one console).
# What the run says drive A: is, found before it: kept in drive_is for the transcript.
run_at() { # time image input output
    if [ -f "$2" ]; then
        drive_is="$2, an existing file of $(stat -c %s "$2") bytes"
    elif [ -d "$(dirname "$2")" ]; then
        drive_is="$2, a new image file"
    else
        drive_is="$2, not there"
    fi
    printf '%b' "$3" | TZ=UTC FAKETIME="$1" LD_PRELOAD="$faketime_library" DRIVE_A_IMAGE="$2" "$program" >"$4" 2>&1
}

date_line() {
    printf '\n\n     The date and time of your format will be: %s\n' "$1"
    printf 'format149: drive A: is %s\n' "$drive_is"
}
warning() {
    printf '\n\n     Make sure you have a 1.44 megabyte floppy disk in drive A.\n'
    printf '     This is a high level program for the Windows environment\n'
    printf '     and an unusually formatted disk will not format well\n'
    printf '     with this software.  Enter Y or y if you want to format\n'
    printf '     the floppy disk in drive A: to 1.49 megabytes.  Warning, all\n'
    printf '     data on the disk will be lost.  Take the disk out of the\n'
    printf '     drive and reinsert the floppy for Windows to take notice\n'
    printf '     of the new format.\n\n     '
}
banner() {
    printf '\n     Thank you for using format149.\n'
    printf '     format149 is published by the Marvesto diskette tools team.\n'
    printf '     Press Enter to end the program.\n'
}
confirmed_transcript() { # date lock-text unlock-text format-code write-code
    date_line "$1"
    warning
    printf '%b' "$2"
    local cylinder head sector
    for ((cylinder = 0; cylinder < 82; cylinder++)); do
        for head in 0 1; do
            printf '     Formatting side %d of track %d, where error code = %d. \a \a \a \r' $head $cylinder "$4"
        done
    done
    printf '\n\n     *****     \n\n'
    for ((sector = 0; sector < 36; sector++)); do
        printf '     Writing sector %d, where error code = %d. \r' $sector "$5"
    done
    printf '%b' "$3"
    banner
}
declined_transcript() { # date
    date_line "$1"
    warning
    printf '\n\n     You chose not to format A:!\n\n     '
    banner
}

# Byte offset of logical sector n, and bytes of the image.
sector_bytes() { # image first-sector count
    dd if="$1" bs=512 skip="$2" count="$3" status=none | od -An -v -tx1 | tr -s ' \n' ' ' | sed 's/^ //;s/ $//'
}
repeat_byte() { # byte count
    local i out=""
    for ((i = 0; i < $2; i++)); do out+="$1 "; done
    printf '%s' "${out% }"
}

# --- A confirmed run: the whole transcript, byte for byte -------------------
image=$work/confirmed.img
run_at "2004-06-07 13:45:31" "$image" 'y\n\n' "$work/confirmed.out"
confirmed_transcript "Mon Jun 07 13:45:31 2004" '\n     Lock succeeded!\n\n' '\n\n     Unlock succeeded!\n\n' 0 0 \
    >"$work/confirmed.expected"
check "confirmed transcript" cmp "$work/confirmed.out" "$work/confirmed.expected"
check "volume size" test "$(stat -c %s "$image")" -eq 1511424

# --- The disk, through independent readers ----------------------------------
check "fsck.fat accepts the volume" quiet fsck.fat -n "$image"
fsck_output=$(fsck.fat -n "$image" 2>&1)
check "no files, 2919 free clusters" grep -q "0/2919 clusters" <<<"$fsck_output"
minfo_output=$(minfo -i "$image" :: 2>&1)
for field in "sectors per track: 18" "heads: 2" "cylinders: 82" "small size: 2952 sectors" \
    "max available root directory slots: 224" "sectors per fat: 9" "media descriptor byte: 0xf0" \
    'disk label="MARVESTO   "' 'disk type="FAT12   "' 'banner:"({:iZIHC"'; do
    check "minfo: $field" grep -qF "$field" <<<"$minfo_output"
done
mdir_output=$(mdir -i "$image" :: 2>&1)
check "mdir: label" grep -q "Volume in drive : is MARVESTO" <<<"$mdir_output"
check "mdir: serial from the moment of the format" grep -q "Volume Serial Number is 2507-0D45" <<<"$mdir_output"
check "mdir: empty" grep -q "No files" <<<"$mdir_output"
check "mdir: every cluster free" grep -q "1 494 528 bytes free" <<<"$mdir_output"
label_listing=$(mdir -a -i "$image" ::/ 2>&1; mlabel -i "$image" -s :: 2>&1)
check "mlabel: label" grep -q "MARVESTO" <<<"$label_listing"
check "label entry time 13:45:30, date 2004-06-07" test "$(sector_bytes "$image" 19 1 | cut -d' ' -f23-26)" = "af 6d c7 30"

# Cylinder 0 exactly as planned, everything beyond it as the format left it.
check "both FAT copies equal" cmp <(sector_bytes "$image" 1 9) <(sector_bytes "$image" 10 9)
check "FAT head" test "$(sector_bytes "$image" 1 1)" = "f0 ff ff $(repeat_byte 00 509)"
check "rest of FAT and root written blank" test "$(sector_bytes "$image" 20 16)" = "$(repeat_byte 00 8192)"
check "cylinder 1 not written" test "$(sector_bytes "$image" 36 1)" = "$(repeat_byte f6 512)"
check "last sector not written" test "$(sector_bytes "$image" 2951 1)" = "$(repeat_byte f6 512)"
check "boot sector jump and signature" test "$(sector_bytes "$image" 0 1 | cut -d' ' -f1-3,511-512)" = "eb 3c 90 55 aa"

# A file that fills most of the volume goes on and comes back unchanged.
head -c 1400000 /dev/urandom >"$work/payload.bin"
check "mcopy onto the volume" mcopy -i "$image" "$work/payload.bin" ::/PAYLOAD.BIN
check "mcopy back off the volume" mcopy -i "$image" ::/PAYLOAD.BIN "$work/payload.back"
check "round trip unchanged" cmp "$work/payload.bin" "$work/payload.back"
check "fsck.fat after the copy" quiet fsck.fat -n "$image"

# --- Declining ---------------------------------------------------------------
cp "$image" "$work/before.img"
for answer in 'n\n\n' 'N\n\n' 'x\n\n' '\n  \n nyes\n\n' ''; do
    run_at "2004-06-07 13:45:31" "$image" "$answer" "$work/declined.out"
    declined_transcript "Mon Jun 07 13:45:31 2004" >"$work/declined.expected"
    check "declined transcript for '$answer'" cmp "$work/declined.out" "$work/declined.expected"
done
check "declining leaves the image unchanged" cmp "$image" "$work/before.img"
run_at "2004-06-07 13:45:31" "$work/absent.img" 'n\n' "$work/declined.out"
check "declining creates no image" test ! -e "$work/absent.img"

# --- Answers that format: blank lines first, leading blanks, the word yes ----
for answer in '\n\n   Y\n\n' 'yes\n' '\t y'; do
    rm -f "$work/answer.img"
    run_at "2004-06-07 13:45:31" "$work/answer.img" "$answer" "$work/answer.out"
    check "'$answer' formats" grep -q "Unlock succeeded!" "$work/answer.out"
    check "'$answer' leaves a volume" quiet fsck.fat -n "$work/answer.img"
done

# --- Every service fails: no disk in the drive -------------------------------
# The cause is said once, before the lock's text.
run_at "2004-06-07 13:45:31" "$work/no-such-folder/a.img" 'y\n\n' "$work/nodisk.out"
confirmed_transcript "Mon Jun 07 13:45:31 2004" "format149: $work/no-such-folder/a.img: no such folder\n"'\n\n     Lock failed!\n\n' \
    '\n\n     Unlock failed!\n\n' 128 128 >"$work/nodisk.expected"
check "no-disk transcript" cmp "$work/nodisk.out" "$work/nodisk.expected"
check "no-disk creates nothing" test ! -e "$work/no-such-folder"

# --- A write-protected disk: formats and writes fail, the image stays -------
cp "$work/before.img" "$work/protected.img"
chmod 0444 "$work/protected.img"
run_at "2004-06-07 13:45:31" "$work/protected.img" 'y\n\n' "$work/protected.out"
check "write-protected: every format fails with 03h" test "$(grep -o 'error code = 3\. ' "$work/protected.out" | wc -l)" -eq 200
check "write-protected: image unchanged" cmp "$work/protected.img" "$work/before.img"
cause_and_lock=$(grep -n -e "format149: $work/protected.img: read-only: every format and write will fail with error code 3\$" \
    -e 'Lock succeeded' "$work/protected.out" | cut -d: -f1 | tr '\n' ' ')
check "write-protected: the cause, once, before the lock's text" test "$cause_and_lock" = "16 18 "

# --- --verify judges only a disk that took every write ------------------------
# A read-only image and a device that is not there: one line in place of the
# verify's, between the separator and the unlock's text, and no track read.
for drive in "$work/protected.img" /dev/format149-none; do
    printf 'y\n\n' | "$program" --verify "$drive" >"$work/unverified.out" 2>"$work/unverified.err"
    status=$?
    after_separator=$(sed '1,/\*\*\*\*\*/d' "$work/unverified.out" | grep -v '^$' | head -n 2 | tr '\n' '|')
    check "--verify $drive: the not-formatted line alone, then the unlock's text, exit 1" test "$status" -eq 1 -a \
        "${after_separator%Unlock*}" = "     The disk was not formatted, so it was not verified.|     " -a \
        "$(grep -cE 'tracks verified|failed to verify|unusable|disk space|available' "$work/unverified.out")" -eq 0
    check "--verify $drive: no track read" bash -c '! grep -q Verifying "$0"' "$work/unverified.err"
done
check "--verify on the read-only image: unchanged" cmp "$work/protected.img" "$work/before.img"

# --- "-" is no drive, named or in DRIVE_A_IMAGE ----------------------------------
mkdir "$work/dash"
absolute_program=$(realpath "$program")
for named in - ""; do
    (cd "$work/dash" && DRIVE_A_IMAGE=- "$absolute_program" $named <<<$'y\n' >"$work/dash.out" 2>"$work/dash.err")
    check "'-' ${named:+as the drive}${named:-in DRIVE_A_IMAGE} refused with the usage, exit 2, nothing made" test $? -eq 2 \
        -a ! -s "$work/dash.out" -a -z "$(ls -A "$work/dash")" -a "$(grep -c '^Usage: format149' "$work/dash.err")" -eq 1
done

# --- --label: the label in the boot sector and the label entry --------------------
labels=("--label disk1" --label=DISK1)
for run in 0 1; do
    rm -f "$work/label-$run.img"
    TZ=UTC SOURCE_DATE_EPOCH=1086615931 "$program" --yes ${labels[run]} "$work/label-$run.img" </dev/null >/dev/null 2>&1
done
check "--label: in the label entry, upper case" grep -qx " Volume label is DISK1 *" <(mlabel -s -i "$work/label-0.img" ::)
check "--label: in the boot sector" grep -qF 'disk label="DISK1      "' <(minfo -i "$work/label-0.img" ::)
check "--label: two runs at one SOURCE_DATE_EPOCH, identical images" cmp "$work/label-0.img" "$work/label-1.img"
for label in "--label=a.b" "--label=ABCDEFGHIJKL" "--label=" "--label=A|B" "--label"; do
    "$program" --yes $label "$work/unlabelled.img" </dev/null >"$work/unlabelled.out" 2>"$work/unlabelled.err"
    check "'$label' refused with the usage, exit 2, nothing made" test $? -eq 2 -a ! -s "$work/unlabelled.out" -a \
        ! -e "$work/unlabelled.img" -a "$(grep -c '^Usage: format149' "$work/unlabelled.err")" -eq 1
done

# --- The clock: the date line and the stamp from the same local time --------
rm -f "$work/zone.img"
printf 'y\n\n' | TZ=America/New_York FAKETIME="2004-06-07 13:45:31" LD_PRELOAD="$faketime_library" \
    DRIVE_A_IMAGE="$work/zone.img" "$program" >"$work/zone.out" 2>&1
check "local time in the date line" grep -q "will be: Mon Jun 07 13:45:31 2004" "$work/zone.out"
check "local time in the serial" grep -q "Volume Serial Number is 2507-0D45" <(mdir -i "$work/zone.img" :: 2>&1)
run_at "1999-12-05 08:04:09" "$work/other.img" 'n\n' "$work/other.out"
check "day padded with a zero" grep -q "will be: Sun Dec 05 08:04:09 1999" "$work/other.out"

# Two formats one second apart, in the same two-second step of the label time.
run_at "2004-06-07 13:45:30" "$work/even.img" 'y\n\n' "$work/even.out"
check "serial of the earlier second" grep -q "Volume Serial Number is 2407-0D45" <(mdir -i "$work/even.img" :: 2>&1)
check "same label time and date" test "$(sector_bytes "$work/even.img" 19 1 | cut -d" " -f1-32)" = "$(sector_bytes "$image" 19 1 | cut -d" " -f1-32)"

# A clock that cannot be broken down: no date, a zero stamp, and the run goes on.
run_at "+900000000000d" "$work/noclock.img" 'y\n\n' "$work/noclock.out"
check "date unknown" grep -q "will be: unknown$" "$work/noclock.out"
check "zero serial without a clock" grep -q "Volume Serial Number is 0000-0000" <(mdir -i "$work/noclock.img" :: 2>&1)
check "zero label time without a clock" test "$(sector_bytes "$work/noclock.img" 19 1 | cut -d' ' -f23-26)" = "00 00 00 00"
check "formatted without a clock" quiet fsck.fat -n "$work/noclock.img"

# --- SOURCE_DATE_EPOCH stands in for the clock --------------------------------
# 1086615931 is 2004-06-07 13:45:31 UTC; the real clock is left running.
for run in first second; do
    rm -f "$work/epoch-$run.img"
    printf 'y\n\n' | TZ=America/New_York SOURCE_DATE_EPOCH=1086615931 DRIVE_A_IMAGE="$work/epoch-$run.img" \
        "$program" >"$work/epoch-$run.out" 2>&1
done
check "epoch: date line in local time" grep -q "will be: Mon Jun 07 09:45:31 2004" "$work/epoch-first.out"
check "epoch: serial in local time" grep -q "Volume Serial Number is 2507-0945" <(mdir -i "$work/epoch-first.img" :: 2>&1)
check "epoch: two runs, identical images" cmp "$work/epoch-first.img" "$work/epoch-second.img"
# 0 (1970), 4354819200 (2108), 1980-01-01 00:00 UTC in New York (1979): beyond the FAT date's years.
for value in "" "12a" "1.5" "+5" " 5" "99999999999999999999" "0x10" 0 4354819200 "315532800 America/New_York"; do
    rm -f "$work/malformed.img"
    zone=${value#* } && [ "$zone" != "$value" ] || zone=UTC
    TZ=$zone SOURCE_DATE_EPOCH=${value%% *} DRIVE_A_IMAGE="$work/malformed.img" "$program" <<<$'y\n' \
        >"$work/malformed.out" 2>"$work/malformed.err"
    status=$?
    check "epoch '$value' refused with status 2" test "$status" -eq 2
    check "epoch '$value': one line on standard error, nothing else" \
        test "$(wc -l <"$work/malformed.err")" -eq 1 -a ! -s "$work/malformed.out" -a ! -e "$work/malformed.img"
    # Twenty digits are a whole number, only too large.
    [ "$value" != 99999999999999999999 ] ||
        check "epoch '$value': out of range" grep -q "must fall from 1980-01-01" "$work/malformed.err"
done
check "epoch out of range: the message gives the range" grep -q "1980-01-01 00:00:00 to 2107-12-31 23:59:59" \
    "$work/malformed.err"
printf 'y\n\n' | TZ=UTC SOURCE_DATE_EPOCH=4354819199 DRIVE_A_IMAGE="$work/last.img" "$program" >"$work/last.out" 2>&1
check "epoch: the last second of 2107 is taken" test "$(sector_bytes "$work/last.img" 19 1 | cut -d' ' -f23-26)" = "7d bf 9f ff"

# --- The mtools drive line of each document, as printed, /dev/fd0 a fresh image
echo notes >"$work/notes.txt"
for document in README.md docs/format149.1 docs/windows/README.TXT.in; do
    line=$(grep -o 'drive b: file="/dev/fd0"[^\\]*' "$(dirname "$0")/../../$document")
    printf '%s\n' "${line/\/dev\/fd0/$work/drive-b.img}" >"$work/mtoolsrc"
    cp "$work/epoch-first.img" "$work/drive-b.img"
    MTOOLSRC=$work/mtoolsrc mcopy "$work/notes.txt" b: && listing=$(MTOOLSRC=$work/mtoolsrc mdir b: 2>&1) || listing=
    check "$document: mcopy and mdir through its line" grep -qziE "is MARVESTO.*notes +txt.*1 494 016 bytes free" <<<"$listing"
done

# --- After the banner the program waits for one more line --------------------
mkfifo "$work/input"
DRIVE_A_IMAGE="$work/wait.img" "$program" <"$work/input" >"$work/wait.out" 2>&1 &
pid=$!
exec 3>"$work/input"
printf 'y\n' >&3
for _ in $(seq 100); do
    grep -q "Press Enter to end the program" "$work/wait.out" && break
    sleep 0.1
done
sleep 0.3
check "waits after the banner" kill -0 $pid
printf '\n' >&3
for _ in $(seq 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
check "ends after one more line" bash -c "! kill -0 $pid 2>/dev/null"
exec 3>&-
wait $pid 2>/dev/null

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
