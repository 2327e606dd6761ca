// The rollback journal at the edges a crash test rarely reaches: what an untouched archive
// costs, a journal cut short before it saved anything, readers beside edits, a roll-back told
// on standard error, and journals that must not be applied: damaged ones, foreign ones, links.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ArchiveFixture.h"
#include "Engine/ArchiveJournal.h"
#include "Engine/JournalFormat.h"
#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "tool/EditFixture.h"
#include "tool/OpenReport.h"

namespace {

using GAME::Archive;
using GAME::OpenStatus;

// Runs `open` on an archive at a.arc, which must print nothing itself (a program that embeds the
// library gets no lines), and gives the lines the tool then prints for what it did with a journal.
template <typename Open>
std::string OpenAndTell(const Archive& archive, Open&& open) {
    EXPECT_EQ(test::CaptureStderr(open), "");
    return test::CaptureStderr([&] { tool::ReportRecovery("a.arc", archive.GetRecovery()); });
}

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
        const std::string errors = OpenAndTell(reader, [&] { EXPECT_TRUE(reader.OpenRead("a.arc")); });
        EXPECT_EQ(errors, "");
        EXPECT_EQ(reader.GetOpenStatus(), OpenStatus::opened);
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
    const std::string errors = OpenAndTell(reader, [&] { EXPECT_TRUE(reader.OpenRead("a.arc")); });
    EXPECT_EQ(errors, "a.arc: an interrupted edit was rolled back.\n");
    EXPECT_EQ(reader.GetOpenStatus(), OpenStatus::recovered);
    EXPECT_EQ(test::ReadWholeFile("a.arc"), initial);
    EXPECT_FALSE(std::filesystem::exists("a.arc-journal"));
}

