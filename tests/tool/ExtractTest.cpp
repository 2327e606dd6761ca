// Extraction paths, output files and the base-name and destination rules of -extract.
#include <algorithm>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <csignal>

#include <sys/resource.h>
#endif

#include "CurrentDirectory.h"
#include "EditFixture.h"
#include "tool/ExtractCommands.h"
#include "tool/NamePattern.h"
#include "tool/NormalizePath.h"
#include "tool/editor/IndependentOutputs.h"

namespace {

class Extract : public test::EditFixture {
protected:
    void SetUp() override {
        test::ArchiveFixture fixture;
        fixture.AddStored("textures/ui/button.tex", "button");
        fixture.AddFree(3);
        fixture.AddCompressed("data/ui.old/a.txt", test::CompressibleBytes(300000));
        fixture.AddStored("top.txt", "top");
        fixture.AddCompressed("empty.bin", "");
        fixture.WriteTo("a.arc");
        ASSERT_TRUE(archive->OpenRead("a.arc"));
    }
};

TEST_F(Extract, OutputPathsAndDirectories) {
    EXPECT_TRUE(archive->ExtractFile(0, "Out"));
    EXPECT_EQ(test::ReadWholeFile("out/textures/ui/button.tex"), "button");
    EXPECT_TRUE(archive->ExtractFile(2, ".\\OUT\\"));  // the same folder, spelt otherwise
    EXPECT_EQ(test::ReadWholeFile("out/data/ui.old/a.txt"), test::CompressibleBytes(300000));
    EXPECT_TRUE(archive->ExtractFile(3, nullptr));  // no folder: relative to the current one
    EXPECT_EQ(test::ReadWholeFile("top.txt"), "top");
    EXPECT_TRUE(archive->ExtractFile(4, ""));
    EXPECT_TRUE(std::filesystem::exists("empty.bin"));
    EXPECT_EQ(std::filesystem::file_size("empty.bin"), 0u);
}

TEST_F(Extract, RefusalsAndTheProgressOfEveryPosition) {
    EXPECT_FALSE(archive->ExtractFile(-1, "out"));
    EXPECT_FALSE(archive->ExtractFile(1, "out"));  // free
    EXPECT_FALSE(archive->ExtractFile(5, "out"));
    test::WriteWholeFile("blocked", "a file where a folder must go");
    std::string reports = test::CaptureStderr([&] { EXPECT_FALSE(archive->ExtractFile(0, "blocked")); });
    EXPECT_NE(reports.find("(outputFile != INVALID_HANDLE_VALUE)"), std::string::npos) << reports;

    testing::internal::CaptureStdout();
    EXPECT_TRUE(archive->ExtractAllFiles("all"));  // a free record has nothing to extract
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "(1 / 5) textures/ui/button.tex\n(2 / 5) <free entry>\n(3 / 5) data/ui.old/a.txt\n"
              "(4 / 5) top.txt\n(5 / 5) empty.bin\n");
    EXPECT_EQ(test::ReadWholeFile("all/top.txt"), "top");
}

TEST_F(Extract, ALocationIsNormalisedButStaysAbsoluteAndFindsItsFoldersInAnyCase) {
    std::filesystem::create_directories("Abs/Existing");
    const std::string absolute = (std::filesystem::current_path() / "ABS").string();
    EXPECT_TRUE(archive->ExtractFile(0, (absolute + "\\Existing").c_str()));
    EXPECT_EQ(test::ReadWholeFile("Abs/Existing/textures/ui/button.tex"), "button");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(archive->ExtractAllFiles(absolute.c_str(), "a"));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(test::ReadWholeFile("Abs/a/top.txt"), "top");
    // A location that starts in the parent folder stays there.
    std::filesystem::create_directories("Work");
    {
        const test::CurrentDirectory inWork("Work");
        EXPECT_TRUE(archive->ExtractFile(3, "..\\Up"));
        EXPECT_TRUE(std::filesystem::is_empty("."));
    }
    EXPECT_EQ(test::ReadWholeFile("up/top.txt"), "top");
}

// Every entry below `root`, with its kind and, for a file, its bytes.
std::string TreeOf(const std::string& root) {
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string path = std::filesystem::relative(entry.path(), root).generic_string();
        if (entry.is_symlink())
            entries.push_back(path + " -> link");
        else if (entry.is_directory())
            entries.push_back(path + "/");
        else
            entries.push_back(path + " = " + test::ReadWholeFile(entry.path().string()));
    }
    std::sort(entries.begin(), entries.end());
    std::string tree;
    for (const std::string& line : entries) tree += line + "\n";
    return tree;
}

// What one extraction of every file left: the tree, the lines on both streams and the result.
struct ExtractionRun {
    std::string tree, out, err;
    bool result = false;
};

// Extracts "a.arc" into `folder`/out/a on `threads` threads, the folder prepared by `prepare`.
ExtractionRun ExtractAllOn(unsigned threads, const std::string& folder, void (*prepare)(const std::string&)) {
    std::filesystem::create_directories(folder + "/out/a");
    prepare(folder + "/out/a");
    ExtractionRun run;
    GAME::Archive archive;
    EXPECT_TRUE(archive.OpenRead("a.arc"));
#ifndef _WIN32
    // A file-size limit stands for a full disk: a file past it is not written whole.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit oldLimit;
    getrlimit(RLIMIT_FSIZE, &oldLimit);
    struct rlimit limit = oldLimit;
    limit.rlim_cur = 200000;
    setrlimit(RLIMIT_FSIZE, &limit);
#endif
    testing::internal::CaptureStdout();
    run.err =
        test::CaptureStderr([&] { run.result = archive.ExtractAllFiles((folder + "/out").c_str(), "a", threads); });
    run.out = testing::internal::GetCapturedStdout();
#ifndef _WIN32
    setrlimit(RLIMIT_FSIZE, &oldLimit);
    std::signal(SIGXFSZ, oldHandler);
#endif
    run.tree = TreeOf(folder);
    return run;
}

