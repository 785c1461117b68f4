#!/usr/bin/env python3
"""Runs format149 on a real Linux floppy drive: a kernel booted in QEMU with
an emulated floppy controller, the program formatting /dev/fd0.

    floppy_drive_test.py CASE --format149 PROGRAM --kernel-dir FOLDER

CASE is one of
  blank            a blank (zero-filled) medium: every progress line 0, both
                   lock texts "succeeded"; the volume is accepted by fsck.fat
                   and mtools on the host and carries the stamp of the date
                   line that the program printed;
  write-protected  the same medium read-only: every line 03h, the image file
                   unchanged;
  empty            no medium in the drive: "Lock failed!", every line 80h;
  changed          the medium taken out while the program formats and another
                   put in: the requests after the change 80h (the one under
                   way may fail otherwise), "Unlock failed!", the second medium
                   unchanged;
  verify           the blank medium with --verify, the drive named on the
                   command line: 164 verify lines with 0, "All 164 tracks
                   verified.", exit status 0, the volume as for blank;
  unreadable       --verify on a 720 KB medium, which QEMU formats without
                   complaint but never reads at the 1.44 MB data rate: every
                   track named in the summary with 10h, the code of its
                   verify line, track 0 among them so nothing more is
                   written and the disk is unusable, exit status 1.

FOLDER holds vmlinuz and floppy.ko (tests/floppy/fetch_kernel puts them
there). The guest is a small initramfs: a static busybox, the floppy module,
the program with the shared libraries ldd names, and an init script that
runs the program with the answer "y" and sends its standard output, standard
error and exit status over the second serial port. For "changed" the init
script stops the program (SIGSTOP) after STOP_AFTER progress lines, says so
on the console and waits for a line on the third serial port; meanwhile the
host swaps the medium through QEMU's monitor (QMP). Exits 77 (skipped) when
QEMU, busybox, the kernel or the host's FAT tools are missing.
"""

import argparse
import datetime
import json
import os
import re
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
CYLINDERS, HEADS, SECTORS = 82, 2, 18
VOLUME_BYTES = CYLINDERS * HEADS * SECTORS * 512  # 1,511,424
# QEMU takes the medium's geometry from the image size and knows no
# 18-sector, 82-cylinder medium; at the size of its 21-sector one it seeks to
# all 82 cylinders, and after an 18-sector format sector (c, h, r) lies at
# ((c * 2 + h) * 18 + r - 1) * 512, so the volume is the image's first part.
IMAGE_BYTES = 21 * CYLINDERS * HEADS * 512  # 1,763,328
# QEMU takes an image of this size for a 720 KB medium (9 sectors, 250 kb/s).
UNREADABLE_MEDIUM_BYTES = 737_280
RTC_BASE = datetime.datetime(2004, 6, 7, 13, 45, 31)
QEMU_SECONDS = 150
STOP_AFTER = 40  # progress lines before the medium is changed: tracks 0..19

INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
insmod /floppy.ko
tries=0
while [ ! -b /dev/fd0 ] && [ $tries -lt 100 ]; do sleep 0.1; tries=$((tries + 1)); done
cd /tmp
export TZ=UTC LD_LIBRARY_PATH=@LIBRARY_PATH@ DRIVE_A_IMAGE=@DRIVE_A_IMAGE@
@RUN@
stty -F /dev/ttyS1 raw -echo
{
    echo "stdout $(wc -c < /tmp/stdout)"; cat /tmp/stdout
    echo "stderr $(wc -c < /tmp/stderr)"; cat /tmp/stderr
    echo "status $status"
} > /dev/ttyS1
poweroff -f
"""


# The program in the foreground, or stopped mid-run while the host changes
# the medium: the console line tells how many progress lines it had shown.
RUN_PLAIN = """/format149 @ARGUMENTS@ < /answer > /tmp/stdout 2> /tmp/stderr
status=$?"""
RUN_STOPPED = """progress() { tr -cd '\\r' < /tmp/stderr | wc -c; }
/format149 < /answer > /tmp/stdout 2> /tmp/stderr &
program=$!
while [ "$(progress)" -lt @STOP_AFTER@ ] && kill -0 $program; do sleep 0.02; done
kill -STOP $program
stty -F /dev/ttyS2 raw -echo
echo "format149 stopped after $(progress) progress lines" > /dev/console
read -r go < /dev/ttyS2
kill -CONT $program
wait $program
status=$?"""


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def skip(reason):
    print(f"skipped: {reason}")
    sys.exit(SKIPPED)


# --- the initramfs ---------------------------------------------------------

class Archive:
    """A cpio archive in the kernel's "newc" format, built in memory."""

    def __init__(self):
        self.data = bytearray()
        self.inode = 0

    def add(self, name, mode, content=b"", device=(0, 0)):
        self.inode += 1
        fields = [self.inode, mode, 0, 0, 1, 0, len(content), 0, 0, device[0], device[1], len(name) + 1, 0]
        self.data += b"070701" + b"".join(b"%08X" % field for field in fields) + name.encode() + b"\0"
        self.data += b"\0" * (-len(self.data) % 4)
        self.data += content
        self.data += b"\0" * (-len(self.data) % 4)

    def directory(self, name):
        self.add(name, stat.S_IFDIR | 0o755)

    def file(self, name, content, mode=0o755):
        self.add(name, stat.S_IFREG | mode, content)

    def finish(self):
        self.add("TRAILER!!!", 0)
        return bytes(self.data)


def shared_libraries(program):
    """The files that ldd names for `program`, the dynamic loader included."""
    result = subprocess.run(["ldd", program], capture_output=True, text=True)
    if result.returncode != 0:  # a static executable
        return []
    paths = []
    for line in result.stdout.splitlines():
        found = re.search(r"(?:=>\s*)?(/\S+)\s+\(0x", line)
        if found:
            paths.append(found.group(1))
    return paths


def build_initramfs(program, busybox, module, stopped, arguments=""):
    archive = Archive()
    made = set()

    def directories(path):
        parts = path.strip("/").split("/")[:-1]
        for depth in range(1, len(parts) + 1):
            folder = "/".join(parts[:depth])
            if folder not in made:
                made.add(folder)
                archive.directory(folder)

    for folder in ("bin", "sbin", "usr/bin", "usr/sbin", "dev", "proc", "sys", "tmp"):
        directories(folder + "/x")
    archive.add("dev/console", stat.S_IFCHR | 0o600, device=(5, 1))

    libraries = shared_libraries(program) + shared_libraries(busybox)
    for path in dict.fromkeys(libraries):
        directories(path)
        with open(path, "rb") as f:  # the file itself, wherever its links lead
            archive.file(path.lstrip("/"), f.read())
    # No loader cache in the guest: the folders are named instead. A sanitized
    # build needs nothing more than /proc; its reports go to standard error,
    # where they fail the checks.
    library_path = ":".join(dict.fromkeys(os.path.dirname(path) for path in libraries)) or "/"

    with open(busybox, "rb") as f:
        archive.file("bin/busybox", f.read())
    with open(program, "rb") as f:
        archive.file("format149", f.read())
    with open(module, "rb") as f:
        archive.file("floppy.ko", f.read(), 0o644)
    archive.file("answer", b"y\n\n", 0o644)
    run = RUN_STOPPED.replace("@STOP_AFTER@", str(STOP_AFTER)) if stopped else RUN_PLAIN
    # With arguments, the drive is named there, and DRIVE_A_IMAGE elsewhere.
    init = INIT.replace("@RUN@", run).replace("@LIBRARY_PATH@", library_path).replace("@ARGUMENTS@", arguments)
    init = init.replace("@DRIVE_A_IMAGE@", "/tmp/not-the-drive.img" if arguments else "/dev/fd0")
    archive.file("init", init.encode())
    return archive.finish()


