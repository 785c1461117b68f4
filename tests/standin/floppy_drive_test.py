#!/usr/bin/env python3
"""Runs format149 on a real Linux floppy drive: a kernel booted in QEMU with
an emulated floppy controller, the program formatting /dev/fd0.

    floppy_drive_test.py CASE --format149 PROGRAM --kernel-dir FOLDER

CASE is one of
  blank            a blank (zero-filled) medium: every progress line 0, both
                   lock texts "succeeded"; fsck.fat and mtools on the host
                   accept the volume, stamped with the date line printed;
  write-protected  the same medium read-only: every line 03h, the medium unchanged;
  empty            no medium in the drive: "Lock failed!", every line 80h;
  changed          the medium swapped while the program formats: the requests
                   after the change 80h, "Unlock failed!", the second medium
                   unchanged;
  verify           the blank medium with --verify, the drive named on the
                   command line: 164 verify lines with 0, as for blank;
  unreadable       --verify on a 720 KB medium, which QEMU never reads or
                   writes at the 1.44 MB data rate: nothing is verified, exit 1;
  reinserted       the diskette formatted in the 1.2 MB drive type, then put
                   back twice: each time the guest runs the README's line for a
                   diskette put back, then fills the disk through a mount, or
                   writes a prepared image with dd; the host reads both back.

FOLDER holds vmlinuz, floppy.ko and the FAT modules (tests/standin/fetch_kernel
puts them there). The guest is a small initramfs whose init script runs the
program with the answer "y" and sends its standard output, standard error and
exit status over the second serial port; where the medium changes, it waits
for a line on the third while the host swaps the medium through QEMU's
monitor (QMP). Exits 77 (skipped) when QEMU, busybox, the kernel, setfdprm or
the host's FAT tools are missing.
"""

import argparse
import contextlib
import datetime
import json
import os
import re
import shutil
import socket
import stat
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402
import texts  # noqa: E402
from harness import CYLINDERS, HEADS, VOLUME_BYTES, read, require as check, succeeded, write  # noqa: E402

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
NAMED_DRIVE = texts.DRIVE_A_LINE % texts.FLOPPY_DRIVE
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
put_back() { # number, what is done then, the word for its exit status
    echo "waiting for the diskette to be put back ($1)" > /dev/console
    read -r go <&3
    { @LINE@; echo "sectors $(blockdev --getsz /dev/fd0)"; eval "$2"; echo "$3 $?"; } >> /tmp/after 2>&1
}
put_back 1 'mkdir -p /mnt && mount -t vfat /dev/fd0 /mnt && cp /fill.bin /mnt/FILL.BIN && umount /mnt' filled
put_back 2 'dd if=/prepared.img of=/dev/fd0 bs=18432 conv=fsync' written"""


# --- the initramfs ---------------------------------------------------------

class Archive:
    """A cpio archive in the kernel's "newc" format, built in memory."""

    def __init__(self):
        self.data, self.inode = bytearray(), 0

    def add(self, name, mode, content=b"", device=(0, 0)):
        self.inode += 1
        fields = [self.inode, mode, 0, 0, 1, 0, len(content), 0, 0, device[0], device[1], len(name) + 1, 0]
        for part in (b"070701" + b"".join(b"%08X" % field for field in fields) + name.encode() + b"\0", content):
            self.data += part + b"\0" * (-(len(self.data) + len(part)) % 4)  # each padded to 4 bytes

    def directory(self, name):
        self.add(name, stat.S_IFDIR | 0o755)

    def file(self, name, content, mode=0o755):
        self.add(name, stat.S_IFREG | mode, content)

    def finish(self):
        self.add("TRAILER!!!", 0)
        return bytes(self.data)


