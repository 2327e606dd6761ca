#include "tool/CommittedReport.h"

#include "Engine/Archive.h"
#include "platform/Process.h"

namespace tool {
namespace {

// The shortest time between two commits: progress stays live at a terminal.
constexpr std::uint32_t shortestInterval = 200;
// Commits take at most one part in this many of the run.
constexpr std::uint32_t costShare = 20;
// Lines held at most, however fast the files come: a commit is due once this many wait. Memory
// stays bounded, and a reader that stops reading holds the run up within as many files.
constexpr std::size_t heldLimit = 16384;

}  // namespace

CommittedReport::CommittedReport(GAME::Archive& archive, std::FILE* out) : archive(archive), out(out) {}

void CommittedReport::Hold(std::string line, std::string lost) {
    held.push_back(HeldLine{std::move(line), std::move(lost)});
}

bool CommittedReport::Release(bool now) {
    if (held.empty()) return true;
    // Unsigned arithmetic, so that a clock that wrapped still gives the right span.
    const std::uint32_t start = platform::MillisecondTimer();
    if (!now && committedOnce && start - lastCommit < commitInterval && held.size() < heldLimit) return true;
    const bool committed = archive.CommitChanges();
    lastCommit = platform::MillisecondTimer();
    const std::uint32_t cost = lastCommit - start;
    commitInterval = cost < shortestInterval / costShare ? shortestInterval : cost * costShare;
    committedOnce = true;
    if (committed) {
        for (const HeldLine& entry : held) std::fputs(entry.line.c_str(), out);
        std::fflush(out);
    } else {
        std::fflush(out);
        for (const HeldLine& entry : held) std::fputs(entry.lost.c_str(), stderr);
    }
    held.clear();
    return committed;
}

}  // namespace tool
