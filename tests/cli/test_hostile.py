"""End-to-end tests of a hostile world: links in the destination, archives and databases that
claim huge tables, long hash chains, archives the user may only read, exit statuses that tell
what was done, typos that must not destroy anything, link loops in an imported tree, trees spelt
in mixed case, absolute locations, and journals and locks that other files and runs get in the
way of. Each test class is its own CTest test; name one to run it alone:

    BRANNOCK=build/brannock python3 tests/cli/test_hostile.py ExitStatusTest
    BRANNOCK=build-win/brannock.exe BRANNOCK_RUNNER=wine python3 tests/cli/test_hostile.py ExitStatusTest
"""

import contextlib
import os
import random
import resource
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from archive_bytes import (HEADER_SIZE, DatabaseWriter, write_claiming_header,  # noqa: E402
                           write_stored_archive)
from cli_support import (RUNNER, UNDER_WINE, WINDOWS, CliTest, console_text, finish,  # noqa: E402
                         posix_only_reason, requires_posix_tool, tool, windows_path, without_elapsed_time)



class LinksInDestinationTest(CliTest):
    """Nothing is written outside the destination. Symbolic links already in it never take an
    output elsewhere: one where a file goes is replaced by the file, a folder on the way that is
    one refuses the file. Archives made elsewhere can hold any bytes as names: those that leave
    the destination are refused, and the other files still come out."""

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

    @requires_posix_tool("file links")
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
        if posix_only_reason("file links") is None:
            self.link(self.path("victim/target.txt"), "out/top.rec")
        self.link(self.victim, "out/config")
        code, out, err = self.run_tool("db.bin", "-database", "out")
        self.assertEqual((code, len(out.splitlines())), (1, 3), err)
        self.assertEqual(err, "record: config/sample/widget.rec not exported, a folder on its way is a symbolic link.\n")
        self.assert_victim_untouched()
        self.assert_regular("out/top.rec", b"n,1,\n")
        self.assert_regular("out/config.rec", b"n,3,\n")

        # A destination that is a link is written through.
        os.makedirs(self.path("real"))
        self.link(self.path("real"), "chosen")
        self.ok("db.bin", "-database", "chosen")
        self.assert_regular("real/config/sample/widget.rec", b"n,2,\n")

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
        code, _, err = self.run_tool("../evil.arc", "-extract", "out", cwd=self.path("work"))
        self.assertEqual(code, 1, err)  # the refused names are work not done
        self.assertFalse(os.path.exists(outside))
        self.assertEqual(self.read("work/out/evil.arc/good.txt"), b"good")
        refused = [line for line in err.splitlines() if "leaves the output folder" in line]
        self.assertEqual(len(refused), 4, err)
        self.assertIn("file: ../outside.txt not extracted, its name leaves the output folder.", refused)
        self.assertEqual(sorted(set(os.listdir(self.dir)) - {"data2.arc", "victim"}), ["evil.arc", "work"])



class HugeClaimsTest(CliTest):
    """Headers whose counts claim tables of gigabytes, in sparse files that read as zeros. Such
    an archive is refused and left as it was, and refusing it takes little memory, whatever it
    claims."""

    GiB = 1 << 30
    MEMORY_LIMIT_KIB = 64 * 1024
    runner_peak = None

    def run_measured(self, *args):
        """Runs brannock and gives its exit status, standard error and peak resident memory in
        KiB, taken from that one child's resource usage."""
        with open(self.path("out.txt"), "wb") as out, open(self.path("err.txt"), "wb") as err:
            process = subprocess.Popen(tool(*args), cwd=self.dir, stdout=out, stderr=err)
            _, status, usage = os.wait4(process.pid, 0)
            process.returncode = os.waitstatus_to_exitcode(status)
        return process.returncode, console_text(self.read("err.txt")), usage.ru_maxrss

    def memory_limit(self):
        """MEMORY_LIMIT_KIB above what the runner itself takes: where the tool runs under an
        emulator, the child measured is the emulator, whose own memory (some 14 MiB for Wine)
        counts in its peak. That is the peak of a run that only prints the usage."""
        if not RUNNER:
            return self.MEMORY_LIMIT_KIB
        if HugeClaimsTest.runner_peak is None:
            code, err, HugeClaimsTest.runner_peak = self.run_measured()
            self.assertEqual((code, err), (0, ""))
        return self.MEMORY_LIMIT_KIB + HugeClaimsTest.runner_peak

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
        self.assertLess(peak, self.memory_limit(), "peak resident memory %d KiB" % peak)
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
        self.assertEqual(console_text(self.read("out.txt")).split(), ["a.txt", "b/c.txt"])
        self.assertLess(peak, self.memory_limit(), "peak resident memory %d KiB" % peak)

    def test_database_longer_than_the_tool_loads(self):
        db = DatabaseWriter()
        db.record("a.rec", db.field(0, "n", [1]))
        db.write(self.path("db.bin"))
        os.truncate(self.path("db.bin"), 30 * self.GiB)
        err = self.assert_refused_cheaply("db.bin", "-database", "out")
        self.assertEqual(err, "Failed to open archive file db.bin.\n")
        self.assertFalse(os.path.exists(self.path("out")))