def shared_libraries(program):
    """The files that ldd names for `program`, the dynamic loader included."""
    result = harness.run(["ldd", program])  # which fails for a static executable
    return re.findall(r"(?:=>[ \t]*)?(/\S+)[ \t]+\(0x", result.stdout.decode()) if result.returncode == 0 else []


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
    tools = [program, busybox] + [path for name, path in extras.items() if name.startswith("usr/bin/")]
    libraries = [path for tool in tools for path in shared_libraries(tool)]
    for path in dict.fromkeys(libraries):
        directories(path)
        archive.file(path.lstrip("/"), read(path))  # the file itself, wherever its links lead
    # No loader cache in the guest: the folders are named instead. A sanitized
    # build needs nothing more than /proc; its reports go to standard error,
    # where they fail the checks.
    library_path = ":".join(dict.fromkeys(os.path.dirname(path) for path in libraries)) or "/"

    archive.file("bin/busybox", read(busybox))
    archive.file("format149", read(program))
    archive.file("floppy.ko", read(os.path.join(kernel_dir, "floppy.ko")), 0o644)
    for name, content in extras.items():
        directories(name)
        archive.file(name, read(content) if isinstance(content, str) else content,
                     0o755 if name.startswith("usr/bin/") else 0o644)
    archive.file("answer", harness.CONFIRMED, 0o644)
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
    client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    check(harness.wait_until(lambda: client.connect_ex(path) == 0, deadline - time.monotonic()),
          f"QEMU never listened on {path}")
    return client


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
    def said():
        return re.search(pattern, read(console) or b"")
    check(harness.wait_until(lambda: said() or qemu.poll() is not None, deadline - time.monotonic()) and said(),
          f"the guest never said {pattern!r}" + (", and QEMU ended" if qemu.poll() is not None else ""))
    return said()


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
    write(cpio, initramfs)
    console, transcript = os.path.join(work, "console.log"), os.path.join(work, "transcript")
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
    deadline, first_change = started + QEMU_SECONDS, None
    with (harness.started(command, stdout=harness.PIPE, stderr=harness.PIPE, text=True) as qemu,
          connect(os.path.join(work, "go"), deadline) if changes else contextlib.nullcontext() as go):
        for pattern, image, taken_out in changes:
            found = wait_for_console(console, qemu, pattern, deadline)
            first_change = first_change or found
            change_medium(work, image, deadline, taken_out)
            go.sendall(b"go\n")
        _, errors = qemu.communicate(timeout=QEMU_SECONDS + 10)
    elapsed = time.monotonic() - started

    def console_tail():
        return (read(console) or b"(no console output)")[-3000:].decode("latin-1")

    check(qemu.returncode == 0,
          f"QEMU exited {qemu.returncode} after {elapsed:.1f} s (124: timed out)\n{errors}\n"
          f"--- guest console, last lines:\n{console_tail()}")
    print(f"guest ran {elapsed:.1f} s")
    data, parts, position = read(transcript), {}, 0
    for name in ("stdout", "stderr", "after"):
        header = re.match(rb"%s (\d+)\n" % name.encode(), data[position:])
        check(header is not None, f"transcript lacks {name}: {data[position:position + 80]!r}\n{console_tail()}")
        position += header.end()
        length = int(header.group(1))
        parts[name] = data[position:position + length]
        position += length
    status = re.match(rb"status (\d+)\n", data[position:])
    check(status is not None, f"transcript lacks the exit status\n{console_tail()}")
    return parts["stdout"], parts["stderr"], int(status.group(1)), parts["after"].decode("latin-1"), first_change


# --- what the program said -------------------------------------------------

def check_progress(stderr, code, changed_at=None, verified=False, cause=None):
    """All 164 format lines and 36 write lines, in order, each with `code`,
    and when `verified` the 164 verify lines. With `changed_at`, every line
    after the first `changed_at` lines shows 80h instead, save the first of
    them (the request under way at the change), whose code may be any. Before
    them, the line that names the drive before the question, and the line
    that says the drive's `cause`, or none."""
    said = NAMED_DRIVE + (texts.cause_line(b"/dev/fd0", cause) if cause is not None else b"")
    check(stderr.startswith(said) and texts.FAULT_START not in stderr[len(said):],
          f"standard error does not open with {said!r} alone: {stderr[:200]!r}")
    expected = harness.progress_lines(code, code, code if verified else None)
    changed = harness.progress_lines(0x80, 0x80, 0x80 if verified else None)
    lines = stderr[len(said):].split(b"\r")
    check(lines[-1] == b"", f"standard error does not end in a carriage return: {lines[-1]!r}")
    for number, (line, wanted) in enumerate(zip(lines, expected)):
        if number == changed_at:
            before, after = wanted[:-1].split(b"code = %d." % code)
            check(re.fullmatch(re.escape(before + b"code = ") + rb"\d+" + re.escape(b"." + after), line),
                  f"progress line {number}: {line!r}, expected {before!r}<code>{after!r}")
            continue
        wanted = (changed if changed_at is not None and number > changed_at else expected)[number][:-1]
        check(line == wanted, f"progress line {number}: {line!r}, expected {wanted!r}")
    check(len(lines) - 1 == len(expected), f"{len(lines) - 1} progress lines, expected {len(expected)}")


def printed_date(stdout):
    shown = harness.shown_moment(stdout).decode()
    moment = datetime.datetime.strptime(shown, "%a %b %d %H:%M:%S %Y")
    # The guest's clock starts at RTC_BASE: the date line is shortly after it.
    check(RTC_BASE <= moment <= RTC_BASE + datetime.timedelta(minutes=5),
          f"date line {shown} is not shortly after the guest's clock start {RTC_BASE}")
    return moment


