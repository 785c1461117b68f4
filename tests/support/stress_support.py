"""Helpers of the harnesses that stress format149 (on a terminal, a failing
console, a full or limited file system, under valgrind): running it on a
temporary image, reading its progress lines, and the image a clean run
leaves. Checks, skips and the program's texts are the shared harness's."""

import fcntl
import os
import re
import shutil
import subprocess
import sys
import tempfile

import harness
import texts
from harness import Failure, require as check, require_tool, skip

SKIP = harness.SKIPPED

SECTOR_BYTES = 512
TRACK_BYTES = 18 * SECTOR_BYTES
VOLUME_BYTES = 82 * 2 * TRACK_BYTES
FORMAT_FILL = 0xF6
CONTROLLER_FAILURE = 0x20

FORMAT_LINE = re.compile(rb"     Formatting side (\d+) of track (\d+), where error code = (-?\d+)\. \a \a \a \r")
WRITE_LINE = re.compile(rb"     Writing sector (\d+), where error code = (-?\d+)\. \r")
FAREWELL_END = texts.PRESS_ENTER

# One frozen moment, so that two runs stamp their volumes alike.
FROZEN_TIME = "2004-06-07 13:45:31"
FAKETIME_LIBRARIES = (
    "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
    "/usr/lib/faketime/libfaketime.so.1",
)


def main(test):
    """Runs `test(program)` with the program named on the command line; a
    Failure is a test failure with its message."""
    if len(sys.argv) < 2:
        print("usage: %s PATH_TO_FORMAT149 [...]" % sys.argv[0], file=sys.stderr)
        sys.exit(2)
    program = os.path.abspath(sys.argv[1])
    try:
        test(program, *sys.argv[2:])
    except Failure as failure:
        print("FAILED: %s" % failure)
        sys.exit(1)
    print("passed")


def scratch_folder():
    return tempfile.TemporaryDirectory(prefix="format149-stress-")


def plain_environment(image):
    """The environment of a run on `image`, with the real clock."""
    environment = dict(os.environ)
    environment["DRIVE_A_IMAGE"] = image
    return environment