# --- one boot --------------------------------------------------------------

def connect(path, deadline):
    """A connection to the Unix socket QEMU listens on at `path`."""
    while True:
        client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            client.connect(path)
            return client
        except OSError:
            client.close()
            check(time.monotonic() < deadline, f"QEMU never listened on {path}")
            time.sleep(0.05)


def qmp(monitor, command, arguments=None):
    """Runs one command on QEMU's monitor; events on the way are skipped."""
    message = {"execute": command} | ({"arguments": arguments} if arguments else {})
    monitor.write(json.dumps(message).encode() + b"\n")
    monitor.flush()
    while True:
        line = monitor.readline()
        check(line != b"", f"QEMU's monitor closed during {command}")
        answer = json.loads(line)
        check("error" not in answer, f"QMP {command}: {answer.get('error')}")
        if "return" in answer:
            return answer["return"]


def change_medium(work, console, qemu, second, deadline):
    """Waits for the guest's word that the program is stopped, takes the
    medium out, puts `second` in and lets the program go on. Returns how many
    progress lines the program had shown."""
    while True:
        with open(console, "rb") as f:
            found = re.search(rb"format149 stopped after (\d+) progress lines", f.read())
        if found:
            break
        check(qemu.poll() is None, "QEMU ended before the program was stopped")
        check(time.monotonic() < deadline, "the guest never stopped the program")
        time.sleep(0.05)
    with connect(os.path.join(work, "monitor"), deadline) as client, client.makefile("rwb") as monitor:
        check(b"QMP" in monitor.readline(), "no QMP greeting")
        qmp(monitor, "qmp_capabilities")
        qmp(monitor, "eject", {"id": "fdd0", "force": True})
        qmp(monitor, "blockdev-change-medium", {"id": "fdd0", "filename": second, "format": "raw"})
    return int(found.group(1))


def run_guest(work, kernel_dir, initramfs, medium, second=None):
    """Boots the guest with `medium` (an image path, or None for an empty
    drive); with `second`, the program is stopped mid-run and the medium
    changed for that image. Returns (stdout, stderr, exit status, progress
    lines before the change or None) of the program in it."""
    cpio = os.path.join(work, "initramfs.cpio")
    with open(cpio, "wb") as f:
        f.write(initramfs)
    console = os.path.join(work, "console.log")
    transcript = os.path.join(work, "transcript")
    drive = "if=none,id=flp"
    if medium is not None:
        drive += f",file={medium['path']},format=raw"
        if medium["read_only"]:
            drive += ",readonly=on"
    command = [
        "timeout", "-k", "5", str(QEMU_SECONDS),
        "qemu-system-x86_64", "-machine", "pc", "-accel", "tcg", "-m", "256",
        "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
        "-serial", f"file:{console}", "-serial", f"file:{transcript}",
        "-kernel", os.path.join(kernel_dir, "vmlinuz"), "-initrd", cpio,
        "-append", "console=ttyS0 panic=-1",
        "-rtc", "base=" + RTC_BASE.strftime("%Y-%m-%dT%H:%M:%S"),
        "-drive", drive, "-device", "floppy,unit=0,drive=flp,drive-type=144,id=fdd0",
    ]
    if second is not None:
        # The monitor, and the third serial port on which the guest waits for
        # the word to let the program go on.
        command += ["-qmp", f"unix:{os.path.join(work, 'monitor')},server=on,wait=off",
                    "-serial", f"unix:{os.path.join(work, 'go')},server=on,wait=off"]
    started = time.monotonic()
    deadline = started + QEMU_SECONDS
    changed_at = None
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as qemu:
        try:
            if second is None:
                _, errors = qemu.communicate(timeout=QEMU_SECONDS + 10)
            else:
                with connect(os.path.join(work, "go"), deadline) as go:
                    changed_at = change_medium(work, console, qemu, second, deadline)
                    go.sendall(b"go\n")
                    _, errors = qemu.communicate(timeout=QEMU_SECONDS + 10)
        finally:
            if qemu.poll() is None:
                qemu.kill()
    elapsed = time.monotonic() - started

    def console_tail():
        try:
            with open(console, "rb") as f:
                return f.read()[-3000:].decode("latin-1")
        except OSError:
            return "(no console output)"

    check(qemu.returncode == 0,
          f"QEMU exited {qemu.returncode} after {elapsed:.1f} s (124: timed out)\n{errors}\n"
          f"--- guest console, last lines:\n{console_tail()}")
    print(f"guest ran {elapsed:.1f} s")
    with open(transcript, "rb") as f:
        data = f.read()
    parts = {}
    position = 0
    for name in ("stdout", "stderr"):
        header = re.match(rb"%s (\d+)\n" % name.encode(), data[position:])
        check(header is not None, f"transcript lacks {name}: {data[position:position + 80]!r}\n{console_tail()}")
        position += header.end()
        length = int(header.group(1))
        parts[name] = data[position:position + length]
        position += length
    status = re.match(rb"status (\d+)\n", data[position:])
    check(status is not None, f"transcript lacks the exit status\n{console_tail()}")
    return (parts["stdout"].decode("latin-1"), parts["stderr"].decode("latin-1"), int(status.group(1)),
            changed_at)


