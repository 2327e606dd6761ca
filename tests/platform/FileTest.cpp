// The file layer: opening modes, reads and writes, positions, cutting, the edit lock.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/TextWriter.h"

namespace {

using namespace platform;

TEST(PlatformFile, OpenModesCreateOnlyWhereAsked) {
    test::ScratchDir dir;
    const std::string path = dir.File("f.bin");
    EXPECT_EQ(OpenFileForRead(path.c_str()), invalidFileHandle);
    EXPECT_EQ(OpenFileForRead(""), invalidFileHandle);
    EXPECT_FALSE(std::filesystem::exists(path));

    FileHandle edit = OpenFileForEdit(path.c_str());
    ASSERT_NE(edit, invalidFileHandle);
    std::uint64_t size = 99;
    EXPECT_TRUE(GetFileSize(edit, &size));
    EXPECT_EQ(size, 0u);
    std::uint32_t written = 0;
    EXPECT_TRUE(WriteFile(edit, "hello world", 11, &written));
    EXPECT_EQ(written, 11u);
    CloseFile(edit);

    // Opening for edit again keeps the contents; an output file starts empty.
    edit = OpenFileForEdit(path.c_str());
    EXPECT_TRUE(GetFileSize(edit, &size));
    EXPECT_EQ(size, 11u);
    CloseFile(edit);
    FileHandle out = OpenOutputFile(path.c_str());
    ASSERT_NE(out, invalidFileHandle);
    EXPECT_TRUE(WriteFile(out, "abc", 3, &written));
    CloseFile(out);
    EXPECT_EQ(test::ReadWholeFile(path), "abc");

    // Directories are not files.
    EXPECT_EQ(OpenFileForRead(dir.Path().string().c_str()), invalidFileHandle);
    EXPECT_EQ(OpenFileForEdit(dir.Path().string().c_str()), invalidFileHandle);
}

TEST(PlatformFile, ReadOpensOnlyRegularFiles) {
    test::ScratchDir dir;
    test::WriteWholeFile(dir.File("f"), "abc");
    std::vector<std::string> paths{dir.File("f")};
    if (test::MakeLink(dir.File("f"), dir.File("link"))) paths.push_back(dir.File("link"));
    for (const std::string& path : paths) {
        const UniqueFile file(OpenFileForRead(path.c_str()));
        ASSERT_NE(file.Get(), invalidFileHandle) << path;
        char buffer[8];
        std::uint32_t bytesRead = 0;
        EXPECT_TRUE(ReadFile(file.Get(), buffer, sizeof buffer, &bytesRead));
        EXPECT_EQ(std::string(buffer, bytesRead), "abc");
    }
    EXPECT_EQ(OpenFileForRead(dir.Path().string().c_str()), invalidFileHandle);
    // A device is refused like a directory, and so is reading one whole.
    EXPECT_EQ(OpenFileForRead(test::nullDevice), invalidFileHandle);
    std::vector<unsigned char> contents{1};
#ifdef _WIN32  // no endless device there; the empty one must be refused as well
    EXPECT_FALSE(ReadWholeFile(test::nullDevice, &contents));
#else
    EXPECT_FALSE(ReadWholeFile("/dev/zero", &contents));
#endif
    EXPECT_TRUE(contents.empty());
    if (paths.size() == 1) GTEST_SKIP() << test::noLinks;
}

TEST(PlatformFile, PositionsShortReadsAndCutting) {
    test::ScratchDir dir;
    const std::string path = dir.File("f.bin");
    test::WriteWholeFile(path, "0123456789");
    FileHandle file = OpenFileForEdit(path.c_str());
    ASSERT_NE(file, invalidFileHandle);

    char buffer[16] = {};
    std::uint32_t bytesRead = 0;
    ASSERT_TRUE(SetFilePosition(file, 6));
    EXPECT_TRUE(ReadFile(file, buffer, 16, &bytesRead));
    EXPECT_EQ(bytesRead, 4u);  // the end of the file is not an error
    EXPECT_EQ(std::string(buffer, 4), "6789");
    std::uint64_t position = 0;
    EXPECT_TRUE(GetFilePosition(file, &position));
    EXPECT_EQ(position, 10u);

    ASSERT_TRUE(SetFilePosition(file, 4));
    EXPECT_TRUE(SetEndOfFile(file));
    CloseFile(file);
    EXPECT_EQ(test::ReadWholeFile(path), "0123");

    // Positions beyond 4 GiB are reachable; nothing is written there.
    file = OpenFileForRead(path.c_str());
    EXPECT_TRUE(SetFilePosition(file, 0x100000010ull));
    EXPECT_TRUE(GetFilePosition(file, &position));
    EXPECT_EQ(position, 0x100000010ull);
    EXPECT_TRUE(ReadFile(file, buffer, 4, &bytesRead));
    EXPECT_EQ(bytesRead, 0u);
    CloseFile(file);
}

TEST(PlatformFile, BackslashesAreSeparators) {
    test::ScratchDir dir;
    std::filesystem::create_directories(dir.Path() / "a" / "b");
    const std::string path = dir.Path().string() + "\\a\\b\\c.txt";
    FileHandle file = OpenOutputFile(path.c_str());
    ASSERT_NE(file, invalidFileHandle);
    CloseFile(file);
    EXPECT_TRUE(std::filesystem::exists(dir.Path() / "a" / "b" / "c.txt"));
}

TEST(PlatformFile, ReadersShareTheLockAndAnEditHasItAlone) {
    test::ScratchDir dir;
    const std::string path = dir.File("f.arc");
    UniqueFile first(OpenFileForEdit(path.c_str()));
    const UniqueFile second(OpenFileForEdit(path.c_str()));
    UniqueFile reader(OpenFileForRead(path.c_str()));  // read access only
    ASSERT_TRUE(first && second && reader);

    EXPECT_TRUE(LockFile(first.Get(), LockMode::shared));
    EXPECT_TRUE(LockFile(reader.Get(), LockMode::shared));
    EXPECT_FALSE(LockFile(second.Get(), LockMode::exclusive));
    EXPECT_FALSE(LockFile(first.Get(), LockMode::exclusive));  // the reader shares it
    reader.Reset();
    // The failed conversion kept the shared lock: an edit is still held off.
    EXPECT_FALSE(LockFile(second.Get(), LockMode::exclusive));
    EXPECT_TRUE(LockFile(first.Get(), LockMode::exclusive));
    reader.Reset(OpenFileForRead(path.c_str()));
    EXPECT_FALSE(LockFile(reader.Get(), LockMode::shared));
    EXPECT_FALSE(LockFile(second.Get(), LockMode::exclusive));
    EXPECT_TRUE(LockFile(first.Get(), LockMode::shared));  // and back
    EXPECT_TRUE(LockFile(reader.Get(), LockMode::shared));
    first.Reset();
    EXPECT_FALSE(LockFile(second.Get(), LockMode::exclusive));  // the reader's lock remains
    reader.Reset();
    EXPECT_TRUE(LockFile(second.Get(), LockMode::exclusive));
}

TEST(PlatformFile, NewFilesAndRegularFilesRefuseWhatLiesInTheirPlace) {
    test::ScratchDir dir;
    const std::string path = dir.File("j");
    {
        const UniqueFile made(CreateNewFile(path.c_str()));
        ASSERT_TRUE(made);
        EXPECT_TRUE(WriteAll(made.Get(), "abc", 3));
    }
    EXPECT_EQ(CreateNewFile(path.c_str()), invalidFileHandle);  // exists already
    EXPECT_EQ(test::ReadWholeFile(path), "abc");
    const UniqueFile read(OpenRegularFileForRead(path.c_str()));
    EXPECT_TRUE(read);
    std::uint64_t volume = 0, id = 0;
    FileAttributes attributes;
    ASSERT_TRUE(GetFileIdentity(read.Get(), &volume, &id));
    ASSERT_TRUE(GetFileAttributes(path.c_str(), &attributes));
    EXPECT_EQ(volume, attributes.volume);
    EXPECT_EQ(id, attributes.fileId);

    EXPECT_EQ(OpenRegularFileForRead(dir.File("missing").c_str()), invalidFileHandle);
    EXPECT_TRUE(ErrorIsMissingFile(GetLastErrorValue()));
    EXPECT_EQ(OpenRegularFileForRead(dir.Path().string().c_str()), invalidFileHandle);
    EXPECT_FALSE(ErrorIsMissingFile(GetLastErrorValue()));
    EXPECT_FALSE(ErrorText(GetLastErrorValue()).empty());

    // A link, dangling or not, is neither followed nor replaced.
    if (!test::MakeLink(path, dir.File("link")) || !test::MakeLink(dir.File("nowhere"), dir.File("dangling")))
        GTEST_SKIP() << test::noLinks;
    EXPECT_EQ(OpenRegularFileForRead(dir.File("link").c_str()), invalidFileHandle);
    EXPECT_FALSE(ErrorIsMissingFile(GetLastErrorValue()));
    EXPECT_EQ(CreateNewFile(dir.File("link").c_str()), invalidFileHandle);
    EXPECT_EQ(CreateNewFile(dir.File("dangling").c_str()), invalidFileHandle);
    EXPECT_FALSE(std::filesystem::exists(dir.File("nowhere")));
    EXPECT_EQ(test::ReadWholeFile(path), "abc");
}

TEST(PlatformFile, WholeBufferHelpersReportWhatArrived) {
    test::ScratchDir dir;
    const std::string path = dir.File("f.bin");
    {
        const UniqueFile out(OpenOutputFile(path.c_str()));
        ASSERT_TRUE(out);
        EXPECT_TRUE(WriteAll(out.Get(), "0123456789", 10));
        EXPECT_TRUE(WriteAll(out.Get(), "", 0));
    }
    const UniqueFile in(OpenFileForRead(path.c_str()));
    char buffer[16] = {};
    EXPECT_TRUE(ReadExactly(in.Get(), buffer, 4));
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(ReadUpTo(in.Get(), buffer, 16), 6u);  // the end of the file stops it
    EXPECT_EQ(std::string(buffer, 6), "456789");
    ASSERT_TRUE(SetFilePosition(in.Get(), 8));
    EXPECT_FALSE(ReadExactly(in.Get(), buffer, 3));

    std::vector<unsigned char> contents{1, 2, 3};
    ASSERT_TRUE(ReadWholeFile(path.c_str(), &contents));
    EXPECT_EQ(std::string(contents.begin(), contents.end()), "0123456789");
    EXPECT_FALSE(ReadWholeFile(dir.File("missing").c_str(), &contents));
    EXPECT_TRUE(contents.empty());
    test::WriteWholeFile(dir.File("empty"), "");
    EXPECT_TRUE(ReadWholeFile(dir.File("empty").c_str(), &contents));
    EXPECT_TRUE(contents.empty());

    // A limit refuses a longer file before any of it is read, and takes one of its length.
    contents = {1, 2, 3};
    EXPECT_FALSE(ReadWholeFile(path.c_str(), &contents, 9));
    EXPECT_TRUE(contents.empty());
    ASSERT_TRUE(ReadWholeFile(path.c_str(), &contents, 10));
    EXPECT_EQ(contents.size(), 10u);
}

// The seam sits in front of every OS implementation, so the helpers and the text writer meet
// injected faults as the archive code does.
TEST(PlatformFile, HelpersGoThroughTheFaultSeam) {
    test::ScratchDir dir;
    const std::string path = dir.File("f.bin");
    {
        const UniqueFile out(OpenOutputFile(path.c_str()));
        ArmFault(FileOperation::write, 1, true);
        EXPECT_FALSE(WriteAll(out.Get(), "0123456789", 10));
        EXPECT_TRUE(FaultDelivered());
        DisarmFaults();
    }
    EXPECT_EQ(test::ReadWholeFile(path), "01234");  // the short write put down half

    std::vector<unsigned char> contents;
    ArmFault(FileOperation::read, 1);
    EXPECT_TRUE(ReadWholeFile(path.c_str(), &contents));
    DisarmFaults();
    EXPECT_TRUE(contents.empty());  // a failed read delivers nothing

    TextWriter writer;
    ASSERT_TRUE(writer.Open(path.c_str()));
    writer.Print("%s=%d\n", "n", 7);
    ArmFault(FileOperation::write, 1);
    EXPECT_FALSE(writer.Close());
    DisarmFaults();
}

TEST(PlatformFile, UniqueFileClosesOnceWhenItGoes) {
    test::ScratchDir dir;
    const std::string path = dir.File("f.arc");
    UniqueFile moved;
    {
        UniqueFile first(OpenFileForEdit(path.c_str()));
        ASSERT_TRUE(first);
        ASSERT_TRUE(LockFile(first.Get(), LockMode::exclusive));
        moved = std::move(first);
        EXPECT_FALSE(first);
    }
    // The lock lives as long as the handle: the moved-to owner still holds it.
    UniqueFile second(OpenFileForEdit(path.c_str()));
    EXPECT_FALSE(LockFile(second.Get(), LockMode::exclusive));
    moved.Reset();
    EXPECT_FALSE(moved);
    EXPECT_TRUE(LockFile(second.Get(), LockMode::exclusive));
    const FileHandle raw = second.Release();
    EXPECT_FALSE(second);
    CloseFile(raw);
}

TEST(PlatformFile, TextWriterWritesLongAndShortTextsInOrder) {
    test::ScratchDir dir;
    const std::string path = dir.File("report.txt");
    const std::string longText(3000, 'x');
    TextWriter writer;
    EXPECT_FALSE(writer.Close());  // nothing open
    ASSERT_TRUE(writer.Open(path.c_str()));
    writer.Write("a,");
    writer.Print("%s|%5.1f|%-3s|", longText.c_str(), 2.25, "b");
    writer.Write(std::string("c\0d", 3));
    EXPECT_TRUE(writer.Close());
    EXPECT_EQ(test::ReadWholeFile(path), "a," + longText + "|  2.2|b  |" + std::string("c\0d", 3));
    EXPECT_FALSE(writer.Open(dir.File("no/such/folder/x").c_str()));
}

}  // namespace
