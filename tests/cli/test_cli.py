"""End-to-end tests: run the built brannock in a scratch folder and check its standard output,
standard error, exit status and the files it leaves.

    BRANNOCK=build/brannock python3 tests/cli/test_cli.py
"""

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


class DriverTest(CliTest):
    def test_usage_with_fewer_than_two_arguments(self):
        self.assertEqual(self.run_tool(), (0, USAGE, ""))
        self.assertEqual(self.run_tool("a.arc"), (0, USAGE, ""))
        self.assertFalse(os.path.exists(self.path("a.arc")))

    def test_unknown_command_and_too_few_arguments(self):
        self.assertEqual(self.run_tool("a.arc", "-bogus"), (255, USAGE, "Unknown command -bogus.\n\n"))
        self.assertEqual(self.run_tool("a.arc", "-add", "x"), (255, USAGE, ""))
        self.assertEqual(self.run_tool("a.arc", "-extract"), (255, USAGE, ""))
        # The archive was opened for edit before the arguments were counted.
        self.assertEqual(os.path.getsize(self.path("a.arc")), 2048)

    def test_list_is_case_insensitive_and_creates_a_missing_archive(self):
        self.assertEqual(self.ok("new.arc", "-LIST"), "")
        header, entries = read_archive(self.path("new.arc"))
        self.assertEqual((header["length"], header["indexOffset"], entries), (2048, 2048, []))

    def test_archive_that_cannot_be_opened(self):
        self.assertEqual(self.run_tool("missing/dir/a.arc", "-list"),
                         (255, "", "Failed to open archive file missing/dir/a.arc.\n"))
        self.write("bad.arc", b"not an archive at all")
        code, out, err = self.run_tool("bad.arc", "-list")
        self.assertEqual((code, out), (255, ""))
        self.assertTrue(err.endswith("Failed to open archive file bad.arc.\n"), err)
        self.assertEqual(self.read("bad.arc"), b"not an archive at all")

    def test_compression_argument_is_clamped(self):
        self.write("data/x.bin", b"abc" * 1000)
        for level, flags in (("12", 3), ("-3", 1), ("abc", 1), ("0", 1), ("1", 3)):
            if os.path.exists(self.path("a.arc")):
                os.remove(self.path("a.arc"))
            self.ok("a.arc", "-add", "x.bin", "data", level, "ignored")
            self.assertEqual(read_archive(self.path("a.arc"))[1][0]["flags"], flags, level)

    def test_stats_of_a_known_archive_and_of_an_empty_one(self):
        # abc and d/e.bin fall in the same one of the 31 buckets.
        self.write("data/abc", "1")
        self.write("data/d/e.bin", "2")
        self.ok("a.arc", "-add", "abc", "data")
        self.ok("a.arc", "-add", "d", "data")
        self.assertEqual(self.ok("a.arc", "-stats"),
                         "Archive statistics:\n    2 file entries\n    2 active files\n"
                         "    index size: 108 bytes\n    longest filename: 7\n    table size: 31\n"
                         "    maximum table depth: 2\n    average depth 2.00\n")
        self.assertTrue(self.ok("empty.arc", "-stats").endswith("    average depth 0.00\n"))


