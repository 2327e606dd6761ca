// Name normalisation, the name hash, table sizing and lookup.
#include <string>

#include <gtest/gtest.h>

#include "ArchiveFixture.h"
#include "Engine/Archive.h"
#include "TestSupport.h"

namespace {

using GAME::Archive;

std::string Normalized(const char* name) {
    std::string out;
    Archive::NormalizeFileName(name, out);
    return out;
}

// Opens an archive of `freeRecords` empty free records followed by the named files.
void OpenWithRecords(Archive& archive, const test::ScratchDir& dir, unsigned freeRecords,
                     std::initializer_list<const char*> names = {}) {
    test::ArchiveFixture fixture;
    for (unsigned i = 0; i < freeRecords; ++i) fixture.AddFree(0);
    for (const char* name : names) fixture.AddStored(name, name);
    fixture.WriteTo(dir.File("a.arc"));
    ASSERT_TRUE(archive.OpenRead(dir.File("a.arc").c_str()));
}

TEST(NormalizeFileName, BackslashesCaseAndOneLeadingDotThenSlash) {
    EXPECT_EQ(Normalized(".\\Data\\A.TXT"), "data/a.txt");
    EXPECT_EQ(Normalized("/x"), "x");
    EXPECT_EQ(Normalized("../x"), "./x");
    EXPECT_EQ(Normalized("//x"), "/x");
    EXPECT_EQ(Normalized("."), "");
    EXPECT_EQ(Normalized("/"), "");
    EXPECT_EQ(Normalized("\xC9t\xC9.TXT"), "\xC9t\xC9.txt");  // only A-Z are lowered
    std::string untouched = "kept";
    Archive::NormalizeFileName("", untouched);
    EXPECT_EQ(untouched, "kept");
}

TEST(HashFileName, WorkedValuesAndSignedHighBytes) {
    test::ScratchDir dir;
    Archive archive;
    OpenWithRecords(archive, dir, 3000);
    ASSERT_EQ(archive.GetTableSize(), 1019u);
    EXPECT_EQ(archive.HashFileName("abc", 3), 6512899u % 1019);
    EXPECT_EQ(archive.HashFileName("abc", 3), 470u);
    EXPECT_EQ(archive.HashFileName("data/x.txt", 10), 922484298u % 1019);
    EXPECT_EQ(archive.HashFileName("data/x.txt", 10), 921u);
    EXPECT_EQ(archive.HashFileName("textures/wall.tex", 17), 663u);

    Archive wider;
    test::ScratchDir dir2;
    OpenWithRecords(wider, dir2, 4100);
    ASSERT_EQ(wider.GetTableSize(), 1453u);
    EXPECT_EQ(wider.HashFileName("\xE9t\xE9/\xC0"
                                 "b",
                                 6),
              222u);
}

TEST(BuildHashTable, SizeFollowsRecordCountFreeRecordsIncluded) {
    const struct {
        unsigned records, buckets;
    } cases[] = {{0, 31}, {1, 31}, {127, 31}, {128, 73}, {36047, 9011}, {36048, 10007}, {100000, 10007}};
    for (const auto& c : cases) {
        test::ScratchDir dir;
        Archive archive;
        OpenWithRecords(archive, dir, c.records);
        EXPECT_EQ(archive.GetTableSize(), c.buckets) << c.records << " records";
        EXPECT_EQ(archive.GetNumFiles(), c.records);
    }
}

TEST(FindFile, EverySpellingOfOneNameFindsTheSameRecord) {
    test::ScratchDir dir;
    Archive archive;
    OpenWithRecords(archive, dir, 2, {"data/box.txt", "data/x.txt", "data/x.txt.bak"});
    EXPECT_EQ(archive.FindFile("data/x.txt"), 3);
    EXPECT_EQ(archive.FindFile("Data\\X.TXT"), 3);
    EXPECT_EQ(archive.FindFile("./data/x.txt"), 3);
    EXPECT_EQ(archive.FindFile("/data/x.txt"), 3);
    EXPECT_EQ(archive.FindFile("data/box.txt"), 2);
    EXPECT_EQ(archive.FindFile("data/x.tx"), -1);
    EXPECT_EQ(archive.FindFile("x.txt"), -1);
    EXPECT_EQ(archive.FindFile(""), -1);
    EXPECT_EQ(archive.FindFile("."), -1);
    EXPECT_EQ(archive.FindFile("/"), -1);
    EXPECT_EQ(archive.FindFile(nullptr), -1);
}

TEST(FindFile, NothingIsFoundBeforeAnOpen) {
    Archive archive;
    EXPECT_EQ(archive.FindFile("a.txt"), -1);
}

TEST(FindFile, LongChainsAreWalkedToTheirEnd) {
    // Names of six or more bytes that agree in every sampled byte share a bucket: a tree named
    // like t/dNNN/fNNNN.txt makes such chains of thousands of records.
    test::ScratchDir dir;
    test::ArchiveFixture fixture;
    for (int i = 0; i < 2500; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "a%04dxxxxxxxxxxz", i);
        fixture.AddStored(name, "");
    }
    fixture.WriteTo(dir.File("a.arc"));
    Archive archive;
    ASSERT_TRUE(archive.OpenRead(dir.File("a.arc").c_str()));
    // The chain lists records newest first; the oldest lies behind 2499 others.
    const std::string reports = test::CaptureStderr([&] {
        for (int i = 0; i < 2500; i += 499) {
            char name[32];
            std::snprintf(name, sizeof name, "a%04dxxxxxxxxxxz", i);
            EXPECT_EQ(archive.FindFile(name), i) << name;
        }
        EXPECT_EQ(archive.FindFile("a9999xxxxxxxxxxz"), -1);
    });
    EXPECT_EQ(reports, "");
}