# --- what the program said -------------------------------------------------

def check_progress(stderr, code, changed_at=None, verified=False, cause=None):
    """All 164 format lines and 36 write lines, in order, each with `code`,
    and when `verified` the 164 verify lines. With `changed_at`, every line
    after the first `changed_at` lines shows 80h instead, save the first of
    them (the request under way at the change), whose code may be any. Before
    them, the line that says the drive's `cause`, or none."""
    said = f"format149: /dev/fd0: {cause}\n" if cause is not None else ""
    check(stderr.startswith(said) and "format149: " not in stderr[len(said):],
          f"standard error does not open with {said!r} alone: {stderr[:200]!r}")
    stderr = stderr[len(said):]
    tracks = [(head, cylinder) for cylinder in range(CYLINDERS) for head in range(HEADS)]
    texts = [(f"     Formatting side {head} of track {cylinder}, where error code = ", ". \a \a \a ")
             for head, cylinder in tracks]
    texts += [(f"     Writing sector {sector}, where error code = ", ". ") for sector in range(HEADS * SECTORS)]
    if verified:
        texts += [(f"     Verifying side {head} of track {cylinder}, where error code = ", ". ")
                  for head, cylinder in tracks]
    lines = stderr.split("\r")
    check(lines[-1] == "", f"standard error does not end in a carriage return: {lines[-1]!r}")
    for number, (line, (before, after)) in enumerate(zip(lines, texts)):
        if number == changed_at:
            check(re.fullmatch(re.escape(before) + r"\d+" + re.escape(after), line),
                  f"progress line {number}: {line!r}, expected {before!r}<code>{after!r}")
            continue
        wanted = before + str(0x80 if changed_at is not None and number > changed_at else code) + after
        check(line == wanted, f"progress line {number}: {line!r}, expected {wanted!r}")
    check(len(lines) - 1 == len(texts), f"{len(lines) - 1} progress lines, expected {len(texts)}")


def check_texts(stdout, lock, unlock):
    check(f"Lock {lock}!" in stdout, f"no 'Lock {lock}!' in standard output:\n{stdout}")
    check(f"Unlock {unlock}!" in stdout, f"no 'Unlock {unlock}!' in standard output:\n{stdout}")
    check("Thank you for using format149." in stdout, f"no farewell in standard output:\n{stdout}")