class ImportTest(CliTest):
    def setUp(self):
        super().setUp()
        self.write("data/textures/a.tex", "a")
        self.write("data/textures/sub/b.tex", "b")
        self.write("data/textures/sub/c.txt", "c")
        self.write("data/textures/.hidden/d.tex", "d")
        self.write("data/e.tex", "e")

    def test_subdirectories_come_first(self):
        self.assertEqual(self.ok("a.arc", "-add", "textures", "data"),
                         "added: textures/sub/b.tex\nadded: textures/sub/c.txt\nadded: textures/a.tex\n")
        self.assertEqual(self.names(), ["textures/sub/b.tex", "textures/sub/c.txt", "textures/a.tex"])

    def test_patterns(self):
        self.assertEqual(self.ok("a.arc", "-add", "textures/*.tex", "data"),
                         "added: textures/sub/b.tex\nadded: textures/a.tex\n")
        self.assertEqual(self.run_tool("b.arc", "-add", "*.tex", "data"), (1, "", "Invalid path *.tex\n"))
        self.assertEqual(self.names("b.arc"), [])
        self.assertEqual(self.ok("c.arc", "-add", "./*.tex", "data"),
                         "added: ./textures/sub/b.tex\nadded: ./textures/a.tex\nadded: ./e.tex\n")
        self.assertEqual(self.names("c.arc"), ["textures/sub/b.tex", "textures/a.tex", "e.tex"])

    def test_names_as_typed(self):
        self.assertEqual(self.ok("a.arc", "-add", "textures/", "data"),
                         "added: textures//sub/b.tex\nadded: textures//sub/c.txt\nadded: textures//a.tex\n")
        self.assertEqual(self.names()[2], "textures//a.tex")
        os.rename(self.path("data/textures/a.tex"), self.path("data/textures/A.TEX"))
        os.rename(self.path("data/textures"), self.path("data/Textures"))
        self.assertEqual(self.ok("b.arc", "-add", "Textures\\A.TEX", "data"), "added: textures/a.tex\n")
        self.assertEqual(self.names("b.arc"), ["textures/a.tex"])

    def test_missing_base_is_an_invalid_path(self):
        for command in ("-add", "-replace", "-update"):
            self.assertEqual(self.run_tool("a.arc", command, "textures", "nowhere"), (1, "", "Invalid path nowhere\n"))
        # A pattern that matches nothing stays silent.
        self.assertEqual(self.run_tool("a.arc", "-add", "textures/*.none", "data"), (0, "", ""))

    def test_a_file_that_cannot_be_added_fails_the_run(self):
        self.write("data/big/small.txt", "s")
        with open(self.path("data/big/huge.bin"), "wb") as f:
            f.truncate(1 << 32)  # sparse
        self.assertEqual(self.run_tool("a.arc", "-add", "big", "data"),
                         (1, "added: big/small.txt\n", "big/huge.bin: not added, files of 4 GiB or more cannot be archived.\n"))
        self.assertEqual(self.names(), ["big/small.txt"])
        # Left alone because it is stored already: that is done work.
        self.assertEqual(self.run_tool("a.arc", "-add", "big/small.txt", "data"), (0, "", ""))

    def test_names_that_fold_together_are_told(self):
        for spelling in ("README.TXT", "ReadMe.txt", "readme.txt"):
            self.write("data/docs/" + spelling, spelling)
        self.assertEqual(self.run_tool("a.arc", "-add", "docs", "data"),
                         (0, "added: docs/readme.txt\n",
                          "docs/ReadMe.txt: not added, docs/README.TXT has the same name in the archive.\n"
                          "docs/readme.txt: not added, docs/README.TXT has the same name in the archive.\n"))
        self.assertEqual(self.read("data/docs/README.TXT"), b"README.TXT")
        # Replacing keeps the last one found, and says which one it replaced.
        code, out, err = self.run_tool("b.arc", "-replace", "docs", "data")
        self.assertEqual((code, out), (0, "added: docs/readme.txt\n" * 3))
        self.assertEqual(err, "docs/README.TXT: replaced by docs/ReadMe.txt, which has the same name in the archive.\n"
                              "docs/ReadMe.txt: replaced by docs/readme.txt, which has the same name in the archive.\n")
        # An existing name left alone by -add is the design's rule, not a clash: nothing is said.
        self.assertEqual(self.run_tool("b.arc", "-add", "docs", "data"), (0, "", ""))

    def test_add_twice_update_and_replace(self):
        self.ok("a.arc", "-add", "textures", "data", "5")
        self.assertEqual(self.ok("a.arc", "-add", "textures", "data"), "")
        self.assertEqual(self.ok("a.arc", "-update", "textures", "data"), "")
        later = time.time() + 100
        os.utime(self.path("data/textures/sub/c.txt"), (later, later))
        self.write("data/textures/new.tex", "n")
        self.assertEqual(self.ok("a.arc", "-update", "textures", "data"),
                         "added: textures/sub/c.txt\nadded: textures/new.tex\n")
        self.assertEqual(self.ok("a.arc", "-replace", "textures", "data"),
                         "added: textures/sub/b.tex\nadded: textures/sub/c.txt\nadded: textures/a.tex\n"
                         "added: textures/new.tex\n")
        self.assertEqual(sorted(self.ok("a.arc", "-list").split()),
                         ["textures/a.tex", "textures/new.tex", "textures/sub/b.tex", "textures/sub/c.txt"])


class ExtractTest(CliTest):
    def setUp(self):
        super().setUp()
        rng = random.Random(5)
        self.files = {
            "textures/ui/button.tex": bytes(rng.getrandbits(8) for _ in range(5000)),
            "textures/wall.tex": b"wall" * 200000,
            "sounds/door.wav": b"",
            "data/ui.old/a.txt": b"old ui",
        }
        for name, contents in self.files.items():
            self.write("src/" + name, contents)
        self.ok("Sounds.big.arc", "-add", "textures", "src", "5")
        self.ok("Sounds.big.arc", "-add", "sounds", "src")
        self.ok("Sounds.big.arc", "-add", "data", "src", "1")

    def test_everything_under_the_base_name(self):
        out = self.ok("Sounds.big.arc", "-extract", "Out")
        self.assertEqual(out, "(1 / 4) textures/ui/button.tex\n(2 / 4) textures/wall.tex\n"
                              "(3 / 4) sounds/door.wav\n(4 / 4) data/ui.old/a.txt\n")
        for name, contents in self.files.items():
            self.assertEqual(self.read("out/sounds/" + name), contents, name)

    def test_base_name_when_the_first_dot_is_in_a_directory(self):
        os.makedirs(self.path("work"))
        shutil.move(self.path("Sounds.big.arc"), self.path("Sounds.arc"))
        done = subprocess.run([BRANNOCK, "../Sounds.arc", "-extract", ""], cwd=self.path("work"), capture_output=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.read("work/sounds.arc/textures/wall.tex"), self.files["textures/wall.tex"])

    def test_one_named_file_under_any_spelling(self):
        for spelling in ("textures/ui/button.tex", "TEXTURES\\UI\\BUTTON.TEX", "./textures/ui/button.tex"):
            shutil.rmtree(self.path("out"), ignore_errors=True)
            self.assertEqual(self.ok("Sounds.big.arc", "-extract", "out", spelling), "")
            self.assertEqual(self.read("out/textures/ui/button.tex"), self.files["textures/ui/button.tex"])
        self.assertEqual(self.run_tool("Sounds.big.arc", "-extract", "out", "nothing.tex"),
                         (1, "", "file: nothing.tex not found in archive.\n"))

    def test_existing_longer_file_keeps_only_the_extracted_bytes(self):
        self.write("out/data/ui.old/a.txt", "a much longer file that was there before")
        self.ok("Sounds.big.arc", "-extract", "out", "data/ui.old/a.txt")
        self.assertEqual(self.read("out/data/ui.old/a.txt"), b"old ui")

    def test_corrupted_compressed_file_is_written_with_a_checksum_report(self):
        header, entries = read_archive(self.path("Sounds.big.arc"))
        button = entries[0]  # random bytes: raw blocks inside a compressed record
        self.assertEqual(button["flags"], 3)
        with open(self.path("Sounds.big.arc"), "r+b") as f:
            f.seek(button["offset"] + 10)
            f.write(b"\xAA")
        code, out, err = self.run_tool("Sounds.big.arc", "-extract", "out", "textures/ui/button.tex")
        self.assertEqual(code, 1)
        self.assertIn("[Assert] (checksum == fileEntry.checksum)", err)
        self.assertTrue(err.endswith(
            "file: textures/ui/button.tex extracted with errors, its checksum does not match.\n"), err)
        damaged = bytearray(self.files["textures/ui/button.tex"])
        damaged[10] = 0xAA
        self.assertEqual(self.read("out/textures/ui/button.tex"), bytes(damaged))


