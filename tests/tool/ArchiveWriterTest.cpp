// Opening for edit, closing, record allocation and statistics.
#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "ArchiveFormatCheck.h"
#include "EditFixture.h"
#include "Engine/ArchiveStatistics.h"
#include "diagnostics/AssertDialog.h"
#include "platform/FileSystem.h"

namespace {

using GAME::Archive;

using test::U32At;

class ArchiveWriter : public test::EditFixture {};

TEST_F(ArchiveWriter, MissingOrEmptyFileBecomesA2048ByteArchive) {
    for (bool existsEmpty : {false, true}) {
        if (existsEmpty)
            test::WriteWholeFile("a.arc", "");
        else
            std::filesystem::remove("a.arc");
        OpenEdit();
        EXPECT_EQ(archive->GetNumFiles(), 0u);
        EXPECT_EQ(archive->GetFileMode(), Archive::fileModeEdit);
        archive->Close(false);
        EXPECT_FALSE(archive->HasWriteFailed());
        const std::string bytes = test::ReadWholeFile("a.arc");
        ASSERT_EQ(bytes.size(), 2048u);
        EXPECT_EQ(bytes.substr(0, 4), std::string("ARC\0", 4));
        EXPECT_EQ(U32At(bytes, 4), 3u);
        for (std::size_t at = 8; at < 24; at += 4) EXPECT_EQ(U32At(bytes, at), 0u) << at;
        EXPECT_EQ(U32At(bytes, 24), 2048u);
        EXPECT_EQ(bytes.substr(28), std::string(2020, '\0'));
    }
}

TEST_F(ArchiveWriter, FailedOpenLeavesTheFileByteForByte) {
    test::ArchiveFixture fixture;
    fixture.AddStored("a.txt", "0123456789");
    std::string damagedIndex = fixture.Bytes();
    damagedIndex[damagedIndex.size() - 4] = 100;  // nameOffset past the name table
    const std::string cases[] = {"short", std::string(3000, 'x'), damagedIndex, fixture.Bytes().substr(0, 2048) + "xx"};
    for (const std::string& bytes : cases) {
        test::WriteWholeFile("a.arc", bytes);
        {
            Archive edit;
            test::CaptureStderr([&] { EXPECT_FALSE(edit.OpenEdit("a.arc")); });
            EXPECT_EQ(edit.GetFileMode(), Archive::fileModeNone);
            edit.Close(false);
        }
        EXPECT_EQ(test::ReadWholeFile("a.arc"), bytes);
    }
    Archive edit;
    EXPECT_FALSE(edit.OpenEdit(""));
    test::CaptureStderr([&] { EXPECT_FALSE(edit.OpenEdit(nullptr)); });
    EXPECT_FALSE(edit.OpenEdit(dir.Path().string().c_str()));
}

TEST_F(ArchiveWriter, OneEditAtATime) {
    OpenEdit();
    Archive second;
    EXPECT_FALSE(second.OpenEdit("a.arc"));
    EXPECT_EQ(second.GetOpenStatus(), GAME::OpenStatus::busy);
    archive->Close(false);
    EXPECT_TRUE(second.OpenEdit("a.arc"));
}

TEST_F(ArchiveWriter, BestFitAmongFreeRecords) {
    // Free records of 100 then 60 bytes: 50 bytes go into the 60-byte one, leaving a hole.
    test::ArchiveFixture fixture;
    fixture.AddFree(100);
    fixture.AddFree(60);
    fixture.AddStored("last", "z");
    fixture.WriteTo("a.arc");
    OpenEdit();
    EXPECT_EQ(archive->FindFreeEntry(50), 1);
    EXPECT_EQ(archive->FindFreeEntry(100), 0);
    EXPECT_EQ(archive->FindFreeEntry(101), -1);
    EXPECT_EQ(archive->AllocateFileEntry("new", 50, 50, false), 1);
    EXPECT_EQ(Entry(1).offset, 2148u);
    EXPECT_EQ(Entry(1).size, 50u);
    EXPECT_EQ(Entry(1).flags, 1u);
    EXPECT_EQ(archive->FindFile("NEW"), 1);
    // The name exists now, in any spelling.
    EXPECT_EQ(archive->AllocateFileEntry(".\\New", 5, 5, false), -1);
    EXPECT_EQ(archive->FindFreeEntry(50), 0);

    // Free records of 60 then 50: the exact fit wins at once.
    test::ArchiveFixture exact;
    exact.AddFree(60);
    exact.AddFree(50);
    exact.AddFree(0);
    exact.AddFree(10);
    exact.WriteTo("b.arc");
    Archive b;
    ASSERT_TRUE(b.OpenEdit("b.arc"));
    EXPECT_EQ(b.FindFreeEntry(50), 1);
    EXPECT_EQ(b.FindFreeEntry(0), 2);
    EXPECT_EQ(b.FindFreeEntry(11), 1);
    EXPECT_EQ(b.AllocateFileEntry("z", 0, 0, true), 2);
    EXPECT_EQ(b.FindFreeEntry(0), 3);  // the smallest once no empty one is left
}

TEST_F(ArchiveWriter, AppendedRecordsStartAtTheEndOfTheLastPositionEvenWhenFree) {
    test::ArchiveFixture fixture;
    fixture.AddStored("a", "aaaa");
    fixture.AddFree(30);
    fixture.WriteTo("a.arc");
    OpenEdit();
    EXPECT_EQ(archive->AllocateFileEntry("big", 31, 31, false), 2);
    EXPECT_EQ(Entry(2).offset, 2048u + 4 + 30);
    EXPECT_EQ(archive->AllocateFileEntry("b", 1, 1, false), 1);  // fits the hole
}

TEST_F(ArchiveWriter, GrowingTheRecordsRebuildsTheTableAndKeepsEveryNameFindable) {
    OpenEdit();
    EXPECT_EQ(archive->GetTableSize(), 31u);
    for (int i = 0; i < 257; ++i) {
        const std::string name = "dir/file" + std::to_string(i);
        ASSERT_EQ(archive->AllocateFileEntry(name.c_str(), 0, 0, false), i);
        EXPECT_EQ(archive->GetTableSize(), i < 256 ? 31u : 73u) << i;
    }
    for (int i = 0; i < 257; ++i) EXPECT_EQ(archive->FindFile(("DIR\\FILE" + std::to_string(i)).c_str()), i);
}

TEST_F(ArchiveWriter, StatisticsCountRecordsAndChains) {
    test::ArchiveFixture fixture;
    fixture.AddStored("abc", "1");
    fixture.AddFree(2);
    fixture.AddCompressed("d/e.bin", test::CompressibleBytes(262145));
    fixture.AddFree(0);
    fixture.AddStored("f", "");
    fixture.WriteTo("a.arc");
    OpenEdit();
    GAME::ArchiveStatistics stats;
    archive->GetStatistics(stats);
    EXPECT_EQ(stats.numEntries, 5u);
    EXPECT_EQ(stats.numActiveFiles, 3u);
    EXPECT_EQ(stats.tableSize, 31u);
    EXPECT_EQ(stats.indexSize, (49u + 3) + 49 + (49 + 7 + 24) + 49 + (49 + 1));
    EXPECT_EQ(stats.longestFileName, 7u);
    EXPECT_GE(stats.maxTableDepth, 1u);
    EXPECT_GT(stats.averageTableDepth, 0.9f);

    Archive empty;
    test::WriteWholeFile("empty.arc", "");
    ASSERT_TRUE(empty.OpenRead("empty.arc"));
    empty.GetStatistics(stats);
    EXPECT_EQ(stats.numEntries, 0u);
    EXPECT_EQ(stats.averageTableDepth, 0.0f);  // no occupied bucket
}

// Names of six or more bytes that agree in every byte the hash samples share one bucket: the
// chain depths follow additions and removals.
TEST_F(ArchiveWriter, StatisticsFollowTheChainsThroughAdditionsAndRemovals) {
    OpenEdit();
    for (int i = 0; i < 5; ++i) {
        const std::string name = "x" + std::to_string(i) + "yyyyyyyyz";
        Loose(name, name);
        ASSERT_EQ(archive->AddFile(name.c_str(), 0), i);
    }
    Loose("other.txt", "o");
    ASSERT_EQ(archive->AddFile("other.txt", 0), 5);
    GAME::ArchiveStatistics stats;
    archive->GetStatistics(stats);
    EXPECT_EQ(stats.maxTableDepth, 5u);
    EXPECT_EQ(stats.averageTableDepth, 3.0f);  // six records in two buckets
    archive->RemoveFile(4);
    archive->RemoveFile(1);
    archive->RemoveFile(5);
    archive->GetStatistics(stats);
    EXPECT_EQ(stats.numActiveFiles, 3u);
    EXPECT_EQ(stats.maxTableDepth, 3u);
    EXPECT_EQ(stats.averageTableDepth, 3.0f);
    CloseAndRead();
    archive->GetStatistics(stats);
    EXPECT_EQ(stats.maxTableDepth, 3u);
}

TEST_F(ArchiveWriter, CloseWritesBackWhatReopensTheSame) {
    test::ArchiveFixture fixture;
    fixture.AddStored("a.txt", "0123456789", 0x01D0000012345678ull);
    fixture.AddFree(7);
    fixture.AddCompressed("b/c.bin", test::CompressibleBytes(600000));
    fixture.AddCompressed("raw.bin", test::RandomBytes(1000, 5));
    fixture.WriteTo("a.arc");
    const std::string before = test::ReadWholeFile("a.arc");
    OpenEdit();
    archive->Close(false);
    // Nothing changed, so the rewritten file is the one that was read.
    EXPECT_EQ(test::ReadWholeFile("a.arc"), before);

    // A Close(true) on an edit is reported and closes as Close(false) does.
    OpenEdit();
    std::string reports = test::CaptureStderr([&] { archive->Close(true); });
    EXPECT_NE(reports.find("(reopen == false)"), std::string::npos) << reports;
    EXPECT_EQ(test::ReadWholeFile("a.arc"), before);
    EXPECT_EQ(archive->GetNumFiles(), 0u);
}

// The records loaded from the file point into the tables the archive loaded; those made by the
// edit own copies. Removing, replacing, undoing and compacting must each drop or free exactly
// what the record has, whichever kind it is (the sanitizer build checks every free).
TEST_F(ArchiveWriter, LoadedAndAddedRecordsSurviveRemovalReplacementAndCompaction) {
    std::map<std::string, std::string> contents = {
        {"keep.txt", "kept as it is"},
        {"gone.bin", test::CompressibleBytes(300000)},
        {"swap.bin", test::CompressibleBytes(270000)},
        {"tail.txt", std::string(5000, 't')},
    };
    test::ArchiveFixture fixture;
    fixture.AddStored("keep.txt", contents["keep.txt"]);
    fixture.AddCompressed("gone.bin", contents["gone.bin"]);
    fixture.AddCompressed("swap.bin", contents["swap.bin"]);
    fixture.AddStored("tail.txt", contents["tail.txt"]);
    fixture.WriteTo("a.arc");
    contents.erase("gone.bin");
    contents["swap.bin"] = test::RandomBytes(262144 + 300, 7);
    contents["added.bin"] = test::CompressibleBytes(400000);
    for (const char* name : {"swap.bin", "added.bin"}) Loose(name, contents[name]);
    Loose("undone.txt", "added, then removed again");

    OpenEdit();
    archive->RemoveFile(archive->FindFile("gone.bin"));  // loaded: blocks and name in the tables
    archive->RemoveFile(archive->FindFile("swap.bin"));
    ASSERT_GE(archive->AddFile("swap.bin", 5), 0);  // replaced: its new blocks are its own
    ASSERT_GE(archive->AddFile("added.bin", 5), 0);
    const int undone = archive->AddFile("undone.txt", 0);
    ASSERT_GE(undone, 0);
    archive->RemoveFile(undone);  // added: its own name is freed
    auto checkContents = [&] {
        unsigned inUse = 0;
        for (unsigned i = 0; i < archive->GetNumFiles(); ++i)
            if (Entry(static_cast<int>(i)).flags & Archive::fileFlagInUse) ++inUse;
        EXPECT_EQ(inUse, contents.size());
        for (const auto& [name, bytes] : contents) {
            const int index = archive->FindFile(name.c_str());
            ASSERT_GE(index, 0) << name;
            EXPECT_STREQ(Entry(index).name, name.c_str());
            EXPECT_EQ(Contents(index), bytes) << name;
        }
        for (const char* name : {"gone.bin", "undone.txt"}) EXPECT_EQ(archive->FindFile(name), -1) << name;
    };
    checkContents();
    archive->Compact();  // moves loaded and added records, rewriting their block offsets in place
    checkContents();
    CloseAndRead();
    checkContents();
    const std::string closed = test::ReadWholeFile("a.arc");
    test::CheckArchiveFormat(closed);

    // What Close wrote is laid out as Close lays it out: the next edit that changes nothing
    // leaves it byte for byte.
    archive->Close(false);
    OpenEdit();
    checkContents();
    archive->Close(false);
    EXPECT_EQ(test::ReadWholeFile("a.arc"), closed);
}

// An edit that changes nothing writes nothing back only when the file holds the index exactly
// as Close lays it out. Any other sound index is rewritten in that layout, as it always was.
TEST_F(ArchiveWriter, AnIndexLaidOutOtherwiseIsRewrittenByAnEditThatChangesNothing) {
    test::ArchiveFixture fixture;
    fixture.AddStored("a.txt", "alpha");
    fixture.AddFree(12);
    fixture.AddCompressed("b.bin", test::CompressibleBytes(300000));
    fixture.AddStored("c.txt", "gamma");
    const std::string laidOut = fixture.Bytes();
    const std::uint64_t indexOffset = U32At(laidOut, 24);
    const std::uint64_t names = indexOffset + U32At(laidOut, 16);
    const std::uint64_t entries = names + U32At(laidOut, 20);
    auto entryField = [&](int record, int field) { return entries + 44 * record + 4 * field; };

    std::map<std::string, std::string> variants;
    variants["as Close writes it"] = laidOut;
    variants["junk in the header's reserved bytes"] = laidOut;
    variants["junk in the header's reserved bytes"][2047] = 'x';
    variants["a wrong block table size"] = laidOut;
    test::PutU32At(variants["a wrong block table size"], 16, 0);
    variants["zero bytes behind the index"] = laidOut + std::string(100, '\0');
    variants["a free record with a name length and blocks"] = laidOut;
    test::PutU32At(variants["a free record with a name length and blocks"], entryField(1, 7), 2);
    test::PutU32At(variants["a free record with a name length and blocks"], entryField(1, 9), 3);
    // The names of a.txt and c.txt swapped in the name table, and their offsets with them.
    std::string swapped = laidOut;
    const std::uint32_t aAt = U32At(laidOut, entryField(0, 10)), cAt = U32At(laidOut, entryField(3, 10));
    swapped.replace(names + aAt, 5, "c.txt");
    swapped.replace(names + cAt, 5, "a.txt");
    test::PutU32At(swapped, entryField(0, 10), cAt);
    test::PutU32At(swapped, entryField(3, 10), aAt);
    variants["names out of record order"] = swapped;

    for (const auto& [what, bytes] : variants) {
        SCOPED_TRACE(what);
        test::WriteWholeFile("a.arc", bytes);
        OpenEdit();
        EXPECT_STREQ(Entry(0).name, "a.txt");
        EXPECT_STREQ(Entry(3).name, "c.txt");
        archive->Close(false);
        EXPECT_FALSE(archive->HasWriteFailed());
        EXPECT_EQ(test::ReadWholeFile("a.arc"), laidOut);
    }
}

// Close writes only the part of the index that differs from what the file holds: from the first
// byte that differs on, found a piece at a time. Changes near the start, deep inside and at the
// very end of an index of several pieces must all come out whole.
TEST_F(ArchiveWriter, ChangesAnywhereInALongIndexComeOutWhole) {
    constexpr int count = 24000;  // an index of about 2.3 MB
    auto name = [](int i) {
        return "folder" + std::to_string(i % 97) + "/a fairly long file name " + std::to_string(i);
    };
    auto build = [&](int changed, bool removed, const std::string& newContents, std::uint64_t fileTime) {
        test::ArchiveFixture fixture;
        for (int i = 0; i < count; ++i) {
            if (i != changed)
                fixture.AddStored(name(i), i % 3 ? "" : "xyz");
            else if (removed)
                fixture.AddFree(i % 3 ? 0 : 3);
            else
                fixture.AddStored(name(i), newContents, fileTime);
        }
        return fixture.Bytes();
    };
    const std::string original = build(-1, false, "", 0);
    for (int changed : {0, 2, count / 2, count - 3, count - 1}) {
        for (bool removed : {true, false}) {
            SCOPED_TRACE("record " + std::to_string(changed) + (removed ? " removed" : " replaced"));
            test::WriteWholeFile("a.arc", original);
            OpenEdit();
            archive->RemoveFile(archive->FindFile(name(changed).c_str()));
            std::string expected;
            if (removed) {
                // The bytes of a removed file stay where they were, in the hole it leaves.
                expected = build(changed, true, "", 0);
                const std::uint32_t dataEnd = U32At(original, 24);
                expected.replace(2048, dataEnd - 2048, original, 2048, dataEnd - 2048);
            } else {
                // The same size, so that the replacement takes the hole it left: only the entry
                // of the record changes, and the data under it.
                const std::string newContents = changed % 3 ? "" : "XYZ";
                Loose(name(changed), newContents);
                ASSERT_EQ(archive->AddFile(name(changed).c_str(), 0), changed);
                platform::FileAttributes attributes;
                ASSERT_TRUE(platform::GetFileAttributes(name(changed).c_str(), &attributes));
                expected = build(changed, false, newContents, attributes.lastWriteTime);
            }
            archive->Close(false);
            ASSERT_FALSE(archive->HasWriteFailed());
            ASSERT_EQ(test::ReadWholeFile("a.arc"), expected);
        }
    }
}

TEST_F(ArchiveWriter, WorkedLayoutFromAnAddition) {
    Loose("a.txt", "0123456789");
    OpenEdit();
    ASSERT_EQ(archive->AddFile("a.txt", 0), 0);
    archive->Close(false);
    test::ArchiveFixture expected;
    platform::FileAttributes attributes;
    ASSERT_TRUE(platform::GetFileAttributes("a.txt", &attributes));
    expected.AddStored("a.txt", "0123456789", attributes.lastWriteTime);
    EXPECT_EQ(test::ReadWholeFile("a.arc"), expected.Bytes());
}

}  // namespace

