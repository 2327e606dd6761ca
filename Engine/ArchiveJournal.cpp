#include "Engine/ArchiveJournal.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <random>

#include "Engine/ArchiveRecovery.h"
#include "Engine/JournalFormat.h"
#include "Engine/MemGrowth.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "platform/Process.h"

namespace GAME {
namespace {

constexpr std::uint64_t defaultBatchLimit = 64ull << 20;
// Writes held back for one flush of the journal, at most this many bytes.
constexpr std::uint64_t pendingLimit = 8u << 20;
// Written bytes are sent towards the disk in steps of this many.
constexpr std::uint64_t writeBackStep = 8u << 20;

std::uint64_t batchLimit = defaultBatchLimit;

// An id for one edit: never 0, and unlike any other edit's, so that no journal but this one's
// matches the mark it leaves.
std::uint64_t NewEditId(const void* edit) {
    std::uint64_t id = 0;
    try {
        std::random_device device;
        id = (std::uint64_t(device()) << 32) ^ device();
    } catch (const std::exception&) {}
    id ^= (std::uint64_t(platform::MillisecondTimer()) << 17) ^ (std::uint64_t(platform::ProcessId()) * 2654435761u) ^
          static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(edit));
    return id != 0 ? id : 1;
}

// True when [begin, end) shares a byte with one of `ranges`.
bool Overlaps(const std::vector<ByteRange>& ranges, std::uint64_t begin, std::uint64_t end) {
    for (const ByteRange& range : ranges)
        if (range.begin < end && begin < range.end) return true;
    return false;
}

// Appends the parts of [begin, end) that `ranges` do not cover to `out`.
void Subtract(std::uint64_t begin, std::uint64_t end, const std::vector<ByteRange>& ranges,
              std::vector<ByteRange>& out) {
    for (const ByteRange& range : ranges) {
        if (range.end <= begin) continue;
        if (range.begin >= end) break;
        if (range.begin > begin) out.push_back({begin, range.begin});
        begin = std::max(begin, range.end);
        if (begin >= end) return;
    }
    if (begin < end) out.push_back({begin, end});
}

// Adds [begin, end) to ascending, disjoint `ranges`, merging what touches it.
void Insert(std::vector<ByteRange>& ranges, ByteRange added) {
    auto at = std::lower_bound(ranges.begin(), ranges.end(), added,
                               [](const ByteRange& a, const ByteRange& b) { return a.end < b.begin; });
    while (at != ranges.end() && at->begin <= added.end) {
        added.begin = std::min(added.begin, at->begin);
        added.end = std::max(added.end, at->end);
        at = ranges.erase(at);
    }
    ranges.insert(at, added);
}

std::vector<ByteRange> Normalized(std::vector<ByteRange> ranges) {
    std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
    std::vector<ByteRange> merged;
    for (const ByteRange& range : ranges)
        if (range.begin < range.end) Insert(merged, range);
    return merged;
}

// `path` made independent of the current directory, which an import changes while the edit
// goes on.
std::string AbsolutePath(const std::string& path) {
    const bool absolute = path.empty() || path.front() == '/' || path.front() == '\\' || path.find(':') == 1;
    std::string current;
    if (absolute || !platform::GetCurrentDirectory(&current)) return path;
    return platform::JoinPath(current, path);
}

}  // namespace

std::uint64_t JournalBatchLimit() { return batchLimit; }

void SetJournalBatchLimit(std::uint64_t bytes) { batchLimit = bytes != 0 ? bytes : defaultBatchLimit; }

ArchiveJournal::ArchiveJournal(std::string path, platform::FileHandle archiveFile, std::uint64_t length,
                               std::vector<ByteRange> neededRanges)
    : archivePath(AbsolutePath(path)),
      archive(archiveFile),
      committedLength(length),
      needed(Normalized(std::move(neededRanges))) {}

