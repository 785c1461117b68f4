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
import harness  # noqa: E402
from harness import CONTROLLER_FAILURE, SECTOR_BYTES, TRACK_BYTES, VOLUME_BYTES, require  # noqa: E402


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
    _, formats, writes = harness.run_confirmed_checking_lock(program, image, "limit %d" % limit,
                                                             preexec_fn=limited(limit, ignore_signal))
    image_bytes = harness.read(image)
    require(len(image_bytes) <= limit, "limit %d: the image grew to %d bytes" % (limit, len(image_bytes)))
    for cylinder, head, code in formats:
        if (cylinder * 2 + head + 1) * TRACK_BYTES <= limit:
            require(code == 0, "limit %d: track %d side %d fits, yet shows error code %d"
                    % (limit, cylinder, head, code))
        else:
            require(code == CONTROLLER_FAILURE,
                    "limit %d: track %d side %d could not be written in full, yet shows error code %d, not 32"
                    % (limit, cylinder, head, code))
    for sector, code in writes:
        if (sector + 1) * SECTOR_BYTES <= len(image_bytes):
            require(code == 0, "limit %d: sector %d lies within the image, yet shows error code %d"
                    % (limit, sector, code))
        else:
            require(code != 0, "limit %d: sector %d lies beyond the image, yet shows error code 0" % (limit, sector))
    harness.check_image_honours_progress(image_bytes, formats, writes, reference)
    failed_tracks = sum(code != 0 for _, _, code in formats)
    print("limit %7d bytes%s: %3d of 164 tracks failed with error code 32, image %d bytes"
          % (limit, "" if ignore_signal else ", SIGXFSZ at its default", failed_tracks, len(image_bytes)))
    return failed_tracks


def test(program, *options):
    with harness.scratch_folder("stress") as folder:
        reference = harness.reference_image(program, folder)
        limits = [
            5000,                       # inside the first track
            2 * TRACK_BYTES,            # exactly cylinder 0: the system area, nothing more
            75 * TRACK_BYTES + 1234,    # partway through cylinder 37
            VOLUME_BYTES - 100,         # short of the last track's end
        ]
        counts = [run_with_limit(program, folder, limit, reference) for limit in limits]
        require(counts == [164, 162, 89, 1], "failed track counts %r, not [164, 162, 89, 1]" % counts)
        # The program run as a shell would start it, the signal not ignored.
        counts = run_with_limit(program, folder, 100 * TRACK_BYTES, reference, ignore_signal=False)
        require(counts == 64, "%d tracks failed, not 64" % counts)


if __name__ == "__main__":
    harness.main(test, *sys.argv[1:])