namespace {

// The Exit answer to a failed check ends the process without the driver's normal end; the
// archive open for edit must still get its index, or the data appended over the old index
// would leave it unreadable.
void AddThenExitThroughAnAssertion() {
    GAME::Archive archive;
    if (!archive.OpenEdit("a.arc")) std::exit(3);
    if (archive.AddFile("late.txt", 5) < 0) std::exit(4);
    bool ignoreAlways = false;
    diag::ActOnAssertChoice(diag::assertChoiceExit, &ignoreAlways);
}

class ArchiveWriterDeathTest : public test::EditFixture {};

TEST_F(ArchiveWriterDeathTest, ExitAnswerWritesTheIndexFirst) {
    // Written whole, so that a child that runs the test again up to the statement (as death
    // tests do on Windows) starts from the same archive.
    test::ArchiveFixture fixture;
    fixture.AddStored("early.txt", "early");
    test::WriteWholeFile("a.arc", fixture.Bytes());
    Loose("late.txt", test::CompressibleBytes(300000));
    EXPECT_EXIT(AddThenExitThroughAnAssertion(), testing::ExitedWithCode(0), "");
    GAME::Archive reader;
    ASSERT_TRUE(reader.OpenRead("a.arc"));
    ASSERT_EQ(reader.GetNumFiles(), 2u);
    const int late = reader.FindFile("late.txt");
    ASSERT_EQ(late, 1);
    std::string contents(reader.GetFileEntry(late).expandedSize, '\0');
    ASSERT_TRUE(reader.ReadFileData(late, contents.data(), 0, static_cast<unsigned>(contents.size())));
    EXPECT_EQ(contents, test::CompressibleBytes(300000));
}

}  // namespace