class HostileNamesTest(CliTest):
    """Archives made elsewhere can hold any bytes as names: nothing may be written outside the
    extraction folder, and the other files still come out."""

    def test_dot_dot_and_absolute_names_are_refused(self):
        outside = self.path("outside.txt")
        write_stored_archive(self.path("evil.arc"), [
            (b"../outside.txt", b"escaped"),
            (b"ok/../../outside.txt", b"escaped"),
            (b"/" + outside.encode().lstrip(b"/"), b"escaped"),
            (b"..\\outside.txt", b"escaped"),
            (b"good.txt", b"good"),
        ])
        os.makedirs(self.path("work"))
        done = subprocess.run([BRANNOCK, "../evil.arc", "-extract", "out"], cwd=self.path("work"), capture_output=True,
                              text=True)
        self.assertEqual(done.returncode, 1, done.stderr)  # the refused names are work not done
        self.assertFalse(os.path.exists(outside))
        self.assertEqual(self.read("work/out/evil.arc/good.txt"), b"good")
        refused = [line for line in done.stderr.splitlines() if "leaves the output folder" in line]
        self.assertEqual(len(refused), 4, done.stderr)
        self.assertIn("file: ../outside.txt not extracted, its name leaves the output folder.", refused)
        self.assertEqual(sorted(os.listdir(self.dir)), ["evil.arc", "work"])


class ExtractionLinksTest(CliTest):
    """Symbolic links already in the destination never take an output elsewhere: one where a
    file goes is replaced by the file, a folder on the way that is one refuses the file."""

    FILES = [(b"target.txt", b"extracted"), (b"sub/inner.txt", b"inner"), (b"sub/deeper/more.txt", b"more"),
             (b"other/x.txt", b"x")]

    def setUp(self):
        super().setUp()
        write_stored_archive(self.path("data2.arc"), self.FILES)
        self.write("victim/target.txt", "victim")
        self.victim = self.path("victim")

    def assert_victim_untouched(self):
        self.assertEqual(os.listdir(self.victim), ["target.txt"])
        self.assertEqual(self.read("victim/target.txt"), b"victim")

    def assert_regular(self, relative, contents):
        self.assertFalse(os.path.islink(self.path(relative)), relative)
        self.assertEqual(self.read(relative), contents)

    def link(self, target, relative):
        os.makedirs(os.path.dirname(self.path(relative)), exist_ok=True)
        os.symlink(target, self.path(relative))

    def test_a_link_where_a_file_goes_is_replaced_and_its_target_kept(self):
        self.link(self.path("victim/target.txt"), "out/data2/target.txt")
        self.link(self.path("victim/created.txt"), "out/data2/other/x.txt")  # dangling
        out = self.ok("data2.arc", "-extract", "out")
        self.assertEqual(out, "(1 / 4) target.txt\n(2 / 4) sub/inner.txt\n(3 / 4) sub/deeper/more.txt\n"
                              "(4 / 4) other/x.txt\n")
        self.assert_victim_untouched()
        self.assert_regular("out/data2/target.txt", b"extracted")
        self.assert_regular("out/data2/other/x.txt", b"x")

        self.link("../victim/target.txt", "one/target.txt")
        self.assertEqual(self.ok("data2.arc", "-extract", "one", "target.txt"), "")
        self.assert_victim_untouched()
        self.assert_regular("one/target.txt", b"extracted")

    def test_a_linked_folder_below_the_destination_refuses_the_files_under_it(self):
        self.link(self.victim, "out/data2/sub")
        code, out, err = self.run_tool("data2.arc", "-extract", "out")
        self.assertEqual((code, len(out.splitlines())), (1, 4), err)
        self.assertEqual(err, "file: sub/inner.txt not extracted, a folder on its way is a symbolic link.\n"
                              "file: sub/deeper/more.txt not extracted, a folder on its way is a symbolic link.\n")
        self.assert_victim_untouched()
        self.assert_regular("out/data2/target.txt", b"extracted")
        self.assert_regular("out/data2/other/x.txt", b"x")

        self.link(self.victim, "out/sub")  # where the one-file form puts it
        self.assertEqual(self.run_tool("data2.arc", "-extract", "out", "SUB\\Inner.txt"),
                         (1, "", "file: sub/inner.txt not extracted, a folder on its way is a symbolic link.\n"))
        self.assert_victim_untouched()
        # The folder named after the archive lies below the destination too.
        self.link(self.victim, "base/data2")
        code, out, err = self.run_tool("data2.arc", "-extract", "base")
        self.assertEqual((code, err.count("a folder on its way is a symbolic link.\n")), (1, 4), err)
        self.assert_victim_untouched()

    def test_the_destination_itself_may_be_a_link(self):
        os.makedirs(self.path("real"))
        self.link(self.path("real"), "chosen")
        self.ok("data2.arc", "-extract", "chosen")
        self.ok("data2.arc", "-extract", "chosen", "sub/inner.txt")
        for name, contents in self.FILES:
            self.assert_regular("real/data2/" + name.decode(), contents)
        self.assert_regular("real/sub/inner.txt", b"inner")

    def test_record_export_replaces_links_and_refuses_linked_folders(self):
        db = DatabaseWriter()
        db.record("top.rec", db.field(0, "n", [1]))
        db.record("config/sample/widget.rec", db.field(0, "n", [2]))
        db.record("config.rec", db.field(0, "n", [3]))
        db.write(self.path("db.bin"))
        self.link(self.path("victim/target.txt"), "out/top.rec")
        self.link(self.victim, "out/config")
        code, out, err = self.run_tool("db.bin", "-database", "out")
        self.assertEqual((code, len(out.splitlines())), (0, 3), err)
        self.assertEqual(err, "record: config/sample/widget.rec not exported, a folder on its way is a symbolic link.\n")
        self.assert_victim_untouched()
        self.assert_regular("out/top.rec", b"n,1,\n")
        self.assert_regular("out/config.rec", b"n,3,\n")

        # A destination that is a link is written through.
        os.makedirs(self.path("real"))
        self.link(self.path("real"), "chosen")
        self.ok("db.bin", "-database", "chosen")
        self.assert_regular("real/config/sample/widget.rec", b"n,2,\n")


