"""End-to-end tests: run the built brannock in a scratch folder and check its standard output,
standard error, exit status and the files it leaves.

    BRANNOCK=build/brannock python3 tests/cli/test_cli.py
    BRANNOCK=build-win/brannock.exe BRANNOCK_RUNNER=wine python3 tests/cli/test_cli.py
"""

import fcntl
import os
import random
import resource
import shutil
import signal
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from archive_bytes import DatabaseWriter, read_archive, write_stored_archive  # noqa: E402
from cli_support import (USAGE, WINDOWS, CliTest, console_text, finish, requires_posix_tool, tool,  # noqa: E402
                         without_elapsed_time)


class DriverTest(CliTest):
    def test_usage_with_fewer_than_two_arguments(self):
        self.assertEqual(self.run_tool(), (0, USAGE, ""))
        self.assertEqual(self.run_tool("a.arc"), (0, USAGE, ""))
        code, out, err = self.run_tool("--version")
        self.assertEqual((code, err), (0, ""))
        self.assertRegex(out, r"^brannock \d+\.\d+\.\d+\n$")
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
        code, _, err = self.run_tool("../Sounds.arc", "-extract", "", cwd=self.path("work"))
        self.assertEqual(code, 0, err)
        self.assertEqual(self.read("work/sounds.arc/textures/wall.tex"), self.files["textures/wall.tex"])

    def test_one_named_file_under_any_spelling(self):
        for spelling in ("textures/ui/button.tex", "TEXTURES\\UI\\BUTTON.TEX", "./textures/ui/button.tex"):
            shutil.rmtree(self.path("out"), ignore_errors=True)
            self.assertEqual(self.ok("Sounds.big.arc", "-extract", "out", spelling), "")
            self.assertEqual(self.read("out/textures/ui/button.tex"), self.files["textures/ui/button.tex"])
        self.assertEqual(self.run_tool("Sounds.big.arc", "-extract", "out", "nothing.tex"),
                         (1, "", "file: nothing.tex not found in archive.\n"))

    def test_patterns_choose_files_and_an_exact_name_wins(self):
        cases = [
            ("textures/*.tex", "(1 / 1) textures/wall.tex\n"),  # '*' stays within a folder
            ("TEXTURES\\**", "(1 / 2) textures/ui/button.tex\n(2 / 2) textures/wall.tex\n"),
            ("**/?.txt", "(1 / 1) data/ui.old/a.txt\n"),
        ]
        for pattern, lines in cases:
            with self.subTest(pattern):
                shutil.rmtree(self.path("out"), ignore_errors=True)
                self.assertEqual(self.run_tool("Sounds.big.arc", "-extract", "out", pattern), (0, lines, ""))
                for line in lines.splitlines():
                    name = line.split(") ")[1]
                    self.assertEqual(self.read("out/" + name), self.files[name])
        self.assertEqual(self.run_tool("Sounds.big.arc", "-extract", "out", "*.none"),
                         (1, "", "file: *.none not found in archive.\n"))
        # Archives made elsewhere: a name holding '*' is taken as it is; '..' and links are refused.
        write_stored_archive(self.path("odd.arc"), [(b"odd/a*.txt", b"star"), (b"odd/ab.txt", b"ab"),
                                                    (b"../up.txt", b"up"), (b"linked/x.txt", b"x")])
        code, out, err = self.run_tool("odd.arc", "-extract", "odd", "odd/a*.txt")
        if WINDOWS:  # a name Windows cannot make: still that one file alone is tried
            self.assertEqual((code, out), (1, ""))
            self.assertIn("file: odd/a*.txt not extracted", err)
        else:
            self.assertEqual((code, out, err, self.read("odd/odd/a*.txt")), (0, "", "", b"star"))
        self.assertFalse(os.path.exists(self.path("odd/odd/ab.txt")))
        os.makedirs(self.path("odd/elsewhere"))
        linked = not WINDOWS
        if linked:
            os.symlink("elsewhere", self.path("odd/linked"))
        code, out, err = self.run_tool("odd.arc", "-extract", "odd", "**")
        self.assertEqual(code, 1)
        self.assertEqual(out.count("\n"), 4, out)
        self.assertIn("file: ../up.txt not extracted, its name leaves the output folder.\n", err)
        if linked:
            self.assertIn("file: linked/x.txt not extracted, a folder on its way is a symbolic link.\n", err)
            self.assertEqual(os.listdir(self.path("odd/elsewhere")), [])

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