// A run of `edit` on a.arc that ends without closing the archive, as a killed run does: it is
// made in a child process, which leaves the archive and its journal as they are.
void KillDuring(const std::function<void(Archive&)>& edit) {
    EXPECT_EXIT(
        {
            Archive archive;
            if (archive.OpenEdit("a.arc")) edit(archive);
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");
}

// An edit that moves data down, overwrites the old index with a new file and makes its writes
// (an extraction writes what is held back first), so that the journal holds several records.
void RemoveAndCompact(Archive& archive) {
    test::WriteWholeFile("new.txt", std::string(5000, 'n'));
    archive.RemoveFile(archive.FindFile("a.txt"));
    archive.Compact();
    archive.AddFile("new.txt", 0);
    archive.ExtractFile(archive.FindFile("b.bin"), "out");
}

// Every cut of a real journal, and every flipped bit, ends in the exact roll-back or in a
// refusal that leaves both files as they were: never in a half-applied journal.
TEST_F(Journal, ACutOrDamagedJournalIsAppliedWhollyOrNotAtAll) {
    test::WriteWholeFile("a.arc.before", initial);
    KillDuring(RemoveAndCompact);
    Archive original;
    ASSERT_TRUE(original.OpenRead("a.arc.before"));
    const std::map<std::string, std::string> before = test::FilesOf(original);
    const std::string interrupted = test::ReadWholeFile("a.arc");
    const std::string journal = test::ReadWholeFile("a.arc-journal");
    ASSERT_TRUE(interrupted != initial) << "journal of " << journal.size() << " bytes";
    std::vector<std::string> damaged;
    for (std::size_t cut = 0; cut < journal.size(); cut += cut < GAME::journalRecordsStart + 20 ? 1 : 53)
        damaged.push_back(journal.substr(0, cut));
    for (std::size_t at = 0; at < journal.size(); at += at < GAME::journalRecordsStart + 20 ? 1 : 41) {
        damaged.push_back(journal);
        damaged.back()[at] = static_cast<char>(damaged.back()[at] ^ (1 << (at % 8)));
    }
    int rolledBack = 0, refused = 0;
    for (const std::string& bytes : damaged) {
        test::WriteWholeFile("a.arc", interrupted);
        test::WriteWholeFile("a.arc-journal", bytes);
        Archive reader;
        bool opened = false;
        test::CaptureStderr([&] { opened = reader.OpenRead("a.arc"); });
        const bool sameFiles = opened && test::FilesOf(reader) == before;
        reader.Close(false);
        std::size_t differs = 0;
        while (differs < bytes.size() && differs < journal.size() && bytes[differs] == journal[differs]) ++differs;
        const std::string where = "journal of " + std::to_string(bytes.size()) + " of " +
                                  std::to_string(journal.size()) + " bytes, changed from " + std::to_string(differs);
        if (opened) {
            ++rolledBack;
            // The same files, the same length; only what lay in a hole may differ.
            EXPECT_TRUE(sameFiles) << where;
            EXPECT_EQ(test::ReadWholeFile("a.arc").size(), initial.size()) << where;
            EXPECT_FALSE(std::filesystem::exists("a.arc-journal")) << where;
        } else {
            ++refused;
            EXPECT_TRUE(test::ReadWholeFile("a.arc") == interrupted) << where;
            EXPECT_TRUE(test::ReadWholeFile("a.arc-journal") == bytes) << where;
        }
        if (HasFailure()) return;
    }
    // The torn tail of the last record may go; anything below the durable records may not.
    EXPECT_GT(rolledBack, 0);
    EXPECT_GT(refused, 0);
}

// A journal is applied to the archive it was made for, and to no other file that comes to lie
// in its place.
TEST_F(Journal, OnlyTheArchiveItWasMadeForIsRolledBack) {
    KillDuring(RemoveAndCompact);
    const std::string journal = test::ReadWholeFile("a.arc-journal");
    test::ArchiveFixture other;
    other.AddStored("other.txt", "another archive altogether");
    std::filesystem::remove("new.arc");
    test::WriteWholeFile("new.arc", "");
    KillDuring([](Archive&) {});  // nothing written: an edit that writes nothing makes no journal
    EXPECT_EXIT(
        {
            Archive archive;
            test::WriteWholeFile("loose.txt", std::string(70000, 'l'));
            if (archive.OpenEdit("new.arc")) archive.AddFile("loose.txt", 0);
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");
    const std::string newJournal = test::ReadWholeFile("new.arc-journal");
    ASSERT_FALSE(newJournal.empty());

    GAME::JournalHeader made;
    made.editId = 12345;  // a journal made by hand for an archive it never saw, claiming it empty
    unsigned char header[GAME::journalHeaderSize];
    GAME::EncodeJournalHeader(made, header);

    const struct {
        const char* what;
        std::string archive;
        std::string journal;
    } foreign[] = {
        {"another archive in place of the edited one", other.Bytes(), journal},
        {"a backup copied over a new archive whose first edit was killed", initial, newJournal},
        {"an empty file", std::string(), journal},
        {"a journal made by hand", initial, std::string(reinterpret_cast<char*>(header), sizeof header)},
    };
    for (const auto& c : foreign) {
        test::WriteWholeFile("a.arc", c.archive);
        test::WriteWholeFile("a.arc-journal", c.journal);
        Archive reader;
        const std::string errors = OpenAndTell(reader, [&] { EXPECT_FALSE(reader.OpenRead("a.arc")) << c.what; });
        EXPECT_EQ(errors,
                  "a.arc: a.arc-journal is not the journal of this archive; both are left as they are (delete the "
                  "journal if the archive is the one you want).\n")
            << c.what;
        EXPECT_EQ(reader.GetOpenStatus(), OpenStatus::journal) << c.what;
        EXPECT_EQ(test::ReadWholeFile("a.arc"), c.archive) << c.what;
        EXPECT_EQ(test::ReadWholeFile("a.arc-journal"), c.journal) << c.what;
    }
    // The archive as it was before the edit is what the journal would give back: it goes.
    test::WriteWholeFile("a.arc", initial);
    test::WriteWholeFile("a.arc-journal", journal);
    Archive reader;
    EXPECT_EQ(test::CaptureStderr([&] { EXPECT_TRUE(reader.OpenRead("a.arc")); }), "");
    EXPECT_FALSE(std::filesystem::exists("a.arc-journal"));
    EXPECT_EQ(test::ReadWholeFile("a.arc"), initial);
}

// The journal is never opened through a link: one in its place refuses the archive, and one
// planted while an edit runs makes that edit's next change fail, its target untouched.
TEST_F(Journal, ALinkInTheJournalsPlaceIsNeverFollowed) {
    if (!test::MakeLink("nowhere", "a.arc-journal")) GTEST_SKIP() << test::noLinks;
    Archive editor;
    EXPECT_NE(OpenAndTell(editor, [&] { EXPECT_FALSE(editor.OpenEdit("a.arc")); }).find("is a link"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists("nowhere"));
    EXPECT_EQ(test::ReadWholeFile("a.arc"), initial);
    std::filesystem::remove("a.arc-journal");

    Loose("one.txt", "one");
    Loose("two.txt", "two");
    Loose("victim.txt", "the user's own file");
    OpenEdit();
    ASSERT_GE(archive->AddFile("one.txt", 0), 0);
    ASSERT_TRUE(archive->CommitChanges());
    ASSERT_TRUE(test::MakeLink("victim.txt", "a.arc-journal"));
    EXPECT_NE(test::CaptureStderr([&] { EXPECT_LT(archive->AddFile("two.txt", 0), 0); }).find("two.txt: not added"),
              std::string::npos);
    test::CaptureStderr([&] { archive->Close(false); });
    EXPECT_TRUE(archive->HasWriteFailed());
    EXPECT_EQ(test::ReadWholeFile("victim.txt"), "the user's own file");
    std::filesystem::remove("a.arc-journal");
    Archive reader;
    ASSERT_TRUE(reader.OpenRead("a.arc"));
    EXPECT_GE(reader.FindFile("one.txt"), 0);
}

// Readers share the archive; a reader and an edit never overlap, whichever comes first, so
// that no reader sees an edit half made.
TEST_F(Journal, ReadersGoTogetherAndNeverBesideAnEdit) {
    Loose("new.txt", std::string(5000, 'n'));
    OpenEdit();
    ASSERT_GE(archive->AddFile("new.txt", 0), 0);
    Archive reader;
    EXPECT_EQ(test::CaptureStderr([&] { EXPECT_FALSE(reader.OpenRead("a.arc")); }), "");
    EXPECT_EQ(reader.GetOpenStatus(), OpenStatus::busy);
    Archive lister;
    EXPECT_FALSE(lister.OpenEdit("a.arc", Archive::EditLock::shared));
    EXPECT_EQ(lister.GetOpenStatus(), OpenStatus::busy);
    archive->Close(false);

    ASSERT_TRUE(reader.OpenRead("a.arc"));
    EXPECT_EQ(reader.GetNumFiles(), 4u);
    ASSERT_TRUE(lister.OpenEdit("a.arc", Archive::EditLock::shared));
    Archive second;
    EXPECT_TRUE(second.OpenRead("a.arc"));
    Archive editor;
    EXPECT_FALSE(editor.OpenEdit("a.arc"));
    EXPECT_EQ(editor.GetOpenStatus(), OpenStatus::busy);
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
        if (!alone) {
            ASSERT_TRUE(reader.OpenRead("a.arc"));
        }
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
