#!/usr/bin/env python3
"""Shows the Win32 assertion dialog under Wine on a virtual screen and answers it.

    dialog_check.py fail_a_check.exe screenshot.png [--prefix DIR]

Starts Xvfb on a free display and runs the program built from FailACheck.cpp (it fails one
check) four times in a Wine prefix of its own (DIR, by default wine-dialog beside the program),
so that a wineserver started without a display for other tests cannot take the dialog's desktop.
Each time it waits for the "Assert Failed: <program>.exe" window, compares the report on the
clipboard, presses Enter and Escape (which must leave the dialog up) and clicks one button:
Debug, Ignore, Ignore Always, Exit. It compares what the program says the answer did and keeps
a screenshot of the dialog. Last, the program runs without a display and must carry on as
Ignore at once. Needs Xvfb, xdotool, xclip, ImageMagick's import and Wine. Exits nonzero on any mismatch.
"""

import os
import re
import select
import shutil
import subprocess
import sys
import time

# The dialog in dialog units, as BuildAssertDialogTemplate lays it out.
DIALOG_WIDTH, DIALOG_HEIGHT = 353, 80
BUTTONS = {  # x, y, width, height
    "Debug": (5, 62, 56, 13),
    "Ignore": (68, 62, 56, 13),
    "Ignore Always": (130, 62, 56, 13),
    "Exit": (195, 62, 56, 13),
}
EXPRESSION = "header.version == 7"
MESSAGE = "Invalid archive file."
SENTINEL = "clipboard before the dialog"
WAIT = 30.0  # seconds any one awaited thing may take


class Mismatch(Exception):
    pass