class VerifyTest(CliTest):
    """-verify reads everything and changes nothing: each kind of damage is named by its file."""

    def setUp(self):
        super().setUp()
        rng = random.Random(9)
        self.write("src/a/stored.bin", bytes(rng.getrandbits(8) for _ in range(3000)))
        self.write("src/a/text.txt", b"line of text\n" * 50000)
        self.write("src/b/raw.bin", bytes(rng.getrandbits(8) for _ in range(300000)))
        self.write("src/b/empty.txt", b"")
        self.ok("a.arc", "-add", "a/stored.bin", "src", "0")
        self.ok("a.arc", "-add", "a/text.txt", "src", "5")
        self.ok("a.arc", "-add", "b", "src", "5")
        self.header, self.entries = read_archive(self.path("a.arc"))
        self.entry = {e["name"]: e for e in self.entries}

    def patch(self, offset, data):
        with open(self.path("a.arc"), "r+b") as f:
            f.seek(offset)
            f.write(data)

    def verify(self):
        before = self.read("a.arc")
        code, out, err = self.run_tool("a.arc", "-verify")
        self.assertEqual(self.read("a.arc"), before)
        return code, out, err

    def test_a_sound_archive_passes_and_stays_as_it_is(self):
        size = sum(len(self.read("src/" + n)) for n in self.entry)
        self.assertEqual(self.verify(), (0, "4 files checked, %d bytes, 0 damaged.\n" % size, ""))
        if not WINDOWS:  # read-only, beside another reader
            os.chmod(self.path("a.arc"), 0o444)
            with open(self.path("a.arc"), "rb") as reader:
                fcntl.flock(reader, fcntl.LOCK_SH)
                self.assertEqual(self.verify()[0], 0)

    def test_each_kind_of_damage_is_named(self):
        stored, text, raw = self.entry["a/stored.bin"], self.entry["a/text.txt"], self.entry["b/raw.bin"]
        entries_at = self.header["indexOffset"] + 12 * self.header["numBlocks"] + self.header["nameTableSize"]
        raw_index = self.entries.index(raw)
        cases = [
            ("a flipped byte in a stored file", stored["offset"] + 7, b"\xff",
             "file: a/stored.bin damaged, its checksum does not match.\n"),
            ("a flipped byte in a compressed block", text["offset"] + 5, b"\xff",
             "file: a/text.txt damaged, "),
            ("a checksum in the index", entries_at + 44 * raw_index + 16, b"\0\0\0\0",
             "file: b/raw.bin damaged, its checksum does not match.\n"),
            ("records that overlap", entries_at + 44 * raw_index + 4, struct.pack("<I", text["offset"] + 1),
             "file: b/raw.bin damaged, its data overlaps the data before it.\n"),
            ("a block size in the index", self.header["indexOffset"] + 12 * 0 + 8, struct.pack("<I", 1000),
             "file: a/text.txt damaged, its blocks do not add up to its sizes.\n"),
        ]
        pristine = self.read("a.arc")
        for what, offset, data, expected in cases:
            with self.subTest(what):
                self.patch(offset, data)
                code, out, err = self.verify()
                self.assertEqual(code, 1, err)
                self.assertTrue(err.startswith(expected), err)
                self.assertEqual(err.count("\n"), 1, err)
                self.assertTrue(out.endswith(", 1 damaged (see above).\n"), out)
                self.patch(0, pristine)
        # Cut short, the index is gone: the archive as a whole is damaged.
        with open(self.path("a.arc"), "r+b") as f:
            f.truncate(len(pristine) - 10)
        self.assertEqual(self.verify(), (1, "0 files checked, 0 bytes, 0 damaged (see above).\n",
                                         "Archive file a.arc is damaged: its index does not lie inside the file "
                                         "(the file may be cut short).\n"))

    def test_what_cannot_be_verified(self):
        self.assertEqual(self.run_tool("missing.arc", "-verify"), (255, "", "Failed to open archive file missing.arc.\n"))
        self.assertFalse(os.path.exists(self.path("missing.arc")))
        self.write("empty.arc", b"")
        self.assertEqual(self.run_tool("empty.arc", "-verify"), (0, "0 files checked, 0 bytes, 0 damaged.\n", ""))


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
        self.assertEqual(self.run_tool("db.bin", "-database", "other.txt", "CONFIG/sample/widget.rec"),
                         (1, "", "record: CONFIG/sample/widget.rec not found in database.\n"))
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
                         (1, "", "Invalid path: archives/a1.arc\n"))
        self.assertEqual(self.read("report.txt"), b"")


