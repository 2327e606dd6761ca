// Files created below a destination folder: the folders made on the way, and symbolic links in
// the destination that are replaced (where the file goes) or refused (on its way), never followed.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "CurrentDirectory.h"
#include "TestSupport.h"
#include "platform/File.h"
#include "platform/OutputFolder.h"

namespace {

namespace fs = std::filesystem;
using platform::OutputFolder;
using platform::OutputRefusal;

// Creates `relativePath` below `output` and writes `contents` into it. Gives the refusal.
OutputRefusal Put(OutputFolder& output, const std::string& relativePath, const std::string& contents) {
    OutputRefusal refusal = OutputRefusal::none;
    const platform::UniqueFile file(output.Create(relativePath, &refusal));
    if (file) {
        EXPECT_TRUE(platform::WriteAll(file.Get(), contents.data(), contents.size())) << relativePath;
    }
    EXPECT_EQ(static_cast<bool>(file), refusal == OutputRefusal::none) << relativePath;
    return refusal;
}

class OutputFolderTest : public testing::Test {
protected:
    test::ScratchDir dir;
    test::CurrentDirectory here{dir.Path()};
};

TEST_F(OutputFolderTest, MakesTheFoldersOnTheWayAndCutsExistingFiles) {
    OutputFolder output("out\\dest");  // missing, two levels deep
    EXPECT_EQ(Put(output, "a/x.txt", "ax"), OutputRefusal::none);
    EXPECT_EQ(Put(output, "b\\y.txt", "by"), OutputRefusal::none);
    EXPECT_EQ(Put(output, "a//b/w.txt", "abw"), OutputRefusal::none);  // doubled separators
    EXPECT_EQ(Put(output, "a/z.txt", "az"), OutputRefusal::none);      // back to a folder left before
    EXPECT_EQ(Put(output, "top.txt", "top"), OutputRefusal::none);
    EXPECT_EQ(Put(output, "./a/b/v.txt", "abv"), OutputRefusal::none);
    EXPECT_EQ(test::ReadWholeFile("out/dest/a/x.txt"), "ax");
    EXPECT_EQ(test::ReadWholeFile("out/dest/b/y.txt"), "by");
    EXPECT_EQ(test::ReadWholeFile("out/dest/a/b/w.txt"), "abw");
    EXPECT_EQ(test::ReadWholeFile("out/dest/a/z.txt"), "az");
    EXPECT_EQ(test::ReadWholeFile("out/dest/top.txt"), "top");
    EXPECT_EQ(test::ReadWholeFile("out/dest/a/b/v.txt"), "abv");

    test::WriteWholeFile("out/dest/a/long.txt", "a much longer text that was there before");
    EXPECT_EQ(Put(output, "a/long.txt", "short"), OutputRefusal::none);
    EXPECT_EQ(test::ReadWholeFile("out/dest/a/long.txt"), "short");

    // Nothing is made before the first file.
    { OutputFolder unused("never"); }
    EXPECT_FALSE(fs::exists("never"));
    // No root means the current directory.
    OutputFolder current(nullptr);
    EXPECT_EQ(Put(current, "c/d.txt", "cd"), OutputRefusal::none);
    EXPECT_EQ(test::ReadWholeFile("c/d.txt"), "cd");
}

TEST_F(OutputFolderTest, ALinkWhereTheFileGoesIsReplacedAndItsTargetKept) {
    test::WriteWholeFile("victim.txt", "victim");
    fs::create_directories("out/a");
    fs::create_directory("victim-folder");
    fs::create_symlink(fs::absolute("victim.txt"), "out/a/file.txt");
    fs::create_symlink("../../victim.txt", "out/relative.txt");
    fs::create_symlink(fs::absolute("nowhere.txt"), "out/a/dangling.txt");  // would create its target
    fs::create_symlink(fs::absolute("victim-folder"), "out/folder.txt");
    OutputFolder output("out");
    for (const char* name : {"a/file.txt", "relative.txt", "a/dangling.txt", "folder.txt"}) {
        EXPECT_EQ(Put(output, name, name), OutputRefusal::none);
        const std::string path = std::string("out/") + name;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path))) << name;
        EXPECT_EQ(test::ReadWholeFile(path), name);
    }
    EXPECT_EQ(test::ReadWholeFile("victim.txt"), "victim");
    EXPECT_FALSE(fs::exists(fs::symlink_status("nowhere.txt")));
    EXPECT_TRUE(fs::is_empty("victim-folder"));
}