class LongChainsTest(CliTest):
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



class ReadOnlyArchivesTest(CliTest):
    """An archive the user may read but not write is listed and extracted as it is. As root every
    file is writable, so the commands run as an unprivileged user where one exists."""

    def run_as_reader(self, *args):
        def drop():
            if os.geteuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
        return self.run_guarded(*args, preexec_fn=drop)

    @requires_posix_tool("read-only as root")
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



class ExitStatusTest(CliTest):
    """0 only when the command did all its work; 1 when some of it failed, each failure with one
    line on standard error naming the file and the reason."""

    def test_a_file_that_cannot_be_added_fails_the_run(self):
        self.write("data/big/small.txt", "s")
        with open(self.path("data/big/huge.bin"), "wb") as f:
            f.truncate(1 << 32)  # sparse
        self.assertEqual(self.run_tool("a.arc", "-add", "big", "data"),
                         (1, "added: big/small.txt\n", "big/huge.bin: not added, files of 4 GiB or more cannot be archived.\n"))
        self.assertEqual(self.names(), ["big/small.txt"])
        # Left alone because it is stored already: that is done work.
        self.assertEqual(self.run_tool("a.arc", "-add", "big/small.txt", "data"), (0, "", ""))

    def write_database(self):
        db = DatabaseWriter()
        db.record("a.rec", db.field(0, "n", [1]))
        db.record("gone.rec", db.field(0, "n", [2]), claimed_size=100000)  # runs past the record data
        db.record("dir.rec", db.field(0, "n", [3]))
        db.record("big.rec", db.field(0, "n", list(range(2000))))
        db.write(self.path("db.bin"))

    def test_records_not_exported_fail_the_run(self):
        self.write_database()
        os.makedirs(self.path("out/dir.rec"))  # a folder where the record's file goes
        code, out, err = self.run_tool("db.bin", "-database", "out")
        self.assertEqual((code, len(out.splitlines())), (1, 4), err)
        self.assertEqual(sorted(err.splitlines()), ["record: dir.rec not exported, it cannot be created.",
                                                    "record: gone.rec not exported, its data could not be read."])
        self.assertEqual(self.read("out/a.rec"), b"n,1,\n")

        self.assertEqual(self.run_tool("db.bin", "-database", "one.txt", "a.rec"), (0, "", ""))
        self.assertEqual(self.run_tool("db.bin", "-database", "one.txt", "A.rec"),
                         (1, "", "record: A.rec not found in database.\n"))
        self.assertEqual(self.run_tool("db.bin", "-database", "one.txt", "gone.rec"),
                         (1, "", "record: gone.rec not exported, its data could not be read.\n"))
        self.assertEqual(self.run_tool("db.bin", "-database", "no/such/one.txt", "a.rec"),
                         (1, "", "record: a.rec not exported, no/such/one.txt cannot be created.\n"))
        self.assertEqual(self.read("one.txt"), b"n,1,\n")

    def run_with_file_size_limit(self, limit, *args):
        def limit_file_size():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

        return self.run_guarded(*args, preexec_fn=limit_file_size)

    def test_a_record_not_written_whole_fails_the_run(self):
        self.write_database()
        self.assertEqual(self.run_with_file_size_limit(1000, "db.bin", "-database", "one.txt", "big.rec"),
                         (1, "", "record: big.rec not exported whole, writing it failed.\n"))
        code, out, err = self.run_with_file_size_limit(1000, "db.bin", "-database", "out")
        self.assertEqual(code, 1)
        self.assertIn("record: big.rec not exported whole, writing it failed.\n", err)
        self.assertEqual(self.read("out/dir.rec"), b"n,3,\n")

    def test_report_over_archives_that_cannot_all_be_read(self):
        self.write("data/x.txt", "xx")
        os.makedirs(self.path("archives"))
        self.ok("archives/a1.arc", "-add", "x.txt", "data")
        self.write("archives/bad.arc", b"\xff" * 3000)
        os.makedirs(self.path("archives/folder.arc"))  # a folder the pattern finds is no archive
        code, out, err = self.run_guarded("-totalStats", "report.txt", "archives/*.arc")
        self.assertEqual((code, out), (1, ""))
        self.assertEqual(err.count("Failed to open archive file archives/bad.arc.\n"), 1, err)
        self.assertNotIn("folder.arc", err)
        report = self.read("report.txt").decode()
        self.assertIn("\r\na1.arc                      1 ", report)
        self.assertNotIn("bad.arc", report)

    def test_report_that_cannot_be_written(self):
        self.write("data/x.txt", "xx")
        self.ok("a1.arc", "-add", "x.txt", "data")
        self.assertEqual(self.run_guarded("-totalStats", "no/such/report.txt", "*.arc"),
                         (1, "", "Failed to write report file no/such/report.txt.\n"))
        self.assertEqual(self.run_with_file_size_limit(100, "-totalStats", "report.txt", "*.arc"),
                         (1, "", "Failed to write report file report.txt.\n"))



