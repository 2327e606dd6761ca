// The fuzz targets' scratch space: under the system's temporary directory, never in the work
// tree, and gone when the process that made it exits, as a fuzzer or the test run exits.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "ArchiveFixture.h"
#include "FuzzTargets.h"
#include "Scratch.h"
#include "TestSupport.h"
#include "platform/Process.h"

namespace {

// The variable that names the temporary directory: Windows reads TMP first.
#ifdef _WIN32
constexpr const char* temporaryVariable = "TMP";
#else
constexpr const char* temporaryVariable = "TMPDIR";
#endif

// Sets the temporary directory for the object's lifetime.
class TemporaryDirectoryVariable {
public:
    explicit TemporaryDirectoryVariable(const std::filesystem::path& path) {
        if (const char* value = std::getenv(temporaryVariable)) saved = value;
        platform::SetEnvironmentVariable(temporaryVariable, path.string().c_str());
    }
    ~TemporaryDirectoryVariable() {
        platform::SetEnvironmentVariable(temporaryVariable, saved ? saved->c_str() : nullptr);
    }
    TemporaryDirectoryVariable(const TemporaryDirectoryVariable&) = delete;
    TemporaryDirectoryVariable& operator=(const TemporaryDirectoryVariable&) = delete;

private:
    std::optional<std::string> saved;
};

void Fail(const char* why) {
    std::fprintf(stderr, "%s\n", why);
    std::exit(1);
}

bool IsUnder(std::filesystem::path path, const std::filesystem::path& folder) {
    for (path = path.parent_path(); path.has_relative_path(); path = path.parent_path())
        if (std::filesystem::equivalent(path, folder)) return true;
    return false;
}

// Runs in a child process: uses the scratch space as a target does, checks where it is and
// what each call keeps, and exits the way libFuzzer does.
void UseTheScratchThenExit(const std::filesystem::path& temp) {
    const std::filesystem::path input = fuzz::FreshScratch();
    const std::filesystem::path kept = fuzz::ProcessScratchFile("kept.arc");
    std::ofstream(input / "one.arc") << "one input";
    std::ofstream(kept) << "for the whole process";
    std::filesystem::create_directories(input / "out" / "dir");
    if (fuzz::FreshScratch() != input) Fail("the per-input folder moved");
    if (!std::filesystem::is_empty(input)) Fail("the per-input folder was not emptied");
    if (!std::filesystem::exists(kept)) Fail("the file kept for the process went with the input");
    if (!IsUnder(input, temp)) Fail("the per-input folder is not under TMPDIR");
    if (!IsUnder(kept, temp)) Fail("the file kept for the process is not under TMPDIR");
    std::exit(0);
}

TEST(FuzzScratchDeathTest, LivesUnderTmpdirAndGoesAtExitLeavingTheParentsAlone) {
    // This process's own scratch, made before the child starts: the child must leave it.
    const std::filesystem::path parentInput = fuzz::FreshScratch();
    std::ofstream(parentInput / "parent.arc") << "parent";

    test::ScratchDir temp;
    {
        TemporaryDirectoryVariable tmpdir(temp.Path());
        EXPECT_EXIT(UseTheScratchThenExit(temp.Path()), testing::ExitedWithCode(0), "");
    }
    std::string left;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(temp.Path()))
        left += entry.path().string() + "\n";
    EXPECT_EQ(left, "");
    EXPECT_EQ(test::ReadWholeFile((parentInput / "parent.arc").string()), "parent");
}

// The extraction output folder is normalised as an archive name, which turns an absolute path
// relative; the target must still write its files into the scratch and nowhere else.
TEST(FuzzScratch, ArchiveTargetExtractsIntoTheScratchNotTheCurrentDirectory) {
    test::ArchiveFixture fixture;
    fixture.AddStored("dir/one.txt", "one");
    fixture.AddCompressed("two.bin", test::CompressibleBytes(3000));
    const std::string bytes = fixture.Bytes();
    const std::filesystem::path input = fuzz::FreshScratch();
    test::ScratchDir elsewhere;
    {
        test::CurrentDirectory inElsewhere(elsewhere.Path());
        testing::internal::CaptureStdout();
        fuzz::RunArchiveTarget(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::filesystem::current_path(), elsewhere.Path());
    }
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.Path()));
    EXPECT_EQ(test::ReadWholeFile((input / "out" / "dir" / "one.txt").string()), "one");
    EXPECT_EQ(test::ReadWholeFile((input / "out" / "two.bin").string()), test::CompressibleBytes(3000));
}

}  // namespace
