// Helpers shared by the tests: scratch folders, whole-file access and captured reports.
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

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

/// Makes a folder the current directory for the object's lifetime.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::filesystem::path& path) : saved(std::filesystem::current_path()) {
        std::filesystem::current_path(path);
    }
    ~CurrentDirectory() { std::filesystem::current_path(saved); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    std::filesystem::path saved;
};

std::string ReadWholeFile(const std::string& path);
/// Writes `bytes` to `path`, creating the folders on the way.
void WriteWholeFile(const std::string& path, const std::string& bytes);

/// Runs `work` and gives what it wrote to standard error: the assertion reports among it.
template <typename Work>
std::string CaptureStderr(Work&& work) {
    testing::internal::CaptureStderr();
    work();
    return testing::internal::GetCapturedStderr();
}

}  // namespace test