def wait_for(what, probe, timeout=WAIT, interval=0.2):
    """Polls probe() until it gives something true, at most `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Mismatch("gave up after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


class Session:
    def __init__(self, program, prefix):
        self.program = program
        self.application = os.path.basename(program)
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)
        self.xvfb = None
        self.helpers = []  # clipboard owners started by the check
        self.client_size = None  # the dialog's client area in pixels, once measured

    # --- processes -------------------------------------------------------------------------

    def start_display(self):
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        deadline = time.monotonic() + WAIT
        while not number.endswith(b"\n"):
            if not select.select([read], [], [], max(0.0, deadline - time.monotonic()))[0]:
                raise Mismatch("Xvfb did not say which display it took")
            chunk = os.read(read, 16)
            if not chunk:
                raise Mismatch("Xvfb ended before it took a display")
            number += chunk
        os.close(read)
        self.env["DISPLAY"] = ":" + number.decode().strip()
        print("display %s" % self.env["DISPLAY"])

    def wine(self, *arguments, display=True, **options):
        env = dict(self.env)
        if not display:
            env.pop("DISPLAY", None)
        return subprocess.run(["wine", *arguments], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=120, **options)

    def stop_wine(self):
        env = {k: v for k, v in self.env.items() if k != "DISPLAY"}
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, timeout=60)

    def close(self):
        for helper in self.helpers:
            if helper.poll() is None:
                helper.terminate()
                helper.wait()
        if self.env.get("WINEPREFIX"):
            self.stop_wine()
        if self.xvfb is not None and self.xvfb.poll() is None:
            self.xvfb.terminate()
            self.xvfb.wait()

    # --- the X side ------------------------------------------------------------------------

    def x(self, *command, check=True):
        result = subprocess.run(list(command), env=self.env, capture_output=True, timeout=WAIT)
        if check and result.returncode != 0:
            raise Mismatch("%s failed: %s" % (" ".join(command), result.stderr.decode(errors="replace")))
        return result

    def dialog_window(self):
        title = "^Assert Failed: %s$" % re.escape(self.application)
        found = self.x("xdotool", "search", "--onlyvisible", "--name", title, check=False)
        windows = found.stdout.decode().split()
        return windows[0] if windows else None

    def geometry(self, window):
        shell = self.x("xdotool", "getwindowgeometry", "--shell", window).stdout.decode()
        values = dict(line.split("=", 1) for line in shell.split())
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def clipboard(self):
        result = self.x("xclip", "-o", "-selection", "clipboard", check=False)
        return result.stdout.decode(errors="replace") if result.returncode == 0 else None

    def put_sentinel_on_clipboard(self):
        # xclip serves the text until another program takes the clipboard.
        helper = subprocess.Popen(["xclip", "-quiet", "-selection", "clipboard", "-i"], env=self.env,
                                  stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.helpers.append(helper)
        helper.stdin.write(SENTINEL.encode())
        helper.stdin.close()
        wait_for("the clipboard to hold the sentinel", lambda: self.clipboard() == SENTINEL)

    def pixels(self, window, area):
        x, y, width, height = area
        result = self.x("import", "-window", window, "-crop", "%dx%d+%d+%d" % (width, height, x, y), "+repage",
                        "rgb:-", check=False)
        return result.stdout if result.returncode == 0 and result.stdout else None

    def screenshot(self, window, path):
        # Painting follows mapping; wait until the picture holds more than the background.
        def painted():
            self.x("import", "-window", window, path)
            colours = self.x("identify", "-format", "%k", path).stdout.decode().strip()
            return int(colours or "0") > 8
        wait_for("the dialog to be painted", painted, interval=0.5)

    # --- one answered dialog ---------------------------------------------------------------

    def answer(self, button, screenshot=None):
        print("--- %s" % button)
        self.put_sentinel_on_clipboard()
        process = subprocess.Popen(["wine", self.program], env=self.env, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        try:
            def shown():
                if process.poll() is not None:
                    out, err = process.communicate()
                    raise Mismatch("the program ended without a dialog (status %d):\n%s%s" %
                                   (process.returncode, out.decode(errors="replace"), err.decode(errors="replace")))
                return self.dialog_window()
            window = wait_for("the 'Assert Failed: %s' window" % self.application, shown)
            left, top, width, height = self.geometry(window)

            # The dialog copies its report before it shows; Wine hands it on to the X clipboard.
            def replaced():
                text = self.clipboard()
                return text if text not in (None, SENTINEL) else None
            copied = wait_for("the report on the clipboard", replaced)

            if screenshot:
                self.screenshot(window, screenshot)
            else:
                self.screenshot(window, os.path.join(self.env["WINEPREFIX"], "dialog.png"))

            # Where the button is: the client area lies at the bottom middle of the window,
            # under the caption that Wine draws when no window manager runs.
            if self.client_size is None:
                self.client_size = (width, height)  # the first dialog has no frame
            client_width, client_height = self.client_size
            frame = (width - client_width) // 2
            caption = height - client_height - 2 * frame
            if frame < 0 or caption < 0:
                raise Mismatch("window %dx%d smaller than its client area %dx%d" %
                               (width, height, client_width, client_height))
            bx, by, bw, bh = BUTTONS[button]
            scale_x, scale_y = client_width / DIALOG_WIDTH, client_height / DIALOG_HEIGHT
            area = (frame + round(bx * scale_x), frame + caption + round(by * scale_y), round(bw * scale_x),
                    round(bh * scale_y))
            x, y = left + area[0] + area[2] // 2, top + area[1] + area[3] // 2
            released = self.pixels(window, area)

            # Enter and Escape are IDOK and IDCANCEL; the dialog must stay up. The button drawn
            # pressed shows that the dialog has taken every key before the press.
            self.x("xdotool", "windowfocus", "--sync", window)
            self.x("xdotool", "key", "Return")
            self.x("xdotool", "key", "Escape")
            self.x("xdotool", "mousemove", "--sync", str(x), str(y), "mousedown", "1")

            def pressed():
                if process.poll() is not None or self.dialog_window() != window:
                    raise Mismatch("Enter or Escape closed the dialog")
                now = self.pixels(window, area)
                return now is not None and now != released
            wait_for("the %s button to be drawn pressed" % button, pressed)
            self.x("xdotool", "mouseup", "1")

            try:
                out, err = process.communicate(timeout=WAIT)
            except subprocess.TimeoutExpired:
                raise Mismatch("the program did not end after a click on %s at %d,%d" % (button, x, y))
        finally:
            if process.poll() is None:
                process.kill()
                process.communicate()
        wait_for("the dialog to close", lambda: self.dialog_window() is None)
        return (process.returncode, out.decode(errors="replace").replace("\r\n", "\n"),
                err.decode(errors="replace").replace("\r\n", "\n"), copied)

    def run_without_display(self):
        print("--- no display")
        env = dict(self.env)
        env.pop("DISPLAY", None)
        try:
            result = subprocess.run(["wine", self.program], env=env, capture_output=True, timeout=WAIT * 2)
        except subprocess.TimeoutExpired:
            raise Mismatch("without a display the program waited for an answer")
        return (result.returncode, result.stdout.decode(errors="replace").replace("\r\n", "\n"),
                result.stderr.decode(errors="replace").replace("\r\n", "\n"))


def report_line(err):
    """The report line among the program's standard error: (recorded file, line)."""
    pattern = r"^(\S*FailACheck\.cpp)\((\d+)\) : \[Assert\] \(%s\) %s$" % (re.escape(EXPRESSION), re.escape(MESSAGE))
    found = re.search(pattern, err, re.MULTILINE)
    if not found:
        raise Mismatch("no report line on standard error:\n" + err)
    return found.group(1), found.group(2)


