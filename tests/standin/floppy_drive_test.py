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
                   complaint but never reads or writes at the 1.44 MB data
                   rate: every write of the system area fails, so nothing is
                   verified and standard output says once that the disk was
                   not formatted, with no verify line, summary or space
                   report; exit status 1;
  reinserted       the diskette formatted in the 5.25-inch 1.2 MB drive type
                   (the only QEMU drive that takes a 1,511,424-byte image as
                   82 cylinders of 18 sectors), then taken out and put back
                   twice through QEMU's monitor. Each time the guest runs
                   the line the README gives for a diskette put back, then
                   first mounts it and copies a file that fills the disk,
                   then writes a prepared image onto it with dd. On the
                   host fsck.fat and mtools read both results, the file
                   comes back whole and the image byte for byte.

FOLDER holds vmlinuz, floppy.ko and the FAT modules (tests/standin/fetch_kernel
puts them there). The guest is a small initramfs: a static busybox, the
floppy module, the program with the shared libraries ldd names, and an init
script that runs the program with the answer "y" and sends its standard
output, standard error and exit status over the second serial port. For "changed" the init
script stops the program (SIGSTOP) after STOP_AFTER progress lines, says so
on the console and waits for a line on the third serial port; meanwhile the
host swaps the medium through QEMU's monitor (QMP). "reinserted" waits the
same way after the run and after the mount. Exits 77 (skipped) when QEMU,
busybox, the kernel, setfdprm or the host's FAT tools are missing.
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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import SKIPPED, Failure, require as check, skip  # noqa: E402
CYLINDERS, HEADS, SECTORS = 82, 2, 18
VOLUME_BYTES = CYLINDERS * HEADS * SECTORS * 512  # 1,511,424
# QEMU takes the medium's geometry from the image size and knows no
# 18-sector, 82-cylinder medium; at the size of its 21-sector one it seeks to
# all 82 cylinders, and after an 18-sector format sector (c, h, r) lies at
# ((c * 2 + h) * 18 + r - 1) * 512, so the volume is the image's first part.
IMAGE_BYTES = 21 * CYLINDERS * HEADS * 512  # 1,763,328
# QEMU takes an image of this size for a 720 KB medium (9 sectors, 250 kb/s).
UNREADABLE_MEDIUM_BYTES = 737_280
# The drive types of QEMU's -device floppy: the 1.44 MB 3.5-inch drive, and
# the 1.2 MB 5.25-inch drive, whose table of media has 82 cylinders of 18.
DRIVE_144, DRIVE_120 = "144", "120"
# The line the README, the manual page and docs/drives.md give to set the
# geometry of a diskette put back: run here exactly as printed there. The
# first read takes in the new diskette; in QEMU it fails once when the
# diskette taken out had been read since setfdprm, hence the second.
REINSERTED_LINE = ("dd if=/dev/fd0 of=/dev/null count=1 2>/dev/null || dd if=/dev/fd0 of=/dev/null count=1; "
                   "setfdprm /dev/fd0 DS HD sect=18 cyl=82")
DATA_BYTES = 2919 * 512  # every cluster of the volume
# The FAT driver and the code pages vfat mounts with by default (437, ascii).
FAT_MODULES = ("fat.ko", "vfat.ko", "nls_cp437.ko", "nls_ascii.ko")
# What the program says drive A: is, before the question: the floppy drive,
# whether a diskette is in it or not.
NAMED_DRIVE = "format149: drive A: is /dev/fd0, the floppy drive\n"
RTC_BASE = datetime.datetime(2004, 6, 7, 13, 45, 31)
QEMU_SECONDS = 150
STOP_AFTER = 40  # progress lines before the medium is changed: tracks 0..19

INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
insmod /floppy.ko
@INSMOD@
tries=0
while [ ! -b /dev/fd0 ] && [ $tries -lt 100 ]; do sleep 0.1; tries=$((tries + 1)); done
cd /tmp
touch /tmp/after
export TZ=UTC LD_LIBRARY_PATH=@LIBRARY_PATH@ DRIVE_A_IMAGE=@DRIVE_A_IMAGE@
@RUN@
stty -F /dev/ttyS1 raw -echo
{
    echo "stdout $(wc -c < /tmp/stdout)"; cat /tmp/stdout
    echo "stderr $(wc -c < /tmp/stderr)"; cat /tmp/stderr
    echo "after $(wc -c < /tmp/after)"; cat /tmp/after
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
# The program, then the diskette taken out and put back: each time the
# geometry is set with the README's line, then the disk is mounted and
# filled, or an image is written onto it. Their output goes to /tmp/after.
RUN_REINSERTED = """/format149 @ARGUMENTS@ < /answer > /tmp/stdout 2> /tmp/stderr
status=$?
stty -F /dev/ttyS2 raw -echo
exec 3< /dev/ttyS2
put_back() { echo "waiting for the diskette to be put back ($1)" > /dev/console; read -r go <&3; }
put_back 1
{
    @LINE@
    echo "sectors $(blockdev --getsz /dev/fd0)"
    mkdir -p /mnt && mount -t vfat /dev/fd0 /mnt && cp /fill.bin /mnt/FILL.BIN && umount /mnt
    echo "filled $?"
} >> /tmp/after 2>&1
put_back 2
{
    @LINE@
    echo "sectors $(blockdev --getsz /dev/fd0)"
    dd if=/prepared.img of=/dev/fd0 bs=18432 conv=fsync
    echo "written $?"
} >> /tmp/after 2>&1"""


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


def build_initramfs(program, busybox, kernel_dir, run, arguments="", extras=None):
    """The guest's initramfs: `run` is one of the RUN_ scripts; `extras`
    maps more files of the guest (FAT modules, setfdprm, data) to their
    contents on the host, a path or bytes."""
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

    extras = extras or {}
    tools = [path for name, path in extras.items() if name.startswith("usr/bin/")]
    libraries = shared_libraries(program) + shared_libraries(busybox)
    for tool in tools:
        libraries += shared_libraries(tool)
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
    with open(os.path.join(kernel_dir, "floppy.ko"), "rb") as f:
        archive.file("floppy.ko", f.read(), 0o644)
    for name, content in extras.items():
        directories(name)
        if isinstance(content, str):
            with open(content, "rb") as f:
                content = f.read()
        archive.file(name, content, 0o755 if name.startswith("usr/bin/") else 0o644)
    archive.file("answer", b"y\n\n", 0o644)
    insmod = "".join(f"insmod /{name}\n" for name in extras if name.endswith(".ko"))
    run = run.replace("@STOP_AFTER@", str(STOP_AFTER)).replace("@LINE@", REINSERTED_LINE)
    # With arguments, the drive is named there, and DRIVE_A_IMAGE elsewhere.
    init = INIT.replace("@RUN@", run).replace("@LIBRARY_PATH@", library_path).replace("@ARGUMENTS@", arguments)
    init = init.replace("@INSMOD@\n", insmod)
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


def wait_for_console(console, qemu, pattern, deadline):
    """The match of `pattern` in the guest's console, once it is there."""
    while True:
        with open(console, "rb") as f:
            found = re.search(pattern, f.read())
        if found:
            return found
        check(qemu.poll() is None, f"QEMU ended before the guest said {pattern!r}")
        check(time.monotonic() < deadline, f"the guest never said {pattern!r}")
        time.sleep(0.05)


def change_medium(work, medium, deadline, taken_out=None):
    """Takes the medium out through QEMU's monitor and puts `medium` in;
    `taken_out` is called in between, while the drive is empty."""
    with connect(os.path.join(work, "monitor"), deadline) as client, client.makefile("rwb") as monitor:
        check(b"QMP" in monitor.readline(), "no QMP greeting")
        qmp(monitor, "qmp_capabilities")
        qmp(monitor, "eject", {"id": "fdd0", "force": True})
        if taken_out is not None:
            taken_out()
        qmp(monitor, "blockdev-change-medium", {"id": "fdd0", "filename": medium, "format": "raw"})


def run_guest(work, kernel_dir, initramfs, medium, changes=(), drive_type=DRIVE_144):
    """Boots the guest with `medium` (an image path, or None for an empty
    drive). `changes` are the media changes, in order: each is (pattern,
    image, taken_out) for a line the guest writes on its console before it
    waits, the image put in then, and what the host does while the drive is
    empty (or None); then the guest is told to go on. Returns (stdout,
    stderr, exit status, what the guest wrote after the run, the match of
    the first change's pattern or None)."""
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
        "-drive", drive, "-device", f"floppy,unit=0,drive=flp,drive-type={drive_type},id=fdd0",
    ]
    if changes:
        # The monitor, and the third serial port on which the guest waits for
        # the word to go on.
        command += ["-qmp", f"unix:{os.path.join(work, 'monitor')},server=on,wait=off",
                    "-serial", f"unix:{os.path.join(work, 'go')},server=on,wait=off"]
    started = time.monotonic()
    deadline = started + QEMU_SECONDS
    first_change = None
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as qemu:
        try:
            if not changes:
                _, errors = qemu.communicate(timeout=QEMU_SECONDS + 10)
            else:
                with connect(os.path.join(work, "go"), deadline) as go:
                    for pattern, image, taken_out in changes:
                        found = wait_for_console(console, qemu, pattern, deadline)
                        first_change = first_change or found
                        change_medium(work, image, deadline, taken_out)
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
    for name in ("stdout", "stderr", "after"):
        header = re.match(rb"%s (\d+)\n" % name.encode(), data[position:])
        check(header is not None, f"transcript lacks {name}: {data[position:position + 80]!r}\n{console_tail()}")
        position += header.end()
        length = int(header.group(1))
        parts[name] = data[position:position + length].decode("latin-1")
        position += length
    status = re.match(rb"status (\d+)\n", data[position:])
    check(status is not None, f"transcript lacks the exit status\n{console_tail()}")
    return parts["stdout"], parts["stderr"], int(status.group(1)), parts["after"], first_change


