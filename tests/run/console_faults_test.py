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
import subprocess

import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import stress_support as s


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


CONSOLE_TEXTS = (b"Formatting side", b"Writing sector", b"error code", b"succeeded", b"*****",
                 b"Thank you", b"Press Enter", b"chose not")


def check_image(name, image, reference, stamp):
    with open(image, "rb") as file:
        image_bytes = file.read()
    s.check(len(image_bytes) == s.VOLUME_BYTES, "%s: the image has %d bytes, not %d"
            % (name, len(image_bytes), s.VOLUME_BYTES))
    for text in CONSOLE_TEXTS:
        at = image_bytes.find(text)
        s.check(at < 0, "%s: console text %r in the image at byte %d" % (name, text, at))
    # The moment's bytes are taken from the clean run; all else must match.
    masked = bytearray(image_bytes)
    for i in stamp:
        masked[i] = reference[i]
    if masked != reference:
        first = next(i for i in range(len(reference)) if masked[i] != reference[i])
        s.check(False, "%s: the image differs from a clean run's at byte %d: %r"
                % (name, first, image_bytes[first:first + 40]))
    os.unlink(image)


def check_ended_normally(name, returncode):
    s.check(returncode == 0, "%s: the run ended with %d (a negative value is the signal that killed it)"
            % (name, returncode))


def closed_before_start(program, folder, reference, stamp):
    cases = {
        "standard output closed": (1,),
        "standard error closed": (2,),
        "standard output and error closed": (1, 2),
    }
    for name, descriptors in cases.items():
        image = os.path.join(folder, "closed.img")
        environment = s.plain_environment(image)
        result = subprocess.run([program], input=b"y\n\n", env=environment, timeout=120,
                                stdout=subprocess.DEVNULL if 1 not in descriptors else None,
                                stderr=subprocess.DEVNULL if 2 not in descriptors else None,
                                preexec_fn=closing(*descriptors))
        check_ended_normally(name, result.returncode)
        check_image(name, image, reference, stamp)
        print("%s: formatted in full" % name)


def reader_gone_before_start(program, folder, reference, stamp):
    cases = {
        "standard output's reader gone": (True, False),
        "standard error's reader gone": (False, True),
        "both readers gone": (True, True),
    }
    for name, (on_output, on_error) in cases.items():
        image = os.path.join(folder, "broken.img")
        environment = s.plain_environment(image)
        output = broken_pipe() if on_output else subprocess.DEVNULL
        error = broken_pipe() if on_error else subprocess.DEVNULL
        try:
            result = subprocess.run([program], input=b"y\n\n", env=environment, timeout=120,
                                    stdout=output, stderr=error)
        finally:
            for end in (output, error):
                if isinstance(end, int) and end >= 0:
                    os.close(end)
        check_ended_normally(name, result.returncode)
        check_image(name, image, reference, stamp)
        print("%s: formatted in full" % name)


def reader_gone_after_prompt(program, folder, reference, stamp):
    """The reader of both outputs goes away while the prompt waits; all of the
    format's output then meets a broken pipe."""
    name = "readers gone after the prompt"
    image = os.path.join(folder, "gone.img")
    environment = s.plain_environment(image)
    process = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=environment)
    try:
        s.read_until(process.stdout, b"of the new format.\n\n     ", 60)
        process.stdout.close()
        process.stderr.close()
        process.stdin.write(b"y\n\n")
        process.stdin.close()
        returncode = process.wait(timeout=120)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    check_ended_normally(name, returncode)
    check_image(name, image, reference, stamp)
    print("%s: formatted in full" % name)


def test(program, *options):
    with s.scratch_folder() as folder:
        reference = s.reference_image(program, folder)
        stamp = s.stamp_positions(program, folder, reference)
        print("%d bytes of the image carry the moment of the run" % len(stamp))
        closed_before_start(program, folder, reference, stamp)
        reader_gone_before_start(program, folder, reference, stamp)
        reader_gone_after_prompt(program, folder, reference, stamp)


if __name__ == "__main__":
    s.main(test)
