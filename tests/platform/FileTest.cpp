// The file layer: opening modes, reads and writes, positions, cutting, the edit lock.
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/File.h"
#include "platform/FileSystem.h"

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

TEST(PlatformFile, OneEditLockAtATime) {
    test::ScratchDir dir;
    const std::string path = dir.File("f.arc");
    FileHandle first = OpenFileForEdit(path.c_str());
    FileHandle second = OpenFileForEdit(path.c_str());
    FileHandle reader = OpenFileForRead(path.c_str());
    ASSERT_NE(first, invalidFileHandle);
    ASSERT_NE(second, invalidFileHandle);
    EXPECT_NE(reader, invalidFileHandle);  // readers are not held off
    EXPECT_TRUE(LockFileForEdit(first));
    EXPECT_FALSE(LockFileForEdit(second));
    CloseFile(first);
    EXPECT_TRUE(LockFileForEdit(second));
    CloseFile(second);
    CloseFile(reader);
}

}  // namespace
