"""What the end-to-end tests share: the built program and how to run it, the scratch folder each
test runs in, readers for what a run printed, and the cases that only apply to one system.

The tool may be built for another system than the one the tests run on (a Windows build run
under Wine): BRANNOCK_RUNNER then holds the command put in front of every run of it, e.g. "wine",
split into words at spaces. BRANNOCK_SYSTEM names the system the tool is built for ("Windows",
"Linux"); when it is not set, a program whose name ends in ".exe" is taken for a Windows build.

    BRANNOCK=build-win/brannock.exe BRANNOCK_RUNNER=wine python3 tests/cli/test_cli.py
"""

import contextlib
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from archive_bytes import (HEADER_SIZE, DatabaseWriter, read_archive, write_claiming_header,  # noqa: E402
                           write_stored_archive)

BRANNOCK = os.path.abspath(os.environ.get("BRANNOCK", "build/brannock"))
RUNNER = shlex.split(os.environ.get("BRANNOCK_RUNNER", ""))
SYSTEM = os.environ.get("BRANNOCK_SYSTEM") or ("Windows" if BRANNOCK.lower().endswith(".exe") else os.uname().sysname)
WINDOWS = SYSTEM == "Windows"
# Wine shows the Linux file system to the program as drive Z:, run as the Linux user.
UNDER_WINE = WINDOWS and bool(RUNNER) and os.path.basename(RUNNER[0]).startswith("wine")


def windows_path(path):
    """An absolute Linux path as a Windows program under Wine spells it: on drive Z:."""
    assert UNDER_WINE and os.path.isabs(path), path
    return "Z:" + path.replace("/", "\\")


def tool(*args):
    """The command line that runs the tool with `args`."""
    return [*RUNNER, BRANNOCK, *args]


def console_text(data):
    """What a run printed on standard output or standard error, as text with "\n" line ends. A
    Windows program's console output ends its lines with "\r\n" (the C runtime's text mode);
    files it writes are compared byte for byte, never through here."""
    text = data.decode("latin-1") if isinstance(data, bytes) else data
    return text.replace("\r\n", "\n") if WINDOWS else text


def run_tool_in(cwd, *args, timeout=None, preexec_fn=None, limit_wineserver=False, **options):
    """Runs the tool in `cwd` and gives its exit status and its standard output and error as text.
    `options` go to subprocess.run. `preexec_fn` sets limits for the run (a file-size limit
    standing for a full disk); with `limit_wineserver`, under Wine they reach the wineserver too,
    which moves a file's end (a limit so small that the server cannot keep its own files would
    end it)."""
    if UNDER_WINE and preexec_fn is not None and limit_wineserver:
        with wineserver_under(preexec_fn) as env:
            done = subprocess.run(tool(*args), cwd=cwd, capture_output=True, timeout=timeout, preexec_fn=preexec_fn,
                                  env=env, **options)
    else:
        done = subprocess.run(tool(*args), cwd=cwd, capture_output=True, timeout=timeout, preexec_fn=preexec_fn,
                              **options)
        # brannock never ends with status 1 without a line saying why: under a loaded Wine, a run
        # that did is one Wine could not start, and it is made once more.
        if UNDER_WINE and done.returncode == 1 and not done.stdout and not done.stderr and "input" not in options:
            sys.stderr.write("Wine did not start %s; it runs once more\n" % " ".join(args))
            done = subprocess.run(tool(*args), cwd=cwd, capture_output=True, timeout=timeout,
                                  preexec_fn=preexec_fn, **options)
    return done.returncode, console_text(done.stdout), console_text(done.stderr)


def link_tree(source, target):
    """What `cp -as source target` makes: the folders of `source` anew under `target`, its files
    as links to them and its links as they are. A file that another run under the shared prefix
    deletes meanwhile (a temporary one) costs a dangling link, never a failed copy."""
    top = os.path.join(target, os.path.basename(source))
    for root, folders, files in os.walk(source):
        destination = os.path.join(top, os.path.relpath(root, source))
        os.makedirs(destination, exist_ok=True)
        for name in list(folders) + files:
            path = os.path.join(root, name)
            if os.path.islink(path):
                if name in folders:
                    folders.remove(name)
                try:
                    os.symlink(os.readlink(path), os.path.join(destination, name))
                except FileNotFoundError:
                    pass
            elif name in files:
                os.symlink(os.path.abspath(path), os.path.join(destination, name))


