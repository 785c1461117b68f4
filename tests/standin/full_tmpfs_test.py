"""The image's file system fills up halfway through a run.

A tmpfs of 640 KiB is mounted over a scratch folder and filled up by the
run itself: the tracks that no longer fit fail with ENOSPC. The run must go
on to the end, show error code 32 for the tracks it could not write, error
code 0 only for tracks and sectors that the image really holds, and release
the volume lock. Where this machine does not let the test mount a tmpfs
(no privilege, no mount program), the test is skipped.
"""

import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402
import texts  # noqa: E402
from harness import CONTROLLER_FAILURE, require  # noqa: E402

FILE_SYSTEM_BYTES = 640 * 1024


def test(program, *options):
    mount, umount = shutil.which("mount"), shutil.which("umount")
    if mount is None or umount is None:
        harness.skip("mount/umount are not installed")
    with harness.scratch_folder("stress") as folder:
        reference = harness.reference_image(program, folder)
        point = os.path.join(folder, "small")
        os.mkdir(point)
        mounted = harness.run([mount, "-t", "tmpfs", "-o", "size=%d,mode=0755" % FILE_SYSTEM_BYTES,
                               "format149-stress", point])
        if mounted.returncode != 0:
            harness.skip("this machine does not let the test mount a tmpfs: %s"
                         % mounted.stderr.decode(errors="replace").strip())
        try:
            check_full_file_system(program, os.path.join(point, "a.img"), reference)
        finally:
            harness.run([umount, point])


def check_full_file_system(program, image, reference):
    stderr, formats, writes = harness.run_confirmed_checking_lock(program, image, "full file system")
    cause = texts.cause_line(image.encode(), texts.CAUSE_CANNOT_WRITE + b"No space left on device")
    require(stderr.count(cause) == 1 and stderr.count(texts.FAULT_START) == 2,  # and what drive A: is
            "not one cause line for the full file system: %r" % [line for line in stderr.split(b"\n")
                                                                 if texts.FAULT_START in line])
    codes = [code for _, _, code in formats]
    require(all(code in (0, CONTROLLER_FAILURE) for code in codes),
            "a track shows an error code other than 0 or 32: %r" % sorted(set(codes)))
    require(codes.count(0) > 0 and codes.count(CONTROLLER_FAILURE) > 0,
            "expected the tracks to succeed until the file system was full and fail after it: %r" % codes)
    # Once full, a tmpfs of this kind stays full: no track succeeds after the first failure.
    first_failure = codes.index(CONTROLLER_FAILURE)
    require(all(code == CONTROLLER_FAILURE for code in codes[first_failure:]),
            "a track succeeded after the file system was full")
    image_bytes = harness.read(image)
    harness.check_image_honours_progress(image_bytes, formats, writes, reference)
    print("full tmpfs: %d of 164 tracks failed with error code 32, image %d bytes"
          % (codes.count(CONTROLLER_FAILURE), len(image_bytes)))


if __name__ == "__main__":
    harness.main(test, *sys.argv[1:])
