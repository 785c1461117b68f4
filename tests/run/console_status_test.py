"""The program's console and its exit status: a non-blocking standard input is
waited on, the exit status says whether every step succeeded, a bad command
line touches no disk, the drive named on it wins, and --verify reads the disk
as it is and marks the clusters of the tracks it could not read bad.

    console_status_test.py PATH_TO_FORMAT149 VERSION
"""

import fcntl
import filecmp
import os
import pty
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import check, finish  # noqa: E402


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
    refused = (["-n"], ["--versions"], [""], ["floppy.img", "drive_a.img"], ["--verify", "floppy.img", "--", "b"])
    for arguments in refused:
        result = run(program, folder, arguments, image="named-elsewhere.img")
        label = "arguments %r" % (arguments,)
        check(result.returncode == 2, "%s: exit %d, not 2" % (label, result.returncode))
        check(result.stdout == b"", "%s: the run started: %r" % (label, result.stdout[:80]))
        check(b"Usage: format149 [--verify] [--yes] [--label NAME] [DRIVE]" in result.stderr,
              "%s: no usage on standard error: %r" % (label, result.stderr))
    help_run = run(program, folder, ["floppy.img", "--help"], answer=b"")
    check(help_run.returncode == 0 and help_run.stderr == b"", "--help: exit %d, %r on standard error"
          % (help_run.returncode, help_run.stderr))
    for text in (b"Usage: format149 [--verify] [--yes] [--label NAME] [DRIVE]", b"DRIVE_A_IMAGE", b"Exit status",
                 b"--yes, -y", b"--label NAME", b"DRIVE, the disk in drive A:, is"):
        check(text in help_run.stdout, "--help does not say %r" % text)
    check(b"A::" not in help_run.stdout, "--help doubles a colon")
    # A Windows user's habit; a file of that name stays reachable after "--".
    slash_help = run(program, folder, ["/?"], answer=b"")
    check(slash_help.returncode == 0 and slash_help.stdout == help_run.stdout, "/?: exit %d, %r"
          % (slash_help.returncode, slash_help.stdout[:80]))
    touched = sorted(set(os.listdir(folder)) & {"floppy.img", "drive_a.img", "named-elsewhere.img", "b"})
    check(touched == [], "a refused command line or --help touched %r" % touched)
    version_run = run(program, folder, ["--version"], answer=b"")
    check(version_run.stdout == b"format149 " + version.encode() + b"\n" and version_run.returncode == 0,
          "--version printed %r, exit %d" % (version_run.stdout, version_run.returncode))

    # The drive named wins over DRIVE_A_IMAGE; options go before or after it,
    # and after "--" a name that looks like an option is a drive.
    for arguments, named, verifying in ((["named.img", "--verify"], "named.img", True),
                                        (["--", "--verify"], "--verify", False)):
        result = run(program, folder, arguments, image="named-elsewhere.img")
        label = "arguments %r" % (arguments,)
        check(result.returncode == 0, "%s: exit %d, not 0" % (label, result.returncode))
        check(os.path.getsize(os.path.join(folder, named)) == 1511424, "%s: %s not formatted" % (label, named))
        check(not os.path.exists(os.path.join(folder, "named-elsewhere.img")), "%s: DRIVE_A_IMAGE used" % label)
        check(result.stderr.count(b"     Verifying side ") == (164 if verifying else 0)
              and (b"\n\n     All 164 tracks verified.\n\n     1494528 bytes total disk space.\n     0 bytes in "
                   b"bad sectors.\n     1494528 bytes available on disk.\n\n\n     Unlock succeeded!" in result.stdout)
              == verifying,
              "%s: verify lines or summary wrong: %r" % (label, result.stdout[-200:]))


def answered_by_option(program, folder):
    """--yes and -y answer y without reading standard input and end without
    waiting for Enter, with standard input closed, at its end, a pipe held open
    or a terminal no one types at: the output and the image of a typed y, less
    the line asking for Enter."""
    epoch = dict(os.environ, SOURCE_DATE_EPOCH="1086615931", TZ="UTC")
    typed = run(program, folder, image="typed.img", extra_environment=epoch)
    expected = typed.stdout.replace(b"     Press Enter to end the program.\n", b"")
    reader, writer = os.pipe()
    terminal, typist = pty.openpty()
    for kind, stdin, option in (("closed", None, "--yes"), ("at its end", subprocess.DEVNULL, "--yes"),
                                ("a pipe held open", reader, "--yes"), ("a terminal", terminal, "-y")):
        image = os.path.join(folder, "answered.img")
        command = [program, option, image] if stdin else ["sh", "-c", 'exec "$0" "$@" <&-', program, option, image]
        try:
            result = subprocess.run(command, stdin=stdin, capture_output=True, env=epoch, timeout=30)
            check(result.returncode == 0 and result.stdout == expected != typed.stdout
                  and filecmp.cmp(image, os.path.join(folder, "typed.img"), shallow=False),
                  "%s, standard input %s: exit %d, %r" % (option, kind, result.returncode, result.stdout[-120:]))
        except (subprocess.TimeoutExpired, FileNotFoundError):
            check(False, "%s, standard input %s: waiting after 30 s, or no image" % (option, kind))
        if os.path.exists(image):
            os.remove(image)
    for descriptor in (reader, writer, terminal, typist):
        os.close(descriptor)


