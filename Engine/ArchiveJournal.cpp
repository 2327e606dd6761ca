#include "Engine/ArchiveJournal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <zlib.h>

#include "diagnostics/Assert.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "platform/Process.h"

namespace GAME {
namespace {

constexpr char journalMagic[4] = {'A', 'R', 'C', 'J'};
constexpr std::uint32_t journalVersion = 1;
constexpr std::size_t journalHeaderSize = 32;
constexpr std::size_t recordHeaderSize = 16;
// Saved bytes go in records of at most this many, so that memory stays small.
constexpr std::uint64_t largestRecord = 1u << 20;
constexpr std::uint64_t defaultBatchLimit = 64ull << 20;
// Writes held back for one flush of the journal, at most this many bytes.
constexpr std::uint64_t pendingLimit = 8u << 20;
// Written bytes are sent towards the disk in steps of this many.
constexpr std::uint64_t writeBackStep = 8u << 20;

std::uint64_t batchLimit = defaultBatchLimit;

void PutU32(unsigned char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}
void PutU64(unsigned char* at, std::uint64_t value) {
    PutU32(at, static_cast<std::uint32_t>(value));
    PutU32(at + 4, static_cast<std::uint32_t>(value >> 32));
}
std::uint32_t GetU32(const unsigned char* at) {
    return std::uint32_t(at[0]) | std::uint32_t(at[1]) << 8 | std::uint32_t(at[2]) << 16 | std::uint32_t(at[3]) << 24;
}
std::uint64_t GetU64(const unsigned char* at) { return GetU32(at) | std::uint64_t(GetU32(at + 4)) << 32; }

// The sum of a record: salt, offset and length, then the saved bytes.
std::uint32_t RecordSum(std::uint32_t salt, const unsigned char* recordHeader, const unsigned char* bytes,
                        std::uint64_t length) {
    unsigned char saltBytes[4];
    PutU32(saltBytes, salt);
    uLong sum = adler32(0, nullptr, 0);
    sum = adler32(sum, saltBytes, 4);
    sum = adler32(sum, recordHeader, 12);
    sum = adler32_z(sum, bytes, static_cast<z_size_t>(length));
    return static_cast<std::uint32_t>(sum);
}

// The folder that holds `path`, for making its list of files durable.
std::string FolderOf(const std::string& path) {
    const std::size_t separator = path.find_last_of("\\/");
    if (separator == std::string::npos) return ".";
    return separator == 0 ? path.substr(0, 1) : path.substr(0, separator);
}

bool DeleteJournal(const std::string& journalPath) {
    platform::FileAttributes attributes;
    if (!platform::GetFileAttributes(journalPath.c_str(), &attributes)) return true;
    return platform::DeleteFile(journalPath.c_str()) && platform::FlushDirectory(FolderOf(journalPath).c_str());
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

std::string JournalPath(const std::string& archivePath) { return archivePath + "-journal"; }

std::uint64_t JournalBatchLimit() { return batchLimit; }

void SetJournalBatchLimit(std::uint64_t bytes) { batchLimit = bytes != 0 ? bytes : defaultBatchLimit; }

Recovery RecoverArchive(const std::string& archivePath, platform::FileHandle archive) {
    const std::string journalPath = JournalPath(archivePath);
    platform::FileAttributes attributes;
    if (!platform::GetFileAttributes(journalPath.c_str(), &attributes)) return Recovery::nothing;
    std::vector<unsigned char> journal;
    if (!platform::ReadWholeFile(journalPath.c_str(), &journal)) return Recovery::failed;

    const unsigned char* bytes = journal.data();
    const bool headerHolds =
        journal.size() >= journalHeaderSize && std::memcmp(bytes, journalMagic, 4) == 0 &&
        GetU32(bytes + 4) == journalVersion &&
        GetU32(bytes + 20) == static_cast<std::uint32_t>(adler32(adler32(0, nullptr, 0), bytes, 20));
    // Nothing in the archive is overwritten before the header is durable.
    if (!headerHolds) return DeleteJournal(journalPath) ? Recovery::discarded : Recovery::failed;

    const std::uint64_t committedLength = GetU64(bytes + 8);
    const std::uint32_t salt = GetU32(bytes + 16);
    for (std::size_t at = journalHeaderSize; journal.size() - at >= recordHeaderSize;) {
        const std::uint64_t offset = GetU64(bytes + at);
        const std::uint32_t length = GetU32(bytes + at + 8);
        if (length > journal.size() - at - recordHeaderSize) break;
        const unsigned char* saved = bytes + at + recordHeaderSize;
        if (GetU32(bytes + at + 12) != RecordSum(salt, bytes + at, saved, length)) break;
        if (!platform::SetFilePosition(archive, offset) || !platform::WriteAll(archive, saved, length))
            return Recovery::failed;
        at += recordHeaderSize + length;
    }
    // The caller goes on to read the archive from its start.
    if (!platform::SetFilePosition(archive, committedLength) || !platform::SetEndOfFile(archive) ||
        !platform::FlushFile(archive) || !platform::SetFilePosition(archive, 0))
        return Recovery::failed;
    return DeleteJournal(journalPath) ? Recovery::rolledBack : Recovery::failed;
}

bool RecoverInterruptedEdit(const std::string& archivePath, platform::FileHandle archive) {
    switch (RecoverArchive(archivePath, archive)) {
        case Recovery::rolledBack:
            std::fprintf(stderr, "%s: an interrupted edit was rolled back.\n", archivePath.c_str());
            return true;
        case Recovery::failed:
            std::fprintf(stderr, "%s: an interrupted edit could not be rolled back.\n", archivePath.c_str());
            return false;
        default: return true;
    }
}

ArchiveJournal::ArchiveJournal(std::string path, platform::FileHandle archiveFile, std::uint64_t length,
                               std::vector<ByteRange> neededRanges)
    : archivePath(AbsolutePath(path)),
      archive(archiveFile),
      committedLength(length),
      needed(Normalized(std::move(neededRanges))) {}

bool ArchiveJournal::Protect(std::uint64_t offset, std::uint64_t length) {
    // A write held back for the same bytes goes first, so that it cannot land on this one.
    if (Overlaps(pending, offset, offset + length) && !WritePending()) return false;
    return Stage(offset, length, nullptr) && Sync();
}

bool ArchiveJournal::WriteWhenSaved(std::uint64_t offset, std::vector<std::vector<char>>&& blocks) {
    std::uint64_t length = 0;
    for (const std::vector<char>& block : blocks) length += block.size();
    if (Overlaps(pending, offset, offset + length) && !WritePending()) return false;
    bool staged = false;
    if (!Stage(offset, length, &staged)) return false;
    if (staged) {
        // Held back until the journal is durable, together with others: many writes, one flush.
        pending.push_back({offset, offset + length});
        pendingBlocks.push_back(std::move(blocks));
        pendingBytes += length;
        return pendingBytes < pendingLimit || WritePending();
    }
    if (!platform::SetFilePosition(archive, offset)) return false;
    for (const std::vector<char>& block : blocks)
        if (!platform::WriteAll(archive, block.data(), block.size())) return false;
    return true;
}

bool ArchiveJournal::WritePending() {
    if (pending.empty()) return true;
    bool ok = Sync();
    for (std::size_t i = 0; ok && i < pending.size(); ++i) {
        ok = platform::SetFilePosition(archive, pending[i].begin);
        for (const std::vector<char>& block : pendingBlocks[i])
            ok = ok && platform::WriteAll(archive, block.data(), block.size());
    }
    pending.clear();
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

    const std::uint64_t end = std::min(offset + length, committedLength);
    std::vector<ByteRange> wanted, unsaved;
    auto first = std::lower_bound(needed.begin(), needed.end(), offset,
                                  [](const ByteRange& range, std::uint64_t at) { return range.end <= at; });
    for (auto range = first; range != needed.end() && range->begin < end; ++range)
        wanted.push_back({std::max(range->begin, offset), std::min(range->end, end)});
    for (const ByteRange& range : wanted) Subtract(range.begin, range.end, saved, unsaved);
    // An empty file is an empty archive: a journal without records lets a crash take a new
    // archive back to nothing rather than to a header without its index.
    if (unsaved.empty() && (committedLength != 0 || journal)) return true;

    std::uint64_t position = 0;
    if (!platform::GetFilePosition(archive, &position)) return false;
    bool ok = journal || Start();
    for (const ByteRange& range : unsaved)
        for (std::uint64_t at = range.begin; ok && at < range.end; at += largestRecord)
            ok = SaveRange(at, std::min(range.end, at + largestRecord));
    if (ok) {
        for (const ByteRange& range : unsaved) Insert(saved, range);
        unsynced = true;
        if (staged != nullptr) *staged = true;
    }
    return platform::SetFilePosition(archive, position) && ok;
}

bool ArchiveJournal::Sync() {
    if (!unsynced) return true;
    // The saved bytes, and a new journal's name in its folder, are on the disk before anything
    // overwrites them.
    if (!platform::FlushFile(journal.Get())) return false;
    if (!nameDurable && !platform::FlushDirectory(FolderOf(JournalPath(archivePath)).c_str())) return false;
    nameDurable = true;
    unsynced = false;
    return true;
}

bool ArchiveJournal::Start() {
    const std::string journalPath = JournalPath(archivePath);
    journal.Reset(platform::OpenOutputFile(journalPath.c_str()));
    if (!journal) return false;
    // A salt of this edit's own, so that records left in the file by an older journal never count.
    salt = platform::MillisecondTimer() ^ static_cast<std::uint32_t>(platform::ProcessId() * 2654435761u) ^
           static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(this));
    unsigned char header[journalHeaderSize] = {};
    std::memcpy(header, journalMagic, 4);
    PutU32(header + 4, journalVersion);
    PutU64(header + 8, committedLength);
    PutU32(header + 16, salt);
    PutU32(header + 20, static_cast<std::uint32_t>(adler32(adler32(0, nullptr, 0), header, 20)));
    // Made durable, with the first records and the journal's name in its folder, by Protect.
    if (platform::WriteAll(journal.Get(), header, sizeof header)) return true;
    journal.Reset();
    return false;
}

bool ArchiveJournal::SaveRange(std::uint64_t begin, std::uint64_t end) {
    const std::uint64_t length = end - begin;
    const std::unique_ptr<unsigned char[]> record(new (std::nothrow) unsigned char[recordHeaderSize + length]);
    if (!GAME_CHECK(record)) return false;
    unsigned char* bytes = record.get() + recordHeaderSize;
    if (!platform::SetFilePosition(archive, begin) || !platform::ReadExactly(archive, bytes, length)) return false;
    PutU64(record.get(), begin);
    PutU32(record.get() + 8, static_cast<std::uint32_t>(length));
    PutU32(record.get() + 12, RecordSum(salt, record.get(), bytes, length));
    if (!platform::WriteAll(journal.Get(), record.get(), recordHeaderSize + length)) return false;
    savedBytes += length;
    return true;
}

bool ArchiveJournal::Commit(std::uint64_t length, std::vector<ByteRange> neededRanges) {
    if (!GAME_CHECK(pending.empty())) return false;
    journal.Reset();
    nameDurable = false;
    unsynced = false;
    if (!DeleteJournal(JournalPath(archivePath))) return false;
    committedLength = length;
    needed = Normalized(std::move(neededRanges));
    saved.clear();
    savedBytes = 0;
    archiveWritten = false;
    return true;
}

bool ArchiveJournal::RollBack() {
    pending.clear();
    pendingBlocks.clear();
    pendingBytes = 0;
    journal.Reset();
    if (RecoverArchive(archivePath, archive) == Recovery::failed) return false;
    // Without saved bytes, only what lies past the committed end can have changed.
    std::uint64_t size = 0;
    if (platform::GetFileSize(archive, &size) && size > committedLength)
        return platform::SetFilePosition(archive, committedLength) && platform::SetEndOfFile(archive) &&
               platform::FlushFile(archive);
    return true;
}

}  // namespace GAME
