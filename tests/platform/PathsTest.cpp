// Directory creation along a path and the rule that keeps archive names inside their folder.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/Paths.h"

namespace {

TEST(IsContainedRelativePath, RefusesEscapesAndAbsoluteNames) {
    for (const char* ok : {"a", "a/b.txt", "ui.old/a.txt", "..a/b", "a../b", "a/.../b", "./a", "a//b", "a/b/"})
        EXPECT_TRUE(platform::IsContainedRelativePath(ok)) << ok;
    for (const char* bad : {"", "/etc/passwd", "\\x", "..", "../x", "a/../../x", "a/..", "a\\..\\x", "a/..\\b"})
        EXPECT_FALSE(platform::IsContainedRelativePath(bad)) << bad;
}

TEST(CreateDirectories, EveryLevelOuterFirstWithEitherSeparator) {
    test::ScratchDir dir;
    test::CurrentDirectory here(dir.Path());
    platform::CreateDirectories("out/textures\\ui");
    EXPECT_TRUE(std::filesystem::is_directory("out/textures/ui"));
    platform::CreateDirectories("out//data/ui.old/");  // doubled and trailing separators
    EXPECT_TRUE(std::filesystem::is_directory("out/data/ui.old"));
    platform::CreateDirectories("out/textures");  // already there
    platform::CreateDirectories("");
    platform::CreateDirectories(nullptr);
    test::WriteWholeFile("file", "");
    platform::CreateDirectories("file/sub");  // fails quietly under a file
    EXPECT_FALSE(std::filesystem::exists("file/sub"));
}

}  // namespace
