// Files created below a destination folder: the folders made on the way, and symbolic links in
// the destination that are replaced (where the file goes) or refused (on its way), never followed;
// folders and files that exist under another case used as they are.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CurrentDirectory.h"
#include "TestSupport.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
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

// The names in a folder, sorted.
std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

using Names = std::vector<std::string>;

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

    // The one file to keep is refused whole, whatever its name here; the others go on.
    platform::FileAttributes kept;
    ASSERT_TRUE(platform::GetFileAttributes("out/dest/a/long.txt", &kept));
    output.KeepUntouched(kept.volume, kept.fileId);
    EXPECT_EQ(Put(output, "A/LONG.TXT", "cut"), OutputRefusal::keptFile);
    EXPECT_EQ(test::ReadWholeFile("out/dest/a/long.txt"), "short");
    EXPECT_EQ(Put(output, "a/x.txt", "ax2"), OutputRefusal::none);

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
    if (!test::MakeLink(fs::absolute("victim.txt").string(), "out/a/file.txt")) GTEST_SKIP() << test::noLinks;
    if (!test::MakeLink("../../victim.txt", "out/relative.txt")) GTEST_SKIP() << test::noLinks;
    if (!test::MakeLink(fs::absolute("nowhere.txt").string(), "out/a/dangling.txt"))
        GTEST_SKIP() << test::noLinks;  // would create its target
    if (!test::MakeLink(fs::absolute("victim-folder").string(), "out/folder.txt")) GTEST_SKIP() << test::noLinks;
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
    if (!test::MakeLink(fs::absolute("victim").string(), "out/linked")) GTEST_SKIP() << test::noLinks;
    if (!test::MakeLink(fs::absolute("victim").string(), "out/a/deeper")) GTEST_SKIP() << test::noLinks;
    if (!test::MakeLink(fs::absolute("victim/missing").string(), "out/dangling"))
        GTEST_SKIP() << test::noLinks;  // must not be made
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
    std::error_code held;
    fs::rename("out/a", "out/moved", held);
    if (held) {
        // Windows: a folder held open for the files cannot be renamed, so nothing can take its
        // place.
        EXPECT_EQ(Put(output, "a/second.txt", "second"), OutputRefusal::none);
        EXPECT_EQ(test::ReadWholeFile("out/a/second.txt"), "second");
        EXPECT_TRUE(fs::is_empty("victim"));
        return;
    }
    if (!test::MakeLink(fs::absolute("victim").string(), "out/a")) GTEST_SKIP() << test::noLinks;
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
    if (!test::MakeLink(fs::absolute("real").string(), "chosen")) GTEST_SKIP() << test::noLinks;
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