TEST_F(OutputFolderTest, AFolderOnTheWayThatIsALinkRefusesTheFile) {
    fs::create_directories("victim");
    fs::create_directories("out/a");
    fs::create_symlink(fs::absolute("victim"), "out/linked");
    fs::create_symlink(fs::absolute("victim"), "out/a/deeper");
    fs::create_symlink(fs::absolute("victim/missing"), "out/dangling");  // must not be made
    OutputFolder output("out");
    EXPECT_EQ(Put(output, "a/before.txt", "before"), OutputRefusal::none);
    EXPECT_EQ(Put(output, "linked/x.txt", "x"), OutputRefusal::linkOnTheWay);
    EXPECT_EQ(Put(output, "linked/sub/x.txt", "x"), OutputRefusal::linkOnTheWay);
    EXPECT_EQ(Put(output, "a/deeper/x.txt", "x"), OutputRefusal::linkOnTheWay);
    EXPECT_EQ(Put(output, "dangling/x.txt", "x"), OutputRefusal::linkOnTheWay);
    EXPECT_EQ(Put(output, "a/after.txt", "after"), OutputRefusal::none);
    EXPECT_TRUE(fs::is_empty("victim"));
    EXPECT_EQ(test::ReadWholeFile("out/a/before.txt"), "before");
    EXPECT_EQ(test::ReadWholeFile("out/a/after.txt"), "after");

    OutputRefusal refusal = OutputRefusal::none;
    EXPECT_EQ(platform::CreateFileBelow("out", "linked/y.txt", &refusal), platform::invalidFileHandle);
    EXPECT_EQ(refusal, OutputRefusal::linkOnTheWay);
    EXPECT_TRUE(fs::is_empty("victim"));
}

TEST_F(OutputFolderTest, AFolderSwappedForALinkAfterItWasEnteredIsNotFollowed) {
    fs::create_directories("victim");
    OutputFolder output("out");
    EXPECT_EQ(Put(output, "a/first.txt", "first"), OutputRefusal::none);
    fs::rename("out/a", "out/moved");
    fs::create_symlink(fs::absolute("victim"), "out/a");
    // The folder entered for the first file is the one still written into, wherever it went.
    EXPECT_EQ(Put(output, "a/second.txt", "second"), OutputRefusal::none);
    EXPECT_TRUE(fs::is_empty("victim"));
    EXPECT_EQ(test::ReadWholeFile("out/moved/second.txt"), "second");
    // Entered afresh, the link is refused.
    EXPECT_EQ(Put(output, "b/third.txt", "third"), OutputRefusal::none);
    EXPECT_EQ(Put(output, "a/fourth.txt", "fourth"), OutputRefusal::linkOnTheWay);
    EXPECT_TRUE(fs::is_empty("victim"));
}

TEST_F(OutputFolderTest, TheDestinationItselfMayBeALink) {
    fs::create_directories("real/dest");
    fs::create_symlink(fs::absolute("real"), "chosen");
    OutputFolder output("chosen/dest");
    EXPECT_EQ(Put(output, "a/x.txt", "x"), OutputRefusal::none);
    EXPECT_EQ(test::ReadWholeFile("real/dest/a/x.txt"), "x");
}

TEST_F(OutputFolderTest, OtherFailuresAreToldApartFromLinks) {
    test::WriteWholeFile("out/file", "a file where a folder must go");
    fs::create_directories("out/folder");
    test::WriteWholeFile("blocked", "a file where the destination must go");
    OutputFolder output("out");
    EXPECT_EQ(Put(output, "file/x.txt", "x"), OutputRefusal::failed);
    EXPECT_EQ(Put(output, "folder", "x"), OutputRefusal::failed);  // a folder is not a file
    EXPECT_EQ(Put(output, "a/../../x.txt", "x"), OutputRefusal::failed);
    EXPECT_EQ(Put(output, "", "x"), OutputRefusal::failed);
    EXPECT_EQ(Put(output, "//", "x"), OutputRefusal::failed);
    EXPECT_FALSE(fs::exists("x.txt"));
    EXPECT_EQ(test::ReadWholeFile("out/file"), "a file where a folder must go");
    OutputFolder under("blocked/dest");
    EXPECT_EQ(Put(under, "x.txt", "x"), OutputRefusal::failed);
    EXPECT_EQ(platform::CreateFileBelow("blocked", "x.txt"), platform::invalidFileHandle);
}

}  // namespace
