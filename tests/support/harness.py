"""What every test harness of format149 shares: checks that count and report
failures, skips with CTest's skip status, the end of a test, and runs of a
program with its input, environment and time limit.

A harness imports it with its folder on the module path:

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
    import harness
"""

import os
import shutil
import subprocess
import sys
import threading

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


def fail(message):
    """Ends the case with a failure."""
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


def finish():
    """The end of a test: passed, exit status 0, or how many checks failed, 1."""
    print("%d failed" % len(failures) if failures else "passed", flush=True)
    sys.exit(1 if failures else 0)


def main(test, *arguments):
    """Runs test(*arguments), which a failed require() ends, then finish()."""
    try:
        test(*arguments)
    except Failure:
        pass
    finish()


def environment_with(variables=None):
    """This process's environment with `variables` set, or removed where None."""
    environment = dict(os.environ)
    for name, value in (variables or {}).items():
        if value is None:
            environment.pop(name, None)
        else:
            environment[name] = value
    return environment


def run(command, input=b"", environment=None, cwd=None, timeout=60, stdout=PIPE, stderr=PIPE):
    """One run of `command` with `input` piped in (None: this process's
    standard input), `environment`'s variables added to this process's. stdout
    and stderr are as subprocess takes them, or the name of a file to write.
    Returns the CompletedProcess; a run still going after `timeout` seconds is
    killed, a failure that ends the case."""
    command = [os.fspath(part) for part in command]
    files = []
    try:
        if isinstance(stdout, (str, os.PathLike)):
            stdout = open(stdout, "wb")
            files.append(stdout)
        if isinstance(stderr, (str, os.PathLike)):
            stderr = open(stderr, "wb")
            files.append(stderr)
        with subprocess.Popen(command, stdin=None if input is None else PIPE, stdout=stdout, stderr=stderr,
                              env=environment_with(environment), cwd=cwd) as process:
            # A timer kills a run that goes on too long: subprocess's own time
            # limit polls, which makes every run up to 50 ms longer.
            expired = threading.Event()
            timer = threading.Timer(timeout, lambda: (expired.set(), process.kill()))
            timer.start()
            try:
                output, errors = process.communicate(input)
            finally:
                timer.cancel()
        if expired.is_set():
            fail("%s did not end within %d seconds" % (" ".join(command)[:200], timeout))
        return subprocess.CompletedProcess(command, process.returncode, output, errors)
    finally:
        for file in files:
            file.close()


def read(path):
    """A file's bytes, or None when there is no such file."""
    try:
        with open(path, "rb") as file:
            return file.read()
    except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
        return None


def lines(data):
    """The lines of `data` as grep reads them: split at line feeds, without
    them, the last one's end not needed."""
    parts = data.split(b"\n")
    if parts[-1] == b"":
        parts.pop()
    return parts


def remove(*paths):
    """The files removed, where they are."""
    for path in paths:
        if os.path.lexists(path):
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