def frozen_clock_environment(image, moment=FROZEN_TIME):
    """The environment of a run on `image` with the clock frozen by libfaketime.
    The library keeps descriptors of its own open in the program."""
    library = next((path for path in FAKETIME_LIBRARIES if os.path.exists(path)), None)
    if library is None:
        skip("libfaketime is not installed (Debian package faketime)")
    environment = dict(os.environ)
    environment["DRIVE_A_IMAGE"] = image
    environment["LD_PRELOAD"] = library
    environment["FAKETIME"] = moment
    environment["TZ"] = "UTC"
    # libfaketime is preloaded ahead of an AddressSanitizer runtime.
    asan = environment.get("ASAN_OPTIONS", "")
    environment["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
    return environment


def run_confirmed(program, environment, timeout=120, **popen_arguments):
    """One confirmed run with piped input; returns the CompletedProcess."""
    return subprocess.run([program], input=b"y\n\n", env=environment, timeout=timeout,
                          stdout=popen_arguments.pop("stdout", subprocess.PIPE),
                          stderr=popen_arguments.pop("stderr", subprocess.PIPE), **popen_arguments)


def reference_image(program, folder, moment=FROZEN_TIME):
    """The bytes a clean confirmed run leaves, with the clock frozen."""
    image = os.path.join(folder, "reference.img")
    result = run_confirmed(program, frozen_clock_environment(image, moment))
    check(result.returncode == 0, "the reference run ended with %d" % result.returncode)
    with open(image, "rb") as file:
        data = file.read()
    os.unlink(image)
    check(len(data) == VOLUME_BYTES, "the reference run left %d bytes, not %d" % (len(data), VOLUME_BYTES))
    return data


def stamp_positions(program, folder, reference):
    """The image bytes that depend on the moment of the run: wherever clean
    runs at moments apart in every field differ from `reference`."""
    positions = set()
    for moment in ("2011-11-11 01:02:03", "2037-02-28 22:58:59"):
        other = reference_image(program, folder, moment)
        positions.update(i for i in range(len(reference)) if other[i] != reference[i])
    check(len(positions) < 64, "clean runs at different moments differ in %d bytes" % len(positions))
    return positions


def progress(stderr_bytes):
    """The format lines as {(cylinder, head): code} and the write lines as
    {sector: code}, each in the order printed."""
    formats = [(int(c), int(h), int(e)) for h, c, e in FORMAT_LINE.findall(stderr_bytes)]
    writes = [(int(s), int(e)) for s, e in WRITE_LINE.findall(stderr_bytes)]
    return formats, writes


def check_all_progress_lines(formats, writes):
    expected_tracks = [(c, h) for c in range(82) for h in range(2)]
    check([(c, h) for c, h, _ in formats] == expected_tracks,
          "the format lines are not the 164 tracks in order: %r" % [(c, h) for c, h, _ in formats][:6])
    check([s for s, _ in writes] == list(range(36)),
          "the write lines are not sectors 0..35 in order: %r" % [s for s, _ in writes])


def check_image_honours_progress(image_bytes, formats, writes, reference):
    """No track or sector shown with error code 0 that the image does not hold."""
    for cylinder, head, code in formats:
        start = (cylinder * 2 + head) * TRACK_BYTES
        track = image_bytes[start:start + TRACK_BYTES]
        if code != 0:
            continue
        check(len(track) == TRACK_BYTES,
              "track %d side %d reported formatted, but the image ends at %d" % (cylinder, head, len(image_bytes)))
        if cylinder > 0:  # cylinder 0 is the system area, written over afterwards
            check(track == bytes([FORMAT_FILL]) * TRACK_BYTES,
                  "track %d side %d reported formatted, but does not hold F6h throughout" % (cylinder, head))
    for sector, code in writes:
        if code != 0:
            continue
        start = sector * SECTOR_BYTES
        check(image_bytes[start:start + SECTOR_BYTES] == reference[start:start + SECTOR_BYTES],
              "sector %d reported written, but does not hold what a clean run writes there" % sector)


def lock_is_free(image):
    """Whether another open file of the image can take the volume lock now."""
    descriptor = os.open(image, os.O_RDONLY)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        fcntl.flock(descriptor, fcntl.LOCK_UN)
        return True
    except BlockingIOError:
        return False
    finally:
        os.close(descriptor)


def run_confirmed_checking_lock(program, image, environment, label, preexec_fn=None):
    """Answers y, waits for the farewell, checks that the volume lock is free
    again while the program waits for its final line, then ends the run.
    Returns (stdout, stderr) after checking that the run ended normally."""
    # Output goes to pipes, which a file-size limit does not touch.
    process = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=environment, preexec_fn=preexec_fn)
    try:
        process.stdin.write(b"y\n")
        process.stdin.flush()
        # Everything is printed once the farewell is out; the program now waits
        # for its final line, after the unlock.
        stdout = read_until(process.stdout, FAREWELL_END, 120)
        check(lock_is_free(image), "%s: the volume lock is still held after the run's unlock" % label)
        # Progress lines wait in their pipe meanwhile: some 13 KB, well within it.
        rest, stderr = process.communicate(input=b"\n", timeout=60)
        stdout += rest
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    # The exit status tells whether every step succeeded, as the console does.
    formats, writes = progress(stderr)
    every_step_succeeded = (b"Lock succeeded!" in stdout and b"Unlock succeeded!" in stdout
                            and all(line[-1] == 0 for line in formats + writes))
    check(process.returncode == (0 if every_step_succeeded else 1),
          "%s: the run ended with %d (a negative value is the signal that killed it)"
          % (label, process.returncode))
    return stdout, stderr


def read_until(stream, marker, timeout_seconds):
    """Reads the pipe `stream` until `marker` has come; returns all read."""
    import select
    import time
    deadline = time.monotonic() + timeout_seconds
    data = b""
    while marker not in data:
        left = deadline - time.monotonic()
        check(left > 0, "timed out waiting for %r; got %r" % (marker, data[-200:]))
        ready, _, _ = select.select([stream], [], [], left)
        if not ready:
            continue
        chunk = os.read(stream.fileno(), 65536)
        check(chunk != b"", "the output ended before %r; got %r" % (marker, data[-200:]))
        data += chunk
    return data
