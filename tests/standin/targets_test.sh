#!/usr/bin/env bash
# Runs the built program on drive targets that are no plain diskette image and
# checks what it reports and what it leaves:
#   pseudo     files of the kernel's pseudo file systems are no disk
#   protected  an image the file system will not let be written is a
#              write-protected disk (an immutable file, else a read-only bind mount)
#   console    standard output or error written into the image itself
#   umask      a new image under umask 0277 is still writable by its maker
#   documents  files that cannot be diskette images are refused untouched;
#              a diskette image of another format and an empty file are taken
#   devices    a name in /dev that no device has is no disk, and never a file;
#              an image in /dev/shm, a mount of its own, is made
#   links      run as root, another user's links are never followed, and a
#              device named through a link is never opened for writing
#
#   targets_test.sh CASE PROGRAM
#
# Exits 0 when the case passed, 1 when it failed, 77 (with the reason) when the
# machine does not allow it.
set -u
case_name=$1
program=$2
work=$(mktemp -d)
cleanup() {
    chattr -i "$work/immutable.img" 2> /dev/null
    umount "$work/read-only" 2> /dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
    failures=$((failures + 1))
    echo "FAIL: $*"
}

# The console text with each progress line on a line of its own.
lines() { tr '\r' '\n' < "$1"; }

# The error codes of one kind of progress line (Formatting or Writing), each
# with its count: "164x0 " when all 164 formats answered 0.
codes() { # file kind
    lines "$1" | grep -a "^     $2 " | sed 's/.*error code = \(-\{0,1\}[0-9]*\)\. .*/\1/' | sort | uniq -c \
        | awk '{printf "%sx%s ", $1, $2}'
}

# Checks one confirmed run's console text: the lock and unlock results and the
# one code all formats and all writes showed.
expect_run() { # what console-file lock unlock format-code write-code [progress-file]
    local what=$1 console=$2 progress=${7:-$2}
    lines "$console" | grep -aqx "     Lock $3!" || fail "$what: no \"Lock $3!\""
    lines "$console" | grep -aqx "     Unlock $4!" || fail "$what: no \"Unlock $4!\""
    local formats writes
    formats=$(codes "$progress" Formatting)
    writes=$(codes "$progress" Writing)
    [ "$formats" = "164x$5 " ] || fail "$what: format codes ${formats:-none}, not 164 times $5"
    [ "$writes" = "36x$6 " ] || fail "$what: write codes ${writes:-none}, not 36 times $6"
}

confirmed() { # image output-file: answers y, both streams into the file
    printf 'y\n\n' | DRIVE_A_IMAGE=$1 "$program" > "$2" 2>&1
}

# An image of the volume's size with a pattern, so that any write shows.
make_image() { # path
    head -c 1511424 /dev/zero | tr '\0' '\133' > "$1"
}

case $case_name in
pseudo)
    # Both are harmless even to a program that writes them: /proc/self/comm is
    # the name of the program's own process; the kernel refuses to open
    # uevent_seqnum for writing, even for root.
    for target in /proc/self/comm /sys/kernel/uevent_seqnum; do
        if [ ! -e "$target" ]; then
            echo "($target is not on this machine)"
            continue
        fi
        confirmed "$target" "$work/out"
        expect_run "$target" "$work/out" failed failed 128 128
    done
    ;;
protected)
    target=
    make_image "$work/immutable.img"
    if chattr +i "$work/immutable.img" 2> "$work/chattr.err"; then
        target=$work/immutable.img
    else
        mkdir "$work/source" "$work/read-only"
        make_image "$work/source/a.img"
        if mount --bind "$work/source" "$work/read-only" 2> "$work/mount.err" \
            && mount -o remount,ro,bind "$work/read-only" 2>> "$work/mount.err"; then
            target=$work/read-only/a.img
        fi
    fi
    if [ -z "$target" ]; then
        echo "skipped: neither an immutable file nor a read-only bind mount can be made here:" \
            "$(cat "$work"/*.err 2> /dev/null | tr '\n' ' ')"
        exit 77
    fi
    before=$(md5sum < "$target")
    confirmed "$target" "$work/out"
    expect_run "$target" "$work/out" succeeded succeeded 3 3
    [ "$(md5sum < "$target")" = "$before" ] || fail "$target: the write-protected image changed"
    ;;
console)
    # Standard output into the image: the console text lands at its start; the
    # rest must stay as it was.
    image=$work/stdout.img
    make_image "$image"
    printf 'y\n\n' | DRIVE_A_IMAGE=$image "$program" 1<> "$image" 2> "$work/progress"
    expect_run "standard output" "$image" failed failed 170 170 "$work/progress"
    cmp -s <(tail -c +65537 "$image") <(make_image /dev/stdout | tail -c +65537) \
        || fail "standard output: the image beyond the console text changed"
    # Standard error into the image.
    image=$work/stderr.img
    make_image "$image"
    printf 'y\n\n' | DRIVE_A_IMAGE=$image "$program" > "$work/out" 2<> "$image"
    expect_run "standard error" "$work/out" failed failed 170 170 "$image"
    cmp -s <(tail -c +65537 "$image") <(make_image /dev/stdout | tail -c +65537) \
        || fail "standard error: the image beyond the console text changed"
    ;;
umask)
    image=$work/new.img
    (umask 0277 && confirmed "$image" "$work/out")
    expect_run "first run" "$work/out" succeeded succeeded 0 0
    mode=$(stat -c %a "$image")
    [ $((0$mode & 0200)) -ne 0 ] || fail "the new image has mode $mode: its owner cannot write it"
    # The next run finds a disk it can format again.
    (umask 0277 && confirmed "$image" "$work/out")
    expect_run "second run" "$work/out" succeeded succeeded 0 0
    ;;
