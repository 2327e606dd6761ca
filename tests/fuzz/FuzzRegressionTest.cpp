// Replays every input that ever made a fuzz target fail, kept under tests/fuzz-regressions/
// by target, so that a fixed fault stays fixed in the ordinary test run.
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "FuzzTargets.h"
#include "TestSupport.h"

namespace {

void Replay(const char* kind, const std::function<void(const std::uint8_t*, std::size_t)>& target) {
    const std::filesystem::path folder = std::filesystem::path(FUZZ_REGRESSIONS_DIR) / kind;
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (!entry.is_regular_file() || entry.path().filename().string().front() == '.') continue;
        ++replayed;
        SCOPED_TRACE(entry.path().string());
        const std::string bytes = test::ReadWholeFile(entry.path().string());
        testing::internal::CaptureStdout();
        test::CaptureStderr([&] { target(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()); });
        testing::internal::GetCapturedStdout();
    }
    // A folder that a mistake emptied, or a wrong path, must not pass for a clean replay.
    EXPECT_GT(replayed, 0) << folder << " holds no input";
}

TEST(FuzzRegressions, ArchiveInputs) { Replay("archive", fuzz::RunArchiveTarget); }
TEST(FuzzRegressions, DatabaseInputs) { Replay("database", fuzz::RunDatabaseTarget); }
TEST(FuzzRegressions, JournalInputs) { Replay("journal", fuzz::RunJournalTarget); }
TEST(FuzzRegressions, NameInputs) { Replay("names", fuzz::RunNamesTarget); }

}  // namespace