class FullDiskTest(CliTest):
    """A file-size limit stands in for a full disk: writes past it fail with EFBIG. (A Windows
    build run under Wine runs under the limit too, and its writes past it fail.)"""

    def test_add_into_a_full_disk_keeps_every_reported_file(self):
        rng = random.Random(3)
        for i in range(40):
            self.write("data/f%02d.bin" % i, bytes(rng.getrandbits(8) for _ in range(20000 + 97 * i)))
        self.ok("a.arc", "-add", "f00.bin", "data", "5")

        def limit_file_size():
            resource.setrlimit(resource.RLIMIT_FSIZE, (400000, 400000))
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

        code, out, err = self.run_tool("a.arc", "-add", ".", "data", "5", preexec_fn=limit_file_size,
                                       limit_wineserver=True)
        self.assertNotEqual(code, 0)
        self.assertIn(": not added, ", err)
        added = ["f00.bin"] + [line[len("added: ./"):] for line in out.splitlines()]
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
            # A POSIX build must leave SIGXFSZ alone itself; a Windows program cannot, so its
            # runner is started with it ignored and the limit stands for a full disk alone.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN if WINDOWS else signal.SIG_DFL)

        code, out, err = self.run_tool("a.arc", "-add", "big", "data", preexec_fn=limit_file_size, timeout=300,
                                       limit_wineserver=True)
        self.assertEqual(code, 1, err)
        errors = err.splitlines()
        self.assertEqual(errors[-1], "Failed to write archive file a.arc.")
        refused = []
        for line in errors[:-1]:
            name, reason = line.split(": ", 1)
            self.assertIn(reason, ("not added, the disk is full.", "not added, writing to the archive failed."))
            refused.append(name)
        added = [line[len("added: "):] for line in out.splitlines()]
        self.assertTrue(added and refused, (code, out, err))
        self.assertEqual(sorted(added + refused), wanted)
        self.assertLessEqual(os.path.getsize(self.path("a.arc")), limit)
        self.assertEqual(self.ok("a.arc", "-list").split(), ["small.txt"] + added)
        self.ok("a.arc", "-extract", "out")
        for name in ["small.txt"] + added:
            self.assertEqual(self.read("out/a/" + name), self.read("data/" + name), name)


