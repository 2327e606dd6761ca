"""What the end-to-end tests share: the built program, the scratch folder each test runs in,
and readers for what a run printed."""

import fcntl
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from archive_bytes import (HEADER_SIZE, DatabaseWriter, read_archive, write_claiming_header,  # noqa: E402
                           write_stored_archive)

BRANNOCK = os.path.abspath(os.environ.get("BRANNOCK", "build/brannock"))

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
    return out.decode("latin-1"), err[0].decode("latin-1")


class CliTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="brannock-cli-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def run_tool(self, *args):
        done = subprocess.run([BRANNOCK, *args], cwd=self.dir, capture_output=True)
        return done.returncode, without_elapsed_time(done.stdout.decode("latin-1")), done.stderr.decode("latin-1")

    def run_guarded(self, *args, timeout=60):
        """run_tool with a hang guard: a run still going after `timeout` seconds fails the test."""
        done = subprocess.run([BRANNOCK, *args], cwd=self.dir, capture_output=True, timeout=timeout)
        return done.returncode, without_elapsed_time(done.stdout.decode("latin-1")), done.stderr.decode("latin-1")

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