# --- what the program said -------------------------------------------------

def check_progress(stderr, code, changed_at=None, verified=False, cause=None):
    """All 164 format lines and 36 write lines, in order, each with `code`,
    and when `verified` the 164 verify lines. With `changed_at`, every line
    after the first `changed_at` lines shows 80h instead, save the first of
    them (the request under way at the change), whose code may be any. Before
    them, the line that names the drive before the question, and the line
    that says the drive's `cause`, or none."""
    said = NAMED_DRIVE + (f"format149: /dev/fd0: {cause}\n" if cause is not None else "")
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


def read_volume(volume):
    """fsck.fat's, minfo's and mdir's outputs for the volume in the image
    file `volume`, each of which must accept it."""
    outputs = []
    for command in (["fsck.fat", "-n", volume], ["minfo", "-i", volume, "::"], ["mdir", "-i", volume, "::"]):
        result = subprocess.run(command, capture_output=True, text=True)
        check(result.returncode == 0, f"{' '.join(command)} exited {result.returncode}:\n{result.stdout}{result.stderr}")
        outputs.append(result.stdout)
    return outputs


def check_volume(work, image, moment, image_bytes=IMAGE_BYTES):
    """The volume on the medium: fsck.fat and mtools accept it, and it carries
    the stamp of `moment`."""
    volume = os.path.join(work, "volume.img")
    with open(image, "rb") as f:
        data = f.read()
    check(len(data) == image_bytes, f"the image changed size to {len(data)} bytes")
    with open(volume, "wb") as f:
        f.write(data[:VOLUME_BYTES])
    listing = read_volume(volume)[-1]

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
    """No write reached the disk, so there is nothing to verify: in place of
    the verify's lines, summary, marks and space report, standard output
    says once, between the separator and the unlock, that the disk was not
    formatted."""
    check("Verifying" not in stderr, f"a verify line for a disk not formatted:\n{stderr[-300:]}")
    written = re.findall(r"     Writing sector (\d+), where error code = (\d+)\. \r", stderr)
    check([sector for sector, _ in written] == [str(sector) for sector in range(HEADS * SECTORS)],
          f"{len(written)} write lines, not one per sector of the system area in order")
    check(all(code != "0" for _, code in written), f"a write succeeded: {written}")
    not_formatted = "\n     The disk was not formatted, so it was not verified.\n"
    check(stdout.count(not_formatted) == 1
          and stdout.index("*****") < stdout.index(not_formatted) < stdout.index("Unlock succeeded!"),
          f"no single 'not formatted' line between the separator and the unlock:\n{stdout}")
    for verdict in ("tracks verified.", "failed to verify", "could not be read back", "could not be marked",
                    "bytes total disk space", "bytes available on disk"):
        check(verdict not in stdout, f"{verdict!r} about a disk not formatted:\n{stdout}")


