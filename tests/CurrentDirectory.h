// A folder made the current directory for a scope; for the tests and the fuzz targets.
#pragma once

#include <filesystem>

namespace test {

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

}  // namespace test
