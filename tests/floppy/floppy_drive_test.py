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
  verify           the blank medium with --verify, the drive named on the
                   command line: 164 verify lines with 0, "All 164 tracks
                   verified.", exit status 0, the volume as for blank;
  unreadable       --verify on a 720 KB medium, which QEMU formats without
                   complaint but never reads at the 1.44 MB data rate: every
                   track named in the summary with the code of its verify
                   line, exit status 1.

FOLDER holds vmlinuz and floppy.ko (tests/floppy/fetch_kernel puts them
there). The guest is a small initramfs: a static busybox, the floppy module,
the program with the shared libraries ldd names, and an init script that
runs the program with the answer "y" and sends its standard output, standard
error and exit status over the second serial port. Exits 77 (skipped) when
QEMU, busybox, the kernel or the host's FAT tools are missing.
"""

import argparse
import datetime
import os
import re
import shutil
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

INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
insmod /floppy.ko
tries=0
while [ ! -b /dev/fd0 ] && [ $tries -lt 100 ]; do sleep 0.1; tries=$((tries + 1)); done
cd /tmp
TZ=UTC LD_LIBRARY_PATH=@LIBRARY_PATH@ @RUN@ < /answer > /tmp/stdout 2> /tmp/stderr
status=$?
stty -F /dev/ttyS1 raw -echo
{
    echo "stdout $(wc -c < /tmp/stdout)"; cat /tmp/stdout
    echo "stderr $(wc -c < /tmp/stderr)"; cat /tmp/stderr
    echo "status $status"
} > /dev/ttyS1
poweroff -f
"""


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


def build_initramfs(program, busybox, module, run):
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
    init = INIT.replace("@LIBRARY_PATH@", library_path).replace("@RUN@", run)
    archive.file("init", init.encode())
    return archive.finish()


# --- one boot --------------------------------------------------------------

def run_guest(work, kernel_dir, initramfs, medium):
    """Boots the guest with `medium` (an image path, or None for an empty
    drive); returns (stdout, stderr, exit status) of the program in it."""
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
        "-drive", drive, "-device", "floppy,unit=0,drive=flp,drive-type=144",
    ]
    started = time.monotonic()
    result = subprocess.run(command, capture_output=True, text=True)
    elapsed = time.monotonic() - started

    def console_tail():
        try:
            with open(console, "rb") as f:
                return f.read()[-3000:].decode("latin-1")
        except OSError:
            return "(no console output)"

    check(result.returncode == 0,
          f"QEMU exited {result.returncode} after {elapsed:.1f} s (124: timed out)\n{result.stderr}\n"
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
    return parts["stdout"].decode("latin-1"), parts["stderr"].decode("latin-1"), int(status.group(1))


# --- what the program said -------------------------------------------------

def check_progress(stderr, code, verify_code=None):
    """All 164 format lines and 36 write lines, in order, each with `code`;
    then, with `verify_code`, the 164 verify lines."""
    tracks = [(head, cylinder) for cylinder in range(CYLINDERS) for head in range(HEADS)]
    expected = [f"     Formatting side {head} of track {cylinder}, where error code = {code}. \a \a \a "
                for head, cylinder in tracks]
    expected += [f"     Writing sector {sector}, where error code = {code}. " for sector in range(HEADS * SECTORS)]
    if verify_code is not None:
        expected += [f"     Verifying side {head} of track {cylinder}, where error code = {verify_code}. "
                     for head, cylinder in tracks]
    lines = stderr.split("\r")
    check(lines[-1] == "", f"standard error does not end in a carriage return: {lines[-1]!r}")
    for number, (line, wanted) in enumerate(zip(lines, expected)):
        check(line == wanted, f"progress line {number}: {line!r}, expected {wanted!r}")
    check(len(lines) - 1 == len(expected), f"{len(lines) - 1} progress lines, expected {len(expected)}")


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
    its verify line showed."""
    verified = re.findall(r"     Verifying side (\d) of track (\d+), where error code = (\d+)\. \r", stderr)
    tracks = [(str(head), str(cylinder)) for cylinder in range(CYLINDERS) for head in range(HEADS)]
    check([line[:2] for line in verified] == tracks, f"{len(verified)} verify lines, not one per track in order")
    # The driver's EIO on reading is the BIOS's CRC error, 10h.
    check(all(code == "16" for _, _, code in verified), f"verify codes {sorted({c for _, _, c in verified})}, not 16")
    summary = "\n\n     164 of 164 tracks failed to verify.\n" + "".join(
        f"     side {head} of track {cylinder}, error code {code}.\n" for head, cylinder, code in verified)
    check(summary + "\n\n     Unlock " in stdout, f"no summary naming every track before the unlock:\n{stdout}")


# --- the cases -------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["blank", "write-protected", "empty", "verify", "unreadable"])
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
    run = "/format149 --verify /dev/fd0" if verifying else "DRIVE_A_IMAGE=/dev/fd0 /format149"
    initramfs = build_initramfs(arguments.format149, busybox, module, run)
    with tempfile.TemporaryDirectory() as work:
        image = os.path.join(work, "medium.img")
        if arguments.case in ("blank", "verify"):
            original = bytes(IMAGE_BYTES)
        elif arguments.case == "unreadable":
            original = bytes(UNREADABLE_MEDIUM_BYTES)
        else:  # a recognisable pattern, so that any write shows
            original = bytes((offset * 7 + offset // 512) & 0xFF for offset in range(IMAGE_BYTES))
        with open(image, "wb") as f:
            f.write(original)

        try:
            medium = None if arguments.case == "empty" else {"path": image,
                                                              "read_only": arguments.case == "write-protected"}
            stdout, stderr, status = run_guest(work, arguments.kernel_dir, initramfs, medium)
            # Any failed step, and only that, makes the exit status 1.
            expected_status = 0 if arguments.case in ("blank", "verify") else 1
            check(status == expected_status, f"format149 exited {status}, not {expected_status}\n{stderr[-400:]}")
            if arguments.case in ("blank", "verify"):
                check_texts(stdout, "succeeded", "succeeded")
                check_progress(stderr, 0, 0 if verifying else None)
                check(("All 164 tracks verified." in stdout) == verifying, f"verify summary:\n{stdout}")
                check_volume(work, image, printed_date(stdout))
            elif arguments.case == "unreadable":
                check_texts(stdout, "succeeded", "succeeded")
                check_unreadable(stdout, stderr)
            elif arguments.case == "write-protected":
                check_texts(stdout, "succeeded", "succeeded")
                check_progress(stderr, 0x03)
                with open(image, "rb") as f:
                    check(f.read() == original, "the write-protected image changed")
            else:
                check_texts(stdout, "failed", "failed")
                check_progress(stderr, 0x80)
        except Failure as failure:
            print(f"FAILED ({arguments.case}): {failure}")
            return 1
    print(f"passed: {arguments.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
