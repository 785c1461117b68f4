"""One confirmed run under valgrind's memcheck: no error and no leak.

Skipped where valgrind is not installed, and for a build with
AddressSanitizer (the two cannot watch one process together); pass
"sanitized" as the second argument for such a build.
"""

import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402
import texts  # noqa: E402
from harness import require  # noqa: E402


def test(program, *options):
    if "sanitized" in options:
        harness.skip("this build carries AddressSanitizer, which valgrind cannot run beside")
    valgrind = harness.require_tool("valgrind", "valgrind")
    with harness.scratch_folder("stress") as folder:
        image, log = os.path.join(folder, "a.img"), os.path.join(folder, "memcheck.log")
        result = harness.format_image(valgrind, image, [
            "--error-exitcode=1", "--leak-check=full", "--errors-for-leak-kinds=definite,indirect",
            "--show-leak-kinds=definite,indirect", "--track-fds=yes", "--log-file=" + log, program], timeout=600)
        report = harness.read(log).decode(errors="replace")
        require(result.returncode == 0, "valgrind ended with %d:\n%s" % (result.returncode, report[-3000:]))
        summary = re.search(r"ERROR SUMMARY: (\d+) errors", report)
        require(summary is not None and summary.group(1) == "0", "memcheck reports errors:\n%s" % report[-3000:])
        for kind in ("definitely lost", "indirectly lost"):
            match = re.search(kind + r": ([\d,]+) bytes", report)
            require(match is None or match.group(1) == "0", "memcheck reports memory %s:\n%s" % (kind, report))
        require(texts.UNLOCK_SUCCEEDED in result.stdout, "the run under valgrind did not unlock: %r"
                % result.stdout[-300:])
        require(os.path.getsize(image) == harness.VOLUME_BYTES, "the run under valgrind left %d bytes"
                % os.path.getsize(image))
        formats, writes = harness.progress(result.stderr)
        harness.check_all_progress_lines(formats, writes)
        require(all(code == 0 for _, _, code in formats) and all(code == 0 for _, code in writes),
                "a track or sector failed under valgrind")
        # Every descriptor open at exit was there before the program started:
        # the drive closes the image once the volume is unlocked.
        blocks = re.findall(r"Open (?:AF_\w+ socket|file descriptor) (\d+):?([^\n]*)\n==\d+==\s+(.*)", report)
        require(re.search(r"FILE DESCRIPTORS: \d+ open", report) is not None,
                "memcheck did not report descriptors:\n%s" % report[-2000:])
        opened = [(number, name.strip()) for number, name, origin in blocks if "inherited from parent" not in origin]
        require(not opened, "descriptors the run opened and left open: %r" % opened)
        print("memcheck: 0 errors, no definite or indirect leak, no descriptor left open")


if __name__ == "__main__":
    harness.main(test, *sys.argv[1:])