class TyposTest(CliTest):
    """A folder name typed wrong must not remove everything or pass in silence, and names that
    fold together are told."""

    def test_missing_base_is_an_invalid_path(self):
        for command in ("-add", "-replace", "-update"):
            self.assertEqual(self.run_tool("a.arc", command, "textures", "nowhere"), (1, "", "Invalid path nowhere\n"))
        # A pattern that matches nothing stays silent.
        os.makedirs(self.path("data"))
        self.assertEqual(self.run_tool("a.arc", "-add", "textures/*.none", "data"), (0, "", ""))

    def test_remove_missing_against_a_folder_that_does_not_exist_removes_nothing(self):
        self.make_archive(3)
        self.assertEqual(self.run_tool("a.arc", "-removeMissing", "nosuchdir"), (1, "", "Invalid path nosuchdir\n"))
        self.assertEqual(self.ok("a.arc", "-list"), "f0.txt\nf1.txt\nf2.txt\n")
        # An empty folder that exists still means every file is gone.
        os.makedirs(self.path("empty"))
        self.assertEqual(self.ok("a.arc", "-removeMissing", "empty"),
                         "removing file: empty/f0.txt\nremoving file: empty/f1.txt\nremoving file: empty/f2.txt\n")
        self.assertEqual(self.ok("a.arc", "-list"), "")

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

    def make_archive(self, count):
        for i in range(count):
            self.write("data/f%d.txt" % i, "file %d" % i)
        self.ok("a.arc", "-add", ".", "data")



class LinkLoopsTest(CliTest):
    def test_a_folder_reached_again_through_a_link_is_entered_once(self):
        self.write("data/t/a.txt", "a")
        self.write("data/t/sub/b.txt", "b")
        os.symlink(".", self.path("data/t/loop"))
        os.symlink("..", self.path("data/t/sub/up"))
        self.write("data/other/c.txt", "c")
        os.symlink("../other", self.path("data/t/elsewhere"))
        code, _, err = self.run_guarded("a.arc", "-add", "t", "data")
        self.assertEqual((code, err), (0, ""))
        # A link to a folder outside the tree is followed once, as a folder of the tree.
        self.assertEqual(sorted(self.names()), ["t/a.txt", "t/elsewhere/c.txt", "t/sub/b.txt"])