class PruneTest(CliTest):
    def make(self, count):
        for i in range(count):
            self.write("data/f%d.txt" % i, "file %d" % i)
        self.ok("a.arc", "-add", ".", "data")

    def test_remove(self):
        self.make(3)
        self.assertEqual(self.ok("a.arc", "-remove", "F1.TXT"), "")
        self.assertEqual(self.ok("a.arc", "-remove", "unknown"), "")
        self.assertEqual(self.ok("a.arc", "-list"), "f0.txt\nf2.txt\n")

    def test_remove_missing_compacts_above_a_quarter(self):
        self.make(8)
        for i in (1, 4, 6):
            os.remove(self.path("data/f%d.txt" % i))
        self.assertEqual(self.ok("a.arc", "-removeMissing", "data"),
                         "removing file: data/f1.txt\nremoving file: data/f4.txt\nremoving file: data/f6.txt\n")
        self.assertEqual(read_archive(self.path("a.arc"))[0]["numFiles"], 5)  # compacted

    def test_remove_missing_at_exactly_a_quarter_does_not_compact(self):
        self.make(8)
        for i in (2, 3):
            os.remove(self.path("data/f%d.txt" % i))
        self.ok("a.arc", "-removeMissing", "data")
        self.assertEqual(read_archive(self.path("a.arc"))[0]["numFiles"], 8)

    def test_remove_missing_against_a_folder_that_does_not_exist_removes_nothing(self):
        self.make(3)
        self.assertEqual(self.run_tool("a.arc", "-removeMissing", "nosuchdir"), (1, "", "Invalid path nosuchdir\n"))
        self.assertEqual(self.ok("a.arc", "-list"), "f0.txt\nf1.txt\nf2.txt\n")
        # An empty folder that exists still means every file is gone.
        os.makedirs(self.path("empty"))
        self.assertEqual(self.ok("a.arc", "-removeMissing", "empty"),
                         "removing file: empty/f0.txt\nremoving file: empty/f1.txt\nremoving file: empty/f2.txt\n")
        self.assertEqual(self.ok("a.arc", "-list"), "")

    def test_remove_missing_counts_existing_free_records(self):
        self.make(10)
        self.ok("a.arc", "-remove", "f0.txt")
        self.ok("a.arc", "-remove", "f1.txt")
        os.remove(self.path("data/f9.txt"))
        self.assertEqual(self.ok("a.arc", "-removeMissing", "data"), "removing file: data/f9.txt\n")
        self.assertEqual(read_archive(self.path("a.arc"))[0]["numFiles"], 7)

    def test_compact_shrinks_the_file_and_keeps_the_contents(self):
        self.make(6)
        self.ok("a.arc", "-remove", "f0.txt")
        self.ok("a.arc", "-remove", "f3.txt")
        before = os.path.getsize(self.path("a.arc"))
        self.ok("a.arc", "-compact")
        # Two 6-byte holes and two 44-byte free entries are gone.
        self.assertEqual(os.path.getsize(self.path("a.arc")), before - 2 * 6 - 2 * 44)
        self.ok("a.arc", "-extract", "out")
        for i in (1, 2, 4, 5):
            self.assertEqual(self.read("out/a/f%d.txt" % i), b"file %d" % i)
        self.assertEqual(self.names(), ["f1.txt", "f2.txt", "f4.txt", "f5.txt"])


