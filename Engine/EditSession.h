// What an archive open for edit holds while the edit runs: the editor's session. The archive
// calls it where reading and closing meet the edit; everything else of the edit is the
// editor's own business.
#pragma once

namespace GAME {

class EditSession {
public:
    virtual ~EditSession() = default;

    /// Makes every write the edit held back, before anything reads the archive's file data.
    /// False when one failed: the edit then went back to its last commit.
    virtual bool WriteHeldBack() = 0;

    /// Writes the index back and commits, as Close does. Gives false when any write of the edit
    /// failed, this one included.
    virtual bool Finish() = 0;

    /// True once a write into the archive has failed in this edit.
    virtual bool WriteFailed() const = 0;
};

}  // namespace GAME