@contextlib.contextmanager
def wineserver_under(preexec_fn):
    """Under Wine the wineserver, not the program, moves a file's end, so a limit set for the
    program alone lets a reservation through that a full disk would refuse. This gives the
    environment of a Wine prefix of its own whose server runs under the same limits: the shared
    prefix's files linked, its registry copied, so that the server already running for the
    shared prefix (and every test using it meanwhile) is left alone."""
    shared = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    wineserver = os.environ.get("WINESERVER", "wineserver")
    with tempfile.TemporaryDirectory(prefix="brannock-wine-") as prefix:
        for name in os.listdir(shared):
            source = os.path.join(shared, name)
            if name == "drive_c":
                link_tree(source, prefix)
            elif os.path.islink(source) or os.path.isdir(source):
                subprocess.run(["cp", "-a", source, prefix], check=True)
            else:
                shutil.copy2(source, prefix)
        env = dict(os.environ, WINEPREFIX=prefix)

        def limited_server():
            preexec_fn()
            # The server itself must not end on a write past the limit; it refuses the write.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

        subprocess.run([wineserver, "-p"], env=env, preexec_fn=limited_server, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        # The prefix's own services start with its first program and outlive it; started here,
        # they do not hold the run's output pipes open after it ends.
        subprocess.run([*RUNNER, "wineboot"], env=env, preexec_fn=limited_server, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            yield env
        finally:
            subprocess.run([wineserver, "-k"], env=env, stderr=subprocess.DEVNULL)
            subprocess.run([wineserver, "-w"], env=env, stderr=subprocess.DEVNULL)


# The cases that exist only for a tool built for a POSIX system, each skipped for a Windows build
# with the reason the run reports. Everything else runs for both; where a case has a Windows
# counterpart (Ctrl+C for SIGTERM, a failed write for SIGPIPE), the test says so where it runs it.
POSIX_ONLY = {
    "special files": "FIFOs and links to devices are POSIX kinds of file that a Windows program never "
                     "meets in its own file system (Wine shows a FIFO as an entry without attributes and "
                     "a link to /dev/null as a character device)",
    "read-only as root": "Wine run as root opens a file with the read-only attribute for writing, as root "
                         "may on Linux, and cannot drop to an unprivileged user: the Wine prefix belongs to "
                         "the user who made it",
    "file links": "Wine shows a Linux symbolic link to a file as the file itself, with no attribute a "
                  "Windows program could tell it by; Windows links cannot be made from the Linux side",
    "case twins": "two folders whose names differ only in case cannot exist on Windows; Wine resolves "
                  "such a name to whichever of them it meets first, not by any rule of the program",
}


def posix_only_reason(case):
    """The reason the case `case` of POSIX_ONLY does not apply to the tool under test, or None."""
    if not WINDOWS:
        return None
    if case == "read-only as root" and not (UNDER_WINE and os.geteuid() == 0):
        return None
    return "%s build: %s" % (SYSTEM, POSIX_ONLY[case])


def requires_posix_tool(case):
    """Decorates a test (method or class) that applies only to a tool built for a POSIX system:
    elsewhere it is skipped, with the reason from POSIX_ONLY in the run's report."""
    reason = posix_only_reason(case)
    return unittest.skip(reason) if reason else (lambda test: test)

USAGE = (
    "Usage: brannock <file> <command> [command arguments]\n"
    "commands: \n"
    "    -add <directory> <base> [compression (0-9)]: add a file/directory\n"
    "    -replace <directory> <base> [compression (0-9)]: replace a file/directory\n"
    "    -update <directory> <base> [compression (0-9)]: update a file/directory\n"
    "    -remove <file> : remove a file from the archive\n"
    "    -extract <location> [file] : extract files\n"
    "    -database <location> [file] : extract database files\n"
    "    -removeMissing <file> <base> : remove files not in the specified directory\n"
    "    -compact : compact the archive removing unused files\n"
    "    -list : list the files in the archive\n"
    "    -stats : display the archive statistics\n"
)

# A run of a second or more ends its standard output with its duration; whether it appears
# depends on how busy the machine is, so the tests compare what comes before it.
ELAPSED_TIME = re.compile(r"^Operation completed in \d\d+:\d\d\n\Z", re.MULTILINE)


def without_elapsed_time(out):
    return ELAPSED_TIME.sub("", out)


def finish(process, timeout=300):
    """Reads the rest of a started run's output through the same pipe objects the test read its
    first lines from (reading under them would lose lines they hold already), then waits for the
    run. A run still going after `timeout` seconds is killed and fails the test."""
    killed = threading.Event()

    def kill():
        killed.set()
        process.kill()

    timer = threading.Timer(timeout, kill)
    timer.start()
    try:
        err = []
        reader = threading.Thread(target=lambda: err.append(process.stderr.read()))
        reader.start()
        out = process.stdout.read()
        reader.join()
        process.wait()
    finally:
        timer.cancel()
        process.stdout.close()
        process.stderr.close()
    if killed.is_set():
        raise AssertionError("%s still running after %d s" % (process.args, timeout))
    return console_text(out), console_text(err[0])


class CliTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="brannock-cli-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def run_tool(self, *args, cwd=None, **options):
        """Runs the tool in the scratch folder (or in `cwd`) and gives its exit status, standard
        output without the elapsed time, and standard error."""
        code, out, err = run_tool_in(cwd or self.dir, *args, **options)
        return code, without_elapsed_time(out), err

    def run_guarded(self, *args, timeout=60, **options):
        """run_tool with a hang guard: a run still going after `timeout` seconds fails the test."""
        return self.run_tool(*args, timeout=timeout, **options)

    def skip_unless_posix_tool(self, case):
        """Skips the rest of this test for a case of POSIX_ONLY that does not apply to the tool."""
        reason = posix_only_reason(case)
        if reason:
            self.skipTest(reason)

    def ok(self, *args):
        code, out, err = self.run_tool(*args)
        self.assertEqual((code, err), (0, ""), out)
        return out

    def write(self, relative, contents):
        full = self.path(relative)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(contents if isinstance(contents, bytes) else contents.encode())

    def read(self, relative):
        with open(self.path(relative), "rb") as f:
            return f.read()

    def names(self, archive="a.arc"):
        return [e["name"] for e in read_archive(self.path(archive))[1] if e["name"] is not None]
