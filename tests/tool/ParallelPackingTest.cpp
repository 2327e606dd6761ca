// Packing on worker threads gives the archive a single thread gives, byte for byte.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ArchiveFixture.h"
#include "Engine/Archive.h"
#include "Engine/ArchiveFormat.h"
#include "TestSupport.h"
#include "tool/Import.h"
#include "tool/editor/ArchiveEditor.h"
#include "tool/editor/BlockCompressor.h"

namespace {

using GAME::Archive;

constexpr unsigned int threadCounts[] = {2, 3, 8};

// Archive bytes compared, told by their lengths and first difference rather than printed whole.
testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    return testing::AssertionFailure() << actual.size() << " bytes against " << expected.size()
                                       << ", first difference at offset " << at;
}

class ParallelPacking : public testing::Test {
protected:
    void SetUp() override {
        Loose("t/empty.bin", "");
        Loose("t/small.txt", "a few bytes");
        Loose("t/one-block.bin", test::CompressibleBytes(GAME::archiveBlockSize));
        Loose("t/many-blocks.bin", test::CompressibleBytes(5 * GAME::archiveBlockSize + 17) +
                                       test::RandomBytes(300000, 1) + test::CompressibleBytes(1000));
        Loose("t/incompressible.bin", test::RandomBytes(700000, 2));
        for (int i = 0; i < 120; ++i)
            Loose("t/d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".dat",
                  i % 3 == 0 ? test::RandomBytes(100 + 997 * i, i) : test::CompressibleBytes(50 + 1531 * i));
    }

    void TearDown() override { stagingLimit = 0; }

    void Loose(const std::string& name, const std::string& contents) { test::WriteWholeFile("data/" + name, contents); }

    // Runs `edit` on the archive `name` and gives the archive's bytes after it closed.
    template <typename Edit>
    std::string EditArchive(const std::string& name, Edit&& edit) {
        {
            Archive archive;
            EXPECT_TRUE(archive.OpenEdit(name.c_str()));
            GAME::EditorOf(archive)->SetStagingLimit(stagingLimit);
            testing::internal::CaptureStdout();
            edit(archive);
            testing::internal::GetCapturedStdout();
            archive.Close(false);
            EXPECT_FALSE(archive.HasWriteFailed());
        }
        return test::ReadWholeFile(name);
    }

    std::string Import(const std::string& name, unsigned int threads, tool::ImportMode mode = tool::ImportMode::add,
                       const char* path = "t") {
        return EditArchive(name, [&](Archive& archive) {
            EXPECT_TRUE(tool::ImportPath(archive, path, "data", tool::ImportOptions{level, mode, threads}));
        });
    }

    // Every file of the archive `name` read back equals its loose file.
    void ExpectLooseContents(const std::string& name) {
        Archive archive;
        ASSERT_TRUE(archive.OpenRead(name.c_str()));
        for (unsigned int i = 0; i < archive.GetNumFiles(); ++i) {
            const Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
            if (!(entry.flags & Archive::fileFlagInUse)) continue;
            std::string contents(entry.expandedSize, '\0');
            EXPECT_TRUE(archive.ReadFileData(static_cast<int>(i), contents.data(), 0, entry.expandedSize));
            EXPECT_EQ(contents, test::ReadWholeFile(std::string("data/") + entry.name)) << entry.name;
        }
    }

    test::ScratchDir dir;
    test::CurrentDirectory here{dir.Path()};
    int level = 5;
    std::uint64_t stagingLimit = 0;  // 0: the default
};

TEST_F(ParallelPacking, ANewTreeGivesTheSameBytesForEveryThreadCount) {
    for (int compression : {5, 0}) {
        level = compression;
        const std::string alone = Import("1.arc", 1);
        ExpectLooseContents("1.arc");
        for (unsigned int threads : threadCounts)
            EXPECT_TRUE(SameBytes(Import("n.arc", threads), alone)) << threads << " threads, level " << level;
        std::filesystem::remove("1.arc");
        std::filesystem::remove("n.arc");
    }
}

