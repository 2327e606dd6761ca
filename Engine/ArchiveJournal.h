// The rollback journal of an archive edit: "<archive>-journal", beside the archive.
//
// An edit changes the archive in place. Before it overwrites bytes that the archive's committed
// state (the state its header describes on disk) still needs, it saves them in the journal and
// makes them durable; writes into space the committed state does not use, and past the end of
// the committed file, need no saving. The edit commits by making the data, the index and then
// the header durable and deleting the journal. An open that finds a journal puts the saved bytes
// and the committed length back: the archive then holds exactly its state before the edit.
//
// The journal file, all integers little-endian:
//   header  32 bytes: "ARCJ", version (1), the committed archive length (64-bit), a salt, the
//           Adler-32 of the 20 bytes before it, 8 zero bytes
//   records one after the other: the archive offset (64-bit), a length, the Adler-32 of the
//           salt, those 12 bytes and the saved bytes, then the saved bytes
// A record counts when it is whole and its sum holds; the journal is the records before the
// first one that does not. A journal whose header does not hold saved nothing yet: it is
// deleted without touching the archive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/UniqueFile.h"

namespace GAME {

/// Bytes [begin, end) of the archive file.
struct ByteRange {
    std::uint64_t begin;
    std::uint64_t end;
};

/// The journal of the archive at `archivePath`.
std::string JournalPath(const std::string& archivePath);

enum class Recovery {
    nothing,     // no journal
    discarded,   // a journal that saved nothing yet, deleted
    rolledBack,  // the archive holds its state before the interrupted edit again
    failed,      // the journal could not be applied or deleted; the archive must not be used
};

/// Rolls the archive back from the journal an interrupted edit left, and deletes the journal.
/// `archive` is open for reading and writing and holds the edit lock. Doing it again after it
/// was itself interrupted gives the same result.
Recovery RecoverArchive(const std::string& archivePath, platform::FileHandle archive);

/// RecoverArchive with its outcome told on standard error. Gives false when the archive must
/// not be used.
bool RecoverInterruptedEdit(const std::string& archivePath, platform::FileHandle archive);

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
    /// whose range meets it. Gives false when saving or writing failed.
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

    /// Puts the committed state back from the journal, or cuts the archive to its committed
    /// length when nothing was saved. Gives false when the archive could not be restored.
    bool RollBack();

private:
    bool Stage(std::uint64_t offset, std::uint64_t length, bool* staged);
    bool Sync();
    bool Start();
    bool SaveRange(std::uint64_t begin, std::uint64_t end);

    std::string archivePath;
    platform::FileHandle archive;
    std::uint64_t committedLength;
    std::vector<ByteRange> needed;  // ascending, not overlapping
    std::vector<ByteRange> saved;   // ascending, not overlapping
    platform::UniqueFile journal;
    std::uint32_t salt = 0;
    std::uint64_t savedBytes = 0;
    bool archiveWritten = false;
    bool unsynced = false;     // saved bytes not yet flushed
    bool nameDurable = false;  // the journal's name flushed in its folder
    // Writes held back until the bytes they overwrite are durable in the journal.
    std::vector<ByteRange> pending;
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