TEST(FindMatchingFiles, PlainCaseInsensitiveSuffixOfStoredNames) {
    test::ScratchDir dir;
    test::ArchiveFixture fixture;
    fixture.AddStored("data/x.txt", "1");
    fixture.AddFree(3);
    fixture.AddStored("data/box.txt", "2");
    fixture.AddStored("data/x.txt.bak", "3");
    fixture.WriteTo(dir.File("a.arc"));
    Archive archive;
    ASSERT_TRUE(archive.OpenRead(dir.File("a.arc").c_str()));

    mem::vector<int> files;
    EXPECT_EQ(archive.FindMatchingFiles(files, "X.TXT"), 2u);
    EXPECT_EQ(files, (mem::vector<int>{0, 2}));

    files.clear();
    EXPECT_EQ(archive.FindMatchingFiles(files, "\\x.txt"), 0u);
    EXPECT_TRUE(files.empty());

    files.clear();
    EXPECT_EQ(archive.FindMatchingFiles(files, ""), 3u);
    EXPECT_EQ(files, (mem::vector<int>{0, 2, 3}));

    // A list that is not empty is appended to, and the mismatch is reported.
    std::string reports = test::CaptureStderr([&] { EXPECT_EQ(archive.FindMatchingFiles(files, "bak"), 1u); });
    EXPECT_EQ(files, (mem::vector<int>{0, 2, 3, 3}));
    EXPECT_NE(reports.find("[Assert] (files.size() == numFiles)"), std::string::npos) << reports;
}

// A view of one name answers as the full load does wherever it opens, and opens only an index
// as brannock writes it: anything else goes to the full load, which tells what is wrong.
TEST(OneNameView, FindsWhatTheFullLoadFindsOrLeavesItToIt) {
    test::ScratchDir dir;
    test::ArchiveFixture fixture;
    fixture.AddStored("a.txt", "first");
    fixture.AddFree(7);
    fixture.AddCompressed("dir/b.bin", test::CompressibleBytes(300000));
    fixture.AddStored("c.txt", "last");
    const std::string sound = fixture.Bytes();
    const std::string path = dir.File("a.arc");
    test::WriteWholeFile(path, sound);

    Archive full;
    ASSERT_TRUE(full.OpenRead(path.c_str()));
    for (const char* name : {"a.txt", "DIR\\B.BIN", "c.txt"}) {
        Archive view;
        ASSERT_TRUE(view.OpenReadOne(path.c_str(), name)) << name;
        ASSERT_EQ(view.GetNumFiles(), 1u) << name;
        const Archive::FileEntry& record = full.GetFileEntry(full.FindFile(name));
        EXPECT_EQ(view.FindFile(name), 0) << name;
        EXPECT_EQ(view.GetFileEntry(0).offset, record.offset) << name;
        EXPECT_EQ(view.GetFileEntry(0).numBlocks, record.numBlocks) << name;
        std::string bytes(record.expandedSize, '\0');
        ASSERT_TRUE(view.ReadFileData(0, bytes.data(), 0, record.expandedSize)) << name;
        std::string expected(record.expandedSize, '\0');
        ASSERT_TRUE(full.ReadFileData(full.FindFile(name), expected.data(), 0, record.expandedSize));
        EXPECT_EQ(bytes, expected) << name;
    }
    Archive missing;
    ASSERT_TRUE(missing.OpenReadOne(path.c_str(), "nothing"));
    EXPECT_EQ(missing.GetNumFiles(), 0u);
    EXPECT_EQ(missing.FindFile("nothing"), -1);

    // Damage anywhere in the index, bytes behind it, an empty file: no view, and no report.
    std::string damaged = sound;
    damaged[damaged.size() - 3] ^= 0x40;
    for (const std::string& bytes : {damaged, sound + std::string(10, '\0'), std::string()}) {
        test::WriteWholeFile(path, bytes);
        Archive view;
        EXPECT_EQ(test::CaptureStderr([&] { EXPECT_FALSE(view.OpenReadOne(path.c_str(), "a.txt")); }), "");
    }
}

}  // namespace