def expect(what, actual, expected):
    if actual != expected:
        raise Mismatch("%s:\n  expected %r\n  got      %r" % (what, expected, actual))
    print("ok  %s" % what)


def check(session, screenshot):
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "FailACheck.cpp")
    with open(source) as f:
        site = next(str(n) for n, text in enumerate(f, 1) if "__LINE__" in text)
    clipboard = ("Application: %s\r\nFilename: FailACheck.cpp (%s)\r\nExpression: %s\r\nMessage: %s\r\n" %
                 (session.application, site, EXPRESSION, MESSAGE))
    ignored = "break into debugger: no\nignore always: no\nlast error kept: yes\n"
    results = {
        # Without a debugger a breakpoint would end the process: Debug acts as Ignore.
        "Debug": (0, ignored),
        "Ignore": (0, ignored),
        "Ignore Always": (0, "break into debugger: no\nignore always: yes\nlast error kept: yes\n"),
        # Exit closes the archives open for edit, then ends the process; the report never returns.
        "Exit": (0, "exit handler ran: open-for-edit.arc\n"),
    }

    for button, (status, said) in results.items():
        status_got, out, err, copied = session.answer(button, screenshot if button == "Ignore" else None)
        file, line = report_line(err)
        expect("%s: the report line names the site" % button, (os.path.basename(file), line), ("FailACheck.cpp", site))
        # Wine gives Windows line ends to the X clipboard as plain newlines.
        expect("%s: the report on the clipboard" % button, copied, clipboard.replace("\r\n", "\n"))
        expect("%s: what the program said" % button, out, said)
        expect("%s: exit status" % button, status_got, status)
        if button == "Debug":
            # The rest have a caption drawn by Wine itself, for the screenshot.
            session.wine("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")

    # A wineserver that has seen the display keeps its desktop; start afresh without one.
    session.stop_wine()
    status_got, out, err = session.run_without_display()
    report_line(err)
    expect("no display: what the program said", out, ignored)
    expect("no display: exit status", status_got, 0)


def main():
    arguments = sys.argv[1:]
    prefix = None
    if "--prefix" in arguments:
        at = arguments.index("--prefix")
        prefix = arguments[at + 1]
        del arguments[at:at + 2]
    if len(arguments) != 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    program, screenshot = (os.path.abspath(a) for a in arguments)
    prefix = os.path.abspath(prefix or os.path.join(os.path.dirname(program), "wine-dialog"))
    missing = [t for t in ("Xvfb", "xdotool", "xclip", "import", "identify", "wine", "wineserver")
               if shutil.which(t) is None]
    if missing:
        print("dialog check: missing %s" % ", ".join(missing), file=sys.stderr)
        return 2
    os.makedirs(prefix, exist_ok=True)
    os.makedirs(os.path.dirname(screenshot) or ".", exist_ok=True)

    session = Session(program, prefix)
    try:
        # A prefix made or updated without a display, and the first dialog in a window of its own.
        session.stop_wine()
        session.wine("wineboot", "-i", display=False)
        session.wine("reg", "delete", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/f", display=False)
        session.stop_wine()
        session.start_display()
        check(session, screenshot)
    except (Mismatch, subprocess.TimeoutExpired) as failure:
        print("dialog check FAILED: %s" % failure, file=sys.stderr)
        return 1
    finally:
        session.close()
    print("dialog check passed; screenshot in %s" % screenshot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
