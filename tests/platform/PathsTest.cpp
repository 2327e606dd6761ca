// Directory creation along a path, joining, the rule that keeps archive names inside their
// folder, and the ASCII-only case folding of names.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/Ascii.h"
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

TEST(JoinPath, OneSeparatorUnlessTheFolderIsEmptyOrEndsInOne) {
    EXPECT_EQ(platform::JoinPath("out", "a/b.txt"), "out/a/b.txt");
    EXPECT_EQ(platform::JoinPath("out/", "a"), "out/a");
    EXPECT_EQ(platform::JoinPath("", "a"), "a");
    EXPECT_EQ(platform::JoinPath("out", ""), "out/");
    EXPECT_EQ(platform::JoinPath("", ""), "");
    EXPECT_EQ(platform::JoinPath("/", "a"), "/a");
}

TEST(AsciiCase, FoldsOnlyAsciiLetters) {
    EXPECT_TRUE(platform::EqualIgnoringAsciiCase("-TotalStats", "-totalstats"));
    EXPECT_FALSE(platform::EqualIgnoringAsciiCase("-add", "-addx"));
    EXPECT_FALSE(platform::EqualIgnoringAsciiCase("", "a"));
    // Bytes above 127 (UTF-8 or Latin-1 letters) are never folded, in any locale.
    EXPECT_FALSE(platform::EqualIgnoringAsciiCase("\xC9t\xC9", "\xE9t\xE9"));
    EXPECT_EQ(platform::AsciiLower('\xC9'), '\xC9');
    EXPECT_EQ(platform::AsciiUpper('\xE9'), '\xE9');
    EXPECT_EQ(platform::AsciiLower('@'), '@');  // the neighbours of the letters stay
    EXPECT_EQ(platform::AsciiLower('['), '[');
    EXPECT_EQ(platform::AsciiUpper('`'), '`');
    EXPECT_EQ(platform::AsciiUpper('{'), '{');
}

}  // namespace
