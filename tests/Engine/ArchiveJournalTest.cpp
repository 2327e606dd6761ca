// The rollback journal at the edges a crash test rarely reaches: what an untouched archive
// costs, a journal cut short before it saved anything, a reader meeting an edit in progress,
// and a roll-back told on standard error.
#include <chrono>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "ArchiveFixture.h"
#include "Engine/ArchiveJournal.h"
#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "tool/EditFixture.h"

namespace {

using GAME::Archive;

class Journal : public test::EditFixture {
protected:
    void SetUp() override {
        test::ArchiveFixture fixture;
        fixture.AddStored("a.txt", "first file");
        fixture.AddFree(40);
        fixture.AddCompressed("b.bin", test::CompressibleBytes(5000));
        initial = fixture.Bytes();
        test::WriteWholeFile("a.arc", initial);
    }

    std::string initial;
};

TEST_F(Journal, AnUnchangedArchiveClosesWithoutWritingOrFlushing) {
    // Whole seconds, which every system's clock for file times holds and sets exactly.
    const std::filesystem::file_time_type longAgo = std::chrono::floor<std::chrono::seconds>(
        std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 30));
    std::filesystem::last_write_time("a.arc", longAgo);
    platform::CountFileCalls();
    OpenEdit();
    const std::uint64_t writes = platform::Calls(platform::FileOperation::write);
    // Closing finds nothing to do: no index is built to compare with what the file holds, so the
    // file is not even read again.
    platform::CountFileCalls();
    archive->Close(false);
    std::uint64_t closing = 0;
    for (auto operation : {platform::FileOperation::read, platform::FileOperation::write, platform::FileOperation::seek,
                           platform::FileOperation::truncate, platform::FileOperation::reserve,
                           platform::FileOperation::flush, platform::FileOperation::remove})
        closing += platform::Calls(operation);
    platform::DisarmFaults();
    EXPECT_EQ(writes + closing, 0u);
    EXPECT_FALSE(std::filesystem::exists("a.arc-journal"));
    EXPECT_EQ(test::ReadWholeFile("a.arc"), initial);
    EXPECT_EQ(std::filesystem::last_write_time("a.arc"), longAgo);
}

TEST_F(Journal, OneThatSavedNothingIsDeletedAndTheArchiveLeftAlone) {
    for (const std::string& cut : {std::string(), std::string("ARCJ\1\0\0", 7), std::string(32, 'x')}) {
        test::WriteWholeFile("a.arc-journal", cut);
        Archive reader;
        const std::string errors = test::CaptureStderr([&] { EXPECT_TRUE(reader.OpenRead("a.arc")); });
        EXPECT_EQ(errors, "");
        EXPECT_FALSE(std::filesystem::exists("a.arc-journal"));
        EXPECT_EQ(test::ReadWholeFile("a.arc"), initial);
    }
}

TEST_F(Journal, AnInterruptedEditIsRolledBackAndSaysSo) {
    {
        const platform::UniqueFile file(platform::OpenFileForEdit("a.arc"));
        GAME::ArchiveJournal journal("a.arc", file.Get(), initial.size(), {{0, initial.size()}});
        ASSERT_TRUE(journal.Protect(0, 3000));
        ASSERT_TRUE(platform::SetFilePosition(file.Get(), 2048));
        ASSERT_TRUE(platform::WriteAll(file.Get(), std::string(952, 'z').data(), 952));
        ASSERT_TRUE(platform::ReserveFileSpace(file.Get(), initial.size() + 10000));
        // The edit ends here without committing, as a killed process does.
    }
    Archive reader;
    const std::string errors = test::CaptureStderr([&] { EXPECT_TRUE(reader.OpenRead("a.arc")); });
    EXPECT_EQ(errors, "a.arc: an interrupted edit was rolled back.\n");
    EXPECT_EQ(test::ReadWholeFile("a.arc"), initial);
    EXPECT_FALSE(std::filesystem::exists("a.arc-journal"));
}

// Readers share the archive; a reader and an edit never overlap, whichever comes first, so
// that no reader sees an edit half made.
TEST_F(Journal, ReadersGoTogetherAndNeverBesideAnEdit) {
    Loose("new.txt", std::string(5000, 'n'));
    OpenEdit();
    ASSERT_GE(archive->AddFile("new.txt", 0), 0);
    Archive reader;
    EXPECT_EQ(test::CaptureStderr([&] { EXPECT_FALSE(reader.OpenRead("a.arc")); }), "");
    EXPECT_EQ(reader.GetOpenFailure(), Archive::OpenFailure::busy);
    Archive lister;
    EXPECT_FALSE(lister.OpenEdit("a.arc", Archive::EditLock::shared));
    EXPECT_EQ(lister.GetOpenFailure(), Archive::OpenFailure::busy);
    archive->Close(false);

    ASSERT_TRUE(reader.OpenRead("a.arc"));
    EXPECT_EQ(reader.GetNumFiles(), 4u);
    ASSERT_TRUE(lister.OpenEdit("a.arc", Archive::EditLock::shared));
    Archive second;
    EXPECT_TRUE(second.OpenRead("a.arc"));
    Archive editor;
    EXPECT_FALSE(editor.OpenEdit("a.arc"));
    EXPECT_EQ(editor.GetOpenFailure(), Archive::OpenFailure::busy);
    second.Close(false);
    reader.Close(false);
    lister.Close(false);
    EXPECT_TRUE(editor.OpenEdit("a.arc"));
}

// A listing of an archive laid out otherwise than brannock lays it out writes the index back
// when it has the archive alone, and leaves it as it is beside another reader.
TEST_F(Journal, AReadingEditWritesOnlyWhenAlone) {
    const std::string laidOut = test::ReadWholeFile("a.arc");
    const std::string other = laidOut + std::string(100, '\0');  // zeros behind the index
    for (const bool alone : {false, true}) {
        test::WriteWholeFile("a.arc", other);
        Archive lister, reader;
        ASSERT_TRUE(lister.OpenEdit("a.arc", Archive::EditLock::shared));
        if (!alone) ASSERT_TRUE(reader.OpenRead("a.arc"));
        lister.Close(false);
        EXPECT_FALSE(lister.HasWriteFailed());
        EXPECT_EQ(test::ReadWholeFile("a.arc"), alone ? laidOut : other) << alone;
    }
}

// A commit that cannot be completed rolls the archive back at once.
TEST_F(Journal, AFailedCommitLeavesTheStateBeforeTheEdit) {
    Loose("new.txt", std::string(5000, 'n'));
    OpenEdit();
    ASSERT_GE(archive->AddFile("new.txt", 0), 0);
    platform::ArmFault(platform::FileOperation::flush, 1);
    test::CaptureStderr([&] { archive->Close(false); });
    platform::DisarmFaults();
    EXPECT_TRUE(archive->HasWriteFailed());
    EXPECT_EQ(test::ReadWholeFile("a.arc"), initial);
    EXPECT_FALSE(std::filesystem::exists("a.arc-journal"));
}

}  // namespace