@requires_posix_tool("special files")
class SpecialFilesTest(CliTest):
    """Opening a FIFO waits for a writer that may never come, and a device may never end: such
    entries are passed over, never opened. Each run has a hang guard."""

    def setUp(self):
        super().setUp()
        self.write("data/textures/a.tex", "a")
        self.write("data/textures/sub/b.tex", "b")
        os.mkfifo(self.path("data/textures/sub/pipe"))
        os.symlink("/dev/null", self.path("data/textures/null"))

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
    files = 20000

    def make_tree(self):
        rng = random.Random(1)
        for i in range(self.files):
            self.write("data/d%02d/f%05d.bin" % (i % 50, i), bytes(rng.getrandbits(8) for _ in range(64)) * 8)

    def start_add(self):
        """Starts adding the tree, which reports 20000 lines of 24 bytes. The lines come as the
        files they name are committed: the first at once, the others in bursts of at most 16384
        lines while the run goes on, however fast it goes. Its standard output is a pipe of 64 KiB
        read one byte at a time, so the run stalls once a burst fills the pipe, and cannot finish
        while the test holds back, however slow the test is to send its signal."""
        read_end, write_end = os.pipe()
        fcntl.fcntl(read_end, fcntl.F_SETPIPE_SZ, 65536)
        try:
            adding = subprocess.Popen(tool("a.arc", "-add", ".", "data", "5"), cwd=self.dir,
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
        self.make_tree()
        adding = self.start_add()
        self.assertTrue(adding.stdout.readline().startswith(b"added: "))
        busy = (255, "", "Archive file a.arc is being edited by another process.\n")
        self.assertEqual(self.run_tool("a.arc", "-list"), busy)
        self.assertEqual(self.run_tool("a.arc", "-add", "data", "."), busy)
        # A Windows program has no SIGTERM (under Wine it ends the process at once, like
        # TerminateProcess): there the run is stopped the way a Windows user stops it, Ctrl+C.
        stop = signal.SIGINT if WINDOWS else signal.SIGTERM
        adding.send_signal(stop)
        _, err = finish(adding)
        self.assertEqual(adding.returncode, 128 + stop, err)

    def test_interrupt_keeps_every_reported_file(self):
        self.make_tree()
        adding = self.start_add()
        # Under Wine, SIGINT reaches a Windows program as the console's Ctrl+C event.
        reported = [console_text(adding.stdout.readline()) for _ in range(5)]
        adding.send_signal(signal.SIGINT)
        rest, err = finish(adding)
        self.assertEqual(adding.returncode, 128 + signal.SIGINT, err)
        reported += without_elapsed_time(rest).splitlines(keepends=True)
        added = [line[len("added: "):].rstrip("\n").lstrip("./") for line in reported]
        self.assertLess(len(added), self.files)
        self.assertEqual(self.names(), added)
        self.ok("a.arc", "-extract", "out")
        for name in added:
            self.assertEqual(self.read("out/a/" + name), self.read("data/" + name), name)


    def test_closed_output_stops_like_an_interrupt(self):
        """`brannock ... | head -1`: once the reader has gone, the next "added:" line meets a
        closed pipe. The run stops there as on Ctrl+C and writes the index. The archive then
        holds a prefix of the import order that takes in every line the reader saw; it may hold
        more (the file whose line met the closed pipe, and those whose lines were left unread in
        it), and each file it holds extracts with its own bytes. A Windows program gets no
        signal, only a failed write: it stops all the same, with a status that is not 0, and
        no signal number to tell."""
        self.make_tree()
        import_order = ["d%02d/f%05d.bin" % (d, i) for d in range(50) for i in range(d, self.files, 50)]
        stopped = "Stopped by signal %d; the archive holds every file reported added.\n" % signal.SIGPIPE

        def check_stopped(code, err):
            if WINDOWS:
                self.assertNotEqual(code, 0, err)
                self.assertTrue(err.endswith("; the archive holds every file reported added.\n"), (code, err))
            else:
                self.assertEqual((code, err), (128 + signal.SIGPIPE, stopped))

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
            first = console_text(adding.stdout.readline())
            adding.stdout.close()
            _, err = adding.communicate(timeout=300)
            check_stopped(adding.returncode, console_text(err))
            check("a.arc", [first[len("added: ./"):].rstrip("\n")])

        with self.subTest("| head -1"):
            done = subprocess.run(["bash", "-o", "pipefail", "-c", '"$@" | head -1', "bash",
                                   *tool("b.arc", "-add", ".", "data", "5")],
                                  cwd=self.dir, capture_output=True, timeout=300)
            out = console_text(done.stdout)
            check_stopped(done.returncode, console_text(done.stderr))
            self.assertTrue(out.startswith("added: ./"), out)
            check("b.arc", [out[len("added: ./"):].rstrip("\n")])

if __name__ == "__main__":
    unittest.main(verbosity=2)