def sector_tagged(name):
    """DATA_BYTES of file content whose every sector names itself, so that a
    sector in the wrong place or missing shows."""
    return b"".join(f"{name} sector {n:04d} ".encode().ljust(512, b".") for n in range(DATA_BYTES // 512))


def check_file(volume, name, content):
    """`name` in the root of the volume in `volume` holds exactly `content`,
    and no byte of the disk is left free."""
    listing = read_volume(volume)[-1]
    check(re.search(r"\s0 bytes free", listing), f"the file does not fill the disk:\n{listing}")
    copy = volume + "." + name
    result = subprocess.run(["mcopy", "-n", "-i", volume, "::" + name, copy], capture_output=True, text=True)
    check(result.returncode == 0, f"mcopy of {name} exited {result.returncode}: {result.stderr}")
    with open(copy, "rb") as f:
        check(f.read() == content, f"{name} read back from the disk differs from the file copied there")


def prepared_image(work, content):
    """A volume of this size made by mkfs.fat, labelled PREPARED, with a file
    PREP.BIN holding `content` that fills it: the image dd writes."""
    path = os.path.join(work, "prepared.img")
    source = os.path.join(work, "PREP.BIN")
    with open(source, "wb") as f:
        f.write(content)
    for command in (["mkfs.fat", "-C", "-F", "12", "-f", "2", "-r", "224", "-s", "1", "-S", "512", "-h", "0",
                     "-g", "2/18", "-M", "0xF0", "-n", "PREPARED", "--invariant", path, str(VOLUME_BYTES // 1024)],
                    ["mcopy", "-i", path, source, "::PREP.BIN"]):
        result = subprocess.run(command, capture_output=True, text=True)
        check(result.returncode == 0, f"{' '.join(command)} exited {result.returncode}: {result.stderr}")
    with open(path, "rb") as f:
        return f.read()


def check_documented():
    """The line the guest runs is the one the documents print."""
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    for document in ("README.md", "docs/drives.md", "docs/format149.1"):
        with open(os.path.join(top, document), encoding="utf-8") as f:
            text = f.read()
        if document.endswith(".1"):
            text = text.replace("\\-", "-")
        check(REINSERTED_LINE in text, f"{document} does not give the line {REINSERTED_LINE!r}")


# --- the cases -------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["blank", "write-protected", "empty", "changed", "verify", "unreadable",
                                         "reinserted"])
    parser.add_argument("--format149", required=True)
    parser.add_argument("--kernel-dir", required=True)
    arguments = parser.parse_args()
    reinserted = arguments.case == "reinserted"

    if shutil.which("qemu-system-x86_64") is None or shutil.which("timeout") is None:
        skip("qemu-system-x86_64 is not installed (Debian package qemu-system-x86)")
    busybox = shutil.which("busybox")
    if busybox is None:
        skip("busybox is not installed (Debian package busybox-static)")
    needed = ("vmlinuz", "floppy.ko") + (FAT_MODULES if reinserted else ())
    if not all(os.path.isfile(os.path.join(arguments.kernel_dir, name)) for name in needed):
        skip(f"no kernel or no {', '.join(needed[1:])} in {arguments.kernel_dir} (run tests/standin/fetch_kernel)")
    tools = ("fsck.fat", "minfo", "mdir") + (("mkfs.fat", "mcopy") if reinserted else ())
    if arguments.case in ("blank", "verify", "reinserted") and not all(shutil.which(tool) for tool in tools):
        skip("fsck.fat, mkfs.fat or mtools is not installed (Debian packages dosfstools, mtools)")
    setfdprm = shutil.which("setfdprm")
    if reinserted and setfdprm is None:
        skip("setfdprm is not installed (Debian package fdutils)")

    verifying = arguments.case in ("verify", "unreadable")
    run = {"changed": RUN_STOPPED, "reinserted": RUN_REINSERTED}.get(arguments.case, RUN_PLAIN)
    drive = "--verify /dev/fd0" if verifying else "/dev/fd0" if reinserted else ""
    with tempfile.TemporaryDirectory() as work:
        image = os.path.join(work, "medium.img")
        # A recognisable pattern, so that any write shows.
        pattern = bytes((offset * 7 + offset // 512) & 0xFF for offset in range(IMAGE_BYTES))
        original = bytes(IMAGE_BYTES) if arguments.case in ("blank", "changed", "verify") else pattern
        if arguments.case == "unreadable":
            original = bytes(UNREADABLE_MEDIUM_BYTES)
        if reinserted:
            original = bytes(VOLUME_BYTES)  # the 1.2 MB drive type's 82 x 18 medium
        with open(image, "wb") as f:
            f.write(original)
        changes = []
        if arguments.case == "changed":
            second = os.path.join(work, "second.img")
            with open(second, "wb") as f:
                f.write(pattern)
            changes = [(rb"format149 stopped after (\d+) progress lines", second, None)]

        try:
            extras = {}
            if reinserted:
                check_documented()
                filled = os.path.join(work, "filled.img")
                # The same diskette put back twice; the second time the host
                # first keeps what the mount left on it.
                changes = [(rb"waiting for the diskette to be put back \(%d\)" % number, image,
                            (lambda: shutil.copyfile(image, filled)) if number == 2 else None)
                           for number in (1, 2)]
                prepared = prepared_image(work, sector_tagged("PREP.BIN"))
                extras = {name: os.path.join(arguments.kernel_dir, name) for name in FAT_MODULES}
                extras |= {"usr/bin/setfdprm": setfdprm, "fill.bin": sector_tagged("FILL.BIN"),
                           "prepared.img": prepared}
            initramfs = build_initramfs(arguments.format149, busybox, arguments.kernel_dir, run, drive, extras)
            medium = None if arguments.case == "empty" else {"path": image,
                                                              "read_only": arguments.case == "write-protected"}
            stdout, stderr, status, after, first_change = run_guest(
                work, arguments.kernel_dir, initramfs, medium, changes, DRIVE_120 if reinserted else DRIVE_144)
            # Any failed step, and only that, makes the exit status 1.
            expected_status = 0 if arguments.case in ("blank", "verify", "reinserted") else 1
            check(status == expected_status, f"format149 exited {status}, not {expected_status}\n{stderr[-400:]}")
            if arguments.case in ("blank", "verify"):
                check_texts(stdout, "succeeded", "succeeded")
                check_progress(stderr, 0, verified=verifying)
                check(("All 164 tracks verified." in stdout) == verifying, f"verify summary:\n{stdout}")
                check_volume(work, image, printed_date(stdout))
            elif reinserted:
                check_texts(stdout, "succeeded", "succeeded")
                check_progress(stderr, 0)
                # Each time the line gave the kernel all 2952 sectors, and
                # the mount, the copy and the write succeeded.
                steps = re.findall(r"^(sectors|filled|written) (\d+)$", after, re.MULTILINE)
                check(steps == [("sectors", "2952"), ("filled", "0"), ("sectors", "2952"), ("written", "0")],
                      f"after the diskette was put back:\n{after}")
                # The formatted volume with the file on it, then the image.
                check_volume(work, filled, printed_date(stdout), VOLUME_BYTES)
                check_file(filled, "FILL.BIN", sector_tagged("FILL.BIN"))
                with open(image, "rb") as f:
                    check(f.read() == prepared, "the diskette does not hold the image written onto it")
                check_file(image, "PREP.BIN", sector_tagged("PREP.BIN"))
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
                changed_at = int(first_change.group(1))
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