bool ArchiveJournal::Protect(std::uint64_t offset, std::uint64_t length) {
    // A write held back for the same bytes goes first, so that it cannot land on this one.
    if (MeetsPending(offset, offset + length) && !WritePending()) return false;
    // Bytes saved before for this range were made durable then, or go with the held-back writes
    // that the check above has just made: only newly saved ones need a flush now.
    bool staged = false;
    if (!Stage(offset, length, &staged)) return false;
    return (!staged && marked) || Sync();
}

bool ArchiveJournal::WriteWhenSaved(std::uint64_t offset, std::vector<std::vector<char>>&& blocks) {
    std::uint64_t length = 0;
    for (const std::vector<char>& block : blocks) length += block.size();
    if (MeetsPending(offset, offset + length) && !WritePending()) return false;
    bool staged = false;
    if (!Stage(offset, length, &staged)) return false;
    if (staged) {
        // Held back until the journal is durable, together with others: many writes, one flush.
        pending.push_back({offset, offset + length});
        pendingSpan.begin = pending.size() == 1 ? offset : std::min(pendingSpan.begin, offset);
        pendingSpan.end = std::max(pendingSpan.end, offset + length);
        pendingBlocks.push_back(std::move(blocks));
        pendingBytes += length;
        return pendingBytes < pendingLimit || WritePending();
    }
    // Nothing to save, but the archive must carry the mark before its first write.
    if (!marked && !Sync()) return false;
    return WriteBlocks(offset, blocks);
}

bool ArchiveJournal::WriteBlocks(std::uint64_t offset, const std::vector<std::vector<char>>& blocks) {
    for (const std::vector<char>& block : blocks) {
        if (!platform::WriteAllAt(archive, block.data(), block.size(), offset)) return false;
        offset += block.size();
    }
    return true;
}

bool ArchiveJournal::MeetsPending(std::uint64_t begin, std::uint64_t end) const {
    // Writes mostly go up the file, past all that is held back: no need to look at each.
    if (pending.empty() || end <= pendingSpan.begin || begin >= pendingSpan.end) return false;
    return Overlaps(pending, begin, end);
}

bool ArchiveJournal::WritePending() {
    if (pending.empty()) return true;
    bool ok = Sync();
    for (std::size_t i = 0; ok && i < pending.size(); ++i) ok = WriteBlocks(pending[i].begin, pendingBlocks[i]);
    pending.clear();
    pendingSpan = {0, 0};
    pendingBlocks.clear();
    pendingBytes = 0;
    return ok;
}

bool ArchiveJournal::Stage(std::uint64_t offset, std::uint64_t length, bool* staged) {
    archiveWritten = true;
    // What earlier writes put down goes to the disk while the edit goes on, a few large steps
    // at a time.
    if (unsentBytes >= writeBackStep) {
        platform::StartWriteBack(archive, unsentBegin, unsentEnd - unsentBegin);
        unsentBytes = 0;
    }
    if (unsentBytes == 0) unsentBegin = unsentEnd = offset;
    unsentBegin = std::min(unsentBegin, offset);
    unsentEnd = std::max(unsentEnd, offset + length);
    unsentBytes += length;

    // Starting the journal and saving bytes read the archive: the caller's position is put back
    // after them. A write that saves nothing moves nothing.
    std::uint64_t position = 0;
    bool positionTaken = false;
    const auto keepPosition = [&] {
        if (!positionTaken) positionTaken = platform::GetFilePosition(archive, &position);
        return positionTaken;
    };
    // Every edit starts its journal before its first write of any kind, so that the archive can
    // carry the mark that ties the two together; a crash then always finds the journal, and an
    // empty file goes back to nothing rather than to a header without its index.
    bool ok = journal || (keepPosition() && Start());

    const std::uint64_t end = std::min(offset + length, committedLength);
    std::vector<ByteRange> wanted, unsaved;
    auto first = std::lower_bound(needed.begin(), needed.end(), offset,
                                  [](const ByteRange& range, std::uint64_t at) { return range.end <= at; });
    for (auto range = first; ok && range != needed.end() && range->begin < end; ++range)
        wanted.push_back({std::max(range->begin, offset), std::min(range->end, end)});
    for (const ByteRange& range : wanted) Subtract(range.begin, range.end, saved, unsaved);
    if (ok && !unsaved.empty()) ok = keepPosition();
    for (const ByteRange& range : unsaved)
        for (std::uint64_t at = range.begin; ok && at < range.end; at += largestRecord)
            ok = SaveRange(at, std::min(range.end, at + largestRecord));
    if (ok && !unsaved.empty()) {
        for (const ByteRange& range : unsaved) Insert(saved, range);
        unsynced = true;
        if (staged != nullptr) *staged = true;
    }
    return (!positionTaken || platform::SetFilePosition(archive, position)) && ok;
}