documents)
    head -c 300000 /dev/urandom > "$work/report.pdf"
    head -c 307200 /dev/urandom > "$work/sectors.bin"
    for target in "$work/report.pdf" "$work/sectors.bin"; do
        cp "$target" "$work/before"
        confirmed "$target" "$work/out"
        expect_run "$target" "$work/out" failed failed 128 128
        grep -aq "format149: $target: not a diskette image ($(stat -c %s "$target") bytes)" "$work/out" \
            || fail "$target: no cause line"
        cmp -s "$target" "$work/before" || fail "$target: the document changed"
    done
    command -v mkfs.fat > /dev/null || { echo "skipped: no mkfs.fat (Debian package dosfstools)"; exit 77; }
    mkfs.fat -C "$work/floppy.img" 1440 > /dev/null
    : > "$work/empty.img"
    for target in "$work/floppy.img" "$work/empty.img"; do
        size=$(stat -c %s "$target")
        confirmed "$target" "$work/out"
        expect_run "$target" "$work/out" succeeded succeeded 0 0
        grep -aqx "format149: drive A: is $target, an existing file of $size bytes" "$work/out" \
            || fail "$target: the image not named before the question"
        ! lines "$work/out" | grep -a 'format149: ' | grep -aqv ': drive A: is ' \
            || fail "$target: a cause line on a run that succeeds"
    done
    # A larger diskette's image becomes the volume, byte for byte as a new one.
    mkfs.fat -C "$work/large.img" 2880 > /dev/null
    (export SOURCE_DATE_EPOCH=1700000000 && confirmed "$work/large.img" "$work/out" && confirmed "$work/new.img" "$work/out")
    cmp -s "$work/large.img" "$work/new.img" || fail "the 2.88 MB image is not the new volume ($(stat -c %s "$work/large.img") bytes)"
    ;;
devices)
    target=/dev/format149-absent
    [ ! -e "$target" ] || { echo "skipped: $target is there"; exit 77; }
    confirmed "$target" "$work/out"
    [ $? -eq 1 ] || fail "$target: exit status not 1"
    expect_run "$target" "$work/out" failed failed 128 128
    grep -aq "format149: $target: no such device\$" "$work/out" || fail "$target: no cause line"
    [ ! -e "$target" ] || { rm -f "$target"; fail "$target was created"; }
    if [ -d /dev/shm ]; then
        target=/dev/shm/format149-$$.img
        confirmed "$target" "$work/out"
        expect_run "$target" "$work/out" succeeded succeeded 0 0
        [ "$(stat -c %s "$target" 2> /dev/null)" = 1511424 ] || fail "$target: no volume made"
        rm -f "$target"
    fi
    ;;
links)
    [ "$(id -u)" -eq 0 ] || { echo "skipped: needs root, to run beside a second user"; exit 77; }
    command -v setpriv > /dev/null || { echo "skipped: no setpriv (Debian package util-linux)"; exit 77; }
    other() { setpriv --reuid=54321 --regid=54321 --clear-groups "$@"; }
    chmod 0755 "$work"
    mkdir -m 1777 "$work/shared"
    mkdir -m 0755 "$work/home" && chown 54321:54321 "$work/home"
    mkdir -m 0700 "$work/root-only"
    : > "$work/root.conf"
    other ln -s "$work/root.conf" "$work/shared/a.img" && other ln -s "$work/root.conf" "$work/home/a.img" \
        && other ln -s "$work/root-only" "$work/home/sub" || { echo "skipped: the second user cannot make links"; exit 77; }
    for target in "$work/shared/a.img" "$work/home/a.img" "$work/home/sub/nologin"; do
        confirmed "$target" "$work/out"
        expect_run "$target" "$work/out" failed failed 128 128
        grep -aq "format149: $target: a link that belongs to another user; name the file itself$" "$work/out" \
            || fail "$target: no cause line"
    done
    [ ! -s "$work/root.conf" ] || fail "the root-owned file behind another user's link was written"
    [ -z "$(ls -A "$work/root-only")" ] || fail "something was made behind another user's folder link"
    # A folder the user may not write: a write-protected disk, and why.
    printf 'y\n\n' | DRIVE_A_IMAGE=$work/new.img other "$program" > "$work/out" 2>&1
    expect_run "a folder not the user's" "$work/out" succeeded succeeded 3 3
    grep -aq "cannot be created: Permission denied\$" "$work/out" || fail "a folder not the user's: no cause line"
    # Root's own link to a character device: looked at, never opened to read or write.
    command -v strace > /dev/null || { echo "skipped: no strace"; exit 77; }
    mknod "$work/null" c 1 3 && ln -s "$work/null" "$work/device.img" || { echo "skipped: no mknod here"; exit 77; }
    printf 'y\n\n' | DRIVE_A_IMAGE=$work/device.img strace -f -e trace=open,openat -o "$work/trace" "$program" \
        > "$work/out" 2>&1
    grep -aq "format149: $work/device.img: a device, not a diskette image" "$work/out" || fail "device: no cause line"
    ! grep -E 'O_(RDWR|WRONLY)' "$work/trace" || fail "a descriptor was opened for writing"
    ;;
*)
    echo "targets_test.sh: unknown case '$case_name'" >&2
    exit 2
    ;;
esac

if [ $failures -ne 0 ]; then
    echo "$case_name: $failures failed"
    exit 1
fi
echo "$case_name: passed"