class DatabaseTest(CliTest):
    WIDGET = b"scale,1.000000;2.000000,\nlabel,lamp,\ncount,-3;12,\nenabled,1,\ntags,,\n"

    def setUp(self):
        super().setUp()
        db = DatabaseWriter()
        for i in range(6):
            db.record("filler/r%d.rec" % i, db.field(0, "n", [i]))
        db.record("config/sample/widget.rec",
                  db.field(1, "scale", [1.0, 2.0]) + db.texts("label", ["lamp"]) + db.field(0, "count", [-3, 12])
                  + db.field(3, "enabled", [1]) + db.texts("tags", []))
        db.write(self.path("db.bin"))
        self.writer = db

    def test_all_records_under_a_normalised_location(self):
        out = self.ok("db.bin", "-database", "Out\\Data")
        self.assertIn("(7/7) Extracting config/sample/widget.rec\n", out)
        self.assertEqual(len(out.splitlines()), 7)
        self.assertEqual(self.read("out/data/config/sample/widget.rec"), self.WIDGET)
        self.assertEqual(self.read("out/data/filler/r3.rec"), b"n,3,\n")

    def test_without_a_location_and_one_record(self):
        self.ok("db.bin", "-DATABASE")
        self.assertEqual(self.read("config/sample/widget.rec"), self.WIDGET)
        self.assertEqual(self.ok("db.bin", "-database", "result.txt", "config/sample/widget.rec"), "")
        self.assertEqual(self.read("result.txt"), self.WIDGET)
        self.assertEqual(self.ok("db.bin", "-database", "other.txt", "CONFIG/sample/widget.rec"), "")
        self.assertFalse(os.path.exists(self.path("other.txt")))

    def test_rejected_databases(self):
        self.writer.write(self.path("old.bin"), version=1)
        self.assertEqual(self.run_tool("old.bin", "-database", "out"), (255, "", "Failed to open archive file old.bin.\n"))
        self.assertEqual(self.run_tool("none.bin", "-database"), (255, "", "Failed to open archive file none.bin.\n"))
        self.assertFalse(os.path.exists(self.path("none.bin")))
        self.assertFalse(os.path.exists(self.path("out")))


class TotalStatsTest(CliTest):
    def test_report_form(self):
        self.write("data/x.txt", "xx")
        os.makedirs(self.path("archives"))
        self.ok("archives/a1.arc", "-add", "x.txt", "data")
        self.ok("archives/b1.arc", "-add", "x.txt", "data")
        # Only a report path: nothing is done, nothing is created.
        self.assertEqual(self.run_tool("-totalStats", "report.txt"), (0, "", ""))
        self.assertFalse(os.path.exists(self.path("report.txt")))
        # A pattern whose last "*" follows part of a name still opens the found archives.
        self.assertEqual(self.run_tool("-TOTALSTATS", "report.txt", "archives/a*.arc"), (0, "", ""))
        report = self.read("report.txt").decode()
        self.assertIn("\r\n .txt          1       0.00 MB         0.00 MB         0.0      ", report)
        self.assertIn("\r\na1.arc                      1 ", report)
        self.assertNotIn("b1.arc", report)
        self.assertEqual(self.run_tool("-totalStats", "report.txt", "archives/a1.arc"),
                         (0, "", "Invalid path: archives/a1.arc\n"))
        self.assertEqual(self.read("report.txt"), b"")


class FullDiskTest(CliTest):
    """A file-size limit stands in for a full disk: writes past it fail with EFBIG."""

    def test_add_into_a_full_disk_keeps_every_reported_file(self):
        rng = random.Random(3)
        for i in range(40):
            self.write("data/f%02d.bin" % i, bytes(rng.getrandbits(8) for _ in range(20000 + 97 * i)))
        self.ok("a.arc", "-add", "f00.bin", "data", "5")

        def limit_file_size():
            resource.setrlimit(resource.RLIMIT_FSIZE, (400000, 400000))
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

        done = subprocess.run([BRANNOCK, "a.arc", "-add", ".", "data", "5"], cwd=self.dir, capture_output=True,
                              text=True, preexec_fn=limit_file_size)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn(": not added, ", done.stderr)
        added = ["f00.bin"] + [line[len("added: ./"):] for line in without_elapsed_time(done.stdout).splitlines()]
        self.assertGreater(len(added), 5)
        self.assertLess(len(added), 40)
        self.assertLessEqual(os.path.getsize(self.path("a.arc")), 400000)
        self.assertEqual(self.names(), added)
        self.ok("a.arc", "-extract", "out")
        for name in added:
            self.assertEqual(self.read("out/a/" + name), self.read("data/" + name), name)

    def test_file_size_limit_refuses_additions_instead_of_ending_the_run(self):
        """Left to itself, a write past the file-size limit ends the process with SIGXFSZ; the run
        must instead refuse what does not fit, as on a full disk, and keep the archive whole."""
        self.write("data/small.txt", "small")
        self.ok("a.arc", "-add", "small.txt", "data")
        rng = random.Random(4)
        wanted = ["big/f%d.bin" % i for i in range(8)]
        for name in wanted:
            self.write("data/" + name, bytes(rng.getrandbits(8) for _ in range(50000)))
        limit = os.path.getsize(self.path("a.arc")) + 200000

        def limit_file_size():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
            signal.signal(signal.SIGXFSZ, signal.SIG_DFL)

        done = subprocess.run([BRANNOCK, "a.arc", "-add", "big", "data"], cwd=self.dir, capture_output=True,
                              text=True, preexec_fn=limit_file_size, timeout=300)
        self.assertEqual(done.returncode, 1, done.stderr)
        errors = done.stderr.splitlines()
        self.assertEqual(errors[-1], "Failed to write archive file a.arc.")
        refused = []
        for line in errors[:-1]:
            name, reason = line.split(": ", 1)
            self.assertIn(reason, ("not added, the disk is full.", "not added, writing to the archive failed."))
            refused.append(name)
        added = [line[len("added: "):] for line in without_elapsed_time(done.stdout).splitlines()]
        self.assertTrue(added and refused, done)
        self.assertEqual(sorted(added + refused), wanted)
        self.assertLessEqual(os.path.getsize(self.path("a.arc")), limit)
        self.assertEqual(self.ok("a.arc", "-list").split(), ["small.txt"] + added)
        self.ok("a.arc", "-extract", "out")
        for name in ["small.txt"] + added:
            self.assertEqual(self.read("out/a/" + name), self.read("data/" + name), name)