bool ArchiveJournal::Sync() {
    if (!unsynced && marked) return true;
    if (!journal) return false;
    // The saved bytes, and a new journal's name in its folder, are on the disk before anything
    // overwrites them.
    if (!platform::FlushFile(journal.Get())) return false;
    if (!nameDurable && !platform::FlushDirectory(platform::ParentFolder(JournalPath(archivePath)).c_str()))
        return false;
    nameDurable = true;
    unsynced = false;
    // Everything written to the journal so far is durable: the progress slot says so, so that a
    // journal cut short later is refused rather than half applied. It becomes durable itself with
    // the next flush; until then the older slot claims less, never more.
    unsigned char slot[progressSlotSize];
    EncodeProgress({journalEnd, ++progressSequence}, salt, slot);
    const std::uint64_t slotAt = journalHeaderSize + (progressSequence % 2) * progressSlotSize;
    if (!platform::SetFilePosition(journal.Get(), slotAt) || !platform::WriteAll(journal.Get(), slot, sizeof slot) ||
        !platform::SetFilePosition(journal.Get(), journalEnd))
        return false;
    // The mark goes on the archive, durably, before the edit's first write to it.
    return marked || WriteMark(true);
}

bool ArchiveJournal::WriteMark(bool set) {
    unsigned char mark[editMarkSize] = {};
    if (set) EncodeEditMark(editId, mark);
    std::uint64_t position = 0;
    const bool ok = platform::GetFilePosition(archive, &position) &&
                    platform::SetFilePosition(archive, editMarkOffset) &&
                    platform::WriteAll(archive, mark, sizeof mark) && (!set || platform::FlushFile(archive)) &&
                    platform::SetFilePosition(archive, position);
    if (ok || !set) marked = set && ok;
    return ok;
}

void ArchiveJournal::MarkHeader(unsigned char* header) const {
    if (marked) EncodeEditMark(editId, *reinterpret_cast<unsigned char(*)[editMarkSize]>(header + editMarkOffset));
}

