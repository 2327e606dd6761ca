// Progress lines that tell of changes to an archive open for edit ("added: ...", "removing
// file: ..."), each released only once the change it tells of is durable. A line on the screen
// then always means that the archive keeps what it says, whatever ends the run: a kill, a full
// disk at the commit, a power cut.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace GAME {
class Archive;
}

namespace tool {

class CommittedReport {
public:
    /// Lines go to `out` once committed; a change lost with a failed commit is told on standard
    /// error.
    explicit CommittedReport(GAME::Archive& archive, std::FILE* out = stdout);

    /// Holds `line` (with its line feed) until the change it tells of is committed. `lost` is the
    /// line for standard error should the change be lost instead.
    void Hold(std::string line, std::string lost);

    /// Commits what the edit has done, when lines are held and a commit is due (or at once with
    /// `now`), then releases the lines. The first change is committed at once, so that the first
    /// line comes without delay; later commits come every fifth of a second, or less often when
    /// commits take long, so that they cost at most a twentieth of the run, and always once
    /// 16384 lines are held. Gives false when the
    /// commit failed: the archive holds its last commit, and each held change is told as lost.
    bool Release(bool now);

private:
    struct HeldLine {
        std::string line;
        std::string lost;
    };

    GAME::Archive& archive;
    std::FILE* out;
    std::vector<HeldLine> held;
    bool committedOnce = false;
    std::uint32_t lastCommit = 0;      // when the last commit ended, on the millisecond timer
    std::uint32_t commitInterval = 0;  // milliseconds from then to the next
};

}  // namespace tool
