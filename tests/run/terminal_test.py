"""format149 on a real terminal: tmux runs it in a pane, types at it with
send-keys and reads the screen back with capture-pane.

On screen: the prompt is there while the answer is awaited, an empty line
does not answer, the progress lines overwrite each other on one screen line
(one line of format progress and one of write progress remain, the last of
each), the rest of the line that carried the answer ("es" of "yes") is gone
for the final keystroke, so the program still waits after the farewell, and
one more Enter ends it.
"""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402
import texts  # noqa: E402
from harness import require  # noqa: E402

WIDTH = 120
HEIGHT = 60  # the whole dialogue fits without scrolling
FORMATTING, WRITING = (form.split(b"%d")[0].strip().decode() for form in (texts.FORMAT_LINE, texts.WRITE_LINE))


def on_screen(text):
    """A text of the program as a terminal shows it: its first line that is
    not empty, bells and the blanks at its end left out."""
    return next(line for line in text.replace(b"\a", b"").split(b"\n") if line.strip()).rstrip().decode()


DECLINED = on_screen(texts.DECLINED).split(" A:")[0].strip()  # "You chose not to format"
LAST_FORMAT, LAST_WRITE = texts.FORMAT_LINE % (1, 81, 0), texts.WRITE_LINE % (35, 0)  # the lines left on screen


class Pane:
    def __init__(self, tmux, socket):
        self.tmux, self.socket = tmux, socket

    def command(self, *arguments, check=True):
        result = harness.run([self.tmux, "-S", self.socket] + list(arguments), timeout=30)
        if check:
            require(result.returncode == 0, "tmux %s failed: %s" % (" ".join(arguments), result.stderr.decode()))
        return result.stdout.decode(errors="replace")

    def screen(self):
        # -J joins wrapped lines; -S - takes the history too, should anything scroll.
        return self.command("capture-pane", "-p", "-J", "-S", "-", "-t", "format149").split("\n")

    def value(self, name):
        return self.command("display-message", "-p", "-t", "format149", "#{%s}" % name).strip()

    def dead(self):
        return self.value("pane_dead") == "1"

    def wait_for(self, condition, what, seconds=60):
        require(harness.wait_until(condition, seconds),
                "timed out waiting for %s; the screen:\n%s" % (what, "\n".join(self.screen())))

    def wait_for_text(self, text, seconds=60):
        self.wait_for(lambda: any(text in line for line in self.screen()), repr(text), seconds)

    def keys(self, *keys):
        self.command("send-keys", "-t", "format149", *keys)

    def settle(self):
        """Gives the program time to react to what was typed, if it were going to."""
        time.sleep(0.7)


def test(program, *options):
    tmux = harness.require_tool("tmux", "tmux")
    with harness.scratch_folder("stress") as folder:
        image = os.path.join(folder, "a.img")
        pane = Pane(tmux, os.path.join(folder, "tmux.socket"))
        launch = "DRIVE_A_IMAGE='%s' exec '%s'" % (image, os.path.abspath(program))
        pane.command("-f", "/dev/null", "new-session", "-d", "-s", "format149", "-x", str(WIDTH), "-y", str(HEIGHT),
                     launch, ";", "set-option", "-t", "format149", "remain-on-exit", "on")
        try:
            run_dialogue(pane, image)
        finally:
            pane.command("kill-server", check=False)


def run_dialogue(pane, image):
    # The prompt is on screen, the cursor after its five blanks, while the
    # program waits for the answer.
    pane.wait_for_text(on_screen(texts.WARNING_AND_PROMPT.split(b"\n")[-3]))
    pane.settle()
    screen = pane.screen()
    require(any(line.startswith(on_screen(texts.DATE_LINE_START) + " ") for line in screen),
            "no date line on screen:\n%s" % "\n".join(screen))
    require(not pane.dead(), "the program ended without an answer")
    require(pane.value("cursor_x") == "5", "the cursor is at column %s, not after the prompt's five blanks"
            % pane.value("cursor_x"))
    require(not os.path.exists(image), "the image exists before the answer")

    # An empty line does not answer.
    pane.keys("Enter")
    pane.settle()
    require(not pane.dead(), "the program ended after an empty line")
    require(not any(DECLINED in line for line in pane.screen()), "an empty line declined")
    require(not os.path.exists(image), "an empty line started the format")

    # "yes" answers; its "es" and line end are gone for the final keystroke.
    pane.keys("yes", "Enter")
    pane.wait_for_text(on_screen(texts.PRESS_ENTER))
    pane.settle()
    screen = pane.screen()
    require(not pane.dead(), "the program ended without waiting for the final keystroke:\n%s" % "\n".join(screen))

    format_lines = [line for line in screen if FORMATTING in line]
    write_lines = [line for line in screen if WRITING in line]
    require(len(format_lines) == 1, "the format progress did not stay on one line: %r" % format_lines[:5])
    require(format_lines[0].rstrip() == on_screen(LAST_FORMAT),
            "the format progress line left on screen is %r" % format_lines[0])
    require(len(write_lines) == 1, "the write progress did not stay on one line: %r" % write_lines[:5])
    require(write_lines[0].rstrip() == on_screen(LAST_WRITE),
            "the write progress line left on screen is %r" % write_lines[0])
    order = [next(i for i, line in enumerate(screen) if text in line)
             for text in map(on_screen, (texts.LOCK_SUCCEEDED, LAST_FORMAT, texts.SEPARATOR, LAST_WRITE,
                                         texts.UNLOCK_SUCCEEDED, texts.FAREWELL_BANNER, texts.PRESS_ENTER))]
    require(order == sorted(order), "the dialogue is out of order on screen:\n%s" % "\n".join(screen))
    require(os.path.getsize(image) == harness.VOLUME_BYTES, "the image has %d bytes" % os.path.getsize(image))

    # One more Enter ends it.
    pane.keys("Enter")
    pane.wait_for(pane.dead, "the program to end after the final Enter", 30)
    print("terminal dialogue as expected:\n" + "\n".join(line for line in pane.screen() if line.strip()))


if __name__ == "__main__":
    harness.main(test, *sys.argv[1:])
