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
};

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