def printed_date(stdout):
    found = re.search(r"The date and time of your format will be: (\w{3} \w{3} \d\d \d\d:\d\d:\d\d \d{4})\n", stdout)
    check(found is not None, f"no date line in standard output:\n{stdout}")
    moment = datetime.datetime.strptime(found.group(1), "%a %b %d %H:%M:%S %Y")
    # The guest's clock starts at RTC_BASE: the date line is shortly after it.
    check(RTC_BASE <= moment <= RTC_BASE + datetime.timedelta(minutes=5),
          f"date line {found.group(1)} is not shortly after the guest's clock start {RTC_BASE}")
    return moment


def check_volume(work, image, moment):
    """The volume on the medium: fsck.fat and mtools accept it, and it carries
    the stamp of `moment`."""
    volume = os.path.join(work, "volume.img")
    with open(image, "rb") as f:
        data = f.read()
    check(len(data) == IMAGE_BYTES, f"the image changed size to {len(data)} bytes")
    with open(volume, "wb") as f:
        f.write(data[:VOLUME_BYTES])
    outputs = []
    for command in (["fsck.fat", "-n", volume], ["minfo", "-i", volume, "::"], ["mdir", "-i", volume, "::"]):
        result = subprocess.run(command, capture_output=True, text=True)
        check(result.returncode == 0, f"{' '.join(command)} exited {result.returncode}:\n{result.stdout}{result.stderr}")
        outputs.append(result.stdout)
    listing = outputs[-1]

    # The serial number as DOS makes it: month and day plus the second, then
    # hour and minute plus the year.
    year = moment.year - 1980
    high = ((moment.month << 8 | moment.day) + (moment.second << 8)) & 0xFFFF
    low = ((moment.hour << 8 | moment.minute) + year) & 0xFFFF
    serial = f"{high:04X}-{low:04X}"
    check(f"Volume Serial Number is {serial}" in listing, f"mdir does not show serial {serial}:\n{listing}")
    check("Volume in drive : is MARVESTO" in listing, f"mdir does not show the label:\n{listing}")

    # The label entry, first in the root directory (logical sector 19).
    entry = data[19 * 512:19 * 512 + 32]
    check(entry[:11] == b"MARVESTO   " and entry[11] & 0x08, f"root entry 0 is not the label: {entry!r}")
    time_word = int.from_bytes(entry[22:24], "little")
    date_word = int.from_bytes(entry[24:26], "little")
    stamped = (1980 + (date_word >> 9), date_word >> 5 & 15, date_word & 31,
               time_word >> 11, time_word >> 5 & 63, (time_word & 31) * 2)
    wanted = (moment.year, moment.month, moment.day, moment.hour, moment.minute, moment.second // 2 * 2)
    check(stamped == wanted, f"label entry stamped {stamped}, the date line says {wanted}")


def check_unreadable(stdout, stderr):
    """Every track failed to verify, and the summary names each with the code
    its verify line showed; with track 0 unreadable, no mark is written."""
    verified = re.findall(r"     Verifying side (\d) of track (\d+), where error code = (\d+)\. \r", stderr)
    tracks = [(str(head), str(cylinder)) for cylinder in range(CYLINDERS) for head in range(HEADS)]
    check([line[:2] for line in verified] == tracks, f"{len(verified)} verify lines, not one per track in order")
    # The driver's EIO on reading is the BIOS's CRC error, 10h.
    check(all(code == "16" for _, _, code in verified), f"verify codes {sorted({c for _, _, c in verified})}, not 16")
    summary = "\n\n     164 of 164 tracks failed to verify.\n" + "".join(
        f"     side {head} of track {cylinder}, error code {code}.\n" for head, cylinder, code in verified)
    # Track 0 among them: no FAT sector is written again.
    unusable = "\n     Track 0 could not be read back, so the disk is unusable.\n"
    check(summary + unusable + "\n\n     Unlock " in stdout, f"no summary and verdict before the unlock:\n{stdout}")
    check("Writing" not in stderr[stderr.index("     Verifying "):], f"a write after the verify:\n{stderr[-300:]}")


# --- the cases -------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["blank", "write-protected", "empty", "changed", "verify", "unreadable"])
    parser.add_argument("--format149", required=True)
    parser.add_argument("--kernel-dir", required=True)
    arguments = parser.parse_args()

    if shutil.which("qemu-system-x86_64") is None or shutil.which("timeout") is None:
        skip("qemu-system-x86_64 is not installed (Debian package qemu-system-x86)")
    busybox = shutil.which("busybox")
    if busybox is None:
        skip("busybox is not installed (Debian package busybox-static)")
    module = os.path.join(arguments.kernel_dir, "floppy.ko")
    if not all(os.path.isfile(os.path.join(arguments.kernel_dir, name)) for name in ("vmlinuz", "floppy.ko")):
        skip(f"no kernel in {arguments.kernel_dir} (run tests/floppy/fetch_kernel)")
    if arguments.case in ("blank", "verify") and not all(shutil.which(tool) for tool in ("fsck.fat", "minfo", "mdir")):
        skip("fsck.fat or mtools is not installed (Debian packages dosfstools, mtools)")

    verifying = arguments.case in ("verify", "unreadable")
    initramfs = build_initramfs(arguments.format149, busybox, module, arguments.case == "changed",
                                "--verify /dev/fd0" if verifying else "")
    with tempfile.TemporaryDirectory() as work:
        image = os.path.join(work, "medium.img")
        # A recognisable pattern, so that any write shows.
        pattern = bytes((offset * 7 + offset // 512) & 0xFF for offset in range(IMAGE_BYTES))
        original = bytes(IMAGE_BYTES) if arguments.case in ("blank", "changed", "verify") else pattern
        if arguments.case == "unreadable":
            original = bytes(UNREADABLE_MEDIUM_BYTES)
        with open(image, "wb") as f:
            f.write(original)
        second = os.path.join(work, "second.img") if arguments.case == "changed" else None
        if second is not None:
            with open(second, "wb") as f:
                f.write(pattern)

        try:
            medium = None if arguments.case == "empty" else {"path": image,
                                                              "read_only": arguments.case == "write-protected"}
            stdout, stderr, status, changed_at = run_guest(work, arguments.kernel_dir, initramfs, medium, second)
            # Any failed step, and only that, makes the exit status 1.
            expected_status = 0 if arguments.case in ("blank", "verify") else 1
            check(status == expected_status, f"format149 exited {status}, not {expected_status}\n{stderr[-400:]}")
            if arguments.case in ("blank", "verify"):
                check_texts(stdout, "succeeded", "succeeded")
                check_progress(stderr, 0, verified=verifying)
                check(("All 164 tracks verified." in stdout) == verifying, f"verify summary:\n{stdout}")
                check_volume(work, image, printed_date(stdout))
            elif arguments.case == "unreadable":
                check_texts(stdout, "succeeded", "succeeded")
                check_unreadable(stdout, stderr)
            elif arguments.case == "write-protected":
                check_texts(stdout, "succeeded", "succeeded")
                check_progress(stderr, 0x03, cause="read-only: every format and write will fail with error code 3")
                with open(image, "rb") as f:
                    check(f.read() == original, "the write-protected image changed")
            elif arguments.case == "empty":
                check_texts(stdout, "failed", "failed")
                check_progress(stderr, 0x80, cause="no diskette in the drive")
            else:
                # Stopped while formatting, not before its STOP_AFTER lines.
                check(STOP_AFTER <= changed_at < CYLINDERS * HEADS,
                      f"the program was stopped after {changed_at} progress lines")
                check_texts(stdout, "succeeded", "failed")
                check_progress(stderr, 0, changed_at)
                # QEMU's format writes no data: a format that reached the
                # second medium shows in the lines, a write in its bytes.
                with open(second, "rb") as f:
                    check(f.read() == pattern, "the medium put in during the run changed")
        except Failure as failure:
            print(f"FAILED ({arguments.case}): {failure}")
            return 1
    print(f"passed: {arguments.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
