// Removing files and compacting the data.
#include <string>

#include <gtest/gtest.h>

#include "EditFixture.h"

namespace {

using GAME::Archive;

class RemoveAndCompact : public test::EditFixture {};

TEST_F(RemoveAndCompact, RemovedBytesStayAndTheRecordBecomesFree) {
    Loose("a", "aaaa");
    Loose("b", "bbbbbb");
    OpenEdit();
    ASSERT_EQ(archive->AddFile("a", 0), 0);
    ASSERT_EQ(archive->AddFile("b", 0), 1);
    archive->RemoveFile(0);
    EXPECT_EQ(archive->FindFile("a"), -1);
    CloseAndRead();
    EXPECT_EQ(archive->GetNumFiles(), 2u);
    EXPECT_EQ(Entry(0).flags, 0u);
    EXPECT_EQ(Entry(0).offset, 2048u);
    EXPECT_EQ(Entry(0).size, 4u);
    EXPECT_EQ(Entry(0).name, nullptr);
    EXPECT_EQ(archive->FindFile("a"), -1);
    EXPECT_EQ(test::ReadWholeFile("a.arc").substr(2048, 10), "aaaabbbbbb");

    // Removing outside edit mode, a bad index or a free record changes nothing.
    std::string reports = test::CaptureStderr([&] {
        archive->RemoveFile(1);
        OpenEdit();
        archive->RemoveFile(2);
        archive->RemoveFile(-1);
        archive->RemoveFile(0);
    });
    EXPECT_NE(reports.find("(archiveFileMode == fileModeEdit)"), std::string::npos) << reports;
    EXPECT_NE(reports.find("(fileIndex < (int)fileArray.size())"), std::string::npos) << reports;
    EXPECT_NE(reports.find("(fileEntry.flags & fileFlagInUse)"), std::string::npos) << reports;
    EXPECT_EQ(archive->FindFile("b"), 1);
}

TEST_F(RemoveAndCompact, RemovingHeadMiddleAndTailOfAChainKeepsTheOthers) {
    // Names of six or more bytes that agree in every sampled byte share one bucket.
    OpenEdit();
    for (int i = 0; i < 5; ++i) {
        const std::string name = "x" + std::to_string(i) + "yyyyyyyyz";
        Loose(name, name);
        ASSERT_EQ(archive->AddFile(name.c_str(), 0), i);
    }
    archive->RemoveFile(4);  // the head: newest first
    archive->RemoveFile(2);  // the middle
    archive->RemoveFile(0);  // the tail
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(archive->FindFile(("x" + std::to_string(i) + "yyyyyyyyz").c_str()), i % 2 == 1 ? i : -1) << i;
}

TEST_F(RemoveAndCompact, CompactionClosesHolesAndTheFileShrinks) {
    // A at 2048 (100 bytes), B free at 2148 (50), C at 2198 (30).
    test::ArchiveFixture fixture;
    fixture.AddStored("a", test::RandomBytes(100, 1));
    fixture.AddFree(50);
    fixture.AddStored("c", test::RandomBytes(30, 3));
    fixture.WriteTo("a.arc");
    const auto before = std::filesystem::file_size("a.arc");
    OpenEdit();
    archive->Compact();
    ASSERT_EQ(archive->GetNumFiles(), 2u);
    EXPECT_EQ(Entry(0).offset, 2048u);
    EXPECT_EQ(Entry(1).offset, 2148u);
    EXPECT_EQ(archive->FindFile("c"), 1);
    EXPECT_EQ(Contents(1), test::RandomBytes(30, 3));

    // The next addition appends at the new end, over nothing that lives.
    Loose("d", "dddd");
    ASSERT_EQ(archive->AddFile("d", 0), 2);
    EXPECT_EQ(Entry(2).offset, 2178u);
    CloseAndRead();
    EXPECT_EQ(std::filesystem::file_size("a.arc"), before - 50 + 4 + 2);  // the hole goes, d and its name come
    EXPECT_EQ(Contents(0), test::RandomBytes(100, 1));
    EXPECT_EQ(Contents(1), test::RandomBytes(30, 3));
    EXPECT_EQ(Contents(2), "dddd");
}

TEST_F(RemoveAndCompact, MovedCompressedFilesKeepContiguousBlocks) {
    const std::string big = test::CompressibleBytes(600000) + test::RandomBytes(3000, 8);
    Loose("first", test::RandomBytes(1000, 1));
    Loose("hole", test::RandomBytes(600, 2));
    Loose("big.bin", big);
    OpenEdit();
    ASSERT_EQ(archive->AddFile("first", 0), 0);
    ASSERT_EQ(archive->AddFile("hole", 0), 1);
    ASSERT_EQ(archive->AddFile("big.bin", 5), 2);
    archive->RemoveFile(0);
    Loose("fill", test::RandomBytes(600, 4));
    ASSERT_EQ(archive->AddFile("fill", 0), 0);  // 600 bytes in the 1000-byte range
    const unsigned oldOffset = Entry(1).offset;
    archive->Compact();
    EXPECT_EQ(Entry(1).offset, oldOffset - 400);  // the next file moves down by 400
    const Archive::FileEntry& moved = Entry(2);
    unsigned expected = moved.offset;
    for (unsigned b = 0; b < moved.numBlocks; ++b) {
        EXPECT_EQ(moved.blocks[b].offset, expected) << b;
        expected += moved.blocks[b].compressedSize;
    }
    EXPECT_EQ(expected, moved.offset + moved.size);
    EXPECT_EQ(Contents(2), big);
    CloseAndRead();
    EXPECT_EQ(Contents(0), test::RandomBytes(600, 4));
    EXPECT_EQ(Contents(1), test::RandomBytes(600, 2));
    EXPECT_EQ(Contents(2), big);
}

TEST_F(RemoveAndCompact, CompactingATightArchiveChangesNothing) {
    test::ArchiveFixture fixture;
    fixture.AddStored("a", "1");
    fixture.AddCompressed("b", test::CompressibleBytes(300000));
    fixture.WriteTo("a.arc");
    const std::string before = test::ReadWholeFile("a.arc");
    OpenEdit();
    archive->Compact();
    archive->Close(false);
    EXPECT_EQ(test::ReadWholeFile("a.arc"), before);
}

TEST_F(RemoveAndCompact, CompactOutsideEditDoesNothing) {
    test::ArchiveFixture fixture;
    fixture.AddFree(5);
    fixture.AddStored("a", "1");
    fixture.WriteTo("a.arc");
    ASSERT_TRUE(archive->OpenRead("a.arc"));
    archive->Compact();
    EXPECT_EQ(archive->GetNumFiles(), 2u);
}

}  // namespace

