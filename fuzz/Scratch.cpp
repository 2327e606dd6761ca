#include "Scratch.h"

#include <chrono>
#include <cstdio>

#include "FuzzTargets.h"

namespace fuzz {

const std::filesystem::path& FreshScratch() {
    static const std::filesystem::path root = [] {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        std::filesystem::path path = std::filesystem::temp_directory_path() / ("brannock-fuzz-" + std::to_string(stamp));
        std::filesystem::create_directories(path);
        return path;
    }();
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(root, ignored)) std::filesystem::remove_all(entry.path(), ignored);
    return root;
}

void PrepareProcess() {
    // A failed check must never wait for an answer, and progress lines are not wanted.
    if (std::freopen("/dev/null", "r", stdin) == nullptr) return;
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return;
}

}  // namespace fuzz
