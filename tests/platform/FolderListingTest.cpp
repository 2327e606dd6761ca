// Names looked up with ASCII case ignored: which entry of a folder a name picks, and existing
// paths found below a root whatever the case they were made with.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CurrentDirectory.h"
#include "TestSupport.h"
#include "platform/FolderListing.h"

namespace {

namespace fs = std::filesystem;
using platform::CaseInsensitivePaths;
using platform::FolderListing;

std::string Matched(const FolderListing& listing, const std::string& name, bool wantFolder) {
    const std::string* match = listing.Match(name, wantFolder);
    return match != nullptr ? *match : "<none>";
}

TEST(FolderListing, TheExactSpellingThenTheOnlyOneThenTheKindAskedForThenByteOrder) {
    FolderListing listing;
    listing.Add("Data", true);
    listing.Add("ReadMe.txt", false);
    listing.Add("readme.txt", false);
    listing.Add("README.TXT", false);
    listing.Add("Sub", true);
    listing.Add("SUB", false);
    listing.Add("\xC9"
                "a",
                false);          // Latin-1 capital E acute, which ASCII folding leaves alone
    listing.Add("Data", false);  // the same name again is the entry already there
    EXPECT_EQ(listing.Size(), 7u);

    // The only entry that folds to the name, whatever its kind.
    EXPECT_EQ(Matched(listing, "data", true), "Data");
    EXPECT_EQ(Matched(listing, "DATA", false), "Data");
    // Of several, the exact spelling.
    EXPECT_EQ(Matched(listing, "readme.txt", false), "readme.txt");
    EXPECT_EQ(Matched(listing, "ReadMe.txt", true), "ReadMe.txt");
    // None exact: the first in byte order ('E' < 'e').
    EXPECT_EQ(Matched(listing, "Readme.Txt", false), "README.TXT");
    // None exact: the kind asked for before byte order.
    EXPECT_EQ(Matched(listing, "sub", true), "Sub");
    EXPECT_EQ(Matched(listing, "sub", false), "SUB");
    // Only ASCII letters fold.
    EXPECT_EQ(Matched(listing,
                      "\xC9"
                      "A",
                      false),
              "\xC9"
              "a");
    EXPECT_EQ(Matched(listing,
                      "\xE9"
                      "a",
                      false),
              "<none>");
    EXPECT_EQ(Matched(listing, "nothing", false), "<none>");
    EXPECT_EQ(Matched(listing, "dat", true), "<none>");

    EXPECT_EQ(listing.Spellings("readme.txt"), (std::vector<std::string>{"readme.txt", "README.TXT", "ReadMe.txt"}));
    EXPECT_EQ(listing.Spellings("README.txt"), (std::vector<std::string>{"README.TXT", "ReadMe.txt", "readme.txt"}));
    EXPECT_TRUE(listing.Spellings("missing").empty());
}

TEST(FolderListing, ReadsAFolderByPathOrOpenWithTheKindOfEachEntry) {
    test::ScratchDir dir;
    test::WriteWholeFile(dir.File("Folder/Inner.txt"), "i");
    test::WriteWholeFile(dir.File("File.TXT"), "f");
    const bool links = test::MakeLink(dir.File("Folder"), dir.File("Link"));
    FolderListing listing;
    ASSERT_TRUE(platform::ListFolder(dir.Path().string().c_str(), &listing));
    EXPECT_EQ(listing.Size(), links ? 3u : 2u);  // no "." or ".."
    EXPECT_EQ(Matched(listing, "file.txt", false), "File.TXT");
    EXPECT_EQ(Matched(listing, "folder", true), "Folder");

    FolderListing none;
    EXPECT_FALSE(platform::ListFolder(dir.File("missing").c_str(), &none));
    EXPECT_FALSE(platform::ListFolder(dir.File("File.TXT").c_str(), &none));
    EXPECT_EQ(none.Size(), 0u);

    if (!links) GTEST_SKIP() << test::noLinks;
    EXPECT_EQ(Matched(listing, "link", true), "Link");
    // A link to a folder is no folder: with a real one beside it, a folder is asked for.
    if (!test::NamesDifferingInCaseCoexist(dir.Path())) return;  // no "LINK" beside "Link"
    fs::create_directory(dir.File("LINK"));
    FolderListing again;
    ASSERT_TRUE(platform::ListFolder(dir.Path().string().c_str(), &again));
    EXPECT_EQ(Matched(again, "link", true), "LINK");
    EXPECT_EQ(Matched(again, "link", false), "Link");
}

class CaseInsensitivePathsTest : public testing::Test {
protected:
    test::ScratchDir dir;
    test::CurrentDirectory here{dir.Path()};

