#!/usr/bin/env python3
"""Boots a disk that format149 wrote in QEMU with SeaBIOS, headless.

    qemu_boot_test.py CASE --format149 PROGRAM --nasm NASM --stand-in SOURCE

CASE is one of
  fresh       the disk as format149 leaves it: "Invalid system disk", a key,
              the boot starts again;
  system-file stand-in system files copied on with mcopy: the one named
              JO.SYS wins over IO.SYS and reports the hand-over state;
  read-error  IO.SYS whose first cluster lies on cylinder 80, which SeaBIOS
              refuses for a 1.44 MB drive: "Disk I/O error".

SeaBIOS mirrors the teletype to the serial port named by the fw_cfg file
etc/sercon-port, and takes bytes arriving there as keys; the stand-in system
file writes to the debug console on port E9h and ends QEMU via port F4h.
Exits 77 (skipped) when qemu-system-i386 is not installed.
"""

import argparse
import os
import re
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402
import texts  # noqa: E402
from harness import require as check  # noqa: E402

INVALID, IO_ERROR, REPLACE = (text.decode() for text in (texts.INVALID_SYSTEM_DISK, texts.DISK_IO_ERROR,
                                                          texts.REPLACE_THE_DISK))
BOOTING = "Booting from Floppy"  # SeaBIOS's
DEBUG_EXIT_STATUS = 2 * 0x10 + 1


class Machine:
    """One QEMU run; the serial output is collected as it arrives."""

    def __init__(self, image, work, debug_console=False):
        port = os.path.join(work, "sercon-port")
        harness.write(port, bytes([0xF8, 0x03]))  # COM1, 3F8h
        command = [
            "qemu-system-i386", "-machine", "pc,accel=tcg", "-display", "none", "-vga", "none",
            "-nodefaults", "-no-user-config", "-snapshot",
            "-drive", f"if=none,id=fd0,format=raw,file={image}",
            "-device", "floppy,drive=fd0,drive-type=144", "-boot", "a",
            "-fw_cfg", f"name=etc/sercon-port,file={port}",
            "-serial", "stdio", "-monitor", "none",
        ]
        self.debug_path = os.path.join(work, "debugcon.txt")
        if debug_console:
            command += ["-chardev", f"file,id=debugcon,path={self.debug_path}",
                        "-device", "isa-debugcon,iobase=0xe9,chardev=debugcon",
                        "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04"]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self._serial = bytearray()
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while True:
            chunk = os.read(self.process.stdout.fileno(), 4096)
            if not chunk:
                return
            with self._lock:
                self._serial += chunk

    def serial(self):
        """The serial output so far, as text without carriage returns (SeaBIOS
        leaves out a carriage return at the start of a line) and without the
        terminal control sequences SeaBIOS sends first."""
        with self._lock:
            text = self._serial.decode("latin-1")
        return re.sub(r"\x1b(c|\[[0-9;?]*[A-Za-z])", "", text).replace("\r", "")

    def wait_for(self, text, count=1, seconds=60):
        seen = harness.wait_until(lambda: self.serial().count(text) >= count or self.process.poll() is not None,
                                  seconds)
        check(seen and self.serial().count(text) >= count,
              f"{text!r} not seen {count} time(s); serial output:\n{self.serial()}")

    def press_key(self):
        self.process.stdin.write(b"x")
        self.process.stdin.flush()

    def wait_exit(self, seconds=60):
        try:
            return self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            harness.fail(f"QEMU still running after {seconds} s; serial output:\n{self.serial()}")

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        """QEMU stopped."""
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self._reader.join(timeout=5)
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            stream.close()


def make_image(program, work):
    image = os.path.join(work, "drive_a.img")
    run = harness.format_image(program, image)
    check(run.returncode == 0, f"format149 exited with {run.returncode}: {run.stderr.decode()}")
    check(os.path.getsize(image) == harness.VOLUME_BYTES, "the image is not 2952 sectors")
    return image


def stand_in(args, work, letter):
    output = os.path.join(work, f"{letter}O.SYS")
    harness.succeeded(args.nasm, "-f", "bin", f"-DFILE_LETTER='{letter}'", "-o", output, args.stand_in)
    return output


