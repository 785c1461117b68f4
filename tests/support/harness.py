"""What every test harness of format149 shares: checks, skips with CTest's
skip status, runs of programs and waits, files read and compared, the
volume's geometry and progress lines, and runs of format149 on an image. The
program's texts are in texts.py. A harness imports it so:

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
    import harness
"""

import contextlib
import fcntl
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import texts

SKIPPED = 77  # CTest's SKIP_RETURN_CODE for the tests
PIPE, DEVNULL, STDOUT = subprocess.PIPE, subprocess.DEVNULL, subprocess.STDOUT

failures = []


class Failure(Exception):
    """A check that the rest of a case depends on failed; already counted."""


def check(condition, message):
    """Counts and reports a failed check, and goes on; returns the condition."""
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)
    return bool(condition)


def require(condition, message):
    """A check the rest of the case depends on: failed, it ends the case."""
    if not check(condition, message):
        raise Failure(message)


def fail(message, output=None):
    """Ends the case with a failure, after printing `output` (bytes), if any."""
    if output is not None:
        print(output.decode(errors="replace"))
    require(False, message)


def skip(reason):
    """Ends the test as skipped, saying why."""
    print("SKIPPED: " + reason, flush=True)
    sys.exit(SKIPPED)


def require_tool(name, package):
    """The path of the program `name`; without it the test is skipped."""
    path = shutil.which(name)
    if path is None:
        skip("%s is not installed (Debian package %s)" % (name, package))
    return path


def main(test, *arguments):
    """Runs test(*arguments), which a failed require() ends, as does a file
    the test cannot make or reach; then the end of the test: passed, exit
    status 0, or how many checks failed, 1."""
    try:
        test(*arguments)
    except Failure:
        pass
    except OSError as error:
        check(False, str(error))
    print("%d failed" % len(failures) if failures else "passed", flush=True)
    sys.exit(1 if failures else 0)


def scratch_folder(kind):
    """A temporary folder, removed with all it holds at the end of the with."""
    return tempfile.TemporaryDirectory(prefix="format149-%s-" % kind)


# --- runs ------------------------------------------------------------------

def environment_with(variables=None):
    """This process's environment with `variables` set, or removed where None."""
    return {name: value for name, value in {**os.environ, **(variables or {})}.items() if value is not None}


def run(command, input=b"", environment=None, cwd=None, timeout=60, stdout=PIPE, stderr=PIPE, **popen):
    """One run of `command` with the bytes `input` piped in, or else `input`
    as its standard input (None: this process's, DEVNULL, a descriptor), and
    `environment`'s variables added to this process's. stdout and stderr are
    as subprocess takes them, or the name of a file to write. Returns the
    CompletedProcess; a run still going after `timeout` seconds is killed, a
    failure that ends the case."""
    command, piped = [os.fspath(part) for part in command], isinstance(input, bytes)
    with contextlib.ExitStack() as files:
        stdout, stderr = (files.enter_context(open(name, "wb")) if isinstance(name, (str, os.PathLike)) else name
                          for name in (stdout, stderr))
        process = files.enter_context(subprocess.Popen(command, stdin=PIPE if piped else input, stdout=stdout,
                                                       stderr=stderr, env=environment_with(environment), cwd=cwd,
                                                       **popen))
        # A timer kills a run that goes on too long: subprocess's own time
        # limit polls, which makes every run up to 50 ms longer.
        expired = threading.Event()
        timer = threading.Timer(timeout, lambda: (expired.set(), process.kill()))
        timer.start()
        try:
            output, errors = process.communicate(input if piped else None)
        finally:
            timer.cancel()
    if expired.is_set():
        fail("%s did not end within %d seconds" % (" ".join(command)[:200], timeout))
    return subprocess.CompletedProcess(command, process.returncode, output, errors)


@contextlib.contextmanager
def started(command, environment=None, **popen):
    """A process of `command`, `environment`'s variables added to this
    process's, as subprocess starts it; killed at the end of the with."""
    process = subprocess.Popen(command, env=environment_with(environment), **popen)
    try:
        yield process
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()


def succeeded(*command, environment=None):
    """The standard output, as text, of `command`, which must end with exit
    status 0: else a failure that ends the case, its output shown."""
    result = run(command, None, environment)
    if result.returncode != 0:
        fail("%s exited %d" % (" ".join(result.args), result.returncode), result.stdout + result.stderr)
    return result.stdout.decode(errors="replace")


def wait_until(condition, seconds, interval=0.05):
    """Whether `condition()` came true within `seconds`, asked every `interval`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(interval)
    return bool(condition())


def read_until(stream, marker, seconds):
    """Reads the pipe `stream` until `marker` has come; returns all read."""
    deadline, data = time.monotonic() + seconds, b""
    while marker not in data:
        left = deadline - time.monotonic()
        require(left > 0, "timed out waiting for %r; got %r" % (marker, data[-200:]))
        if select.select([stream], [], [], left)[0]:
            chunk = os.read(stream.fileno(), 65536)
            require(chunk != b"", "the output ended before %r; got %r" % (marker, data[-200:]))
            data += chunk
    return data


# --- files -----------------------------------------------------------------

def read(path):
    """A file's bytes, or None when there is no such file."""
    try:
        with open(path, "rb") as file:
            return file.read()
    except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
        return None


