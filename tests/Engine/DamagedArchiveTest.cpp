// Archives whose index lies about where things are. Each damage must make the open fail with a
// report that names the broken promise, and no read may leave a table or the file.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ArchiveFixture.h"
#include "Engine/Archive.h"
#include "TestSupport.h"

namespace {

using GAME::Archive;

constexpr std::size_t entrySize = 44;

struct Layout {
    std::string bytes;
    std::size_t entryTable;  // offset of the first entry record
};

// Three records: a stored file, a free hole and a compressed file of two blocks.
Layout SoundArchive() {
    test::ArchiveFixture fixture;
    fixture.AddStored("a.txt", "0123456789");
    fixture.AddFree(16);
    fixture.AddCompressed("b.bin", test::CompressibleBytes(262200));
    Layout layout{fixture.Bytes(), 0};
    layout.entryTable = layout.bytes.size() - 3 * entrySize;
    return layout;
}

using test::PutU32At;
using test::U32At;

// Opens `bytes` and gives the assertion lines, or "opened" when the open succeeded.
std::string OpenReports(const std::string& bytes) {
    test::ScratchDir dir;
    test::WriteWholeFile(dir.File("x.arc"), bytes);
    Archive archive;
    bool opened = false;
    std::string reports = test::CaptureStderr([&] { opened = archive.OpenRead(dir.File("x.arc").c_str()); });
    return opened ? "opened" : reports;
}

TEST(DamagedArchive, TablesOutsideTheFileOrOverTheHeader) {
    const Layout sound = SoundArchive();
    ASSERT_EQ(OpenReports(sound.bytes), "opened");

    std::string bytes = sound.bytes;
    PutU32At(bytes, 8, U32At(bytes, 8) + 1);  // one more entry than the file holds
    EXPECT_NE(OpenReports(bytes).find("(indexEnd <= fileSize)"), std::string::npos);

    bytes = sound.bytes;
    PutU32At(bytes, 8, 0x10000000u);  // an entry count whose table size overflows 32 bits
    EXPECT_NE(OpenReports(bytes).find("(indexEnd <= fileSize)"), std::string::npos);

    bytes = sound.bytes;
    PutU32At(bytes, 12, 0x20000000u);  // a block count whose table size overflows 32 bits
    EXPECT_NE(OpenReports(bytes).find("(indexEnd <= fileSize)"), std::string::npos);

    bytes = sound.bytes;
    PutU32At(bytes, 20, 0xFFFFFFF0u);  // a name table of nearly 4 GiB
    EXPECT_NE(OpenReports(bytes).find("(indexEnd <= fileSize)"), std::string::npos);

    bytes = sound.bytes;
    PutU32At(bytes, 24, 0xFFFFFFF0u);  // an index beyond the end
    EXPECT_NE(OpenReports(bytes).find("(indexEnd <= fileSize)"), std::string::npos);

    // An index inside the header would, once edited, be written over the header.
    test::ArchiveFixture empty;
    bytes = empty.Bytes();
    PutU32At(bytes, 24, 100);
    EXPECT_NE(OpenReports(bytes).find("(header.indexOffset >= sizeof(ArchiveHeader))"), std::string::npos);
}

TEST(DamagedArchive, NamesAndBlockRangesOutsideTheirTables) {
    const Layout sound = SoundArchive();
    const std::size_t first = sound.entryTable, third = sound.entryTable + 2 * entrySize;

    std::string bytes = sound.bytes;
    PutU32At(bytes, first + 40, 1000);  // nameOffset past the name table
    EXPECT_NE(OpenReports(bytes).find("(nameEnd < header.nameTableSize)"), std::string::npos);

    bytes = sound.bytes;
    PutU32At(bytes, first + 36, 0xFFFFFFFFu);  // nameLength wrapping around
    EXPECT_NE(OpenReports(bytes).find("(nameEnd < header.nameTableSize)"), std::string::npos);

    bytes = sound.bytes;
    PutU32At(bytes, first + 36, 4);  // the name no longer ends in its zero byte
    EXPECT_NE(OpenReports(bytes).find("(nameTable[nameEnd] == '\\0')"), std::string::npos);

    bytes = sound.bytes;
    PutU32At(bytes, third + 32, 1);  // firstBlock + numBlocks beyond the block table
    EXPECT_NE(OpenReports(bytes).find("(blockEnd <= header.numBlocks)"), std::string::npos);

    bytes = sound.bytes;
    PutU32At(bytes, third + 28, 0xFFFFFFFFu);
    EXPECT_NE(OpenReports(bytes).find("(blockEnd <= header.numBlocks)"), std::string::npos);

    // A block larger than a block, and blocks that do not add up to their record.
    bytes = sound.bytes;
    const std::size_t blockTable = U32At(bytes, 24);
    PutU32At(bytes, blockTable + 8, 262145);
    EXPECT_NE(OpenReports(bytes).find("(blocksFit)"), std::string::npos);
    bytes = sound.bytes;
    PutU32At(bytes, third + 12, U32At(bytes, third + 12) + 262144);  // contents beyond the blocks
    EXPECT_NE(OpenReports(bytes).find("(compressedSum == entry.size && expandedSum == entry.expandedSize)"),
              std::string::npos);
    bytes = sound.bytes;
    PutU32At(bytes, blockTable + 4, U32At(bytes, blockTable + 4) - 1);  // a run longer than its blocks
    EXPECT_NE(OpenReports(bytes).find("(compressedSum == entry.size && expandedSum == entry.expandedSize)"),
              std::string::npos);

    bytes = sound.bytes;
    PutU32At(bytes, first + 12, 11);  // a stored file longer than its run
    EXPECT_NE(OpenReports(bytes).find("(entry.size == entry.expandedSize)"), std::string::npos);
}

TEST(DamagedArchive, RunsOutsideTheDataRegionOrOverlapping) {
    const Layout sound = SoundArchive();
    const std::size_t first = sound.entryTable, second = sound.entryTable + entrySize;

    std::string bytes = sound.bytes;
    PutU32At(bytes, first + 4, 100);  // a run inside the header
    EXPECT_NE(OpenReports(bytes).find("(entry.offset >= dataEnd)"), std::string::npos);

    bytes = sound.bytes;
    PutU32At(bytes, second + 4, 2050);  // a hole that overlaps the first file
    EXPECT_NE(OpenReports(bytes).find("(entry.offset >= dataEnd)"), std::string::npos);

    bytes = sound.bytes;
    PutU32At(bytes, first + 8, 0x7FFFFFFF);  // a stored run that reaches into the index
    PutU32At(bytes, first + 12, 0x7FFFFFFF);
    EXPECT_NE(OpenReports(bytes).find("(runEnd <= header.indexOffset)"), std::string::npos);

    bytes = sound.bytes;
    PutU32At(bytes, second + 8, 0xFFFFFFFFu);  // a free hole that wraps around 4 GiB
    EXPECT_NE(OpenReports(bytes).find("(runEnd <= header.indexOffset)"), std::string::npos);
}

TEST(DamagedArchive, TablesThatHoldBytesNoRecordUses) {
    const Layout sound = SoundArchive();

    // One name byte more than the names use: the name table grows into the entry table's place,
    // so the records are moved behind it.
    std::string bytes = sound.bytes;
    bytes.insert(sound.entryTable, 1, '\0');
    PutU32At(bytes, 20, U32At(bytes, 20) + 1);
    EXPECT_NE(OpenReports(bytes).find("(namesUsed == header.nameTableSize)"), std::string::npos);

    // A block record that no file uses, in front of the names.
    bytes = sound.bytes;
    const std::size_t blockTableEnd = U32At(bytes, 24) + 12 * U32At(bytes, 12);
    bytes.insert(blockTableEnd, 12, '\0');
    PutU32At(bytes, 12, U32At(bytes, 12) + 1);
    PutU32At(bytes, 16, U32At(bytes, 16) + 12);
    EXPECT_NE(OpenReports(bytes).find("(blocksUsed == header.numBlocks)"), std::string::npos);

    // Zero bytes left behind the index by an edit that could not cut them are not damage.
    EXPECT_EQ(OpenReports(sound.bytes + std::string(300000, '\0')), "opened");
}

// A header whose counts claim tables of gigabytes, in a sparse file of `length` bytes.
struct HugeClaim {
    const char* what;
    std::uint32_t numFiles, numBlocks, nameTableSize;
    std::uint64_t length;
    const char* report;
};

// Each damaged header is refused by the check named, before any table of the claimed size is
// read, and neither opening for reading nor for edit changes a byte of the file. The memory
// the refusal takes is measured by the command-line tests.
TEST(DamagedArchive, ClaimedCountsNeverSizeTheTablesRead) {
    const std::uint64_t GiB = std::uint64_t(1) << 30;
    const HugeClaim claims[] = {
        {"every entry there is", 0xFFFFFFFFu, 0, 0, 8 * GiB, "(indexEnd <= fileSize)"},
        {"every entry there is, in a file long enough", 0xFFFFFFFFu, 0, 0, 2048 + 0xFFFFFFFFull * 44,
         "(entry.offset >= dataEnd)"},
        {"20 million entries", 20000000, 0, 0, GiB, "(entry.offset >= dataEnd)"},
        {"a name table of 4 GiB", 0, 0, 0xFFFFFFFFu, 5 * GiB, "(namesUsed == header.nameTableSize)"},
        {"every block there is", 0, 0xFFFFFFFFu, 0, 8 * GiB, "(indexEnd <= fileSize)"},
        {"a block table of 3 GiB", 0, 0x10000000u, 0, 4 * GiB, "(blocksUsed == header.numBlocks)"},
    };
    for (const HugeClaim& claim : claims) {
        SCOPED_TRACE(claim.what);
        test::ScratchDir dir;
        const std::string path = dir.File("x.arc");
        std::string header = test::ArchiveFixture().Bytes();
        header.resize(2048, '\0');
        PutU32At(header, 8, claim.numFiles);
        PutU32At(header, 12, claim.numBlocks);
        PutU32At(header, 16, claim.numBlocks * 12);
        PutU32At(header, 20, claim.nameTableSize);
        PutU32At(header, 24, 2048);
        test::WriteWholeFile(path, header);
        test::ResizeFile(path, claim.length);

        Archive reader;
        bool opened = true;
        std::string reports = test::CaptureStderr([&] { opened = reader.OpenRead(path.c_str()); });
        EXPECT_FALSE(opened);
        EXPECT_NE(reports.find(claim.report), std::string::npos) << reports;
        EXPECT_EQ(reader.GetNumFiles(), 0u);

        Archive editor;
        reports = test::CaptureStderr([&] {
            opened = editor.OpenEdit(path.c_str());
            editor.Close(false);
        });
        EXPECT_FALSE(opened);
        EXPECT_NE(reports.find(claim.report), std::string::npos) << reports;

        EXPECT_EQ(std::filesystem::file_size(path), claim.length);
        std::ifstream file(path, std::ios::binary);
        std::string front(4096, '\1');
        file.read(front.data(), static_cast<std::streamsize>(front.size()));
        EXPECT_EQ(front, header + std::string(2048, '\0'));
        EXPECT_FALSE(std::filesystem::exists(path + "-journal"));
    }
}

// Reads every record of an opened archive, the way extraction would.
void ReadEverything(Archive& archive) {
    for (unsigned i = 0; i < archive.GetNumFiles(); ++i) {
        const Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
        const unsigned size = entry.expandedSize < (1u << 22) ? entry.expandedSize : (1u << 22);
        std::vector<char> out(size + 1);
        archive.ReadFileData(static_cast<int>(i), out.data(), 0, size);
        if (entry.name != nullptr) archive.FindFile(entry.name);
    }
    mem::vector<int> files;
    archive.FindMatchingFiles(files, "txt");
}

// Cuts a sound archive at every length, then flips bytes at seeded positions, and opens and
// reads each copy. Passing means no crash and no sanitizer report.
TEST(DamagedArchive, TruncatedAndBitFlippedCopiesNeverReadOutOfBounds) {
    test::ArchiveFixture fixture;
    fixture.AddStored("a.txt", "0123456789");
    fixture.AddFree(16);
    fixture.AddCompressed("b.bin", test::CompressibleBytes(262200));
    fixture.AddCompressed("c.bin", test::RandomBytes(3000, 9));
    fixture.AddStored("dir/d.txt", "d");
    const std::string sound = fixture.Bytes();
    const std::size_t indexOffset = U32At(sound, 24);
    test::ScratchDir dir;
    const std::string path = dir.File("x.arc");

    int opened = 0;
    auto openAndRead = [&](const std::string& bytes) {
        test::WriteWholeFile(path, bytes);
        Archive archive;
        test::CaptureStderr([&] {
            if (!archive.OpenRead(path.c_str())) return;
            ++opened;
            ReadEverything(archive);
        });
    };

    // Every cut inside the header and the index, and a stride through the data.
    for (std::size_t length = 0; length < sound.size(); length += (length >= 2048 && length < indexOffset) ? 997 : 1)
        openAndRead(sound.substr(0, length));

    const unsigned seed = testing::UnitTest::GetInstance()->random_seed();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed = " + std::to_string(seed));
    for (int round = 0; round < 2000; ++round) {
        std::string bytes = sound;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int f = 0; f < flips; ++f) {
            // Mostly the header fields and the index, sometimes the data.
            const std::size_t at = (random() % 4 == 0)   ? random() % bytes.size()
                                   : (random() % 2 == 0) ? random() % 28
                                                         : indexOffset + random() % (bytes.size() - indexOffset);
            bytes[at] = static_cast<char>(bytes[at] ^ (1u << (random() % 8)));
        }
        openAndRead(bytes);
    }
    // Damage that the open cannot see must still reach the reads.
    EXPECT_GT(opened, 200);
}

}  // namespace