class LongChainTest(CliTest):
    """Names like t/dNNN/f0N00.txt agree in every byte the name hash samples, so they all share
    one bucket: a chain far longer than a thousand records."""

    def test_every_name_of_a_long_chain_is_found(self):
        names = ["t/d%03d/f0%d00.txt" % (i // 10, i % 10) for i in range(1200)]
        for name in names:
            self.write("data/" + name, name)
        self.assertEqual(self.run_tool("a.arc", "-add", "t", "data")[0], 0)
        # The same import again finds every name stored and adds nothing.
        self.assertEqual(self.run_tool("a.arc", "-add", "t", "data"), (0, "", ""))
        self.assertEqual(len(self.names()), 1200)
        self.assertEqual(self.run_tool("a.arc", "-extract", "out", names[0]), (0, "", ""))
        self.assertEqual(self.read("out/" + names[0]), names[0].encode())


class LinkedFoldersTest(CliTest):
    def test_a_folder_reached_again_through_a_link_is_entered_once(self):
        self.write("data/t/a.txt", "a")
        self.write("data/t/sub/b.txt", "b")
        os.symlink(".", self.path("data/t/loop"))
        os.symlink("..", self.path("data/t/sub/up"))
        self.write("data/other/c.txt", "c")
        os.symlink("../other", self.path("data/t/elsewhere"))
        done = subprocess.run([BRANNOCK, "a.arc", "-add", "t", "data"], cwd=self.dir, capture_output=True, timeout=60)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        # A link to a folder outside the tree is followed once, as a folder of the tree.
        self.assertEqual(sorted(self.names()), ["t/a.txt", "t/elsewhere/c.txt", "t/sub/b.txt"])


class ReadOnlyArchiveTest(CliTest):
    """An archive the user may read but not write is listed and extracted as it is. As root every
    file is writable, so the commands run as an unprivileged user where one exists."""

    def run_as_reader(self, *args):
        def drop():
            if os.geteuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
        done = subprocess.run([BRANNOCK, *args], cwd=self.dir, capture_output=True, preexec_fn=drop, timeout=60)
        return done.returncode, without_elapsed_time(done.stdout.decode("latin-1")), done.stderr.decode("latin-1")

    def test_list_stats_and_extract_read_it_and_leave_it_alone(self):
        if os.geteuid() == 0 and subprocess.run(["id", "-u", "nobody"], capture_output=True).returncode != 0:
            self.skipTest("no unprivileged user to run as")
        self.write("data/x.txt", "x")
        self.ok("a.arc", "-add", "x.txt", "data")
        os.chmod(self.path("a.arc"), 0o444)
        os.chmod(self.dir, 0o777)
        before = self.read("a.arc")
        self.assertEqual(self.run_as_reader("a.arc", "-list"), (0, "x.txt\n", ""))
        code, out, err = self.run_as_reader("a.arc", "-stats")
        self.assertEqual((code, err), (0, ""))
        self.assertIn("1 active files", out)
        self.assertEqual(self.run_as_reader("a.arc", "-extract", "out"), (0, "(1 / 1) x.txt\n", ""))
        self.assertEqual(self.read("out/a/x.txt"), b"x")
        # Commands that change the archive still need to write it.
        self.assertEqual(self.run_as_reader("a.arc", "-remove", "x.txt"), (255, "", "Failed to open archive file a.arc.\n"))
        self.assertEqual(self.read("a.arc"), before)


class HugeClaimsTest(CliTest):
    """Headers whose counts claim tables of gigabytes, in sparse files that read as zeros. Such
    an archive is refused and left as it was, and refusing it takes little memory, whatever it
    claims."""

    GiB = 1 << 30
    MEMORY_LIMIT_KIB = 64 * 1024

    def run_measured(self, *args):
        """Runs brannock and gives its exit status, standard error and peak resident memory in
        KiB, taken from that one child's resource usage."""
        with open(self.path("out.txt"), "wb") as out, open(self.path("err.txt"), "wb") as err:
            process = subprocess.Popen([BRANNOCK, *args], cwd=self.dir, stdout=out, stderr=err)
            _, status, usage = os.wait4(process.pid, 0)
            process.returncode = os.waitstatus_to_exitcode(status)
        return process.returncode, self.read("err.txt").decode("latin-1"), usage.ru_maxrss

    def fingerprint(self, name):
        """The length, the time and the first and last MiB: enough to see any change the tool
        could make to a file of this size, without reading gigabytes of holes."""
        path = self.path(name)
        info = os.stat(path)
        with open(path, "rb") as f:
            front = f.read(1 << 20)
            f.seek(max(0, info.st_size - (1 << 20)))
            back = f.read()
        return info.st_size, info.st_mtime_ns, front, back

    def assert_refused_cheaply(self, name, *command):
        before = self.fingerprint(name)
        code, err, peak = self.run_measured(name, *command)
        self.assertEqual(code, 255, err)
        self.assertTrue(err.endswith("Failed to open archive file %s.\n" % name), err)
        self.assertLess(peak, self.MEMORY_LIMIT_KIB, "peak resident memory %d KiB" % peak)
        self.assertEqual(self.fingerprint(name), before)
        self.assertFalse(os.path.exists(self.path(name + "-journal")))
        return err

    def test_archives_claiming_huge_tables(self):
        claims = [
            ("every entry there is", dict(num_files=0xFFFFFFFF), 8 * self.GiB, "(indexEnd <= fileSize)"),
            ("every entry there is, in a file long enough", dict(num_files=0xFFFFFFFF),
             HEADER_SIZE + 0xFFFFFFFF * 44, "(entry.offset >= dataEnd)"),
            ("20 million entries", dict(num_files=20000000), self.GiB, "(entry.offset >= dataEnd)"),
            ("a name table of 4 GiB", dict(name_table_size=0xFFFFFFFF), 5 * self.GiB,
             "(namesUsed == header.nameTableSize)"),
            ("every block there is", dict(num_blocks=0xFFFFFFFF), 8 * self.GiB, "(indexEnd <= fileSize)"),
            ("a block table of 3 GiB", dict(num_blocks=0x10000000), 4 * self.GiB,
             "(blocksUsed == header.numBlocks)"),
            ("tables that do not fit", dict(num_files=1000, name_table_size=1000), HEADER_SIZE + 1000,
             "(indexEnd <= fileSize)"),
        ]
        for what, counts, length, report in claims:
            with self.subTest(what):
                write_claiming_header(self.path("x.arc"), length, **counts)
                err = self.assert_refused_cheaply("x.arc", "-list")
                self.assertIn(report, err)

    def test_index_followed_by_zero_bytes_still_opens(self):
        """An edit that could not cut the file leaves zeros behind the index; that is no damage."""
        write_stored_archive(self.path("a.arc"), [(b"a.txt", b"alpha"), (b"b/c.txt", b"gamma")])
        os.truncate(self.path("a.arc"), 2 * self.GiB)
        code, err, peak = self.run_measured("a.arc", "-list")
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(self.read("out.txt").decode().split(), ["a.txt", "b/c.txt"])
        self.assertLess(peak, self.MEMORY_LIMIT_KIB, "peak resident memory %d KiB" % peak)

    def test_database_longer_than_the_tool_loads(self):
        db = DatabaseWriter()
        db.record("a.rec", db.field(0, "n", [1]))
        db.write(self.path("db.bin"))
        os.truncate(self.path("db.bin"), 30 * self.GiB)
        err = self.assert_refused_cheaply("db.bin", "-database", "out")
        self.assertEqual(err, "Failed to open archive file db.bin.\n")
        self.assertFalse(os.path.exists(self.path("out")))


class SpecialFilesTest(CliTest):
    """Opening a FIFO waits for a writer that may never come, and a device may never end: such
    entries are passed over, never opened. Each run has a hang guard."""

    def setUp(self):
        super().setUp()
        self.write("data/textures/a.tex", "a")
        self.write("data/textures/sub/b.tex", "b")
        os.mkfifo(self.path("data/textures/sub/pipe"))
        os.symlink("/dev/null", self.path("data/textures/null"))

    def run_guarded(self, *args):
        done = subprocess.run([BRANNOCK, *args], cwd=self.dir, capture_output=True, timeout=60)
        return done.returncode, without_elapsed_time(done.stdout.decode("latin-1")), done.stderr.decode("latin-1")

    def test_import_skips_what_is_not_a_regular_file(self):
        self.assertEqual(self.run_guarded("a.arc", "-add", "textures", "data"),
                         (0, "added: textures/sub/b.tex\nadded: textures/a.tex\n",
                          "textures/sub/pipe: not added, it is not a regular file.\n"
                          "textures/null: not added, it is not a regular file.\n"))
        self.assertEqual(self.names(), ["textures/sub/b.tex", "textures/a.tex"])
        # Named on its own, under any spelling of the separators.
        self.assertEqual(self.run_guarded("a.arc", "-replace", "textures\\sub\\pipe", "data"),
                         (0, "", "textures/sub/pipe: not added, it is not a regular file.\n"))
        self.assertEqual(self.names(), ["textures/sub/b.tex", "textures/a.tex"])

    def test_extraction_never_waits_on_a_fifo_in_its_way(self):
        self.ok("a.arc", "-add", "textures/a.tex", "data")
        self.ok("a.arc", "-add", "textures/sub/b.tex", "data")
        os.makedirs(self.path("out/a/textures"))
        os.mkfifo(self.path("out/a/textures/a.tex"))
        code, out, err = self.run_guarded("a.arc", "-extract", "out")
        self.assertEqual((code, out), (1, "(1 / 2) textures/a.tex\n(2 / 2) textures/sub/b.tex\n"))
        self.assertIn("[Assert] (outputFile != INVALID_HANDLE_VALUE)", err)
        self.assertIn("file: textures/a.tex not extracted, it cannot be created.\n", err)
        self.assertEqual(self.read("out/a/textures/sub/b.tex"), b"b")

    def test_a_fifo_among_the_archives_of_a_report_is_passed_over(self):
        os.makedirs(self.path("archives"))
        self.ok("archives/a1.arc", "-add", "textures/a.tex", "data")
        os.mkfifo(self.path("archives/p.arc"))
        self.assertEqual(self.run_guarded("-totalStats", "report.txt", "archives/*.arc"), (0, "", ""))
        report = self.read("report.txt").decode()
        self.assertIn("\r\na1.arc                      1 ", report)
        self.assertNotIn("p.arc", report)


class ConcurrencyAndSignalsTest(CliTest):
    def make_tree(self, count):
        rng = random.Random(1)
        for i in range(count):
            self.write("data/d%02d/f%05d.bin" % (i % 50, i), bytes(rng.getrandbits(8) for _ in range(64)) * 300)

    def start_add(self):
        """Starts adding the tree, which reports 3000 lines of 24 bytes. Its standard output is a
        pipe of 64 KiB read one byte at a time, so the run stalls once the pipe is full and
        cannot finish while the test holds back, however slow the test is to send its signal."""
        read_end, write_end = os.pipe()
        fcntl.fcntl(read_end, fcntl.F_SETPIPE_SZ, 65536)
        try:
            adding = subprocess.Popen([BRANNOCK, "a.arc", "-add", ".", "data", "5"], cwd=self.dir,
                                      stdout=write_end, stderr=subprocess.PIPE)
        finally:
            os.close(write_end)
        adding.stdout = os.fdopen(read_end, "rb", buffering=0)
        self.addCleanup(self.stop, adding)
        return adding

    @staticmethod
    def stop(process):
        # After a failed check the run may still be waiting on its pipe.
        if process.poll() is None:
            process.kill()
            process.wait()
        process.stdout.close()
        process.stderr.close()

    def test_second_edit_while_an_add_runs_fails(self):
        self.make_tree(3000)
        adding = self.start_add()
        self.assertTrue(adding.stdout.readline().startswith(b"added: "))
        busy = (255, "", "Archive file a.arc is being edited by another process.\n")
        self.assertEqual(self.run_tool("a.arc", "-list"), busy)
        self.assertEqual(self.run_tool("a.arc", "-add", "data", "."), busy)
        adding.send_signal(signal.SIGTERM)
        _, err = finish(adding)
        self.assertEqual(adding.returncode, 128 + signal.SIGTERM, err)

    def test_interrupt_keeps_every_reported_file(self):
        self.make_tree(3000)
        adding = self.start_add()
        reported = [adding.stdout.readline().decode("latin-1") for _ in range(5)]
        adding.send_signal(signal.SIGINT)
        rest, err = finish(adding)
        self.assertEqual(adding.returncode, 128 + signal.SIGINT, err)
        reported += without_elapsed_time(rest).splitlines(keepends=True)
        added = [line[len("added: "):].rstrip("\n").lstrip("./") for line in reported]
        self.assertLess(len(added), 3000)
        self.assertEqual(self.names(), added)
        self.ok("a.arc", "-extract", "out")
        for name in added:
            self.assertEqual(self.read("out/a/" + name), self.read("data/" + name), name)


    def test_closed_output_stops_like_an_interrupt(self):
        """`brannock ... | head -1`: once the reader has gone, the next "added:" line meets a
        closed pipe. The run stops there as on Ctrl+C and writes the index. The archive then
        holds a prefix of the import order that takes in every line the reader saw; it may hold
        more (the file whose line met the closed pipe, and those whose lines were left unread in
        it), and each file it holds extracts with its own bytes."""
        self.make_tree(3000)
        import_order = ["d%02d/f%05d.bin" % (d, i) for d in range(50) for i in range(d, 3000, 50)]
        stopped = "Stopped by signal %d; the archive holds every file reported added.\n" % signal.SIGPIPE

        def check(archive, seen):
            listed = self.ok(archive, "-list").split()
            self.assertEqual(listed, self.names(archive))
            self.assertLess(len(listed), len(import_order))
            self.assertEqual(listed, import_order[:len(listed)])
            self.assertEqual(listed[:len(seen)], seen)
            shutil.rmtree(self.path("out"), ignore_errors=True)
            self.ok(archive, "-extract", "out")
            base = os.path.splitext(archive)[0]
            for name in listed:
                self.assertEqual(self.read("out/%s/%s" % (base, name)), self.read("data/" + name), name)

        with self.subTest("the reader closes its end after one line"):
            adding = self.start_add()
            first = adding.stdout.readline().decode("latin-1")
            adding.stdout.close()
            _, err = adding.communicate(timeout=300)
            self.assertEqual((adding.returncode, err.decode("latin-1")), (128 + signal.SIGPIPE, stopped))
            check("a.arc", [first[len("added: ./"):].rstrip("\n")])

        with self.subTest("| head -1"):
            done = subprocess.run(["bash", "-o", "pipefail", "-c", '"$0" b.arc -add . data 5 | head -1', BRANNOCK],
                                  cwd=self.dir, capture_output=True, text=True, timeout=300)
            self.assertEqual((done.returncode, done.stderr), (128 + signal.SIGPIPE, stopped))
            self.assertTrue(done.stdout.startswith("added: ./"), done.stdout)
            check("b.arc", [done.stdout[len("added: ./"):].rstrip("\n")])

if __name__ == "__main__":
    unittest.main(verbosity=2)
