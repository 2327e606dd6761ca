// The editor of an archive open for edit: where new files go, what the edit keeps, and how it
// reaches the disk through the rollback journal.
//
// The archive (GAME::Archive) holds the records and their hash chains; the editor changes them
// and keeps everything an edit needs besides: the journal, the free records, the room reserved
// on disk, and whether the file still holds the index as it was loaded. Adding a loose file
// (FileAddition), compacting (Compaction) and the archive's own editing operations
// (ArchiveEditing.cpp) work through it. The archive owns it from OpenEdit to Close.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Engine/Archive.h"
#include "Engine/ArchiveJournal.h"
#include "Engine/EditSession.h"
#include "tool/editor/Addition.h"

namespace GAME {

class BlockCompressor;
struct ArchiveHeader;

class ArchiveEditor final : public EditSession {
public:
    /// Starts the edit of `archive`, just opened for edit (Archive::OpenFile), holding its lock
    /// beside readers when `sharedLock`. Null when memory runs out.
    static std::unique_ptr<ArchiveEditor> Start(Archive& archive, bool sharedLock);

    ArchiveEditor(Archive& archive, bool sharedLock, std::uint64_t fileSize);

    bool WriteHeldBack() override;
    bool Finish() override;
    bool WriteFailed() const override { return writeFailed; }

    Archive& GetArchive() const { return archive; }

    // ---- Records ------------------------------------------------------------------------

    /// Makes the record of a new file of `size` stored and `expandedSize` expanded bytes under
    /// `name`: in the best-fitting free record, or appended at the end of the data. Appending
    /// may move the records; earlier references are then stale.
    Addition Allocate(const StoredName& name, unsigned int size, unsigned int expandedSize, bool compressed);

    /// The free record that fits `size` bytes best: the first exact fit, else the smallest that
    /// is large enough. -1 when none is.
    int FindFreeEntry(unsigned int size) const;

    /// Turns an in-use record into a free record that keeps its byte range.
    void Remove(int fileIndex);

    /// Takes out again a record whose bytes did not all arrive, so that the index never points
    /// at data that was not written; an appended record goes entirely.
    void UndoAddition(int fileIndex);

    /// Secures room on disk for the data up to the append point and the largest index Close may
    /// write. diskFull when the disk has no more.
    AddStatus ReserveIndexRoom();

    /// Notes that the records changed: Close must write the index.
    void IndexChanged() { indexOnDisk = false; }

    /// Lists the free records anew, after the records were rearranged.
    void RelistFreeRecords();

    // ---- Writing ------------------------------------------------------------------------

    /// Makes everything done so far durable: data, index and header. `final` at Close, which
    /// also cuts what follows the index. False when that failed; the edit then holds its last
    /// commit and writes nothing more.
    bool Commit(bool final);

    /// Commits when the journal has grown past its batch limit, so that it stays bounded.
    bool CommitIfJournalFull();

    /// True when the journal holds enough for a commit of a long edit to be due.
    bool JournalFull() const;

    /// Saves what [offset, offset + length) overwrites of the committed state, before it is
    /// written. False when that failed; the range must then stay as it is.
    bool Protect(std::uint64_t offset, std::uint64_t length);

    /// Writes `blocks` at `offset` once what they overwrite is saved, maybe later together with
    /// other writes. False when that failed: the edit has then gone back to its last commit.
    bool WriteWhenSaved(std::uint64_t offset, std::vector<std::vector<char>>&& blocks);

    /// True while the edit may write: not rolled back.
    bool CanWrite() const { return journal != nullptr; }

    /// Notes a write into the archive that failed.
    void NoteWriteFailure() { writeFailed = true; }

    // ---- Packing ahead ------------------------------------------------------------------

    /// Lets compressed additions take their blocks from `compressor`, whose workers pack the
    /// files it is told of ahead of their addition; null packs them on the calling thread. The
    /// archive's bytes are the same either way. The compressor must outlive its use here.
    void UseBlockCompressor(BlockCompressor* compressor) { blockCompressor = compressor; }
    BlockCompressor* GetBlockCompressor() const { return blockCompressor; }

    /// Stored bytes of one compressed addition held in memory while its place is not yet
    /// chosen; the rest waits past the end of the archive's data, where an appended file lies
    /// anyway. 0 puts back the default.
    std::uint64_t StagingLimit() const { return stagingLimit; }
    void SetStagingLimit(std::uint64_t bytes) { stagingLimit = bytes != 0 ? bytes : defaultStagingLimit; }

private:
    void RollBack();
    bool WriteIndex(ArchiveHeader& header);
    bool WriteCommittedHeader(ArchiveHeader& header);
    bool WriteRange(std::uint64_t offset, const void* bytes, std::uint64_t length);
    std::vector<ByteRange> CommittedRanges(std::uint64_t fileLength) const;

    Archive& archive;
    // The rollback journal; null once the edit went back to its last commit and writes nothing
    // more.
    std::unique_ptr<ArchiveJournal> journal;
    std::vector<int> freeEntries;
    // Room secured on disk: the file reaches at least to reservedEnd, which leaves room for an
    // index of up to indexBound bytes behind the data. An index never grows by more than an
    // addition claims, so Close always finds its room.
    std::uint64_t reservedEnd;
    std::uint64_t indexBound;
    // True while the index in memory is, byte for byte, the one the file holds, header and
    // length included: Close then has nothing to write.
    bool indexOnDisk;
    // The lock is shared with readers, and taken alone only to write the index back.
    bool sharedLock;
    bool writeFailed = false;
    // Packs compressed additions ahead on worker threads; not owned. Null packs them inline.
    BlockCompressor* blockCompressor = nullptr;
    static constexpr std::uint64_t defaultStagingLimit = 32u << 20;
    std::uint64_t stagingLimit = defaultStagingLimit;
};

/// The editor of `archive` when it is open for edit, else null.
ArchiveEditor* EditorOf(Archive& archive);

}  // namespace GAME
