// Reading file contents back: stored runs, LZ4 blocks, raw blocks and refused requests.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ArchiveFixture.h"
#include "Engine/Archive.h"
#include "TestSupport.h"

namespace {

using GAME::Archive;

class ArchiveRead : public testing::Test {
protected:
    void Open(const test::ArchiveFixture& fixture) {
        fixture.WriteTo(dir.File("a.arc"));
        ASSERT_TRUE(archive.OpenRead(dir.File("a.arc").c_str()));
    }

    std::string ReadAll(int index) {
        std::string out(archive.GetFileEntry(index).expandedSize, '\0');
        EXPECT_TRUE(archive.ReadFileData(index, out.data(), 0, static_cast<unsigned>(out.size())));
        return out;
    }

    test::ScratchDir dir;
    Archive archive;
};

TEST_F(ArchiveRead, StoredLz4AndRawBlocksReadBackUnchanged) {
    const std::string stored = test::RandomBytes(1000, 1);
    const std::string packed = test::CompressibleBytes(3 * 262144 + 17);
    const std::string raw = test::RandomBytes(262145, 2);  // LZ4 cannot shrink it: raw blocks
    const std::string forcedRaw = test::CompressibleBytes(300000);
    test::ArchiveFixture fixture;
    fixture.AddStored("stored", stored);
    fixture.AddCompressed("packed", packed);
    fixture.AddCompressed("raw", raw);
    fixture.AddCompressed("forced", forcedRaw, true);
    fixture.AddCompressed("exact", test::CompressibleBytes(262144));
    Open(fixture);

    EXPECT_EQ(ReadAll(0), stored);
    EXPECT_EQ(ReadAll(1), packed);
    EXPECT_LT(archive.GetFileEntry(1).size, packed.size());
    EXPECT_EQ(ReadAll(2), raw);
    EXPECT_EQ(archive.GetFileEntry(2).numBlocks, 2u);
    EXPECT_EQ(archive.GetFileEntry(2).blocks[1].compressedSize, 1u);
    EXPECT_EQ(ReadAll(3), forcedRaw);
    EXPECT_EQ(archive.GetFileEntry(4).numBlocks, 1u);
    EXPECT_EQ(ReadAll(4), test::CompressibleBytes(262144));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(test::Adler32(ReadAll(i)), archive.GetFileEntry(i).checksum) << i;
}

TEST_F(ArchiveRead, PartialRangesAndOverlongRequests) {
    const std::string packed = test::CompressibleBytes(262144 * 2 + 5);
    test::ArchiveFixture fixture;
    fixture.AddStored("stored", "0123456789");
    fixture.AddCompressed("packed", packed);
    Open(fixture);

    // A range that crosses a block boundary.
    std::string middle(100, '\0');
    ASSERT_TRUE(archive.ReadFileData(1, middle.data(), 262144 - 50, 100));
    EXPECT_EQ(middle, packed.substr(262144 - 50, 100));

    // More than the file holds: cut at its end after the report.
    std::string out(20, '#');
    std::string reports = test::CaptureStderr([&] { EXPECT_TRUE(archive.ReadFileData(0, out.data(), 0, 20)); });
    EXPECT_EQ(out, "0123456789" + std::string(10, '#'));
    EXPECT_NE(reports.find("((offset + size) <= entry.expandedSize)"), std::string::npos) << reports;

    // A huge count must not wrap around the check.
    out.assign(20, '#');
    test::CaptureStderr([&] { EXPECT_TRUE(archive.ReadFileData(0, out.data(), 4, 0xFFFFFFFFu)); });
    EXPECT_EQ(out, "456789" + std::string(14, '#'));

    // A start beyond the end is refused.
    reports = test::CaptureStderr([&] { EXPECT_FALSE(archive.ReadFileData(0, out.data(), 11, 1)); });
    EXPECT_NE(reports.find("(offset <= entry.expandedSize)"), std::string::npos) << reports;

    // Nothing asked, nothing read.
    EXPECT_TRUE(archive.ReadFileData(1, out.data(), 0, 0));
}

TEST_F(ArchiveRead, RefusesBadIndicesAndNullDestination) {
    test::ArchiveFixture fixture;
    fixture.AddStored("a", "x");
    Open(fixture);
    char out[1];
    std::string reports = test::CaptureStderr([&] { EXPECT_FALSE(archive.ReadFileData(-1, out, 0, 1)); });
    EXPECT_NE(reports.find("(fileIndex >= 0)"), std::string::npos);
    reports = test::CaptureStderr([&] { EXPECT_FALSE(archive.ReadFileData(archive.GetNumFiles(), out, 0, 1)); });
    EXPECT_NE(reports.find("(fileIndex < (int)fileArray.size())"), std::string::npos);
    reports = test::CaptureStderr([&] { EXPECT_FALSE(archive.ReadFileData(0, nullptr, 0, 1)); });
    EXPECT_NE(reports.find("(dest)"), std::string::npos);
}

// Damaged block records inside an index that is otherwise sound.
class DamagedBlocks : public ArchiveRead {
protected:
    // Builds an archive of one compressed file, lets `damage` change its bytes, and opens it.
    template <typename Damage>
    void OpenDamaged(const std::string& contents, Damage&& damage) {
        test::ArchiveFixture fixture;
        fixture.AddCompressed("f", contents);
        std::string bytes = fixture.Bytes();
        damage(bytes);
        test::WriteWholeFile(dir.File("a.arc"), bytes);
        ASSERT_TRUE(archive.OpenRead(dir.File("a.arc").c_str()));
    }
    static std::size_t BlockTable(const std::string& bytes) { return test::U32At(bytes, 24); }
};

TEST_F(DamagedBlocks, CorruptLz4DataFailsTheRead) {
    OpenDamaged(test::CompressibleBytes(1000), [](std::string& bytes) {
        for (std::size_t i = 2048; i < 2048 + 20; ++i) bytes[i] = '\xFF';
    });
    std::string out(1000, '\0');
    EXPECT_FALSE(archive.ReadFileData(0, out.data(), 0, 1000));
}

TEST_F(DamagedBlocks, BlockThatExpandsShortOfItsRecordFailsTheRead) {
    // The block and the record agree on 900 bytes, but the LZ4 data holds 1000.
    OpenDamaged(test::CompressibleBytes(1000), [](std::string& bytes) {
        test::PutU32At(bytes, BlockTable(bytes) + 8, 900);
        test::PutU32At(bytes, bytes.size() - 44 + 12, 900);
    });
    std::string out(900, '\0');
    EXPECT_FALSE(archive.ReadFileData(0, out.data(), 0, 900));
}

TEST_F(DamagedBlocks, ShortBlockAtTheEndOfTheFileIsReportedAndStillCopied) {
    // A raw block whose stored bytes run past the end of the file.
    const std::string contents = test::RandomBytes(5000, 3);
    test::ArchiveFixture fixture;
    fixture.AddCompressed("f", contents);
    std::string bytes = fixture.Bytes();
    test::PutU32At(bytes, BlockTable(bytes), static_cast<std::uint32_t>(bytes.size() - 100));
    test::WriteWholeFile(dir.File("a.arc"), bytes);
    ASSERT_TRUE(archive.OpenRead(dir.File("a.arc").c_str()));
    std::string out(5000, '\0');
    std::string reports = test::CaptureStderr([&] { EXPECT_TRUE(archive.ReadFileData(0, out.data(), 0, 5000)); });
    EXPECT_NE(reports.find("(block->compressedSize == bytesRead) Error reading archive file."), std::string::npos)
        << reports;
    EXPECT_EQ(out.substr(0, 100), bytes.substr(bytes.size() - 100));
    EXPECT_EQ(out.substr(100), std::string(4900, '\0'));
}

TEST_F(DamagedBlocks, BlockLongerThanItExpandsIsReportedAndCopiedRaw) {
    // A raw block of 100 bytes that claims 120 stored ones; the free record after it shrinks
    // so that the runs still do not overlap.
    const std::string contents = test::RandomBytes(100, 4);
    test::ArchiveFixture fixture;
    fixture.AddCompressed("f", contents);
    fixture.AddFree(20);
    std::string bytes = fixture.Bytes();
    const std::size_t entries = bytes.size() - 2 * 44;
    test::PutU32At(bytes, BlockTable(bytes) + 4, 120);
    test::PutU32At(bytes, entries + 8, 120);
    test::PutU32At(bytes, entries + 44 + 4, 2048 + 120);
    test::PutU32At(bytes, entries + 44 + 8, 0);
    test::WriteWholeFile(dir.File("a.arc"), bytes);
    ASSERT_TRUE(archive.OpenRead(dir.File("a.arc").c_str()));
    std::string out(100, '\0');
    std::string reports = test::CaptureStderr([&] { EXPECT_TRUE(archive.ReadFileData(0, out.data(), 0, 100)); });
    EXPECT_NE(reports.find("(block->compressedSize == block->expandedSize)"), std::string::npos) << reports;
    EXPECT_EQ(out, contents);
}

}  // namespace