namespace {

class CompactRecovery : public test::EditFixture {};

// A file whose data cannot be read whole (here the archive was cut short under the editor)
// must not be moved half-copied: compaction stops there and keeps that record and every later
// one where they are, so that the index written at close still matches the data.
TEST_F(CompactRecovery, UnreadableFileStopsCompactionWithATrueIndex) {
    test::ArchiveFixture fixture;
    fixture.AddStored("a", test::RandomBytes(100, 1));
    fixture.AddFree(50);
    fixture.AddStored("b", test::RandomBytes(40, 2));
    fixture.AddFree(10);
    fixture.AddStored("c", test::RandomBytes(30, 3));
    fixture.WriteTo("a.arc");
    OpenEdit();
    std::filesystem::resize_file("a.arc", 2048 + 100 + 50 + 20);  // b's data is cut
    std::string reports = test::CaptureStderr([&] { archive->Compact(); });
    EXPECT_NE(reports.find("(bytesRead == originalEntry.size)"), std::string::npos) << reports;
    ASSERT_EQ(archive->GetNumFiles(), 4u);
    EXPECT_EQ(Entry(0).offset, 2048u);
    EXPECT_EQ(Entry(1).offset, 2048u + 150);  // b stays
    EXPECT_EQ(Entry(2).flags, 0u);            // with the hole after it, still reusable
    EXPECT_EQ(archive->FindFreeEntry(10), 2);
    EXPECT_EQ(archive->FindFile("c"), 3);
    EXPECT_EQ(archive->FindFile("b"), 1);
}

}  // namespace
