"""A file system that refuses to let the image grow halfway through a run.

format149 runs with RLIMIT_FSIZE set below the volume's size and SIGXFSZ
ignored, as a full or quota-bound disk would behave: every write past the
limit fails with EFBIG. Once more with the signal at its default, which the
program must not die of. The run must go on to the end with error code 32
(controller failure, 20h) for exactly the tracks that could not be written in
full, error code 0 only for tracks and sectors that the image really holds,
no crash, and the volume lock released once the run has unlocked.
"""

import os
import resource
import signal

import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import stress_support as s


def limited(limit, ignore_signal):
    def before_exec():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        # Ignored, the signal stays ignored across exec: the write fails instead.
        # Left at its default, it would end the process, unless the program
        # ignores it itself, as the virtual drive does.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN if ignore_signal else signal.SIG_DFL)
    return before_exec


def run_with_limit(program, folder, limit, reference, ignore_signal=True):
    image = os.path.join(folder, "limited-%d.img" % limit)
    environment = s.frozen_clock_environment(image)
    stdout, stderr = s.run_confirmed_checking_lock(program, image, environment, "limit %d" % limit,
                                                   preexec_fn=limited(limit, ignore_signal))
    s.check(b"Lock succeeded!" in stdout and b"Unlock succeeded!" in stdout,
            "limit %d: lock or unlock failed: %r" % (limit, stdout[-300:]))
    formats, writes = s.progress(stderr)
    s.check_all_progress_lines(formats, writes)

    with open(image, "rb") as file:
        image_bytes = file.read()
    s.check(len(image_bytes) <= limit, "limit %d: the image grew to %d bytes" % (limit, len(image_bytes)))

    failed_tracks = 0
    for cylinder, head, code in formats:
        end = (cylinder * 2 + head + 1) * s.TRACK_BYTES
        if end <= limit:
            s.check(code == 0, "limit %d: track %d side %d fits, yet shows error code %d"
                    % (limit, cylinder, head, code))
        else:
            failed_tracks += 1
            s.check(code == s.CONTROLLER_FAILURE,
                    "limit %d: track %d side %d could not be written in full, yet shows error code %d, not 32"
                    % (limit, cylinder, head, code))
    for sector, code in writes:
        if (sector + 1) * s.SECTOR_BYTES <= len(image_bytes):
            s.check(code == 0, "limit %d: sector %d lies within the image, yet shows error code %d"
                    % (limit, sector, code))
        else:
            s.check(code != 0, "limit %d: sector %d lies beyond the image, yet shows error code 0" % (limit, sector))
    s.check_image_honours_progress(image_bytes, formats, writes, reference)
    print("limit %7d bytes%s: %3d of 164 tracks failed with error code 32, image %d bytes"
          % (limit, "" if ignore_signal else ", SIGXFSZ at its default", failed_tracks, len(image_bytes)))
    return failed_tracks


def test(program, *options):
    with s.scratch_folder() as folder:
        reference = s.reference_image(program, folder)
        limits = [
            5000,                           # inside the first track
            2 * s.TRACK_BYTES,              # exactly cylinder 0: the system area, nothing more
            75 * s.TRACK_BYTES + 1234,      # partway through cylinder 37
            s.VOLUME_BYTES - 100,           # short of the last track's end
        ]
        counts = [run_with_limit(program, folder, limit, reference) for limit in limits]
        s.check(counts == [164, 162, 89, 1], "failed track counts %r, not [164, 162, 89, 1]" % counts)
        # The program run as a shell would start it, the signal not ignored.
        counts = run_with_limit(program, folder, 100 * s.TRACK_BYTES, reference, ignore_signal=False)
        s.check(counts == 64, "%d tracks failed, not 64" % counts)


if __name__ == "__main__":
    s.main(test)
