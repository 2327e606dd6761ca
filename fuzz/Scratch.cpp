#include "Scratch.h"

#include <cstdio>
#include <system_error>

#include "FuzzTargets.h"
#include "platform/Process.h"

namespace fuzz {
namespace {

// <temp>/brannock-fuzz-<pid>-<n>/input for the inputs, .../process for the files that last.
// The folder belongs to the process that made it: a forked child (a death test) makes its own
// on first use and removes only that one when it exits, never its parent's.
class ScratchSpace {
public:
    ScratchSpace() = default;
    ScratchSpace(const ScratchSpace&) = delete;
    ScratchSpace& operator=(const ScratchSpace&) = delete;
    ~ScratchSpace() { Remove(); }

    const std::filesystem::path& Root() {
        if (owner != platform::ProcessId()) Make();
        return root;
    }

private:
    void Make() {
        owner = platform::ProcessId();
        const std::filesystem::path temp = std::filesystem::temp_directory_path();
        // A folder left by a crashed process of the same number is not reused.
        for (unsigned attempt = 0;; ++attempt) {
            root = temp / ("brannock-fuzz-" + std::to_string(owner) + "-" + std::to_string(attempt));
            if (std::filesystem::create_directory(root)) break;
        }
        std::filesystem::create_directory(root / "input");
        std::filesystem::create_directory(root / "process");
    }

    void Remove() {
        if (owner != platform::ProcessId()) return;
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    long owner = 0;
    std::filesystem::path root;
};

ScratchSpace& Space() {
    static ScratchSpace space;  // its destructor runs at exit()
    return space;
}

}  // namespace

const std::filesystem::path& FreshScratch() {
    static std::filesystem::path input;
    input = Space().Root() / "input";
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(input, ignored))
        std::filesystem::remove_all(entry.path(), ignored);
    return input;
}

std::filesystem::path ProcessScratchFile(const std::string& name) { return Space().Root() / "process" / name; }

void PrepareProcess() {
    // A failed check must never wait for an answer, and progress lines are not wanted.
    if (std::freopen("/dev/null", "r", stdin) == nullptr) return;
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return;
}

}  // namespace fuzz