def write(path, data):
    """The file `path` made to hold the bytes `data`."""
    with open(path, "wb") as file:
        file.write(data)


def lines(data):
    """The lines of `data` as grep reads them: split at line feeds, without
    them, the last one's end not needed."""
    parts = data.split(b"\n")
    return parts[:-1] if parts[-1] == b"" else parts


def remove(*paths):
    """The files removed, where they are."""
    for path in filter(os.path.lexists, paths):
        os.remove(path)


def same(path, other):
    """Whether both files are there and hold the same bytes, as cmp says."""
    data = read(path)
    return data is not None and data == read(other)


def has_line_starting(data, start):
    """Whether a line of `data` starts with `start`, as grep "^START" says."""
    return any(line.startswith(start) for line in lines(data or b""))


def tree(top, leaving_out=()):
    """Every path under the folder `top` as find prints them from inside it,
    "." and "./NAME"..., sorted; the folders of `top` in `leaving_out` are
    left out with all they hold."""
    found = ["."]
    for folder, folders, files in os.walk(top):
        if folder == top:
            folders[:] = [name for name in folders if name not in leaving_out]
        relative = os.path.relpath(folder, top)
        found += ["./" + os.path.normpath(os.path.join(relative, name)) for name in folders + files]
    return sorted(found)


def show(data):
    """Bytes for a failure message, control characters escaped."""
    return repr(data)[2:-1]


def excerpt(data, first, last):
    """Lines first..last (Python's slice) of `data`, carriage returns left
    out, for a failure message."""
    return show(b"\n".join(lines(data.replace(b"\r", b""))[first:last]))


def expect_bytes(actual, expected, what):
    """The same bytes (actual None: no output), or the first difference shown
    in both, a failure that ends the case."""
    if actual == expected:
        return
    actual = actual or b""
    offset = next((index for index, (a, e) in enumerate(zip(actual, expected)) if a != e),
                  min(len(actual), len(expected)))
    start = max(offset - 120, 0)
    print("--- %s: first difference at byte %d; expected from byte %d:" % (what, offset + 1, start + 1))
    print(show(expected[start:start + 240]))
    print("--- got from byte %d:" % (start + 1))
    print(show(actual[start:start + 240]))
    print("--- sizes: expected %d, got %d bytes" % (len(expected), len(actual)))
    fail("%s differs" % what)


# --- the volume and the progress lines -------------------------------------

CYLINDERS, HEADS, TRACK_SECTORS, SECTOR_BYTES = 82, 2, 18, 512
TRACK_BYTES = TRACK_SECTORS * SECTOR_BYTES
VOLUME_BYTES = CYLINDERS * HEADS * TRACK_BYTES  # 1,511,424
SYSTEM_AREA_SECTORS = HEADS * TRACK_SECTORS  # cylinder 0, written after the formats
TRACKS = [(cylinder, head) for cylinder in range(CYLINDERS) for head in range(HEADS)]  # in the order formatted
FORMAT_FILL = 0xF6
CONTROLLER_FAILURE = 0x20


def pattern(form):
    """The regular expression of a printf form of texts: each %d a group."""
    return re.compile(rb"(-?\d+)".join(re.escape(part) for part in form.split(b"%d")))


def progress(stderr):
    """The format lines as (cylinder, head, code) and the write lines as
    (sector, code), each in the order printed."""
    formats = [(int(c), int(h), int(e)) for h, c, e in pattern(texts.FORMAT_LINE).findall(stderr)]
    writes = [(int(s), int(e)) for s, e in pattern(texts.WRITE_LINE).findall(stderr)]
    return formats, writes


def progress_lines(format_code, write_code, verify_code=None):
    """The progress lines of a whole run in order, each with its code: a
    format line for each track, a write line for each sector of the system
    area, and with `verify_code` a verify line for each track."""
    found = [texts.FORMAT_LINE % (head, cylinder, format_code) for cylinder, head in TRACKS]
    found += [texts.WRITE_LINE % (sector, write_code) for sector in range(SYSTEM_AREA_SECTORS)]
    if verify_code is not None:
        found += [texts.VERIFY_LINE % (head, cylinder, verify_code) for cylinder, head in TRACKS]
    return found


def check_all_progress_lines(formats, writes):
    require([(c, h) for c, h, _ in formats] == TRACKS,
            "the format lines are not the 164 tracks in order: %r" % [(c, h) for c, h, _ in formats][:6])
    require([s for s, _ in writes] == list(range(SYSTEM_AREA_SECTORS)),
            "the write lines are not sectors 0..35 in order: %r" % [s for s, _ in writes])


def shown_moment(output, line_end=b"\n"):
    """The moment on the date line that opens `output`, in DATE_PATTERN's
    form; a failure without one."""
    start = texts.DATE_LINE_START.replace(b"\n", line_end)
    found = re.match(re.escape(start) + b"(" + texts.DATE_PATTERN + b")" + re.escape(line_end), output)
    if found is None:
        print("\n".join(show(line) for line in lines(output)[:5]))
        fail("no date line of the fixed form opens the output")
    return found.group(1)


