// Helpers shared by the tests: scratch folders, whole-file access and captured reports.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "CurrentDirectory.h"

namespace test {

/// A fresh folder under the system's temporary directory, removed with everything in it when
/// the object goes, also when a test fails.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& Path() const { return path; }
    /// The path of `name` inside the folder.
    std::string File(const std::string& name) const { return (path / name).string(); }

private:
    std::filesystem::path path;
    bool borrowed = false;  // a death test's child uses its parent's folder and leaves it to it
};

/// The device that reads as empty and swallows what is written.
#ifdef _WIN32
constexpr const char* nullDevice = "NUL";
#else
constexpr const char* nullDevice = "/dev/null";
#endif

/// Makes a symbolic link at `link` to `target` (relative to the link's folder when relative).
/// Gives false where the system makes none: Windows without the right to make them, or Wine.
bool MakeLink(const std::string& target, const std::string& link);
/// Why a test that needs links could not run.
constexpr const char* noLinks = "this system makes no symbolic links";

/// True when names that differ only in case are different files in `folder`: not so on Windows.
bool NamesDifferingInCaseCoexist(const std::filesystem::path& folder);

/// Sets a file's length as std::filesystem::resize_file does, past 4 GiB too, without the disk
/// having to hold the bytes (sparse where the system wants to be told).
void ResizeFile(const std::string& path, std::uint64_t length);

std::string ReadWholeFile(const std::string& path);
/// Writes `bytes` to `path`, creating the folders on the way.
void WriteWholeFile(const std::string& path, const std::string& bytes);

/// The little-endian 32-bit value at `at` of a file's bytes, and its replacement.
inline std::uint32_t U32At(const std::string& bytes, std::uint64_t at) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}
inline void PutU32At(std::string& bytes, std::uint64_t at, std::uint32_t value) {
    std::memcpy(bytes.data() + at, &value, 4);
}

/// Runs `work` and gives what it wrote to standard error: the assertion reports among it.
template <typename Work>
std::string CaptureStderr(Work&& work) {
    testing::internal::CaptureStderr();
    work();
    return testing::internal::GetCapturedStderr();
}

}  // namespace test
