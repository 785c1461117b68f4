"""The program's console and its exit status: a non-blocking standard input is
waited on, the exit status says whether every step succeeded, a bad command
line touches no disk, the drive named on it wins, and --verify reads the disk
as it is and marks the clusters of the tracks it could not read bad.

    console_status_test.py PATH_TO_FORMAT149 VERSION
"""

import fcntl
import os
import pty
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402
import texts  # noqa: E402
from harness import PIPE, Failure, VOLUME_BYTES, check  # noqa: E402

def run(program, folder, arguments=(), answer=harness.CONFIRMED, image="a.img", environment=None):
    return harness.format_image(program, os.path.join(folder, image), arguments, answer, environment, 60,
                                cwd=folder)


def non_blocking_input(program, folder):
    """Another program left standard input non-blocking: the run still waits for
    the answer and for the final line, and formats."""
    reader, writer = os.pipe()
    fcntl.fcntl(reader, fcntl.F_SETFL, fcntl.fcntl(reader, fcntl.F_GETFL) | os.O_NONBLOCK)
    output = os.path.join(folder, "nonblocking.out")
    environment = {"DRIVE_A_IMAGE": os.path.join(folder, "nonblocking.img")}
    with open(output, "wb") as console, harness.started([program], environment, stdin=reader, stdout=console,
                                                        stderr=harness.STDOUT) as process:
        os.close(reader)
        time.sleep(0.5)
        check(process.poll() is None, "non-blocking input: the run ended before an answer was typed")
        os.write(writer, b"y\n")
        check(harness.wait_until(lambda: texts.PRESS_ENTER in harness.read(output), 30),
              "non-blocking input: no farewell after the answer")
        time.sleep(0.3)
        check(process.poll() is None, "non-blocking input: the run did not wait for the final line")
        os.write(writer, b"\n")
        process.wait(timeout=30)
        os.close(writer)
    check(texts.UNLOCK_SUCCEEDED in harness.read(output) and process.returncode == 0,
          "non-blocking input: the answer did not format (exit %s)" % process.returncode)


def exit_status(program, folder):
    declined = run(program, folder, answer=harness.DECLINED, image="declined.img")
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
        check(texts.USAGE in result.stderr, "%s: no usage on standard error: %r" % (label, result.stderr))
    help_run = run(program, folder, ["floppy.img", "--help"], answer=b"")
    check(help_run.returncode == 0 and help_run.stderr == b"", "--help: exit %d, %r on standard error"
          % (help_run.returncode, help_run.stderr))
    for text in (texts.USAGE, *texts.HELP_SAYS):
        check(text in help_run.stdout, "--help does not say %r" % text)
    check(b"A::" not in help_run.stdout, "--help doubles a colon")
    # A Windows user's habit; a file of that name stays reachable after "--".
    slash_help = run(program, folder, ["/?"], answer=b"")
    check(slash_help.returncode == 0 and slash_help.stdout == help_run.stdout, "/?: exit %d, %r"
          % (slash_help.returncode, slash_help.stdout[:80]))
    touched = sorted(set(os.listdir(folder)) & {"floppy.img", "drive_a.img", "named-elsewhere.img", "b"})
    check(touched == [], "a refused command line or --help touched %r" % touched)
    version_run = run(program, folder, ["--version"], answer=b"")
    check(version_run.stdout == texts.VERSION_LINE % version.encode() and version_run.returncode == 0,
          "--version printed %r, exit %d" % (version_run.stdout, version_run.returncode))

    # The drive named wins over DRIVE_A_IMAGE; options go before or after it,
    # and after "--" a name that looks like an option is a drive.
    for arguments, named, verifying in ((["named.img", "--verify"], "named.img", True),
                                        (["--", "--verify"], "--verify", False)):
        result = run(program, folder, arguments, image="named-elsewhere.img")
        label = "arguments %r" % (arguments,)
        check(result.returncode == 0, "%s: exit %d, not 0" % (label, result.returncode))
        check(os.path.getsize(os.path.join(folder, named)) == VOLUME_BYTES, "%s: %s not formatted" % (label, named))
        check(not os.path.exists(os.path.join(folder, "named-elsewhere.img")), "%s: DRIVE_A_IMAGE used" % label)
        summary = texts.ALL_TRACKS_VERIFIED + texts.CLEAN_SPACE_REPORT + texts.UNLOCK_SUCCEEDED.rstrip()
        check(result.stderr.count(texts.VERIFY_LINE.split(b"%d")[0]) == (164 if verifying else 0)
              and (summary in result.stdout) == verifying,
              "%s: verify lines or summary wrong: %r" % (label, result.stdout[-200:]))


