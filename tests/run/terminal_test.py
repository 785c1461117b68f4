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
import subprocess
import time

import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import stress_support as s

WIDTH = 120
HEIGHT = 60  # the whole dialogue fits without scrolling


class Pane:
    def __init__(self, tmux, socket):
        self.tmux = tmux
        self.socket = socket

    def command(self, *arguments, check=True):
        result = subprocess.run([self.tmux, "-S", self.socket] + list(arguments), capture_output=True, timeout=30)
        if check:
            s.check(result.returncode == 0, "tmux %s failed: %s" % (" ".join(arguments), result.stderr.decode()))
        return result.stdout.decode(errors="replace")

    def screen(self):
        # -J joins wrapped lines; -S - takes the history too, should anything scroll.
        return self.command("capture-pane", "-p", "-J", "-S", "-", "-t", "format149").split("\n")

    def value(self, name):
        return self.command("display-message", "-p", "-t", "format149", "#{%s}" % name).strip()

    def dead(self):
        return self.value("pane_dead") == "1"

    def wait_for(self, condition, what, seconds=60):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition():
                return
            time.sleep(0.05)
        s.check(False, "timed out waiting for %s; the screen:\n%s" % (what, "\n".join(self.screen())))

    def wait_for_text(self, text, seconds=60):
        self.wait_for(lambda: any(text in line for line in self.screen()), repr(text), seconds)

    def keys(self, *keys):
        self.command("send-keys", "-t", "format149", *keys)

    def settle(self):
        """Gives the program time to react to what was typed, if it were going to."""
        time.sleep(0.7)


def test(program, *options):
    tmux = s.require_tool("tmux", "tmux")
    with s.scratch_folder() as folder:
        image = os.path.join(folder, "a.img")
        socket = os.path.join(folder, "tmux.socket")
        pane = Pane(tmux, socket)
        launch = "DRIVE_A_IMAGE='%s' exec '%s'" % (image, program)
        pane.command("-f", "/dev/null", "new-session", "-d", "-s", "format149", "-x", str(WIDTH), "-y", str(HEIGHT),
                     launch, ";", "set-option", "-t", "format149", "remain-on-exit", "on")
        try:
            run_dialogue(pane, image)
        finally:
            pane.command("kill-server", check=False)


def run_dialogue(pane, image):
    # The prompt is on screen, the cursor after its five blanks, while the
    # program waits for the answer.
    pane.wait_for_text("of the new format.")
    pane.settle()
    screen = pane.screen()
    s.check(any(line.startswith("     The date and time of your format will be: ") for line in screen),
            "no date line on screen:\n%s" % "\n".join(screen))
    s.check(not pane.dead(), "the program ended without an answer")
    s.check(pane.value("cursor_x") == "5", "the cursor is at column %s, not after the prompt's five blanks"
            % pane.value("cursor_x"))
    s.check(not os.path.exists(image), "the image exists before the answer")

    # An empty line does not answer.
    pane.keys("Enter")
    pane.settle()
    s.check(not pane.dead(), "the program ended after an empty line")
    s.check(not any("You chose not to format" in line for line in pane.screen()), "an empty line declined")
    s.check(not os.path.exists(image), "an empty line started the format")

    # "yes" answers; its "es" and line end are gone for the final keystroke.
    pane.keys("yes", "Enter")
    pane.wait_for_text("Press Enter to end the program.")
    pane.settle()
    screen = pane.screen()
    s.check(not pane.dead(), "the program ended without waiting for the final keystroke:\n%s" % "\n".join(screen))

    format_lines = [line for line in screen if "Formatting side" in line]
    write_lines = [line for line in screen if "Writing sector" in line]
    s.check(len(format_lines) == 1, "the format progress did not stay on one line: %r" % format_lines[:5])
    s.check(format_lines[0].rstrip() == "     Formatting side 1 of track 81, where error code = 0.",
            "the format progress line left on screen is %r" % format_lines[0])
    s.check(len(write_lines) == 1, "the write progress did not stay on one line: %r" % write_lines[:5])
    s.check(write_lines[0].rstrip() == "     Writing sector 35, where error code = 0.",
            "the write progress line left on screen is %r" % write_lines[0])
    order = [next(i for i, line in enumerate(screen) if text in line)
             for text in ("Lock succeeded!", "Formatting side", "*****", "Writing sector", "Unlock succeeded!",
                          "Thank you for using format149.", "Press Enter to end the program.")]
    s.check(order == sorted(order), "the dialogue is out of order on screen:\n%s" % "\n".join(screen))
    s.check(os.path.getsize(image) == s.VOLUME_BYTES, "the image has %d bytes" % os.path.getsize(image))

    # One more Enter ends it.
    pane.keys("Enter")
    pane.wait_for(pane.dead, "the program to end after the final Enter", 30)
    print("terminal dialogue as expected:\n" + "\n".join(line for line in pane.screen() if line.strip()))


if __name__ == "__main__":
    s.main(test)