TEST_F(ParallelPacking, HolesAreFilledByBestFitAsOneThreadFillsThem) {
    // An archive with holes of many sizes: every third file, and the large incompressible one,
    // removed; then new files of sizes that fit some of them, and changed files replaced.
    Import("base.arc", 1);
    EditArchive("base.arc", [](Archive& archive) {
        for (unsigned int i = 0; i < archive.GetNumFiles(); i += 3) archive.RemoveFile(static_cast<int>(i));
        archive.RemoveFile(archive.FindFile("t/incompressible.bin"));
    });
    for (int i = 0; i < 40; ++i)
        Loose("more/m" + std::to_string(i) + ".dat", test::RandomBytes(300 + 2311 * i, 50 + i));
    for (int i = 0; i < 120; i += 5)
        Loose("t/d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".dat", test::RandomBytes(40 + 733 * i, i));
    const std::string base = test::ReadWholeFile("base.arc");

    for (int compression : {5, 0}) {
        level = compression;
        std::string expected;
        for (unsigned int threads : {1u, 2u, 3u, 8u}) {
            test::WriteWholeFile("x.arc", base);
            Import("x.arc", threads, tool::ImportMode::add, "more");
            const std::string result = Import("x.arc", threads, tool::ImportMode::replace);
            if (threads == 1) {
                expected = result;
                ExpectLooseContents("x.arc");
            }
            EXPECT_TRUE(SameBytes(result, expected)) << threads << " threads, level " << level;
        }
    }
}

TEST_F(ParallelPacking, FilesLargerThanWhatIsHeldInMemoryLandTheSame) {
    // With little held in memory, the files of many blocks are partly written past the data
    // before their place is known: appended there, or moved into a hole that fits them.
    stagingLimit = 100000;
    const std::string alone = Import("1.arc", 1);
    ExpectLooseContents("1.arc");
    for (unsigned int threads : threadCounts)
        EXPECT_TRUE(SameBytes(Import("n.arc", threads), alone)) << threads << " threads";
    stagingLimit = 0;
    EXPECT_TRUE(SameBytes(Import("held.arc", 1), alone)) << "the same as when it is all held in memory";

    // The incompressible file leaves a hole; a smaller one that is still partly written past the
    // data moves into it.
    unsigned int holeAt = 0;
    EditArchive("1.arc", [&holeAt](Archive& archive) {
        const int removed = archive.FindFile("t/incompressible.bin");
        holeAt = archive.GetFileEntry(removed).offset;
        archive.RemoveFile(removed);
    });
    Loose("late/smaller.bin", test::RandomBytes(650000, 9));
    const std::string holed = test::ReadWholeFile("1.arc");
    stagingLimit = 100000;
    std::string expected;
    for (unsigned int threads : {1u, 2u, 8u}) {
        test::WriteWholeFile("h.arc", holed);
        const std::string result = Import("h.arc", threads, tool::ImportMode::add, "late");
        if (threads == 1) {
            expected = result;
            ExpectLooseContents("h.arc");
            Archive archive;
            ASSERT_TRUE(archive.OpenRead("h.arc"));
            const int late = archive.FindFile("late/smaller.bin");
            ASSERT_GE(late, 0);
            EXPECT_EQ(archive.GetFileEntry(late).offset, holeAt) << "placed in the hole";
        }
        EXPECT_TRUE(SameBytes(result, expected)) << threads << " threads";
    }
}

TEST_F(ParallelPacking, FilesTheWorkersCannotReadAreAddedOrRefusedAsWithoutThem) {
    // A file that vanished before its turn, and one that is not what it was announced as: the
    // adding thread reads them itself, and says what it says without workers.
    std::filesystem::remove("data/t/small.txt");
    GAME::BlockCompressor compressor(2, GAME::archiveBlockSize);
    for (const char* name : {"data/t/small.txt", "data/t", "data/t/many-blocks.bin"}) compressor.Expect(name);
    std::uint64_t length = 0;
    EXPECT_FALSE(compressor.Begin("data/t/small.txt", &length));
    EXPECT_FALSE(compressor.Begin("data/t", &length));
    EXPECT_FALSE(compressor.Begin("data/t/never-announced.bin", &length));
    ASSERT_TRUE(compressor.Begin("data/t/many-blocks.bin", &length));
    EXPECT_EQ(length, std::filesystem::file_size("data/t/many-blocks.bin"));
    GAME::PackedBlock block;
    ASSERT_TRUE(compressor.Next(block));
    EXPECT_EQ(block.expandedSize, GAME::archiveBlockSize);
    compressor.End();  // before the other blocks were taken

    const std::string withWorkers = EditArchive("w.arc", [](Archive& archive) {
        GAME::BlockCompressor packer(2, GAME::archiveBlockSize);
        GAME::EditorOf(archive)->UseBlockCompressor(&packer);
        packer.Expect("data/t/gone.bin");
        const std::string report = test::CaptureStderr([&] {
            EXPECT_LT(archive.AddFile("data/t/gone.bin", 5), 0);
            EXPECT_GE(archive.AddFile("data/t/one-block.bin", 5), 0);  // never announced
        });
        EXPECT_NE(report.find("data/t/gone.bin: not added, it cannot be opened."), std::string::npos) << report;
        GAME::EditorOf(archive)->UseBlockCompressor(nullptr);
    });
    const std::string alone = EditArchive("1.arc", [](Archive& archive) {
        test::CaptureStderr([&] { EXPECT_LT(archive.AddFile("data/t/gone.bin", 5), 0); });
        EXPECT_GE(archive.AddFile("data/t/one-block.bin", 5), 0);
    });
    EXPECT_TRUE(SameBytes(withWorkers, alone));
}

}  // namespace