def mcopy(image, source, name):
    harness.succeeded("mcopy", "-i", image, source, f"::{name}", environment={"MTOOLS_SKIP_CHECK": "1"})


def directory_entry(image, name):
    """Offset in the image of the root-directory entry with the 11-byte name."""
    root = harness.read(image)[19 * 512:33 * 512]
    for offset in range(0, len(root), 32):
        if root[offset:offset + 11] == name:
            return 19 * 512 + offset
    harness.fail(f"no directory entry {name!r}")


def boot_fresh(args, work):
    image = make_image(args.format149, work)
    with Machine(image, work) as machine:
        machine.wait_for(REPLACE)
        time.sleep(2)  # nothing more until a key arrives
        check(machine.serial().count(REPLACE) == 1 and machine.serial().count(BOOTING) == 1,
              "the boot went on without a key")
        machine.press_key()
        machine.wait_for(REPLACE, count=2)
    serial = machine.serial()
    check(serial.count(BOOTING) == 2, "the boot was not restarted")
    check(serial.count(INVALID) == 2, "messages differ from the expected text")
    check(IO_ERROR.split("\n")[1] not in serial, "an I/O error was reported")
    return serial


def boot_system_file(args, work):
    image = make_image(args.format149, work)
    mcopy(image, stand_in(args, work, "I"), "IO.SYS")
    mcopy(image, stand_in(args, work, "J"), "JO.SYS")
    entry = directory_entry(image, b"JO      SYS")
    cluster = int.from_bytes(harness.read(image)[entry + 26:entry + 28], "little")
    with Machine(image, work, debug_console=True) as machine:
        status = machine.wait_exit()
    report = harness.read(machine.debug_path).decode("latin-1")
    check(status == DEBUG_EXIT_STATUS, f"QEMU exited with {status}; debug console: {report!r}")
    words = report.split()
    fields = dict(word.split("=", 1) for word in words if "=" in word)
    expected = {
        "FILE": "J", "CS": "0070", "IP": "0200", "DS": "0000", "ES": "0000", "SS": "0000",
        "SP": "7BF4", "BP": "7C00", "SI": "7D81", "DI": f"{cluster:04X}",
        "DATA": "00000021", "VECTOR1E": "0000:0522",
    }
    for key, value in expected.items():
        check(fields.get(key) == value, f"{key}={fields.get(key)}, expected {value}; report: {report}")
    stack = report.split("STACK=")[1].split()[:4]
    check(stack[:2] == ["0078", "0000"], f"stack words {stack}")
    table = report.split("TABLE=")[1].split()[:11]
    check(table[4] == "12" and table[9] == "0F", f"table copy {table}: byte 4 must be 18, byte 9 15")
    check("LOADED=sector0 sector2 sector3" in report, f"file sectors 0..3 not at 0000:0700: {report}")
    check("READ4=00 sector4" in report, f"read_one from the system file failed: {report}")
    return machine.serial() + "\n[debug console] " + report


def boot_read_error(args, work):
    image = make_image(args.format149, work)
    mcopy(image, stand_in(args, work, "I"), "IO.SYS")
    # First cluster at logical sector 2880 = cylinder 80, head 0, sector 1.
    with open(image, "r+b") as f:
        f.seek(directory_entry(image, b"IO      SYS") + 26)
        f.write((2880 - 33 + 2).to_bytes(2, "little"))
    with Machine(image, work) as machine:
        machine.wait_for(REPLACE)
    serial = machine.serial()
    check(IO_ERROR in serial, "no \"Disk I/O error\" message")
    check(INVALID.split("\n")[1] not in serial, "\"Invalid system disk\" shown for a read error")
    return serial


CASES = {"fresh": boot_fresh, "system-file": boot_system_file, "read-error": boot_read_error}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--format149", required=True)
    parser.add_argument("--nasm", required=True)
    parser.add_argument("--stand-in", required=True)
    args = parser.parse_args()
    harness.require_tool("qemu-system-i386", "qemu-system-x86")
    with harness.scratch_folder("boot") as work:
        print(CASES[args.case](args, work))


if __name__ == "__main__":
    harness.main(main)