class MixedCaseTest(CliTest):
    """Game data made where file names ignore case is spelt in any case, while stored names are
    lower case. As on Windows, a name finds what exists on disk whatever its case; only what does
    not exist is made, in lower case."""

    LOOSE = {
        "Core/Images/X.png": b"x image",
        "Core/Images/Logo.PNG": b"logo",
        "Core/ReadMe.txt": b"read me",
        "Core/Shaders/Lit.FX": b"lit",
        "Sounds/Door.WAV": b"door",
        "Sounds/Music/Theme.ogg": b"theme",
        "sounds/step.wav": b"step",  # a second folder "sounds" beside "Sounds"
        "Maps/Level1/Map.BIN": b"map",
    }

    def setUp(self):
        super().setUp()
        for name, contents in self.LOOSE.items():
            self.write("Game/Data/" + name, contents)
        for folder in ("Core", "Sounds", "sounds", "Maps"):
            self.ok("Data.arc", "-add", folder, "Game/Data")
        self.stored = sorted(name.lower() for name in self.LOOSE)
        self.assertEqual(sorted(self.names("Data.arc")), self.stored)

    def test_remove_missing_leaves_a_mixed_case_tree_untouched(self):
        before = self.read("Data.arc")
        self.assertEqual(self.run_tool("Data.arc", "-removeMissing", "Game/Data"), (0, "", ""))
        self.assertEqual(self.read("Data.arc"), before)  # nothing removed, nothing compacted
        # A file that is gone is still removed, and told as the stored name below the base as typed.
        os.remove(self.path("Game/Data/Sounds/Door.WAV"))
        self.assertEqual(self.run_tool("Data.arc", "-removeMissing", "Game/Data"),
                         (0, "removing file: Game/Data/sounds/door.wav\n", ""))
        self.assertEqual(sorted(self.names("Data.arc")), [n for n in self.stored if n != "sounds/door.wav"])

    def test_remove_missing_keeps_a_name_any_folder_of_that_name_holds(self):
        # "sounds/step.wav" lies in "sounds", "sounds/music/theme.ogg" in "Sounds": both are there.
        write_stored_archive(self.path("b.arc"), [(b"sounds/step.wav", b"s"), (b"sounds/music/theme.ogg", b"t"),
                                                   (b"sounds/gone.wav", b"g"), (b"SOUNDS/Door.wav", b"d")])
        self.assertEqual(self.run_tool("b.arc", "-removeMissing", "Game/Data"),
                         (0, "removing file: Game/Data/sounds/gone.wav\n", ""))
        self.assertEqual(self.names("b.arc"), ["sounds/step.wav", "sounds/music/theme.ogg", "SOUNDS/Door.wav"])

    def test_extraction_uses_the_folders_and_files_that_exist(self):
        self.write("Out/Data/Core/Images/X.PNG", "an older and longer image")
        self.write("Out/Data/Core/Keep.txt", "not in the archive")
        out = self.ok("Data.arc", "-extract", "out")
        self.assertEqual(out, "".join("(%d / 8) %s\n" % (i + 1, name)
                                      for i, name in enumerate(self.names("Data.arc"))))
        self.assertEqual(os.listdir(self.path("Out")), ["Data"])
        self.assertNotIn("out", os.listdir(self.dir))
        self.assertEqual(sorted(os.listdir(self.path("Out/Data"))), ["Core", "maps", "sounds"])
        self.assertEqual(sorted(os.listdir(self.path("Out/Data/Core/Images"))), ["X.PNG", "logo.png"])
        self.assertEqual(self.read("Out/Data/Core/Images/X.PNG"), b"x image")
        self.assertEqual(self.read("Out/Data/Core/Keep.txt"), b"not in the archive")
        self.assertEqual(self.read("Out/Data/Core/readme.txt"), b"read me")
        self.assertEqual(self.read("Out/Data/sounds/music/theme.ogg"), b"theme")

        # The one-file form, its location spelt otherwise again.
        self.write("Out/Core/ReadMe.TXT", "older")
        self.assertEqual(self.ok("Data.arc", "-extract", "OUT", "Core\\README.txt"), "")
        self.assertEqual(sorted(os.listdir(self.path("Out"))), ["Core", "Data"])
        self.assertEqual(os.listdir(self.path("Out/Core")), ["ReadMe.TXT"])
        self.assertEqual(self.read("Out/Core/ReadMe.TXT"), b"read me")

    def test_record_export_uses_the_folders_and_files_that_exist(self):
        db = DatabaseWriter()
        db.record("config/sample/widget.rec", db.field(0, "n", [1]))
        db.record("filler/r0.rec", db.field(0, "n", [2]))
        db.write(self.path("db.bin"))
        self.write("Records/Config/Sample/Widget.REC", "older")
        self.assertEqual(self.ok("db.bin", "-database", "records"),
                         "(1/2) Extracting config/sample/widget.rec\n(2/2) Extracting filler/r0.rec\n")
        self.assertNotIn("records", os.listdir(self.dir))
        self.assertEqual(sorted(os.listdir(self.path("Records"))), ["Config", "filler"])
        self.assertEqual(os.listdir(self.path("Records/Config/Sample")), ["Widget.REC"])
        self.assertEqual(self.read("Records/Config/Sample/Widget.REC"), b"n,1,\n")
        self.assertEqual(self.read("Records/filler/r0.rec"), b"n,2,\n")

    @requires_posix_tool("case twins")
    def test_a_name_that_folds_to_two_folders_goes_into_one_of_them(self):
        # No exact spelling: the first in byte order ("Out/DATA"), and nothing new is made.
        for folder in ("Out/Data/sounds", "Out/DATA"):
            os.makedirs(self.path(folder))
        self.ok("Data.arc", "-extract", "out")
        self.assertEqual(sorted(os.listdir(self.path("Out"))), ["DATA", "Data"])
        self.assertEqual(os.listdir(self.path("Out/Data")), ["sounds"])
        self.assertEqual(os.listdir(self.path("Out/Data/sounds")), [])
        self.assertEqual(self.read("Out/DATA/sounds/step.wav"), b"step")
        # Where one is spelt exactly as asked, that one.
        os.makedirs(self.path("Out/data"))
        self.ok("Data.arc", "-extract", "Out", "core/readme.txt")
        self.assertEqual(sorted(os.listdir(self.path("Out"))), ["DATA", "Data", "core", "data"])
        self.ok("Data.arc", "-extract", "out")
        self.assertEqual(self.read("Out/data/core/readme.txt"), b"read me")
        self.assertEqual(os.listdir(self.path("Out/Data")), ["sounds"])