# --- runs of format149 -----------------------------------------------------

CONFIRMED, DECLINED = b"y\n\n", b"n\n\n"  # the answer, then Enter at the farewell
# One frozen moment, so that two runs stamp their volumes alike.
FROZEN_TIME = "2004-06-07 13:45:31"
FAKETIME_LIBRARIES = ("/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1", "/usr/lib/faketime/libfaketime.so.1")


def frozen_clock(moment=FROZEN_TIME):
    """The variables of a run whose clock libfaketime holds at `moment`, UTC.
    The library keeps descriptors of its own open in the program."""
    library = next((path for path in FAKETIME_LIBRARIES if os.path.exists(path)), None)
    if library is None:
        skip("libfaketime is not installed (Debian package faketime)")
    # libfaketime is preloaded ahead of an AddressSanitizer runtime.
    asan = os.environ.get("ASAN_OPTIONS", "")
    return {"LD_PRELOAD": library, "FAKETIME": moment, "TZ": "UTC",
            "ASAN_OPTIONS": (asan + ":" if asan else "") + "verify_asan_link_order=0"}


def format_image(program, image, arguments=(), answer=CONFIRMED, environment=None, timeout=120, **options):
    """One run of format149 with drive A: the image file `image` through
    DRIVE_A_IMAGE (None: the drive as `environment` and this process's name
    it); run() takes the rest."""
    variables = dict(environment or {}, **({"DRIVE_A_IMAGE": os.fspath(image)} if image else {}))
    return run([program, *arguments], answer, variables, timeout=timeout, **options)


def reference_image(program, folder, moment=FROZEN_TIME):
    """The bytes a clean confirmed run leaves, with the clock frozen."""
    image = os.path.join(folder, "reference.img")
    result = format_image(program, image, environment=frozen_clock(moment))
    require(result.returncode == 0, "the reference run ended with %d" % result.returncode)
    data = read(image)
    os.unlink(image)
    require(len(data) == VOLUME_BYTES, "the reference run left %d bytes, not %d" % (len(data), VOLUME_BYTES))
    return data


def lock_is_free(image):
    """Whether another open file of the image can take the volume lock now."""
    with open(image, "rb") as file:
        try:
            fcntl.flock(file, fcntl.LOCK_EX | fcntl.LOCK_NB)  # and released as the file closes
            return True
        except BlockingIOError:
            return False


def run_confirmed_checking_lock(program, image, label, preexec_fn=None):
    """Answers y at the frozen clock, waits for the farewell, checks that the
    volume lock is free again while the program waits for its final line, then
    ends the run. Returns (stderr, formats, writes) after checking that the run
    ended normally, locked and unlocked, and showed every progress line."""
    # Output goes to pipes, which a file-size limit does not touch.
    with started([program], dict(frozen_clock(), DRIVE_A_IMAGE=image), stdin=PIPE, stdout=PIPE, stderr=PIPE,
                 preexec_fn=preexec_fn) as process:
        process.stdin.write(b"y\n")
        process.stdin.flush()
        # Everything is printed once the farewell is out; the program now waits
        # for its final line, after the unlock.
        stdout = read_until(process.stdout, texts.PRESS_ENTER, 120)
        require(lock_is_free(image), "%s: the volume lock is still held after the run's unlock" % label)
        # Progress lines wait in their pipe meanwhile: some 13 KB, well within it.
        rest, stderr = process.communicate(input=b"\n", timeout=60)
        stdout += rest
    require(texts.LOCK_SUCCEEDED in stdout and texts.UNLOCK_SUCCEEDED in stdout,
            "%s: lock or unlock failed: %r" % (label, stdout[-300:]))
    # The exit status tells whether every step succeeded, as the console does.
    formats, writes = progress(stderr)
    require(process.returncode == (0 if all(line[-1] == 0 for line in formats + writes) else 1),
            "%s: the run ended with %d (a negative value is the signal that killed it)" % (label, process.returncode))
    check_all_progress_lines(formats, writes)
    return stderr, formats, writes


def check_image_honours_progress(image_bytes, formats, writes, reference):
    """No track or sector shown with error code 0 that the image does not hold."""
    for cylinder, head, code in formats:
        start = (cylinder * 2 + head) * TRACK_BYTES
        track = image_bytes[start:start + TRACK_BYTES]
        require(code != 0 or len(track) == TRACK_BYTES,
                "track %d side %d reported formatted, but the image ends at %d" % (cylinder, head, len(image_bytes)))
        # Cylinder 0 is the system area, written over afterwards.
        require(code != 0 or cylinder == 0 or track == bytes([FORMAT_FILL]) * TRACK_BYTES,
                "track %d side %d reported formatted, but does not hold F6h throughout" % (cylinder, head))
    for sector, code in writes:
        start = sector * SECTOR_BYTES
        require(code != 0 or image_bytes[start:start + SECTOR_BYTES] == reference[start:start + SECTOR_BYTES],
                "sector %d reported written, but does not hold what a clean run writes there" % sector)
