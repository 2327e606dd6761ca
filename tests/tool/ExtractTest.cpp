// Extraction paths, output files and the base-name and destination rules of -extract.
#include <string>

#include <gtest/gtest.h>

#include "EditFixture.h"
#include "tool/ExtractCommands.h"
#include "tool/NormalizePath.h"

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

    std::string path = "Out\\Text/ÉA";
    tool::NormalizePath(path);
    EXPECT_EQ(path, "out/text/Éa");
}

}  // namespace