class AbsoluteLocationsTest(CliTest):
    """A location that starts with "/" is that place, not one below the current directory. Its
    folders that exist are found whatever their case; those made are lower case."""

    def setUp(self):
        super().setUp()
        os.makedirs(self.path("work"))
        os.makedirs(self.path("Mixed/Case"))
        write_stored_archive(self.path("work/Pack.arc"), [(b"textures/a.tex", b"a"), (b"sounds/b.wav", b"b")])
        db = DatabaseWriter()
        db.record("config/sample/widget.rec", db.field(0, "n", [1]))
        db.write(self.path("work/db.bin"))
        self.location = self.path("Mixed", "Case", "Dest")
        self.assertTrue(os.path.isabs(self.location))

    def run_in_work(self, *args):
        return self.run_guarded(*args, cwd=self.path("work"))

    def assert_work_untouched(self):
        self.assertEqual(sorted(os.listdir(self.path("work"))), ["Pack.arc", "db.bin"])

    def test_extract_to_an_absolute_location(self):
        self.assertEqual(self.run_in_work("Pack.arc", "-extract", self.location),
                         (0, "(1 / 2) textures/a.tex\n(2 / 2) sounds/b.wav\n", ""))
        self.assertEqual(self.read("Mixed/Case/dest/pack/textures/a.tex"), b"a")
        self.assertEqual(self.run_in_work("Pack.arc", "-extract", self.location.replace("/", "\\"), "sounds/b.wav"),
                         (0, "", ""))
        self.assertEqual(self.read("Mixed/Case/dest/sounds/b.wav"), b"b")
        self.assertEqual(os.listdir(self.path("Mixed/Case")), ["dest"])
        # A location none of whose last folders exists is made.
        self.assertEqual(self.run_in_work("Pack.arc", "-extract", self.path("New", "Place"), "textures/a.tex"),
                         (0, "", ""))
        self.assertEqual(self.read("new/place/textures/a.tex"), b"a")
        self.assert_work_untouched()

    def test_export_records_to_an_absolute_location(self):
        self.assertEqual(self.run_in_work("db.bin", "-database", self.location),
                         (0, "(1/1) Extracting config/sample/widget.rec\n", ""))
        self.assertEqual(self.read("Mixed/Case/dest/config/sample/widget.rec"), b"n,1,\n")
        # The file of a one-record export is taken as typed.
        one = self.path("Mixed", "One.TXT")
        self.assertEqual(self.run_in_work("db.bin", "-database", one, "config/sample/widget.rec"), (0, "", ""))
        self.assertEqual(self.read("Mixed/One.TXT"), b"n,1,\n")
        self.assert_work_untouched()

    def test_locations_on_a_drive(self):
        """A Windows program under Wine sees the Linux root as drive Z:; a location may name it."""
        if not UNDER_WINE:
            self.skipTest("only a Windows build run under Wine sees the scratch folder on drive Z:")
        self.assertEqual(self.run_in_work("Pack.arc", "-extract", windows_path(self.location)),
                         (0, "(1 / 2) textures/a.tex\n(2 / 2) sounds/b.wav\n", ""))
        self.assertEqual(self.read("Mixed/Case/dest/pack/textures/a.tex"), b"a")
        self.assertEqual(self.run_in_work("Pack.arc", "-extract", windows_path(self.location).lower(), "sounds/b.wav"),
                         (0, "", ""))
        self.assertEqual(self.read("Mixed/Case/dest/sounds/b.wav"), b"b")
        self.assertEqual(os.listdir(self.path("Mixed/Case")), ["dest"])
        one = windows_path(self.path("Mixed", "One.TXT"))
        self.assertEqual(self.run_in_work("db.bin", "-database", one, "config/sample/widget.rec"), (0, "", ""))
        self.assertEqual(self.read("Mixed/One.TXT"), b"n,1,\n")
        # The archive named by its drive path too.
        self.assertEqual(self.run_in_work(windows_path(self.path("work", "Pack.arc")), "-list"),
                         (0, "textures/a.tex\nsounds/b.wav\n", ""))
        self.assert_work_untouched()