def read_volume(volume):
    """mdir's listing of the volume in the image file `volume`, after fsck.fat,
    minfo and mdir accepted it."""
    succeeded("fsck.fat", "-n", volume)
    succeeded("minfo", "-i", volume, "::")
    return succeeded("mdir", "-i", volume, "::")


def check_volume(work, image, moment, image_bytes=IMAGE_BYTES):
    """The volume on the medium: fsck.fat and mtools accept it, and it carries
    the stamp of `moment`."""
    volume = os.path.join(work, "volume.img")
    data = read(image)
    check(len(data) == image_bytes, f"the image changed size to {len(data)} bytes")
    write(volume, data[:VOLUME_BYTES])
    listing = read_volume(volume)

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
    _, written = harness.progress(stderr)
    check([sector for sector, _ in written] == list(range(harness.SYSTEM_AREA_SECTORS)),
          f"{len(written)} write lines, not one per sector of the system area in order")
    check(all(code > 0 for _, code in written), f"a write succeeded: {written}")
    check(stdout.count(texts.NOT_FORMATTED) == 1 and stdout.index(texts.SEPARATOR) < stdout.index(texts.NOT_FORMATTED)
          < stdout.index(texts.UNLOCK_SUCCEEDED),
          f"no single 'not formatted' line between the separator and the unlock:\n{stdout}")
    for piece in texts.VERIFY_PIECES:
        check(piece not in stdout + stderr, f"{piece!r} about a disk not formatted:\n{stdout}{stderr[-300:]}")


