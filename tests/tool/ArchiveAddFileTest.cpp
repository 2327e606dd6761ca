// Adding loose files, stored and compressed.
#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "EditFixture.h"
#include "platform/FaultInjection.h"
#include "platform/FileSystem.h"
#include "tool/editor/ArchiveEditor.h"
#include "tool/editor/FileAddition.h"

namespace {

using GAME::Archive;

class AddFile : public test::EditFixture {};

TEST_F(AddFile, EmptyFilesStoredAndCompressed) {
    Loose("empty0", "");
    Loose("empty5", "");
    OpenEdit();
    ASSERT_EQ(archive->AddFile("empty0", 0), 0);
    ASSERT_EQ(archive->AddFile("empty5", 5), 1);
    CloseAndRead();
    EXPECT_EQ(Entry(0).flags, 1u);
    EXPECT_EQ(Entry(0).size, 0u);
    EXPECT_EQ(Entry(0).expandedSize, 0u);
    EXPECT_EQ(Entry(0).checksum, 1u);
    EXPECT_EQ(Entry(1).flags, 3u);
    EXPECT_EQ(Entry(1).numBlocks, 0u);
    EXPECT_EQ(Entry(1).size, 0u);
    EXPECT_EQ(Entry(1).checksum, 1u);
    EXPECT_EQ(Contents(1), "");
}

TEST_F(AddFile, BlockBoundariesRawBlocksAndChecksums) {
    const std::string exact = test::CompressibleBytes(262144);
    const std::string oneMore = test::CompressibleBytes(262145);
    // An LZ4 block, then one that LZ4 cannot shrink, inside one record.
    const std::string mixed = test::CompressibleBytes(262144) + test::RandomBytes(1000, 3);
    Loose("exact.bin", exact);
    Loose("onemore.bin", oneMore);
    Loose("mixed.bin", mixed);
    OpenEdit();
    ASSERT_EQ(archive->AddFile("exact.bin", 5), 0);
    ASSERT_EQ(archive->AddFile("onemore.bin", 5), 1);
    ASSERT_EQ(archive->AddFile("mixed.bin", 9), 2);
    CloseAndRead();

    EXPECT_EQ(Entry(0).numBlocks, 1u);
    ASSERT_EQ(Entry(1).numBlocks, 2u);
    EXPECT_EQ(Entry(1).blocks[1].expandedSize, 1u);
    EXPECT_EQ(Entry(1).blocks[1].compressedSize, 1u);  // one byte does not shrink
    ASSERT_EQ(Entry(2).numBlocks, 2u);
    EXPECT_EQ(Entry(2).flags, 3u);
    EXPECT_LT(Entry(2).blocks[0].compressedSize, Entry(2).blocks[0].expandedSize);
    EXPECT_EQ(Entry(2).blocks[1].compressedSize, 1000u);
    EXPECT_EQ(Entry(2).blocks[1].offset, Entry(2).offset + Entry(2).blocks[0].compressedSize);
    EXPECT_EQ(Entry(2).size, Entry(2).blocks[0].compressedSize + 1000);
    EXPECT_EQ(Contents(0), exact);
    EXPECT_EQ(Contents(1), oneMore);
    EXPECT_EQ(Contents(2), mixed);
    EXPECT_EQ(Entry(2).checksum, test::Adler32(mixed));
    EXPECT_EQ(Entry(1).checksum, test::Adler32(oneMore));
}

TEST_F(AddFile, LevelsOneToNineWriteTheSameArchive) {
    Loose("d/a.bin", test::CompressibleBytes(700000));
    Loose("d/b.bin", test::RandomBytes(5000, 1));
    std::string archives[2];
    for (int i = 0; i < 2; ++i) {
        std::filesystem::remove("a.arc");
        OpenEdit();
        ASSERT_GE(archive->AddFile("d/a.bin", i == 0 ? 1 : 9), 0);
        ASSERT_GE(archive->AddFile("d/b.bin", i == 0 ? 1 : 9), 0);
        archive->Close(false);
        archives[i] = test::ReadWholeFile("a.arc");
    }
    EXPECT_EQ(archives[0], archives[1]);
}

TEST_F(AddFile, ExistingNamesInAnySpellingAreLeftAlone) {
    Loose("Dir/File.TXT", "first");
    OpenEdit();
    ASSERT_EQ(archive->AddFile("Dir/File.TXT", 0), 0);
    Loose("Dir/File.TXT", "second, longer");
    EXPECT_EQ(archive->AddFile("dir/file.txt", 0), -1);
    EXPECT_EQ(archive->AddFile("DIR\\FILE.TXT", 5), -1);
    EXPECT_EQ(archive->AddFile("./Dir/File.TXT", 0), -1);
    EXPECT_EQ(archive->GetNumFiles(), 1u);
    CloseAndRead();
    EXPECT_STREQ(Entry(0).name, "dir/file.txt");
    EXPECT_EQ(Contents(0), "first");
}

TEST_F(AddFile, ReusesTheSpaceOfARemovedFile) {
    Loose("old.bin", test::RandomBytes(1000, 1));
    Loose("after", "after");
    Loose("new.bin", test::RandomBytes(600, 2));
    OpenEdit();
    ASSERT_EQ(archive->AddFile("old.bin", 0), 0);
    ASSERT_EQ(archive->AddFile("after", 0), 1);
    archive->RemoveFile(0);
    ASSERT_EQ(archive->AddFile("new.bin", 0), 0);
    EXPECT_EQ(Entry(0).offset, 2048u);
    EXPECT_EQ(Entry(0).offset + Entry(0).size, 2048u + 1000 - 400);
    CloseAndRead();
    EXPECT_EQ(Contents(0), test::RandomBytes(600, 2));
    EXPECT_EQ(Contents(1), "after");
}

TEST_F(AddFile, RecordsTheLooseFilesLastWriteTime) {
    Loose("s", "stored");
    Loose("c", "compressed");
    const auto when = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    std::filesystem::last_write_time("s", when);
    std::filesystem::last_write_time("c", when);
    platform::FileAttributes attributes;
    ASSERT_TRUE(platform::GetFileAttributes("s", &attributes));
    OpenEdit();
    ASSERT_EQ(archive->AddFile("s", 0), 0);
    ASSERT_EQ(archive->AddFile("c", 3), 1);
    CloseAndRead();
    EXPECT_EQ(Entry(0).fileTime, attributes.lastWriteTime);
    EXPECT_EQ(Entry(1).fileTime, attributes.lastWriteTime);
}

TEST_F(AddFile, MissingFilesAndBadNamesAddNothing) {
    OpenEdit();
    std::string reports = test::CaptureStderr([&] {
        EXPECT_EQ(archive->AddFile("missing", 0), -1);
        EXPECT_EQ(archive->AddFile("missing", 5), -1);
        EXPECT_EQ(archive->AddFile(nullptr, 0), -1);
        EXPECT_EQ(archive->AddFile("", 0), -1);
    });
    EXPECT_NE(reports.find("(inputFile != INVALID_HANDLE_VALUE)"), std::string::npos) << reports;
    EXPECT_NE(reports.find("(fileName)"), std::string::npos) << reports;
    EXPECT_NE(reports.find("(*fileName)"), std::string::npos) << reports;
    EXPECT_EQ(archive->GetNumFiles(), 0u);
    EXPECT_FALSE(archive->HasWriteFailed());
}

// Every way an addition can fail gives its own cause, says so in one line naming the file, and
// leaves no record; a name already stored is no failure and says nothing.
TEST_F(AddFile, EachFailedAdditionSaysWhyInOneLine) {
    Loose("s.txt", "stored bytes");
    Loose("c.bin", test::CompressibleBytes(300000));
    using GAME::AddStatus;
    struct Case {
        const char* name;
        int level;
        bool fault;
        platform::FileOperation operation;
        AddStatus status;
        const char* line;
        bool writeFailed;
    } const cases[] = {
        {"s.txt", 0, true, platform::FileOperation::read, AddStatus::readFailed,
         "s.txt: not added, reading it failed.\n", false},
        {"c.bin", 5, true, platform::FileOperation::read, AddStatus::readFailed,
         "c.bin: not added, reading it failed.\n", false},
        {"s.txt", 0, true, platform::FileOperation::write, AddStatus::writeFailed,
         "s.txt: not added, writing to the archive failed.\n", true},
        {"c.bin", 5, true, platform::FileOperation::write, AddStatus::writeFailed,
         "c.bin: not added, writing to the archive failed.\n", true},
        {"missing", 5, false, {}, AddStatus::cannotOpen, "missing: not added, it cannot be opened.\n", false},
    };
    for (const Case& c : cases) {
        OpenEdit();
        if (c.fault) platform::ArmFault(c.operation, 1);
        GAME::Addition added;
        const std::string errors = test::CaptureStderr([&] {
            added = GAME::AddLooseFile(*GAME::EditorOf(*archive), c.name, Archive::MakeStoredName(c.name), c.level);
        });
        platform::DisarmFaults();
        EXPECT_EQ(added.status, c.status) << c.line;
        EXPECT_EQ(added.index, -1) << c.line;
        EXPECT_EQ(errors.find(": not added, "), std::string::npos) << "only the tool tells: " << errors;
        EXPECT_EQ(test::CaptureStderr([&] { GAME::ReportNotAdded(c.name, added.status); }), c.line);
        EXPECT_EQ(archive->GetNumFiles(), 0u) << c.line;
        EXPECT_EQ(archive->HasWriteFailed(), c.writeFailed) << c.line;
        archive->Close(false);
    }
    OpenEdit();
    ASSERT_EQ(archive->AddFile("s.txt", 0), 0);
    const GAME::Addition again =
        GAME::AddLooseFile(*GAME::EditorOf(*archive), "S.TXT", Archive::MakeStoredName("S.TXT"), 5);
    EXPECT_EQ(again.status, AddStatus::alreadyStored);
    EXPECT_STREQ(GAME::AddStatusText(again.status), "");
}

// Sizes and offsets are 32-bit: a loose file of 4 GiB, or data that would end past the 4 GiB
// offset limit, is refused with a line naming it; nothing is truncated.
TEST_F(AddFile, FourGibLimitsRefuseTheFileAndKeepTheArchive) {
    {
        std::ofstream("huge.bin").put('x');
        test::ResizeFile("huge.bin", 0x100000000ull);
    }
    Loose("small", "fits");
    OpenEdit();
    std::string errors = test::CaptureStderr([&] {
        EXPECT_EQ(archive->AddFile("huge.bin", 0), -1);
        EXPECT_EQ(archive->AddFile("huge.bin", 5), -1);
    });
    EXPECT_NE(errors.find("huge.bin: not added, files of 4 GiB or more cannot be archived.\n"), std::string::npos)
        << errors;
    EXPECT_EQ(archive->AddFile("small", 0), 0);
    CloseAndRead();
    EXPECT_EQ(archive->GetNumFiles(), 1u);
    EXPECT_EQ(Contents(0), "fits");
    std::filesystem::remove("huge.bin");

    // An archive whose data already ends 4000 bytes short of the limit (a sparse file).
    const std::uint32_t dataSize = 0xFFFFFFFFu - 2048 - 4000;
    {
        // one stored file of dataSize zero bytes, written sparse
        std::string header("ARC\0", 4);
        auto put = [](std::string& s, std::uint32_t v) {
            for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
        };
        put(header, 3);
        put(header, 1);
        put(header, 0);
        put(header, 0);
        put(header, 4);
        put(header, 2048 + dataSize);
        header.resize(2048, '\0');
        std::string tables = std::string("big", 3) + '\0';
        for (std::uint32_t v : {1u, 2048u, dataSize, dataSize, 1u, 0u, 0u, 0u, 0u, 3u, 0u}) put(tables, v);
        std::ofstream out("a.arc", std::ios::binary | std::ios::trunc);
        out.write(header.data(), 2048);
        out.seekp(std::streamoff(2048) + dataSize);
        out.write(tables.data(), static_cast<std::streamsize>(tables.size()));
    }
    Loose("three", std::string(3000, '3'));
    Loose("five", std::string(5000, '5'));
    OpenEdit();
    errors = test::CaptureStderr([&] { EXPECT_EQ(archive->AddFile("five", 0), -1); });
    EXPECT_EQ(errors, "five: not added, the archive would pass 4 GiB.\n");
    EXPECT_EQ(archive->AddFile("three", 0), 1);
    CloseAndRead();
    EXPECT_EQ(archive->GetNumFiles(), 2u);
    EXPECT_EQ(Entry(1).offset, 2048u + dataSize);
    EXPECT_EQ(Contents(1), std::string(3000, '3'));
}

}  // namespace