def verify_after_shortening(program, folder):
    """Another program cuts the image short after the writes: the verify reads
    the disk as it is now and names every track cut off, with 4 (sector not
    found). Standard error is a pipe of one page that this test stops reading
    after the last write line, so at most some 70 tracks are verified before the
    cut, at track 120 and one sector. The clusters of those tracks are marked
    bad, so a file that fills the space left lies within the image."""
    image = os.path.join(folder, "shortened.img")
    reader, writer = os.pipe()
    fcntl.fcntl(writer, fcntl.F_SETPIPE_SZ, 4096)
    process = subprocess.Popen([program, "--verify", image], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=writer)
    os.close(writer)
    process.stdin.write(b"y\n\n")
    process.stdin.close()
    seen = b""
    while b"Writing sector 35, " not in seen:
        chunk = os.read(reader, 64)
        if not chunk:
            break
        seen += chunk
    os.truncate(image, 120 * 18 * 512 + 512)
    while chunk := os.read(reader, 4096):
        seen += chunk
    os.close(reader)
    stdout = process.stdout.read()
    process.wait(timeout=60)
    expected = b"\n\n     44 of 164 tracks failed to verify.\n" + b"".join(
        b"     side %d of track %d, error code 4.\n" % (head, cylinder)
        for cylinder in range(60, 82) for head in (0, 1))
    report = b"\n     1494528 bytes total disk space.\n     405504 bytes in bad sectors.\n     1089024 bytes available"
    check(expected + report + b" on disk.\n\n\n     Unlock succeeded!" in stdout and process.returncode == 1,
          "a shortened image: exit %d, summary %r" % (process.returncode, stdout[-300:]))
    # Only the FAT sectors holding entries of clusters 2129..2920 are written again.
    marks = b"".join(b"     Writing sector %d, where error code = 0. \r" % sector for sector in (7, 8, 9, 16, 17, 18))
    check(seen.endswith(b"track 81, where error code = 4. \r" + marks), "FAT writes: %r" % seen[-300:])
    with open(image, "rb") as f:
        fats = f.read(19 * 512)[512:]
    entries = [int.from_bytes(fats[n * 3 // 2:n * 3 // 2 + 2], "little") >> (n % 2 * 4) & 0xFFF for n in range(2921)]
    check(fats[:4608] == fats[4608:] and entries == [0xFF0, 0xFFF] + [0] * 2127 + [0xFF7] * 792,
          "the FAT copies differ, or %d clusters marked bad" % entries.count(0xFF7))
    # A file that fills the space left fits; nothing more does, and nothing lands beyond the image's end.
    for name, size in (("filler.bin", 1089024), ("one.bin", 1)):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(b"\xA5" * size)
    copied = subprocess.run(["mcopy", "-i", image, os.path.join(folder, "filler.bin"), "::/"], capture_output=True)
    full = subprocess.run(["mcopy", "-i", image, os.path.join(folder, "one.bin"), "::/"], capture_output=True)
    check(copied.returncode == 0 and full.returncode != 0 and os.path.getsize(image) == 120 * 18 * 512 + 512,
          "mcopy: exit %d, then %d, %d bytes" % (copied.returncode, full.returncode, os.path.getsize(image)))
    # fsck.fat reads the volume's last sector, so it checks the image grown back to the volume's length.
    os.truncate(image, 1511424)
    checked = subprocess.run(["fsck.fat", "-n", image], capture_output=True)
    check(checked.returncode == 0, "fsck.fat on the marked image: %r" % checked.stdout)


def main():
    program, version = os.path.abspath(sys.argv[1]), sys.argv[2]
    with tempfile.TemporaryDirectory(prefix="format149-console-") as folder:
        non_blocking_input(program, folder)
        exit_status(program, folder)
        command_line(program, folder, version)
        answered_by_option(program, folder)
        verify_after_shortening(program, folder)
    finish()


if __name__ == "__main__":
    main()