class JournalsAndLocksTest(CliTest):
    """The journal of an interrupted edit is applied to its own archive only: beside any other
    archive (a backup copied back, a journal carried over, one an extraction planted), as a link
    or as a folder, it leaves both files as they are. Readers share an archive and an edit has it
    alone; a run that cannot write keeps every file it reported, and an extraction never writes
    over the archive it reads."""

    BUSY = "Archive file %s is being edited by another process.\n"
    FOREIGN = ("is not the journal of this archive; both are left as they are (delete the journal if the "
               "archive is the one you want).")
    NOT_REGULAR = "is a link or not a regular file; both are left as they are (remove it to use the archive)."
    # Where the header of an archive shows "EDIT" while an edit may have changed it.
    MARK = slice(36, 40)

    run_measured = HugeClaimsTest.run_measured
    memory_limit = HugeClaimsTest.memory_limit
    MEMORY_LIMIT_KIB = HugeClaimsTest.MEMORY_LIMIT_KIB

    @staticmethod
    def kill(process):
        if process.poll() is None:
            process.kill()
        process.wait()
        process.stdout.close()

    def start_stalled_edit(self):
        """Starts an edit of a new archive a.arc and gives it once it has marked the archive, its
        journal on disk, and can go no further while the test holds it. It replaces t/F.BIN,
        committed at once and told on standard output, by its case twin t/f.bin, and the line
        saying so meets a standard error the test filled beforehand. (A stall on any other line
        would come right after a commit, with no journal left.) The twin is larger than the room
        the commit left behind the index, so that its bytes reach past the committed end, which
        they may only do once the archive is marked."""
        self.skip_unless_posix_tool("case twins")
        self.write("data/t/F.BIN", b"F" * 20000)
        self.write("data/t/f.bin", b"f" * (4 << 20))
        full_end, write_end = os.pipe()
        os.set_blocking(write_end, False)
        with contextlib.suppress(BlockingIOError):
            while True:
                os.write(write_end, b"\n" * 512)
        os.set_blocking(write_end, True)
        try:
            editing = subprocess.Popen(tool("a.arc", "-replace", "t", "data"), cwd=self.dir, stdout=subprocess.PIPE,
                                       stderr=write_end)
        finally:
            os.close(write_end)
        self.addCleanup(os.close, full_end)
        self.addCleanup(self.kill, editing)
        guard = threading.Timer(120, editing.kill)  # a run that never stalls fails the test, not hangs it
        guard.start()
        self.addCleanup(guard.cancel)
        self.assertEqual(console_text(editing.stdout.readline()), "added: t/f.bin\n")
        # That commit cleared its mark before the line came: a mark now is the twin's edit, made
        # once its journal is whole on disk.
        while self.read("a.arc")[self.MARK] != b"EDIT":
            self.assertIsNone(editing.poll(), "the edit ended before it marked the archive")
            time.sleep(0.01)
        self.assertTrue(os.path.isfile(self.path("a.arc-journal")))
        return editing

    def interrupted_edit(self):
        """Kills a stalled edit and gives what it left: the marked archive and its journal."""
        self.kill(self.start_stalled_edit())
        return self.read("a.arc"), self.read("a.arc-journal")

    def state(self, name):
        path = self.path(name)
        if os.path.islink(path):
            return "link", os.readlink(path)
        if os.path.isdir(path):
            return "folder", os.listdir(path)
        return self.read(name)

    def assert_refused(self, archive, why, *command):
        """The command refuses the archive for what lies in its journal's place, and leaves both."""
        journal = archive + "-journal"
        before = self.state(archive), self.state(journal)
        self.assertEqual(self.run_guarded(archive, *command),
                         (255, "", "%s: %s %s\nFailed to open archive file %s.\n" % (archive, journal, why, archive)))
        self.assertEqual((self.state(archive), self.state(journal)), before)

    def test_a_journal_is_applied_to_its_own_archive_only(self):
        marked, journal = self.interrupted_edit()
        write_stored_archive(self.path("y.arc"), [(b"y/one.txt", b"one")])
        write_stored_archive(self.path("backup.arc"), [(b"t/old.bin", b"old")])

        with self.subTest("a backup copied over the archive"):
            shutil.copyfile(self.path("backup.arc"), self.path("a.arc"))
            self.assert_refused("a.arc", self.FOREIGN, "-list")

        with self.subTest("the journal beside another archive"):
            self.write("y.arc-journal", journal)
            self.assert_refused("y.arc", self.FOREIGN, "-extract", "out")
            self.assertFalse(os.path.exists(self.path("out")))
            os.remove(self.path("y.arc-journal"))  # as the line says
            self.assertEqual(self.run_guarded("y.arc", "-extract", "out"), (0, "(1 / 1) y/one.txt\n", ""))
            self.assertEqual(self.read("out/y/y/one.txt"), b"one")

        with self.subTest("-verify tells of an interrupted edit and leaves it"):
            self.write("v.arc", marked)
            self.write("v.arc-journal", journal)
            code, out, err = self.run_guarded("v.arc", "-verify")
            self.assertTrue(err.startswith("v.arc: v.arc-journal holds an interrupted edit, left as it is;"), err)
            self.assertIn(" files checked, ", out)
            self.assertEqual((self.read("v.arc"), self.read("v.arc-journal")), (marked, journal))

        with self.subTest("its own archive, the journal 1 GiB long"):
            # Copied under another name together: the mark ties them, not the names. What lies
            # behind the journal's records reads as zeros.
            self.write("c.arc", marked)
            self.write("c.arc-journal", journal)
            os.truncate(self.path("c.arc-journal"), 1 << 30)
            started = time.monotonic()
            code, err, peak = self.run_measured("c.arc", "-list")
            self.assertEqual((code, err), (0, "c.arc: an interrupted edit was rolled back.\n"))
            self.assertLess(time.monotonic() - started, 30)
            self.assertLess(peak, self.memory_limit(), "peak resident memory %d KiB" % peak)
            self.assertEqual(console_text(self.read("out.txt")), "t/f.bin\n")
            self.assertFalse(os.path.exists(self.path("c.arc-journal")))
            self.assertEqual(self.run_guarded("c.arc", "-extract", "back", "t/f.bin"), (0, "", ""))
            self.assertEqual(self.read("back/t/f.bin"), self.read("data/t/F.BIN"))

        # An archive whose stored names include a victim's journal, extracted beside the victim:
        # the victim carries no mark, so the journal is at most deleted, never applied. The
        # commit the journal records had left zeros behind the index (the journal's header holds
        # that length at byte 8), which any run that opens the archive for edit cuts.
        committed = self.read("c.arc")
        recorded = committed.ljust(struct.unpack_from("<Q", journal, 8)[0], b"\0")
        planted = [
            ("the journal of the edit that left the victim as it is", recorded, journal, False),
            ("the journal of another archive's edit", self.read("y.arc"), journal, True),
            ("bytes that are no journal", committed, b"ARCJ" + b"\xff" * 200, False),
        ]
        for i, (what, victim, contents, refused) in enumerate(planted):
            with self.subTest("planted: " + what):
                shutil.rmtree(self.path("vault"), ignore_errors=True)
                self.write("vault/victim.arc", victim)
                self.write("loose/victim.arc-journal", contents)
                with contextlib.suppress(FileNotFoundError):
                    os.remove(self.path("vault.arc"))
                self.assertEqual(self.run_guarded("vault.arc", "-add", "victim.arc-journal", "loose"),
                                 (0, "added: victim.arc-journal\n", ""))
                if i % 2 == 0:
                    self.assertEqual(self.run_guarded("vault.arc", "-extract", "vault", "victim.arc-journal"),
                                     (0, "", ""))
                else:  # everything, under the folder named after the archive
                    self.assertEqual(self.run_guarded("vault.arc", "-extract", "."),
                                     (0, "(1 / 1) victim.arc-journal\n", ""))
                self.assertEqual(self.read("vault/victim.arc-journal"), contents)
                if refused:
                    self.assert_refused("vault/victim.arc", self.FOREIGN, "-list")
                    self.assertEqual(self.read("vault/victim.arc"), victim)
                else:
                    self.assertEqual(self.run_guarded("vault/victim.arc", "-list"), (0, "t/f.bin\n", ""))
                    self.assertFalse(os.path.exists(self.path("vault/victim.arc-journal")))
                    self.assertEqual(self.read("vault/victim.arc"), committed)

    def test_a_link_or_folder_in_the_journals_place_is_left_alone(self):
        write_stored_archive(self.path("x.arc"), [(b"x.txt", b"x")])
        self.write("data/t/new.txt", "new")
        journal = self.path("x.arc-journal")
        commands = (["-list"], ["-stats"], ["-extract", "out"], ["-add", "t", "data"], ["-remove", "x.txt"],
                    ["-compact"])
        with self.subTest("a folder"):
            os.makedirs(journal)
            for command in commands:
                self.assert_refused("x.arc", self.NOT_REGULAR, *command)
            os.rmdir(journal)
        with self.subTest("a link to nothing"):
            self.skip_unless_posix_tool("file links")
            os.symlink(self.path("made"), journal)
            self.assert_refused("x.arc", self.NOT_REGULAR, "-add", "t", "data")
            self.assertFalse(os.path.lexists(self.path("made")))
            os.remove(journal)
        with self.subTest("a link to a file of the user's"):
            self.skip_unless_posix_tool("file links")
            self.write("mine.txt", "mine")
            os.symlink("mine.txt", journal)
            for command in commands:
                self.assert_refused("x.arc", self.NOT_REGULAR, *command)
            self.assertEqual(self.read("mine.txt"), b"mine")
        self.assertFalse(os.path.exists(self.path("out")))

    def test_readers_share_an_archive_and_an_edit_has_it_alone(self):
        names = ["readers/d%02d/f%05d.txt" % (i % 20, i) for i in range(5000)]
        write_stored_archive(self.path("r.arc"), [(name.encode(), b"r") for name in names])
        listing = "".join(name + "\n" for name in names)
        # Some 115 KB of listing into a pipe of 64 KiB left unread: the run stops, the archive open.
        reading = subprocess.Popen(tool("r.arc", "-list"), cwd=self.dir, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.addCleanup(self.kill, reading)
        first = reading.stdout.read(1)
        before = self.read("r.arc")
        with self.subTest("a second reader"):
            self.assertEqual(self.run_guarded("r.arc", "-list"), (0, listing, ""))
            self.assertEqual(self.run_guarded("r.arc", "-extract", "out", names[0]), (0, "", ""))
            self.assertEqual(self.read("out/" + names[0]), b"r")
        with self.subTest("an edit"):
            self.write("data/new.txt", "new")
            for command in (["-add", "new.txt", "data"], ["-remove", names[0]], ["-compact"]):
                self.assertEqual(self.run_guarded("r.arc", *command), (255, "", self.BUSY % "r.arc"))
            self.assertFalse(os.path.exists(self.path("r.arc-journal")))
        out, err = finish(reading)
        self.assertEqual((reading.returncode, console_text(first) + without_elapsed_time(out), err), (0, listing, ""))
        self.assertEqual(self.read("r.arc"), before)

    def test_a_reader_that_may_not_write_is_told_of_an_edit(self):
        if WINDOWS or os.geteuid() != 0:
            self.skipTest("runs a reader as an unprivileged user, which takes root and a POSIX build")
        if subprocess.run(["id", "-u", "nobody"], capture_output=True).returncode != 0:
            self.skipTest("no unprivileged user to run as")
        editing = self.start_stalled_edit()
        os.chmod(self.dir, 0o777)
        os.chmod(self.path("a.arc"), 0o644)

        def as_nobody():
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)

        for command in (["-extract", "out"], ["-list"]):
            self.assertEqual(self.run_guarded("a.arc", *command, preexec_fn=as_nobody),
                             (255, "", self.BUSY % "a.arc"))
        self.assertFalse(os.path.exists(self.path("out")))
        # The readers left the edit's journal and mark alone: they still roll it back.
        self.kill(editing)
        self.assertEqual(self.run_guarded("a.arc", "-list"),
                         (0, "t/f.bin\n", "a.arc: an interrupted edit was rolled back.\n"))

    def test_a_file_size_limit_keeps_every_reported_file(self):
        rng = random.Random(8)
        wanted = ["t/f%02d.bin" % i for i in range(12)]
        for name in wanted:
            self.write("data/" + name, rng.randbytes(20000))
        self.ok("whole.arc", "-add", "t", "data")
        # Half of it, and all but the last byte: there the last write of the run fails.
        for limit in (os.path.getsize(self.path("whole.arc")) // 2, os.path.getsize(self.path("whole.arc")) - 1):
            with self.subTest(limit=limit):
                archive = "l%d.arc" % limit

                def limit_file_size():
                    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
                    signal.signal(signal.SIGXFSZ, signal.SIG_IGN if WINDOWS else signal.SIG_DFL)

                code, out, err = self.run_tool(archive, "-add", "t", "data", preexec_fn=limit_file_size, timeout=300,
                                               limit_wineserver=True)
                added = [line[len("added: "):] for line in out.splitlines()]
                errors = err.splitlines()
                self.assertEqual((code, errors[-1:]), (1, ["Failed to write archive file %s." % archive]), err)
                refused = [line.split(": not added, ")[0] for line in errors[:-1]]
                self.assertTrue(all(": not added, " in line for line in errors[:-1]), err)
                self.assertTrue(added and refused, (out, err))
                self.assertEqual(sorted(added + refused), wanted)
                self.assertEqual(self.run_guarded(archive, "-list"), (0, out.replace("added: ", ""), ""))
                self.assertEqual(self.run_guarded(archive, "-extract", "out"), (0, "".join(
                    "(%d / %d) %s\n" % (i + 1, len(added), name) for i, name in enumerate(added)), ""))
                for name in added:
                    self.assertEqual(self.read("out/%s/%s" % (archive[:-4], name)), self.read("data/" + name), name)

    def test_extraction_never_writes_over_its_own_archive(self):
        self.write("loose/x.arc", "payload")
        self.assertEqual(self.run_guarded("x.arc", "-add", "x.arc", "loose"), (0, "added: x.arc\n", ""))
        before = self.read("x.arc")
        os.link(self.path("x.arc"), self.path("h.arc"))
        os.makedirs(self.path("out"))
        os.link(self.path("x.arc"), self.path("out/x.arc"))
        os.makedirs(self.path("all/x"))
        os.link(self.path("x.arc"), self.path("all/x/x.arc"))
        os.symlink(self.dir, self.path("here"))
        cases = [
            ("into its own folder", "x.arc", ".", "x.arc"),
            ("read through a hard link", "h.arc", ".", "x.arc"),
            ("onto a hard link of it", "x.arc", "out", "x.arc"),
            ("into a destination that links to its folder", "x.arc", "here", "x.arc"),
            ("everything, onto a hard link of it", "x.arc", "all"),
            ("read through a symbolic link", "s.arc", ".", "x.arc"),
        ]
        for what, archive, *command in cases:
            with self.subTest(what):
                if archive == "s.arc":
                    self.skip_unless_posix_tool("file links")
                    os.symlink("x.arc", self.path("s.arc"))
                told = "(1 / 1) x.arc\n" if len(command) == 1 else ""
                self.assertEqual(
                    self.run_guarded(archive, "-extract", *command),
                    (1, told, "file: x.arc not extracted, it would overwrite the archive it comes from.\n"))
                self.assertEqual(self.read("x.arc"), before)
        self.assertEqual(os.stat(self.path("x.arc")).st_nlink, 4)
        self.assertEqual(self.run_guarded("x.arc", "-extract", "other", "x.arc"), (0, "", ""))
        self.assertEqual(self.read("other/x.arc"), b"payload")


if __name__ == "__main__":
    unittest.main(verbosity=2)
