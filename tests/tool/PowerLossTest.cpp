// Edits cut short by a simulated power loss at every point where they change the disk: after
// the "reboot" the archive opens and holds exactly its contents before the edit or exactly
// those after it, whichever writes the disk happened to keep.
#include <functional>
#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "ArchiveFixture.h"
#include "CurrentDirectory.h"
#include "EditFixture.h"
#include "Engine/ArchiveJournal.h"
#include "platform/File.h"
#include "platform/PowerLoss.h"

namespace {

using GAME::Archive;
using FileMap = std::map<std::string, std::string>;
using Edit = std::function<void(Archive&)>;

class PowerLoss : public test::EditFixture {
protected:
    void SetUp() override {
        initial = MixedArchive(before);
        Loose("gone.txt", std::string(2990, 'G'));  // fits the hole gone.txt leaves
    }

    void TearDown() override { GAME::SetJournalBatchLimit(0); }

    // Every file of the archive on disk and its contents, read after a "reboot"; fails the test
    // when the archive does not open.
    FileMap Reboot() {
        Archive reader;
        bool opened = false;
        test::CaptureStderr([&] { opened = reader.OpenRead("a.arc"); });
        EXPECT_TRUE(opened) << "the archive does not open after the power loss";
        EXPECT_FALSE(std::filesystem::exists("a.arc-journal")) << "the journal outlived the recovery";
        return opened ? test::FilesOf(reader) : FileMap();
    }

    // Runs `edit` on a fresh copy of the archive with the power lost at disk call `crashAt`.
    // Gives false once `crashAt` lies beyond the calls the edit makes.
    bool RunUntilPowerLoss(const Edit& edit, std::uint64_t crashAt, std::uint32_t seed) {
        test::WriteWholeFile("a.arc", initial);
        std::filesystem::remove("a.arc-journal");
        platform::BeginPowerLossSimulation(crashAt, seed);
        test::CaptureStderr([&] {
            Archive archive;
            if (archive.OpenEdit("a.arc")) {
                edit(archive);
                archive.Close(false);
            }
        });
        const bool lost = platform::PowerLost();
        platform::EndPowerLossSimulation();
        return lost;
    }

    // The contents after `edit` runs undisturbed.
    FileMap After(const Edit& edit) {
        test::WriteWholeFile("a.arc", initial);
        test::CaptureStderr([&] {
            Archive archive;
            ASSERT_TRUE(archive.OpenEdit("a.arc"));
            edit(archive);
            archive.Close(false);
            EXPECT_FALSE(archive.HasWriteFailed());
        });
        return Reboot();
    }

    // Loses power at every disk call of `edit`, with several choices of what the disk kept.
    void EveryPowerLoss(const Edit& edit) {
        const FileMap after = After(edit);
        ASSERT_NE(after, before);
        int crashes = 0;
        for (std::uint64_t crashAt = 1;; ++crashAt) {
            bool reached = false;
            for (std::uint32_t seed = 1; seed <= 4; ++seed) {
                if (!RunUntilPowerLoss(edit, crashAt, seed)) break;
                reached = true;
                ++crashes;
                SCOPED_TRACE("power lost at disk call " + std::to_string(crashAt) + ", seed " + std::to_string(seed));
                const FileMap found = Reboot();
                EXPECT_TRUE(found == before || found == after) << Describe(found, after);
                if (HasFailure()) return;
            }
            if (!reached) break;
        }
        EXPECT_GT(crashes, 8);
    }

    // Which files differ from the state before and from the state after.
    std::string Describe(const FileMap& found, const FileMap& after) {
        std::string text = "neither state:";
        for (const auto& [name, bytes] : found) {
            const bool old = before.count(name) && before.at(name) == bytes;
            const bool young = after.count(name) && after.at(name) == bytes;
            text += " " + name + (old ? (young ? "(both)" : "(before)") : (young ? "(after)" : "(WRONG)"));
        }
        return text;
    }

