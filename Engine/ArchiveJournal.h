// The rollback journal of an archive edit: "<archive>-journal", beside the archive (its bytes:
// Engine/JournalFormat.h; what an open does with one: Engine/ArchiveRecovery.h).
//
// An edit changes the archive in place. Before it overwrites bytes that the archive's committed
// state (the state its header describes on disk) still needs, it saves them in the journal and
// makes them durable; writes into space the committed state does not use, and past the end of
// the committed file, need no saving. Before its first write of any kind, the edit makes a new
// journal (never through a link, never over an existing file) and marks the archive's header
// with its id, so that the journal is applied to no other file. The edit commits by making the
// data, the index and then the header durable, deleting the journal and clearing the mark.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/UniqueFile.h"

namespace GAME {

/// Bytes [begin, end) of the archive file.
struct ByteRange {
    std::uint64_t begin;
    std::uint64_t end;
};

/// The journal of one edit in progress.
class ArchiveJournal {
public:
    /// An edit of the archive `archive` (open for reading and writing, at `archivePath`) whose
    /// committed file is `committedLength` bytes long and needs the bytes of `needed`.
    ArchiveJournal(std::string archivePath, platform::FileHandle archive, std::uint64_t committedLength,
                   std::vector<ByteRange> needed);

    /// Saves, durably, the bytes of [offset, offset + length) that the committed state needs and
    /// that are not saved yet, before the caller overwrites the range. Gives false when they could
    /// not be saved; the range must then stay as it is. The file position is kept. It also starts
    /// the write-back of what earlier writes put down, so that the flush at the commit is short.
    bool Protect(std::uint64_t offset, std::uint64_t length);

    /// Writes `blocks`, one after the other, at `offset`, once the bytes they overwrite are saved
    /// durably. When bytes had to be saved, the write is held back and made later together with
    /// others, so that they share one flush of the journal: by WritePending, or by a later call
    /// whose range meets it. Gives false when saving or writing failed. The file position
    /// afterwards is unspecified, here and after WritePending.
    bool WriteWhenSaved(std::uint64_t offset, std::vector<std::vector<char>>&& blocks);

    /// Makes the journal durable and makes every write held back. Call it before anything reads
    /// the archive's file data, and before a commit. Gives false when a write failed.
    bool WritePending();

    /// Bytes saved since the last commit.
    std::uint64_t SavedBytes() const { return savedBytes; }

    /// True once anything was written to the archive in this edit (the caller says so through
    /// Protect, which every write into the archive passes).
    bool ArchiveWritten() const { return archiveWritten; }

    /// The archive's new state is durable: the journal goes, and the new state, `committedLength`
    /// bytes needing `needed`, is the committed one from now on.
    bool Commit(std::uint64_t committedLength, std::vector<ByteRange> needed);

    /// Writes this edit's mark into `header`, the 2048 bytes about to become the archive's
    /// header at a commit, so that the mark stays until the journal is gone.
    void MarkHeader(unsigned char* header) const;

    /// Puts the committed state back from the journal, or cuts the archive to its committed
    /// length when nothing was saved. `opens` tells whether the restored file opens as an
    /// archive. Gives false when the archive could not be restored.
    bool RollBack(const std::function<bool(platform::FileHandle)>& opens);

private:
    bool Stage(std::uint64_t offset, std::uint64_t length, bool* staged);
    bool Sync();
    bool Start();
    bool SaveRange(std::uint64_t begin, std::uint64_t end);
    bool WriteMark(bool set);
    bool MeetsPending(std::uint64_t begin, std::uint64_t end) const;
    // Writes `blocks` one after the other from `offset`; the file position is left unspecified.
    bool WriteBlocks(std::uint64_t offset, const std::vector<std::vector<char>>& blocks);

    std::string archivePath;
    platform::FileHandle archive;
    std::uint64_t committedLength;
    std::vector<ByteRange> needed;  // ascending, not overlapping
    std::vector<ByteRange> saved;   // ascending, not overlapping
    platform::UniqueFile journal;
    std::uint64_t journalEnd = 0;  // where the next record goes
    std::uint64_t editId = 0;
    std::uint32_t salt = 0;
    std::uint32_t progressSequence = 0;
    bool marked = false;          // the archive carries this edit's mark, durably
    bool clearUnflushed = false;  // a mark was cleared since the archive was last flushed
    std::uint64_t savedBytes = 0;
    bool archiveWritten = false;
    bool unsynced = false;     // saved bytes not yet flushed
    bool nameDurable = false;  // the journal's name flushed in its folder
    // Writes held back until the bytes they overwrite are durable in the journal.
    std::vector<ByteRange> pending;
    ByteRange pendingSpan{0, 0};  // from the lowest to the highest byte of `pending`
    std::vector<std::vector<std::vector<char>>> pendingBlocks;
    std::uint64_t pendingBytes = 0;
    // The span and the number of bytes the edit has written (or is writing) since their
    // write-back was last started.
    std::uint64_t unsentBegin = 0;
    std::uint64_t unsentEnd = 0;
    std::uint64_t unsentBytes = 0;
};

/// Bytes a journal may hold before a long edit (a compaction, a large import) commits what it
/// has done so far and starts an empty journal.
std::uint64_t JournalBatchLimit();

/// For tests: sets JournalBatchLimit; 0 puts back the default.
void SetJournalBatchLimit(std::uint64_t bytes);

}  // namespace GAME
