"""The program's console and its exit status: a non-blocking standard input is
waited on, the exit status says whether every step succeeded, and a command
line never formats the default image.

    console_status_test.py PATH_TO_FORMAT149 VERSION
"""

import fcntl
import os
import subprocess
import sys
import tempfile
import time

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message)


def run(program, folder, arguments=(), answer=b"y\n\n", image="a.img", extra_environment=None):
    environment = dict(os.environ, DRIVE_A_IMAGE=os.path.join(folder, image))
    environment.update(extra_environment or {})
    return subprocess.run([program, *arguments], input=answer, cwd=folder, env=environment,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def non_blocking_input(program, folder):
    """Another program left standard input non-blocking: the run still waits for
    the answer and for the final line, and formats."""
    reader, writer = os.pipe()
    fcntl.fcntl(reader, fcntl.F_SETFL, fcntl.fcntl(reader, fcntl.F_GETFL) | os.O_NONBLOCK)
    output = os.path.join(folder, "nonblocking.out")
    with open(output, "wb") as console:
        process = subprocess.Popen([program], stdin=reader, stdout=console, stderr=subprocess.STDOUT,
                                   env=dict(os.environ, DRIVE_A_IMAGE=os.path.join(folder, "nonblocking.img")))
    os.close(reader)
    try:
        time.sleep(0.5)
        check(process.poll() is None, "non-blocking input: the run ended before an answer was typed")
        os.write(writer, b"y\n")
        farewell = wait_for(lambda: b"Press Enter to end the program." in open(output, "rb").read(), 30)
        check(farewell, "non-blocking input: no farewell after the answer")
        time.sleep(0.3)
        check(process.poll() is None, "non-blocking input: the run did not wait for the final line")
        os.write(writer, b"\n")
        process.wait(timeout=30)
    finally:
        os.close(writer)
        if process.poll() is None:
            process.kill()
            process.wait()
    transcript = open(output, "rb").read()
    check(b"Unlock succeeded!" in transcript and process.returncode == 0,
          "non-blocking input: the answer did not format (exit %s)" % process.returncode)


def exit_status(program, folder):
    declined = run(program, folder, answer=b"n\n\n", image="declined.img")
    check(declined.returncode == 0, "declining ends with %d, not 0" % declined.returncode)
    clean = run(program, folder, image="clean.img")
    check(clean.returncode == 0, "a clean format ends with %d, not 0" % clean.returncode)

    no_disk = run(program, folder, image="no-such-folder/a.img")
    check(no_disk.returncode == 1, "a run without a disk ends with %d, not 1" % no_disk.returncode)
    # The lock and the unlock succeed; every format and write is refused.
    protected = os.path.join(folder, "protected.img")
    os.rename(os.path.join(folder, "clean.img"), protected)
    os.chmod(protected, 0o444)
    result = run(program, folder, image="protected.img")
    check(result.returncode == 1, "a write-protected disk ends with %d, not 1" % result.returncode)


def command_line(program, folder, version):
    for arguments in (["floppy.img"], ["-y"], ["--help", "floppy.img"], ["--versions"], [""]):
        result = run(program, folder, arguments, image="named-elsewhere.img")
        label = "arguments %r" % (arguments,)
        check(result.returncode == 2, "%s: exit %d, not 2" % (label, result.returncode))
        check(result.stdout == b"", "%s: the run started: %r" % (label, result.stdout[:80]))
        check(b"DRIVE_A_IMAGE" in result.stderr and b"Usage: format149" in result.stderr,
              "%s: no usage naming DRIVE_A_IMAGE on standard error: %r" % (label, result.stderr))
    touched = sorted(set(os.listdir(folder)) & {"floppy.img", "drive_a.img", "named-elsewhere.img"})
    check(touched == [], "a refused command line touched %r" % touched)

    help_run = run(program, folder, ["--help"], answer=b"")
    check(help_run.returncode == 0 and help_run.stderr == b"", "--help: exit %d, %r on standard error"
          % (help_run.returncode, help_run.stderr))
    for text in (b"Usage: format149", b"DRIVE_A_IMAGE", b"Exit status"):
        check(text in help_run.stdout, "--help does not say %r" % text)
    version_run = run(program, folder, ["--version"], answer=b"")
    check(version_run.stdout == b"format149 " + version.encode() + b"\n" and version_run.returncode == 0,
          "--version printed %r, exit %d" % (version_run.stdout, version_run.returncode))


def main():
    program, version = os.path.abspath(sys.argv[1]), sys.argv[2]
    with tempfile.TemporaryDirectory(prefix="format149-console-") as folder:
        non_blocking_input(program, folder)
        exit_status(program, folder)
        command_line(program, folder, version)
    print("%d failed" % len(failures) if failures else "passed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