TEST(ExtractAll, AnyThreadCountGivesTheSameFilesLinesAndResult) {
    const struct {
        const char* what;
        bool independent;
        void (*addFiles)(test::ArchiveFixture&);
        void (*prepare)(const std::string&);
    } cases[] = {
        {"files of their own, refused, damaged and too large ones among them", true,
         [](test::ArchiveFixture& fixture) {
             for (int i = 0; i < 40; ++i) {
                 const std::string name = "textures/" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".tex";
                 if (i % 3 == 0)
                     fixture.AddStored(name, test::RandomBytes(100 + 37 * i, i));
                 else
                     fixture.AddCompressed(name, test::CompressibleBytes(1000 * i));
                 if (i % 13 == 0) fixture.AddFree(10);
             }
             fixture.AddStored("../escape.txt", "out of the folder");
             fixture.AddStored("linked/x.txt", "through a link");
             fixture.AddCompressedSized("broken/unreadable.bin", 100000, 1000);
             fixture.AddStored("big/too-large.bin", test::RandomBytes(250000, 1));
         },
         [](const std::string& destination) {
             // A folder already there under another case takes the files; a link is refused.
             test::WriteWholeFile(destination + "/Textures/keep.txt", "kept");
             std::filesystem::create_directories(destination + "/../elsewhere");
             test::MakeLink("../elsewhere", destination + "/linked");
         }},
        {"files whose order matters: one name in two cases, a file where a folder goes", false,
         [](test::ArchiveFixture& fixture) {
             fixture.AddStored("same/a.txt", "a");
             fixture.AddStored("Same/b.txt", "b");
             fixture.AddStored("x.txt", "first");
             fixture.AddStored("X.TXT", "second");
             fixture.AddStored("f", "a file");
             fixture.AddStored("f/g", "below it");
         },
         [](const std::string&) {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const test::ScratchDir dir;
        const test::CurrentDirectory inside(dir.Path());
        test::ArchiveFixture fixture;
        c.addFiles(fixture);
        fixture.WriteTo("a.arc");
        GAME::Archive archive;
        ASSERT_TRUE(archive.OpenRead("a.arc"));
        std::vector<int> records(archive.GetNumFiles());
        for (std::size_t i = 0; i < records.size(); ++i) records[i] = static_cast<int>(i);
        EXPECT_EQ(GAME::OutputsAreIndependent(archive, records, "a"), c.independent);

        const ExtractionRun one = ExtractAllOn(1, "one", c.prepare);
        if (c.independent) {
            EXPECT_FALSE(one.result);
            for (const char* reason : {"../escape.txt not extracted, its name leaves", "data could not be read whole",
#ifndef _WIN32
                                       "big/too-large.bin not extracted whole, writing it failed",
#endif
                                       "[Assert]"})
                EXPECT_NE(one.err.find(reason), std::string::npos) << reason << "\n" << one.err;
            EXPECT_NE(one.tree.find("out/a/Textures/0/f0.tex = "), std::string::npos) << one.tree;
        }
        for (const unsigned threads : {2u, 8u}) {
            const ExtractionRun many = ExtractAllOn(threads, std::to_string(threads), c.prepare);
            EXPECT_EQ(many.tree, one.tree) << threads;
            EXPECT_EQ(many.out, one.out) << threads;
            EXPECT_EQ(many.err, one.err) << threads;
            EXPECT_EQ(many.result, one.result) << threads;
        }
    }
}

TEST(ExtractCommands, BaseNameAndDestination) {
    EXPECT_EQ(tool::ArchiveBaseName("C:\\Data\\Sounds.arc"), "sounds");
    EXPECT_EQ(tool::ArchiveBaseName("Sounds.big.arc"), "sounds");
    EXPECT_EQ(tool::ArchiveBaseName("..\\Data\\Sounds.arc"), "sounds.arc");
    EXPECT_EQ(tool::ArchiveBaseName("dir.v2/pack"), "pack");
    EXPECT_EQ(tool::ArchiveBaseName("noext"), "noext");
    EXPECT_EQ(tool::ExtractionDestination("out", "Sounds.arc"), "out/sounds");
    EXPECT_EQ(tool::ExtractionDestination("Out\\", "Sounds.arc"), "out/sounds");
    EXPECT_EQ(tool::ExtractionDestination("", "Sounds.arc"), "sounds");
    EXPECT_EQ(tool::ExtractionDestination("/Tmp\\Out", "Sounds.arc"), "/tmp/out/sounds");
    EXPECT_EQ(tool::ExtractionDestination("..\\Out", "Sounds.arc"), "../out/sounds");

    const struct {
        const char* pattern;
        const char* name;
        bool matches;
    } patterns[] = {
        {"*", "a.tex", true},
        {"*", "a/b.tex", false},
        {"**", "a/b/c.tex", true},
        {"a/**/c.tex", "a/c.tex", true},
        {"a/**/c.tex", "a/x/y/c.tex", true},
        {"a/**/c.tex", "b/a/c.tex", false},
        {"a/*", "a/b/c", false},
        {"?/B.TEX", "a/b.tex", true},
        {"**/*.tex", "a/b.wav", false},
    };
    for (const auto& p : patterns)
        EXPECT_EQ(tool::MatchesNamePattern(p.pattern, p.name), p.matches) << p.pattern << " " << p.name;

    std::string path = "Out\\Text/ÉA";
    tool::NormalizePath(path);
    EXPECT_EQ(path, "out/text/Éa");
}

}  // namespace