def sector_tagged(name):
    """DATA_BYTES of file content whose every sector names itself, so that a
    sector in the wrong place or missing shows."""
    return b"".join(f"{name} sector {n:04d} ".encode().ljust(512, b".") for n in range(DATA_BYTES // 512))


def check_file(volume, name, content):
    """`name` in the root of the volume in `volume` holds exactly `content`,
    and no byte of the disk is left free."""
    listing = read_volume(volume)
    check(re.search(r"\s0 bytes free", listing), f"the file does not fill the disk:\n{listing}")
    succeeded("mcopy", "-n", "-i", volume, "::" + name, volume + "." + name)
    check(read(volume + "." + name) == content, f"{name} read back from the disk differs from the file copied there")


def prepared_image(work, content):
    """A volume of this size made by mkfs.fat, labelled PREPARED, with a file
    PREP.BIN holding `content` that fills it: the image dd writes."""
    path, source = os.path.join(work, "prepared.img"), os.path.join(work, "PREP.BIN")
    write(source, content)
    succeeded("mkfs.fat", "-C", "-F", "12", "-f", "2", "-r", "224", "-s", "1", "-S", "512", "-h", "0", "-g", "2/18",
              "-M", "0xF0", "-n", "PREPARED", "--invariant", path, str(VOLUME_BYTES // 1024))
    succeeded("mcopy", "-i", path, source, "::PREP.BIN")
    return read(path)


def check_documented():
    """The line the guest runs is the one the documents print."""
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    for document in ("README.md", "docs/drives.md", "docs/format149.1"):
        text = read(os.path.join(top, document)).decode("utf-8")
        if document.endswith(".1"):
            text = text.replace("\\-", "-")
        check(REINSERTED_LINE in text, f"{document} does not give the line {REINSERTED_LINE!r}")


# --- the cases -------------------------------------------------------------

# What each case's run says of the lock and the unlock.
LOCK_TEXTS = {"empty": (texts.LOCK_FAILED, texts.UNLOCK_FAILED), "changed": (texts.LOCK_SUCCEEDED, texts.UNLOCK_FAILED)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["blank", "write-protected", "empty", "changed", "verify", "unreadable",
                                         "reinserted"])
    parser.add_argument("--format149", required=True)
    parser.add_argument("--kernel-dir", required=True)
    arguments = parser.parse_args()
    case, reinserted = arguments.case, arguments.case == "reinserted"

    harness.require_tool("qemu-system-x86_64", "qemu-system-x86")
    harness.require_tool("timeout", "coreutils")
    busybox = harness.require_tool("busybox", "busybox-static")
    needed = ("vmlinuz", "floppy.ko") + (FAT_MODULES if reinserted else ())
    if not all(os.path.isfile(os.path.join(arguments.kernel_dir, name)) for name in needed):
        harness.skip(f"no kernel or no {', '.join(needed[1:])} in {arguments.kernel_dir} "
                     "(run tests/standin/fetch_kernel)")
    if case in ("blank", "verify", "reinserted"):
        for tool in ("fsck.fat", "minfo", "mdir") + (("mkfs.fat", "mcopy") if reinserted else ()):
            harness.require_tool(tool, "dosfstools" if "fat" in tool else "mtools")
    setfdprm = harness.require_tool("setfdprm", "fdutils") if reinserted else None

    verifying = case in ("verify", "unreadable")
    run = {"changed": RUN_STOPPED, "reinserted": RUN_REINSERTED}.get(case, RUN_PLAIN)
    drive = "--verify /dev/fd0" if verifying else "/dev/fd0" if reinserted else ""
    with harness.scratch_folder("floppy") as work:
        image = os.path.join(work, "medium.img")
        # Blank, or a recognisable pattern, so that any write shows; a 720 KB
        # medium, or the 1.2 MB drive type's 82 x 18 one.
        pattern = bytes((offset * 7 + offset // 512) & 0xFF for offset in range(IMAGE_BYTES))
        original = {"unreadable": bytes(UNREADABLE_MEDIUM_BYTES), "reinserted": bytes(VOLUME_BYTES)}.get(
            case, bytes(IMAGE_BYTES) if case in ("blank", "changed", "verify") else pattern)
        write(image, original)
        changes, extras = [], {}
        if case == "changed":
            second = os.path.join(work, "second.img")
            write(second, pattern)
            changes = [(rb"format149 stopped after (\d+) progress lines", second, None)]
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
            extras |= {"usr/bin/setfdprm": setfdprm, "fill.bin": sector_tagged("FILL.BIN"), "prepared.img": prepared}
        initramfs = build_initramfs(arguments.format149, busybox, arguments.kernel_dir, run, drive, extras)
        medium = None if case == "empty" else {"path": image, "read_only": case == "write-protected"}
        stdout, stderr, status, after, first_change = run_guest(
            work, arguments.kernel_dir, initramfs, medium, changes, DRIVE_120 if reinserted else DRIVE_144)
        # Any failed step, and only that, makes the exit status 1.
        expected_status = 0 if case in ("blank", "verify", "reinserted") else 1
        check(status == expected_status, f"format149 exited {status}, not {expected_status}\n{stderr[-400:]!r}")
        for text in LOCK_TEXTS.get(case, (texts.LOCK_SUCCEEDED, texts.UNLOCK_SUCCEEDED)) + (texts.FAREWELL_BANNER,):
            check(text in stdout, f"no {text!r} in standard output:\n{stdout!r}")
        if case in ("blank", "verify"):
            check_progress(stderr, 0, verified=verifying)
            check((texts.ALL_TRACKS_VERIFIED.strip() in stdout) == verifying, f"verify summary:\n{stdout!r}")
            check_volume(work, image, printed_date(stdout))
        elif reinserted:
            check_progress(stderr, 0)
            # Each time the line gave the kernel all 2952 sectors, and
            # the mount, the copy and the write succeeded.
            steps = re.findall(r"^(sectors|filled|written) (\d+)$", after, re.MULTILINE)
            check(steps == [("sectors", "2952"), ("filled", "0"), ("sectors", "2952"), ("written", "0")],
                  f"after the diskette was put back:\n{after}")
            # The formatted volume with the file on it, then the image.
            check_volume(work, filled, printed_date(stdout), VOLUME_BYTES)
            check_file(filled, "FILL.BIN", sector_tagged("FILL.BIN"))
            check(read(image) == prepared, "the diskette does not hold the image written onto it")
            check_file(image, "PREP.BIN", sector_tagged("PREP.BIN"))
        elif case == "unreadable":
            check_unreadable(stdout, stderr)
        elif case == "write-protected":
            check_progress(stderr, 0x03, cause=texts.CAUSE_READ_ONLY)
            check(read(image) == original, "the write-protected image changed")
        elif case == "empty":
            check_progress(stderr, 0x80, cause=texts.CAUSE_NO_DISKETTE)
        else:
            # Stopped while formatting, not before its STOP_AFTER lines.
            changed_at = int(first_change.group(1))
            check(STOP_AFTER <= changed_at < CYLINDERS * HEADS,
                  f"the program was stopped after {changed_at} progress lines")
            check_progress(stderr, 0, changed_at)
            # QEMU's format writes no data: a format that reached the
            # second medium shows in the lines, a write in its bytes.
            check(read(second) == pattern, "the medium put in during the run changed")
    print(f"{case} as expected")


if __name__ == "__main__":
    harness.main(main)
