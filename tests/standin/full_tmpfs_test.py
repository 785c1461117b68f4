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
import subprocess

import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import stress_support as s

FILE_SYSTEM_BYTES = 640 * 1024


def test(program, *options):
    mount = shutil.which("mount")
    umount = shutil.which("umount")
    if mount is None or umount is None:
        s.skip("mount/umount are not installed")
    with s.scratch_folder() as folder:
        reference = s.reference_image(program, folder)
        point = os.path.join(folder, "small")
        os.mkdir(point)
        mounted = subprocess.run([mount, "-t", "tmpfs", "-o", "size=%d,mode=0755" % FILE_SYSTEM_BYTES,
                                  "format149-stress", point], capture_output=True)
        if mounted.returncode != 0:
            s.skip("this machine does not let the test mount a tmpfs: %s"
                   % mounted.stderr.decode(errors="replace").strip())
        try:
            check_full_file_system(program, os.path.join(point, "a.img"), reference)
        finally:
            subprocess.run([umount, point], check=False)


def check_full_file_system(program, image, reference):
    environment = s.frozen_clock_environment(image)
    stdout, stderr = s.run_confirmed_checking_lock(program, image, environment, "full file system")
    s.check(b"Unlock succeeded!" in stdout, "the unlock failed: %r" % stdout[-300:])

    cause = ("format149: %s: cannot be written: No space left on device\n" % image).encode()
    s.check(stderr.count(cause) == 1 and stderr.count(b"format149: ") == 2,  # and what drive A: is
            "not one cause line for the full file system: %r" % [line for line in stderr.split(b"\n")
                                                                 if b"format149: " in line])
    formats, writes = s.progress(stderr)
    s.check_all_progress_lines(formats, writes)
    codes = [code for _, _, code in formats]
    s.check(all(code in (0, s.CONTROLLER_FAILURE) for code in codes),
            "a track shows an error code other than 0 or 32: %r" % sorted(set(codes)))
    s.check(codes.count(0) > 0 and codes.count(s.CONTROLLER_FAILURE) > 0,
            "expected the tracks to succeed until the file system was full and fail after it: %r" % codes)
    # Once full, a tmpfs of this kind stays full: no track succeeds after the first failure.
    first_failure = codes.index(s.CONTROLLER_FAILURE)
    s.check(all(code == s.CONTROLLER_FAILURE for code in codes[first_failure:]),
            "a track succeeded after the file system was full")

    with open(image, "rb") as file:
        image_bytes = file.read()
    s.check_image_honours_progress(image_bytes, formats, writes, reference)
    print("full tmpfs: %d of 164 tracks failed with error code 32, image %d bytes"
          % (codes.count(s.CONTROLLER_FAILURE), len(image_bytes)))


if __name__ == "__main__":
    s.main(test)