TEST_F(OutputFolderTest, FoldersAndFilesThatExistUnderAnotherCaseAreUsed) {
    test::WriteWholeFile("Out/Data/Core/X.PNG", "a longer file that was there before");
    OutputFolder output("out/data");
    EXPECT_EQ(Put(output, "core/x.png", "new"), OutputRefusal::none);
    EXPECT_EQ(Put(output, "core/images/y.png", "y"), OutputRefusal::none);
    EXPECT_EQ(Put(output, "sounds/a.wav", "a"), OutputRefusal::none);
    // Made in this run, then named again under another case: the same folder and file.
    EXPECT_EQ(Put(output, "Sounds/A.WAV", "A"), OutputRefusal::none);
    EXPECT_EQ(Entries("."), Names{"Out"});
    EXPECT_EQ(Entries("Out/Data"), (Names{"Core", "sounds"}));
    EXPECT_EQ(Entries("Out/Data/Core"), (Names{"X.PNG", "images"}));
    EXPECT_EQ(test::ReadWholeFile("Out/Data/Core/X.PNG"), "new");
    EXPECT_EQ(test::ReadWholeFile("Out/Data/Core/images/y.png"), "y");
    EXPECT_EQ(Entries("Out/Data/sounds"), Names{"a.wav"});
    EXPECT_EQ(test::ReadWholeFile("Out/Data/sounds/a.wav"), "A");

    // A destination given whole and absolute, its upper-case folders spelt in lower case.
    fs::create_directories("Mixed/Case");
    std::string absolute = fs::absolute("mixed/case/new").string();
    std::transform(absolute.begin(), absolute.end(), absolute.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    OutputFolder far(absolute.c_str());
    EXPECT_EQ(Put(far, "x.txt", "x"), OutputRefusal::none);
    EXPECT_EQ(test::ReadWholeFile("Mixed/Case/new/x.txt"), "x");
    EXPECT_EQ(Entries("."), (Names{"Mixed", "Out"}));
}

TEST_F(OutputFolderTest, EachFolderIsListedOnceWhateverTheOrderOfTheFiles) {
    for (int i = 0; i < 100; ++i) {
        test::WriteWholeFile("Tree/One/F" + std::to_string(i) + ".TXT", "old");
        test::WriteWholeFile("Tree/Two/F" + std::to_string(i) + ".TXT", "old");
    }
    OutputFolder output("tree");
    for (int i = 0; i < 100; ++i) {  // back and forth between the two folders
        EXPECT_EQ(Put(output, "one/f" + std::to_string(i) + ".txt", "1"), OutputRefusal::none);
        EXPECT_EQ(Put(output, "two/f" + std::to_string(i) + ".txt", "2"), OutputRefusal::none);
    }
    EXPECT_EQ(Entries("Tree"), (Names{"One", "Two"}));
    EXPECT_EQ(Entries("Tree/One").size(), 100u);
    EXPECT_EQ(test::ReadWholeFile("Tree/Two/F99.TXT"), "2");
    // Where the system looks names up with case ignored (Windows) nothing needs listing.
    const bool listing = test::NamesDifferingInCaseCoexist(".");
    // The current directory (to find "Tree"), Tree, One and Two.
    EXPECT_EQ(output.FoldersListed(), listing ? 4u : 0u);

    // Folders made by the run are known to be empty: nothing is listed below the one it found.
    OutputFolder fresh("tree/new");
    for (int i = 0; i < 50; ++i) EXPECT_EQ(Put(fresh, "a/b/f" + std::to_string(i), "f"), OutputRefusal::none);
    // The current directory and Tree, to find the destination.
    EXPECT_EQ(fresh.FoldersListed(), listing ? 2u : 0u);
    EXPECT_EQ(Entries("Tree/new/a/b").size(), 50u);
}

TEST_F(OutputFolderTest, LinksFoundUnderAnotherCaseAreStillNeverFollowed) {
    test::WriteWholeFile("victim.txt", "victim");
    fs::create_directories("victim-folder");
    fs::create_directories("out");
    if (!test::MakeLink(fs::absolute("victim-folder").string(), "out/Linked")) GTEST_SKIP() << test::noLinks;
    if (!test::MakeLink(fs::absolute("victim.txt").string(), "out/File.TXT")) GTEST_SKIP() << test::noLinks;
    OutputFolder output("out");
    EXPECT_EQ(Put(output, "linked/x.txt", "x"), OutputRefusal::linkOnTheWay);
    EXPECT_EQ(Put(output, "file.txt", "new"), OutputRefusal::none);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status("out/File.TXT")));
    EXPECT_EQ(test::ReadWholeFile("out/File.TXT"), "new");
    EXPECT_EQ(test::ReadWholeFile("victim.txt"), "victim");
    EXPECT_TRUE(fs::is_empty("victim-folder"));
    EXPECT_EQ(Entries("out"), (Names{"File.TXT", "Linked"}));
}

TEST_F(OutputFolderTest, ANameThatFoldsToSeveralEntriesPicksOneAndMakesNoOther) {
    if (!test::NamesDifferingInCaseCoexist(".")) GTEST_SKIP() << "names differing only in case are one name here";
    fs::create_directories("out/DATA");
    fs::create_directories("out/Data");
    test::WriteWholeFile("out/SUB", "a file");
    fs::create_directories("out/Sub");
    test::WriteWholeFile("out/X.TXT", "upper");
    test::WriteWholeFile("out/x.Txt", "mixed");
    OutputFolder output("out");
    EXPECT_EQ(Put(output, "data/a.txt", "a"), OutputRefusal::none);  // the first in byte order
    EXPECT_EQ(Put(output, "sub/b.txt", "b"), OutputRefusal::none);   // the one that is a folder
    EXPECT_EQ(Put(output, "x.txt", "x"), OutputRefusal::none);
    EXPECT_EQ(Entries("out"), (Names{"DATA", "Data", "SUB", "Sub", "X.TXT", "x.Txt"}));
    EXPECT_EQ(Entries("out/DATA"), Names{"a.txt"});
    EXPECT_TRUE(fs::is_empty("out/Data"));
    EXPECT_EQ(test::ReadWholeFile("out/Sub/b.txt"), "b");
    EXPECT_EQ(test::ReadWholeFile("out/SUB"), "a file");
    EXPECT_EQ(test::ReadWholeFile("out/X.TXT"), "x");
    EXPECT_EQ(test::ReadWholeFile("out/x.Txt"), "mixed");

    // The exact spelling wins over every other.
    fs::create_directories("out/data");
    OutputFolder again("out");
    EXPECT_EQ(Put(again, "data/c.txt", "c"), OutputRefusal::none);
    EXPECT_EQ(Put(again, "x.Txt", "exact"), OutputRefusal::none);
    EXPECT_EQ(Entries("out/data"), Names{"c.txt"});
    EXPECT_EQ(test::ReadWholeFile("out/x.Txt"), "exact");
    EXPECT_EQ(test::ReadWholeFile("out/X.TXT"), "x");
}

}  // namespace
