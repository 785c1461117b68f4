"""A console that fails does not stop a format.

The program runs with the real clock here: a preloaded libfaketime would hold
descriptors of its own and keep 1 and 2 from being free for the image. The
image is compared with a clean run's, apart from the few bytes that carry the
moment of the run, and must hold no console text anywhere.

Standard output, standard error or both are closed before the program
starts, or are pipes whose reader has gone away (before the start, or right
after the prompt, when the whole format is still to come). Each time the
confirmed run must end normally, not by a signal, and leave the very image a
clean run leaves: formatted throughout, and with no console text in it. With
descriptors 1 and 2 closed, the image would get one of them if the drive kept
it there, and the program's output would land in the image.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402
import texts  # noqa: E402
from harness import PIPE, require  # noqa: E402

# Each case before the start: how standard output and error are left, closed
# or a pipe whose reader has gone (None: they go nowhere).
BEFORE_START = {
    "standard output closed": ("closed", None),
    "standard error closed": (None, "closed"),
    "standard output and error closed": ("closed", "closed"),
    "standard output's reader gone": ("gone", None),
    "standard error's reader gone": (None, "gone"),
    "both readers gone": ("gone", "gone"),
}


def closing(*descriptors):
    def before_exec():
        for descriptor in descriptors:
            os.close(descriptor)
    return before_exec


def broken_pipe():
    """A pipe's write end whose read end is already closed."""
    read_end, write_end = os.pipe()
    os.close(read_end)
    return write_end


def stamp_positions(program, folder, reference):
    """The image bytes that depend on the moment of the run: wherever clean
    runs at moments apart in every field differ from `reference`."""
    positions = set()
    for moment in ("2011-11-11 01:02:03", "2037-02-28 22:58:59"):
        other = harness.reference_image(program, folder, moment)
        positions.update(i for i in range(len(reference)) if other[i] != reference[i])
    require(len(positions) < 64, "clean runs at different moments differ in %d bytes" % len(positions))
    return positions


def check_image(name, image, reference, stamp, returncode):
    require(returncode == 0, "%s: the run ended with %d (a negative value is the signal that killed it)"
            % (name, returncode))
    image_bytes = harness.read(image)
    require(len(image_bytes) == harness.VOLUME_BYTES, "%s: the image has %d bytes, not %d"
            % (name, len(image_bytes), harness.VOLUME_BYTES))
    for text in texts.CONSOLE_PIECES:
        at = image_bytes.find(text)
        require(at < 0, "%s: console text %r in the image at byte %d" % (name, text, at))
    # The moment's bytes are taken from the clean run; all else must match.
    masked = bytearray(image_bytes)
    for i in stamp:
        masked[i] = reference[i]
    if masked != reference:
        first = next(i for i in range(len(reference)) if masked[i] != reference[i])
        harness.fail("%s: the image differs from a clean run's at byte %d: %r"
                     % (name, first, image_bytes[first:first + 40]))
    os.unlink(image)
    print("%s: formatted in full" % name)


def before_start(program, folder, reference, stamp):
    for name, kinds in BEFORE_START.items():
        image = os.path.join(folder, "before.img")
        ends = [broken_pipe() if kind == "gone" else None if kind == "closed" else harness.DEVNULL for kind in kinds]
        closed = [number for number, kind in zip((1, 2), kinds) if kind == "closed"]
        try:
            result = harness.format_image(program, image, stdout=ends[0], stderr=ends[1],
                                          preexec_fn=closing(*closed) if closed else None)
        finally:
            for end in ends:
                if end is not None and end >= 0:
                    os.close(end)
        check_image(name, image, reference, stamp, result.returncode)


def reader_gone_after_prompt(program, folder, reference, stamp):
    """The reader of both outputs goes away while the prompt waits; all of the
    format's output then meets a broken pipe."""
    image = os.path.join(folder, "gone.img")
    with harness.started([program], {"DRIVE_A_IMAGE": image}, stdin=PIPE, stdout=PIPE, stderr=PIPE) as process:
        harness.read_until(process.stdout, texts.WARNING_AND_PROMPT, 60)
        process.stdout.close()
        process.stderr.close()
        process.stdin.write(harness.CONFIRMED)
        process.stdin.close()
        returncode = process.wait(timeout=120)
    check_image("readers gone after the prompt", image, reference, stamp, returncode)


def test(program, *options):
    with harness.scratch_folder("stress") as folder:
        reference = harness.reference_image(program, folder)
        stamp = stamp_positions(program, folder, reference)
        print("%d bytes of the image carry the moment of the run" % len(stamp))
        before_start(program, folder, reference, stamp)
        reader_gone_after_prompt(program, folder, reference, stamp)


if __name__ == "__main__":
    harness.main(test, *sys.argv[1:])