def answered_by_option(program, folder):
    """--yes and -y answer y without reading standard input and end without
    waiting for Enter, with standard input closed, at its end, a pipe held open
    or a terminal no one types at: the output and the image of a typed y, less
    the line asking for Enter."""
    epoch = {"SOURCE_DATE_EPOCH": "1086615931", "TZ": "UTC"}
    typed = run(program, folder, image="typed.img", environment=epoch)
    expected = typed.stdout.replace(texts.PRESS_ENTER, b"")
    reader, writer = os.pipe()
    terminal, typist = pty.openpty()
    for kind, stdin, option in (("closed", None, "--yes"), ("at its end", harness.DEVNULL, "--yes"),
                                ("a pipe held open", reader, "--yes"), ("a terminal", terminal, "-y")):
        image = os.path.join(folder, "answered.img")
        command = [program, option, image] if stdin else ["sh", "-c", 'exec "$0" "$@" <&-', program, option, image]
        try:
            result = harness.run(command, stdin, epoch, timeout=30)
            check(result.returncode == 0 and result.stdout == expected != typed.stdout
                  and harness.same(image, os.path.join(folder, "typed.img")),
                  "%s, standard input %s: exit %d, %r" % (option, kind, result.returncode, result.stdout[-120:]))
        except Failure:  # counted: the run was still waiting after 30 s
            pass
        harness.remove(image)
    for descriptor in (reader, writer, terminal, typist):
        os.close(descriptor)


def verify_after_shortening(program, folder):
    """Another program cuts the image short after the writes: the verify reads
    the disk as it is now and names every track cut off, with 4 (sector not
    found). Standard error is a pipe of one page that this test stops reading
    after the last write line, so at most some 70 tracks are verified before the
    cut, at track 120 and one sector. The clusters of those tracks are marked
    bad, so a file that fills the space left lies within the image."""
    image, cut = os.path.join(folder, "shortened.img"), 120 * harness.TRACK_BYTES + harness.SECTOR_BYTES
    reader, writer = os.pipe()
    fcntl.fcntl(writer, fcntl.F_SETPIPE_SZ, 4096)
    with harness.started([program, "--verify", image], stdin=PIPE, stdout=PIPE, stderr=writer) as process:
        os.close(writer)
        process.stdin.write(harness.CONFIRMED)
        process.stdin.close()
        seen, last_write = b"", texts.WRITE_LINE.split(b"%d")[0] + b"35, "
        while last_write not in seen:
            chunk = os.read(reader, 64)
            if not chunk:
                break
            seen += chunk
        os.truncate(image, cut)
        while chunk := os.read(reader, 4096):
            seen += chunk
        os.close(reader)
        stdout = process.stdout.read()
        process.wait(timeout=60)
    expected = texts.TRACKS_FAILED_TO_VERIFY % 44 + b"".join(
        texts.FAILED_TRACK % (head, cylinder, 4) for cylinder in range(60, 82) for head in (0, 1))
    expected += texts.SPACE_REPORT % (1494528, 405504, 1089024) + texts.UNLOCK_SUCCEEDED
    check(expected in stdout and process.returncode == 1,
          "a shortened image: exit %d, summary %r" % (process.returncode, stdout[-300:]))
    # Only the FAT sectors holding entries of clusters 2129..2920 are written again.
    marks = b"".join(texts.WRITE_LINE % (sector, 0) for sector in (7, 8, 9, 16, 17, 18))
    check(seen.endswith(texts.VERIFY_LINE % (1, 81, 4) + marks), "FAT writes: %r" % seen[-300:])
    fats = harness.read(image)[512:19 * 512]
    entries = [int.from_bytes(fats[n * 3 // 2:n * 3 // 2 + 2], "little") >> (n % 2 * 4) & 0xFFF for n in range(2921)]
    check(fats[:4608] == fats[4608:] and entries == [0xFF0, 0xFFF] + [0] * 2127 + [0xFF7] * 792,
          "the FAT copies differ, or %d clusters marked bad" % entries.count(0xFF7))
    # A file that fills the space left fits; nothing more does, and nothing lands beyond the image's end.
    for name, size in (("filler.bin", 1089024), ("one.bin", 1)):
        harness.write(os.path.join(folder, name), b"\xA5" * size)
    copied = harness.run(["mcopy", "-i", image, os.path.join(folder, "filler.bin"), "::/"])
    full = harness.run(["mcopy", "-i", image, os.path.join(folder, "one.bin"), "::/"])
    check(copied.returncode == 0 and full.returncode != 0 and os.path.getsize(image) == cut,
          "mcopy: exit %d, then %d, %d bytes" % (copied.returncode, full.returncode, os.path.getsize(image)))
    # fsck.fat reads the volume's last sector, so it checks the image grown back to the volume's length.
    os.truncate(image, VOLUME_BYTES)
    checked = harness.run(["fsck.fat", "-n", image])
    check(checked.returncode == 0, "fsck.fat on the marked image: %r" % checked.stdout)


def test(program, version):
    program = os.path.abspath(program)
    with harness.scratch_folder("console") as folder:
        non_blocking_input(program, folder)
        exit_status(program, folder)
        command_line(program, folder, version)
        answered_by_option(program, folder)
        verify_after_shortening(program, folder)


if __name__ == "__main__":
    harness.main(test, *sys.argv[1:3])