bool ArchiveJournal::Start() {
    unsigned char archiveHeader[archiveHeaderBytes] = {};
    const std::uint64_t headerBytes = std::min<std::uint64_t>(committedLength, archiveHeaderBytes);
    if (!platform::SetFilePosition(archive, 0) || !platform::ReadExactly(archive, archiveHeader, headerBytes))
        return false;
    // A mark left by an earlier edit, or one cleared without a flush, must be gone from the disk
    // before the journal exists: a journal cut short beside an archive that still carries a mark
    // would be taken for a damaged one. A mark without its journal ties nothing, so clearing it
    // needs no saving.
    const bool leftOver = MarkedEditId(archiveHeader, headerBytes) != 0;
    if (leftOver || clearUnflushed) {
        if ((leftOver && !WriteMark(false)) || !platform::FlushFile(archive)) return false;
        clearUnflushed = false;
        if (leftOver) std::memset(archiveHeader + editMarkOffset, 0, editMarkSize);
    }

    const std::string journalPath = JournalPath(archivePath);
    // Never an existing file and never through a link: whatever lies in the journal's place is
    // left alone, and the edit writes nothing.
    journal.Reset(platform::CreateNewFile(journalPath.c_str()));
    if (!journal) return false;
    JournalHeader header;
    header.committedLength = committedLength;
    header.editId = editId = NewEditId(this);
    // A salt of this edit's own, so that records from any other journal never count.
    header.salt = salt = static_cast<std::uint32_t>(editId >> 32) ^ static_cast<std::uint32_t>(editId);
    header.archiveHeaderSum = ArchiveHeaderSum(archiveHeader, headerBytes);
    unsigned char bytes[journalRecordsStart];
    EncodeJournalHeader(header, *reinterpret_cast<unsigned char(*)[journalHeaderSize]>(bytes));
    progressSequence = 0;
    for (int slot = 0; slot < 2; ++slot)
        EncodeProgress(
            {journalRecordsStart, 0}, salt,
            *reinterpret_cast<unsigned char(*)[progressSlotSize]>(bytes + journalHeaderSize + slot * progressSlotSize));
    journalEnd = journalRecordsStart;
    marked = false;
    unsynced = true;
    // The header is saved first: the mark changes it before anything else changes.
    if (platform::WriteAll(journal.Get(), bytes, sizeof bytes) && (headerBytes == 0 || SaveRange(0, headerBytes))) {
        if (headerBytes != 0) Insert(saved, {0, headerBytes});
        return true;
    }
    journal.Reset();
    DeleteJournal(journalPath);
    return false;
}

bool ArchiveJournal::SaveRange(std::uint64_t begin, std::uint64_t end) {
    const std::uint64_t length = end - begin;
    const std::unique_ptr<unsigned char[]> record = mem::TryNewArray<unsigned char>(recordHeaderSize + length);
    if (!GAME_CHECK(record)) return false;
    unsigned char* bytes = record.get() + recordHeaderSize;
    if (!platform::SetFilePosition(archive, begin) || !platform::ReadExactly(archive, bytes, length)) return false;
    PutU64(record.get(), begin);
    PutU32(record.get() + 8, static_cast<std::uint32_t>(length));
    PutU32(record.get() + 12, RecordSum(salt, record.get(), bytes, length));
    if (!platform::WriteAll(journal.Get(), record.get(), recordHeaderSize + length)) return false;
    journalEnd += recordHeaderSize + length;
    savedBytes += length;
    return true;
}

bool ArchiveJournal::Commit(std::uint64_t length, std::vector<ByteRange> neededRanges) {
    if (!GAME_CHECK(pending.empty())) return false;
    journal.Reset();
    nameDurable = false;
    unsynced = false;
    if (!DeleteJournal(JournalPath(archivePath))) return false;
    // With the journal gone, the mark has done its work: a closed archive carries none. Clearing
    // it needs no flush, for a mark without its journal ties nothing.
    if (marked) {
        WriteMark(false);
        clearUnflushed = true;
    }
    committedLength = length;
    needed = Normalized(std::move(neededRanges));
    saved.clear();
    savedBytes = 0;
    archiveWritten = false;
    return true;
}

bool ArchiveJournal::RollBack(const std::function<bool(platform::FileHandle)>& opens) {
    pending.clear();
    pendingSpan = {0, 0};
    pendingBlocks.clear();
    pendingBytes = 0;
    journal.Reset();
    const RecoveryResult result = RecoverArchive(archivePath, archive, opens);
    if (result.outcome != Recovery::nothing) return result.outcome == Recovery::rolledBack;
    // Without a journal, only what lies past the committed end can have changed.
    std::uint64_t size = 0;
    if (platform::GetFileSize(archive, &size) && size > committedLength)
        return platform::SetFilePosition(archive, committedLength) && platform::SetEndOfFile(archive) &&
               platform::FlushFile(archive);
    return true;
}

}  // namespace GAME