    static std::string Found(CaseInsensitivePaths& disk, const std::string& name) {
        std::string found;
        return disk.Find(name, &found) ? found : "<missing>";
    }
};

TEST_F(CaseInsensitivePathsTest, FindsATreeMadeInMixedCaseUnderItsLowerCaseNames) {
    test::WriteWholeFile("Game/Data/Core/Images/X.png", "x");
    test::WriteWholeFile("Game/Data/Core/readme.TXT", "r");
    test::WriteWholeFile("Game/Data/Sounds/A.wav", "a");
    test::WriteWholeFile("Game/data/exact.txt", "e");
    const bool links = test::MakeLink("nowhere", "Game/Data/Dangling");
    CaseInsensitivePaths disk("Game");
    // Where the system ignores case itself (Windows), the path as given finds the entry and is
    // the one given back.
    const bool apart = test::NamesDifferingInCaseCoexist(".");
    const auto real = [apart](const std::string& given, const std::string& onDisk) { return apart ? onDisk : given; };
    EXPECT_EQ(Found(disk, "data/core/images/x.png"),
              real("Game/data/core/images/x.png", "Game/Data/Core/Images/X.png"));
    EXPECT_EQ(Found(disk, "data\\core\\readme.txt"), real("Game/data\\core\\readme.txt", "Game/Data/Core/readme.TXT"));
    EXPECT_EQ(Found(disk, "./data//sounds/a.wav"), real("Game/./data//sounds/a.wav", "Game/Data/Sounds/A.wav"));
    // A folder is something there.
    EXPECT_EQ(Found(disk, "data/core/images"), real("Game/data/core/images", "Game/Data/Core/Images"));
    // Spelt as on disk, the path is taken as it is.
    EXPECT_EQ(Found(disk, "Data/Sounds/A.wav"), "Game/Data/Sounds/A.wav");
    EXPECT_EQ(Found(disk, "data/exact.txt"), "Game/data/exact.txt");
    EXPECT_EQ(Found(disk, "data/sounds/b.wav"), "<missing>");
    EXPECT_EQ(Found(disk, "data/core/images/x.png/more"), "<missing>");
    EXPECT_EQ(Found(disk, "nothing/x.png"), "<missing>");
    // A link that leads nowhere is missing, as it is to GetFileAttributes.
    if (links) {
        EXPECT_EQ(Found(disk, "data/dangling"), "<missing>");
    }
    // ".." is followed only as spelt.
    EXPECT_EQ(Found(disk, "../Game/Data/Sounds/A.wav"), "Game/../Game/Data/Sounds/A.wav");
    EXPECT_EQ(Found(disk, "data/../data/sounds/a.wav"), real("Game/data/../data/sounds/a.wav", "<missing>"));

    CaseInsensitivePaths current(nullptr);
    EXPECT_EQ(Found(current, "game/data/sounds/a.wav"), real("game/data/sounds/a.wav", "Game/Data/Sounds/A.wav"));
}

TEST_F(CaseInsensitivePathsTest, FoldersThatFoldTogetherAreAllLookedIn) {
    if (!test::NamesDifferingInCaseCoexist(".")) GTEST_SKIP() << "names differing only in case are one name here";
    test::WriteWholeFile("Game/DATA/a.txt", "a");
    test::WriteWholeFile("Game/Data/B.txt", "b");
    test::WriteWholeFile("Game/Data/Both.txt", "data");
    test::WriteWholeFile("Game/DATA/both.TXT", "DATA");
    CaseInsensitivePaths disk("Game");
    EXPECT_EQ(Found(disk, "data/a.txt"), "Game/DATA/a.txt");
    EXPECT_EQ(Found(disk, "data/b.txt"), "Game/Data/B.txt");
    EXPECT_EQ(Found(disk, "data/both.txt"), "Game/DATA/both.TXT");  // the first in byte order
    EXPECT_EQ(Found(disk, "data/c.txt"), "<missing>");
}

TEST_F(CaseInsensitivePathsTest, EachFolderIsListedOnceForAllItsNames) {
    for (int i = 0; i < 200; ++i) {
        const std::string number = std::to_string(1000 + i);
        test::WriteWholeFile((i % 2 == 0 ? "Game/Data/Even/F" : "Game/Data/Odd/F") + number + ".TXT", number);
    }
    CaseInsensitivePaths disk("Game");
    for (int i = 0; i < 200; ++i) {
        const std::string name = (i % 2 == 0 ? "data/even/f" : "data/odd/f") + std::to_string(1000 + i) + ".txt";
        EXPECT_TRUE(disk.Find(name)) << name;
        EXPECT_FALSE(disk.Find(name + ".gone")) << name;
    }
    EXPECT_EQ(disk.FoldersListed(), 4u);  // Game, Data, Even, Odd
}

}  // namespace
