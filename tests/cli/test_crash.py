"""Crash safety end to end: edits of prepared archives killed with SIGKILL at random moments.
After every kill the archive must open, every file in it with its bytes from before the edit or
from after it and none half of each, and every change the run reported ("added:", "removing
file:") kept. An edit commits as it goes, so a kill may leave some of its changes and not others.

    BRANNOCK=build/brannock BRANNOCK_CRASH_KILLS=30 python3 tests/cli/test_crash.py

BRANNOCK_CRASH_KILLS is the number of kills per kind of edit (default 6); the seed is fixed. A
Windows build runs under its runner (BRANNOCK_RUNNER=wine, see cli_support.py); a SIGKILL of the
Wine process ends the program as TerminateProcess or a power cut would, with no code of its own
run.
"""

import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cli_support import run_tool_in, tool  # noqa: E402

KILLS = int(os.environ.get("BRANNOCK_CRASH_KILLS", "6"))
# A guard against a run that hangs; never reached by a sound one.
TIMEOUT = 300


def run(args, cwd):
    return run_tool_in(cwd, *args, timeout=TIMEOUT)


def contents_of(cwd):
    """Every file of work/a.arc and its bytes, read by extracting them all, or None when the
    archive does not open (or extracts with a failed check)."""
    out = os.path.join(cwd, "out")
    shutil.rmtree(out, ignore_errors=True)
    code, _, err = run(["work/a.arc", "-extract", "out"], cwd)
    if code != 0 or "[Assert]" in err:
        return None
    files = {}
    root = os.path.join(out, "a")
    for folder, _, names in os.walk(root):
        for name in names:
            full = os.path.join(folder, name)
            with open(full, "rb") as f:
                files[os.path.relpath(full, root)] = f.read()
    shutil.rmtree(out, ignore_errors=True)
    return files


class CrashTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="brannock-crash-")
        self.rng = random.Random(20261209)
        self.kills = 0
        self.interrupted = 0

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write_tree(self, folder, count, seed):
        rng = random.Random(seed)
        for i in range(count):
            full = self.path(folder, "d%d" % (i % 5), "f%03d.bin" % i)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            size = rng.randrange(2000, 120000)
            # Half compress well, half not at all.
            data = bytes(rng.getrandbits(8) for _ in range(64)) * (size // 64) if i % 2 else rng.randbytes(size)
            with open(full, "wb") as f:
                f.write(data)

    def prepare(self, commands):
        """An archive made by `commands`, each run to the end, kept as the starting point."""
        for command in commands:
            code, out, err = run(["a.arc", *command], self.dir)
            self.assertEqual(code, 0, err)
        with open(self.path("a.arc"), "rb") as f:
            return f.read()

    def crash(self, start, command):
        """Kills `command` at random moments on copies of the archive `start`; after each kill the
        archive holds the state before or the state after the command (which, for a compaction,
        hold the same files)."""
        work = self.path("work")
        os.makedirs(work, exist_ok=True)

        def fresh_copy():
            for name in ("a.arc", "a.arc-journal"):
                if os.path.exists(os.path.join(work, name)):
                    os.remove(os.path.join(work, name))
            with open(os.path.join(work, "a.arc"), "wb") as f:
                f.write(start)

        fresh_copy()
        before = contents_of(self.dir)
        self.assertIsNotNone(before)
        began = time.monotonic()
        code, _, err = run(["work/a.arc", *command], self.dir)
        duration = time.monotonic() - began
        self.assertEqual(code, 0, err)
        after = contents_of(self.dir)
        self.assertIsNotNone(after)
        if command != ["-compact"]:
            self.assertTrue(before != after, "the edit changes nothing")

        for kill in range(KILLS):
            fresh_copy()
            process = subprocess.Popen(tool("work/a.arc", *command), cwd=self.dir,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            time.sleep(self.rng.uniform(0, duration * 1.2))
            process.kill()
            reported = process.communicate(timeout=TIMEOUT)[0].decode("utf-8", "replace").splitlines()
            self.kills += 1
            if process.returncode == -signal.SIGKILL:
                self.interrupted += 1
            else:
                duration *= 0.7  # it finished first: aim earlier from now on
            found = contents_of(self.dir)
            where = "%s, kill %d" % (" ".join(command), kill)
            self.assertIsNotNone(found, "the archive does not open after " + where)
            self.assertFalse(os.path.exists(os.path.join(work, "a.arc-journal")), where)
            names = set(found) | set(before) | set(after)
            wrong = sorted(name for name in names
                           if found.get(name) != before.get(name) and found.get(name) != after.get(name))
            self.assertEqual(wrong, [], "neither state after %s: %d files" % (where, len(found)))
            if command == ["-compact"]:
                self.assertEqual(found, before, where)
            for line in reported:
                if line.startswith("added: "):
                    name = line[len("added: "):].lstrip("./")
                    self.assertEqual(found.get(name), after.get(name), "reported but not kept: " + line)
                elif line.startswith("removing file: "):
                    name = line[len("removing file: "):].split("/", 1)[1]
                    self.assertNotIn(name, found, "reported but not kept: " + line)
        sys.stderr.write("%s: %d kills, %d during the run\n" % (" ".join(command), self.kills, self.interrupted))

    def test_add_stored_and_compressed(self):
        self.write_tree("data/old", 40, 1)
        self.write_tree("data/new", 40, 2)
        start = self.prepare([["-add", "old", "data", "5"]])
        self.crash(start, ["-add", "new", "data", "0"])
        self.crash(start, ["-add", "new", "data", "5"])

    def test_update_and_replace_in_place(self):
        self.write_tree("data/old", 60, 3)
        start = self.prepare([["-add", "old", "data", "5"]])
        # Every file changes, some to the same length, so that new bytes reuse old places.
        rng = random.Random(4)
        for folder, _, names in os.walk(self.path("data/old")):
            for name in names:
                full = os.path.join(folder, name)
                with open(full, "rb") as f:
                    data = f.read()
                if rng.random() < 0.5:
                    data = bytes(255 - b for b in data)
                else:
                    data = data[: len(data) // 2]
                with open(full, "wb") as f:
                    f.write(data)
                later = time.time() + 100
                os.utime(full, (later, later))
        self.crash(start, ["-update", "old", "data", "5"])
        self.crash(start, ["-replace", "old", "data", "0"])

    def test_remove_remove_missing_and_compact(self):
        self.write_tree("data/old", 60, 5)
        start = self.prepare([["-add", "old", "data", "5"]])
        self.crash(start, ["-remove", "old/d1/f001.bin"])
        # An archive with holes to close: every fourth file removed.
        holes = self.prepare([["-remove", "old/d%d/f%03d.bin" % (i % 5, i)] for i in range(1, 60, 4)])
        self.crash(holes, ["-compact"])
        for i in range(0, 60, 2):
            os.remove(self.path("data/old/d%d/f%03d.bin" % (i % 5, i)))
        self.crash(start, ["-removeMissing", "data"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