    std::string initial;
    FileMap before;
};

// Adds a loose file; a power loss may refuse it.
void Add(Archive& archive, const char* name, int level) { archive.AddFile(name, level); }

TEST_F(PowerLoss, AddingStoredAndCompressedFiles) {
    EveryPowerLoss([](Archive& archive) {
        Add(archive, "new/stored.txt", 0);
        Add(archive, "new/packed.bin", 5);
    });
}

// A new archive: before its first commit, a power loss leaves the empty file it started as.
TEST_F(PowerLoss, CreatingAnArchive) {
    initial.clear();
    before.clear();
    EveryPowerLoss([](Archive& archive) {
        Add(archive, "new/stored.txt", 0);
        Add(archive, "new/packed.bin", 5);
    });
}

// The new bytes go where the old file's bytes lie, which the state before the edit still reads.
TEST_F(PowerLoss, ReplacingAFileInItsOwnPlace) {
    EveryPowerLoss([](Archive& archive) {
        archive.RemoveFile(archive.FindFile("gone.txt"));
        Add(archive, "gone.txt", 0);
    });
}

TEST_F(PowerLoss, RemovingAndCompacting) {
    EveryPowerLoss([](Archive& archive) {
        archive.RemoveFile(archive.FindFile("keep.txt"));
        archive.Compact();
    });
}

// With a tiny journal limit every move commits on its own: a power loss then leaves the state
// of some batch, each file whole.
TEST_F(PowerLoss, CompactingInBatches) {
    GAME::SetJournalBatchLimit(1);
    EveryPowerLoss([](Archive& archive) {
        archive.RemoveFile(archive.FindFile("keep.txt"));
        archive.Compact();
    });
}

// A power loss while an interrupted edit is rolled back: the next open finishes the roll-back.
TEST_F(PowerLoss, DuringTheRollBackOfAnInterruptedEdit) {
    const Edit edit = [](Archive& archive) {
        archive.RemoveFile(archive.FindFile("gone.txt"));
        Add(archive, "gone.txt", 0);
        Add(archive, "new/packed.bin", 5);
    };
    int rollBacks = 0;
    for (std::uint64_t crashAt = 1; RunUntilPowerLoss(edit, crashAt, 7); ++crashAt) {
        if (!std::filesystem::exists("a.arc-journal")) continue;
        const std::string interrupted = test::ReadWholeFile("a.arc");
        const std::string journal = test::ReadWholeFile("a.arc-journal");
        for (std::uint64_t recoveryCrash = 1;; ++recoveryCrash) {
            test::WriteWholeFile("a.arc", interrupted);
            test::WriteWholeFile("a.arc-journal", journal);
            platform::BeginPowerLossSimulation(recoveryCrash, static_cast<std::uint32_t>(recoveryCrash));
            test::CaptureStderr([] {
                Archive reader;
                reader.OpenRead("a.arc");
            });
            const bool lost = platform::PowerLost();
            platform::EndPowerLossSimulation();
            if (!lost) break;
            ++rollBacks;
            SCOPED_TRACE("edit lost power at " + std::to_string(crashAt) + ", roll-back at " +
                         std::to_string(recoveryCrash));
            const FileMap found = Reboot();
            EXPECT_EQ(found, before);
            if (HasFailure()) return;
        }
    }
    EXPECT_GT(rollBacks, 3);
}

// The simulation itself: a name is durable only once its folder is flushed, a file made without
// that flush may be gone after the cut with its contents, and a deletion may be undone.
TEST(PowerLossNames, NamesLastOnlyOnceTheirFolderIsFlushed) {
    const test::ScratchDir dir;
    const test::CurrentDirectory inside(dir.Path());
    std::set<std::string> seen;
    for (std::uint32_t seed = 1; seed <= 16; ++seed) {
        for (const bool flushed : {false, true}) {
            std::filesystem::remove("made");
            test::WriteWholeFile("doomed", "old");
            platform::BeginPowerLossSimulation(5 + (flushed ? 1 : 0), seed);
            const platform::FileHandle made = platform::CreateNewFile("made");  // call 1
            ASSERT_NE(made, platform::invalidFileHandle);
            EXPECT_TRUE(platform::WriteAll(made, "new", 3));          // call 2
            EXPECT_TRUE(platform::FlushFile(made));                   // call 3
            EXPECT_TRUE(platform::DeleteFile("doomed"));              // call 4
            if (flushed) EXPECT_TRUE(platform::FlushDirectory("."));  // call 5
            EXPECT_FALSE(platform::FlushFile(made));                  // the cut
            platform::CloseFile(made);
            platform::EndPowerLossSimulation();
            const bool hasMade = std::filesystem::exists("made"), hasDoomed = std::filesystem::exists("doomed");
            if (flushed) EXPECT_TRUE(hasMade && !hasDoomed);
            if (hasMade) EXPECT_EQ(test::ReadWholeFile("made"), "new");
            if (hasDoomed) EXPECT_EQ(test::ReadWholeFile("doomed"), "old");
            if (!flushed) seen.insert(std::string(hasMade ? "made" : "-") + (hasDoomed ? "+doomed" : ""));
        }
    }
    EXPECT_EQ(seen.size(), 4u) << "every choice of the two pending names comes up";
}

}  // namespace
