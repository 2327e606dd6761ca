// The editor of an archive open for edit: its records, its room on disk, and its commits
// through the rollback journal.
#include "tool/editor/ArchiveEditor.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "Engine/ArchiveFormat.h"
#include "Engine/ArchiveIndexLayout.h"
#include "Engine/MemGrowth.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"

namespace GAME {

namespace {

// Bytes compared at a time against what the file holds. Two indexes that differ usually do so
// early (one written at a new place, over room reserved for it), and the first piece that
// differs ends the comparison.
constexpr std::uint64_t comparePiece = 1u << 20;

// How many bytes `a` and `b`, both `length` long, share from the first. memcmp finds the
// 4 KiB stretch where they part, and only that one is searched byte by byte.
std::uint64_t CommonPrefix(const char* a, const char* b, std::uint64_t length) {
    constexpr std::uint64_t stretch = 4096;
    std::uint64_t done = 0;
    while (length - done > stretch && std::memcmp(a + done, b + done, stretch) == 0) done += stretch;
    return done + static_cast<std::uint64_t>(std::mismatch(a + done, a + length, b + done).first - (a + done));
}

constexpr unsigned int fileFlagInUse = Archive::fileFlagInUse;

// The largest offset a record's data may end at: offsets are 32-bit.
constexpr std::uint64_t archiveOffsetLimit = 0xFFFFFFFFull;

// True when the file holds `bytes` at `offset` already: writing them would change nothing.
// Otherwise `*same` says how many of them, from the first, it holds.
bool HoldsAlready(platform::FileHandle file, std::uint64_t offset, const void* bytes, std::uint64_t length,
                  std::uint64_t* same) {
    *same = 0;
    std::uint64_t size = 0;
    if (!platform::GetFileSize(file, &size) || offset > size) return false;
    if (length == 0) return true;
    const std::uint64_t onFile = size - offset < length ? size - offset : length;
    const std::uint64_t bufferSize = onFile < comparePiece ? onFile : comparePiece;
    if (bufferSize == 0) return false;
    const std::unique_ptr<char[]> onDisk = mem::TryNewArray<char>(bufferSize);
    if (!onDisk || !platform::SetFilePosition(file, offset)) return false;
    const char* wanted = static_cast<const char*>(bytes);
    while (*same < onFile) {
        const std::uint64_t piece = onFile - *same < bufferSize ? onFile - *same : bufferSize;
        if (!platform::ReadExactly(file, onDisk.get(), piece)) break;
        if (std::memcmp(onDisk.get(), wanted + *same, piece) != 0) {
            *same += CommonPrefix(onDisk.get(), wanted + *same, piece);
            break;
        }
        *same += piece;
    }
    return *same == length;
}

}  // namespace

std::unique_ptr<ArchiveEditor> ArchiveEditor::Start(Archive& archive, bool sharedLock) {
    std::uint64_t fileSize = 0;
    if (!platform::GetFileSize(archive.GetFileHandle(), &fileSize)) return nullptr;
    std::unique_ptr<ArchiveEditor> editor(new (std::nothrow) ArchiveEditor(archive, sharedLock, fileSize));
    if (!GAME_CHECK(editor != nullptr && editor->CanWrite())) return nullptr;
    editor->RelistFreeRecords();
    return editor;
}

ArchiveEditor::ArchiveEditor(Archive& archive, bool sharedLock, std::uint64_t fileSize)
    : archive(archive),
      // The file as it is holds the index as it is; additions reserve room for what they add.
      reservedEnd(fileSize),
      indexBound(fileSize != 0 ? fileSize - archive.AppendPoint() : 0),
      indexOnDisk(archive.IndexAsLaidOut()),
      sharedLock(sharedLock) {
    journal.reset(new (std::nothrow) ArchiveJournal(archive.GetFileName(), archive.GetFileHandle(), fileSize,
                                                    CommittedRanges(fileSize)));
}

ArchiveEditor* EditorOf(Archive& archive) { return static_cast<ArchiveEditor*>(archive.GetEditSession()); }

void ArchiveEditor::RelistFreeRecords() {
    freeEntries.clear();
    const mem::vector<Archive::FileEntry>& records = archive.Records();
    for (std::size_t i = 0; i < records.size(); ++i)
        if (!(records[i].flags & Archive::fileFlagInUse)) GAME_CHECK(mem::TryAppend(freeEntries, static_cast<int>(i)));
}

bool ArchiveEditor::Finish() {
    if (!Commit(true)) writeFailed = true;
    journal.reset();
    return !writeFailed;
}

Addition ArchiveEditor::Allocate(const StoredName& name, unsigned int size, unsigned int expandedSize,
                                 bool compressed) {
    if (archive.FindStored(name) >= 0) return {AddStatus::alreadyStored};
    if (name.text.empty()) return {AddStatus::unnamed};  // "." or "/" names nothing
    if (!GAME_CHECK(archive.GetTableSize() != 0)) return {AddStatus::failedCheck};
    using FileEntry = Archive::FileEntry;
    FileEntry entry{};
    entry.flags = compressed ? (Archive::fileFlagInUse | Archive::fileFlagCompressed) : Archive::fileFlagInUse;
    entry.size = size;
    entry.expandedSize = expandedSize;
    entry.nameLength = static_cast<unsigned int>(name.text.size());

    mem::vector<FileEntry>& records = archive.Records();
    int index = FindFreeEntry(size);
    const std::uint64_t appendPoint = archive.AppendPoint();
    if (index < 0 && appendPoint + size > archiveOffsetLimit) return {AddStatus::archiveFull};
    std::unique_ptr<char[]> nameCopy = mem::TryNewArray<char>(name.text.size() + 1);
    if (!GAME_CHECK(nameCopy)) return {AddStatus::failedCheck};
    std::memcpy(nameCopy.get(), name.text.c_str(), name.text.size() + 1);

    if (index >= 0) {
        entry.offset = records[index].offset;
    } else {
        entry.offset = static_cast<unsigned int>(appendPoint);
        if (records.size() == records.capacity()) {
            // Growing moves the records, and the chains point at them: rebuild after it. The room
            // grows with the index, so that the rebuilds of a long import stay few.
            const std::size_t more = records.size() / 2 > 256 ? records.size() / 2 : 256;
            if (!GAME_CHECK(mem::TryReserve(records, records.size() + more)) || !archive.BuildHashTable())
                return {AddStatus::failedCheck};
        }
        records.push_back(FileEntry{});
        index = static_cast<int>(records.size() - 1);
    }
    indexOnDisk = false;
    entry.name = nameCopy.release();
    entry.ownsCopies = true;
    records[index] = entry;
    // What this record can add to the index at Close: an entry, its name and its blocks.
    const std::uint64_t blockSize = archiveBlockSize;
    const std::uint64_t blocks = compressed ? (std::uint64_t(expandedSize) + blockSize - 1) / blockSize : 0;
    indexBound += sizeof(DiskFileEntry) + entry.nameLength + 1 + blocks * sizeof(FileBlock);
    archive.ChainRecord(records[index], name.hash);
    freeEntries.erase(std::remove(freeEntries.begin(), freeEntries.end(), index), freeEntries.end());
    return {AddStatus::added, index};
}

int ArchiveEditor::FindFreeEntry(unsigned int size) const {
    const mem::vector<Archive::FileEntry>& records = archive.Records();
    int best = -1;
    unsigned int bestSize = 0xFFFFFFFF;
    for (int index : freeEntries) {
        const Archive::FileEntry& file = records[index];
        // A listed record that is in use must never be handed out again.
        if (!GAME_CHECK(file.flags == 0)) continue;
        if (file.size < size) continue;
        if (file.size == size) return index;
        if (file.size < bestSize) {
            best = index;
            bestSize = file.size;
        }
    }
    return best;
}

void ArchiveEditor::Remove(int fileIndex) {
    mem::vector<Archive::FileEntry>& fileArray = archive.Records();
    if (!GAME_CHECK(fileIndex < (int)fileArray.size())) return;
    if (!GAME_CHECK(fileIndex >= 0)) return;
    Archive::FileEntry& fileEntry = fileArray[fileIndex];
    // Freeing a free record would list it twice for reuse.
    if (!GAME_CHECK(fileEntry.flags & fileFlagInUse)) return;
    archive.UnchainRecord(fileEntry);
    Archive::ReleaseRecord(fileEntry);
    indexOnDisk = false;
    const unsigned int offset = fileEntry.offset, size = fileEntry.size;
    fileEntry = Archive::FileEntry{};
    fileEntry.offset = offset;
    fileEntry.size = size;
    // Unlisted, the free record is only never reused.
    GAME_CHECK(mem::TryAppend(freeEntries, fileIndex));
}

void ArchiveEditor::UndoAddition(int fileIndex) {
    // An appended record goes entirely, so that the end of the data, where the index will go,
    // moves back.
    mem::vector<Archive::FileEntry>& records = archive.Records();
    const bool appended = fileIndex == static_cast<int>(records.size()) - 1;
    Remove(fileIndex);
    if (appended && records[fileIndex].flags == 0) {
        freeEntries.erase(std::remove(freeEntries.begin(), freeEntries.end(), fileIndex), freeEntries.end());
        records.pop_back();
    }
}

AddStatus ArchiveEditor::ReserveIndexRoom() {
    // Room for the data up to the append point and for the largest index Close may write.
    const std::uint64_t need = std::uint64_t(archive.AppendPoint()) + indexBound;
    if (need <= reservedEnd) return AddStatus::added;
    // Reserved in steps that grow with the archive, so that the reservations stay few.
    std::uint64_t slack = need / 16;
    if (slack < (1u << 20)) slack = 1u << 20;
    // Growing the file changes nothing the committed state reads, but a new archive must be able
    // to go back to the empty file it was: the journal starts first.
    if (!Protect(reservedEnd, 0)) return AddStatus::writeFailed;
    if (platform::ReserveFileSpace(archive.GetFileHandle(), need + slack)) {
        reservedEnd = need + slack;
        return AddStatus::added;
    }
    if (platform::ReserveFileSpace(archive.GetFileHandle(), need)) {
        reservedEnd = need;
        return AddStatus::added;
    }
    writeFailed = true;
    return AddStatus::diskFull;
}

bool ArchiveEditor::Commit(bool final) {
    // An edit that had to be rolled back writes nothing more: the file holds its last commit.
    if (journal == nullptr || !WriteHeldBack()) return false;
    // Nothing changed and nothing was written: the file holds this very index already.
    if (indexOnDisk && !journal->ArchiveWritten()) return true;
    const platform::FileHandle file = archive.GetFileHandle();
    // An open that only reads shares the lock with other readers. It writes the index back only
    // when it can have the lock alone; otherwise the file stays as it is, which is all that was
    // asked of it. The conversion is made at once or not at all, so nobody else wrote meanwhile.
    if (sharedLock) {
        if (!platform::LockFile(file, platform::LockMode::exclusive)) return true;
        sharedLock = false;
    }

    ArchiveHeader header = NewIndexHeader(archive.Records().size(), archive.AppendPoint());

    // Until the index is on disk the old header must stay: it must never describe an index
    // that was not written. The data and the index are durable before the header points at
    // them, and the header before the journal goes. An edit that wrote nothing flushes nothing.
    bool committed = WriteIndex(header);
    committed = committed && (!journal->ArchiveWritten() || GAME_CHECK(platform::FlushFile(file)));
    committed = committed && WriteCommittedHeader(header);
    committed = committed && (!journal->ArchiveWritten() || GAME_CHECK(platform::FlushFile(file)));
    if (!committed) {
        RollBack();
        return false;
    }
    std::uint64_t fileSize = 0;
    if (!GAME_CHECK(platform::GetFileSize(file, &fileSize))) return false;
    // What the new state reads ends with its index: the room reserved behind it holds nothing
    // a later write must save.
    const std::uint64_t indexEnd = IndexEnd(header);
    if (!GAME_CHECK(journal->Commit(fileSize, CommittedRanges(indexEnd < fileSize ? indexEnd : fileSize)))) {
        // The journal could not be deleted, so the next open would roll this commit back: go no
        // further than the state that would then be found.
        journal.reset();
        return false;
    }
    // Cut whatever followed: the old index, or data that compaction moved down. Only now, so that
    // a crash before the cut leaves a longer file that is whole.
    if (!final || fileSize == indexEnd) return true;
    return GAME_CHECK(platform::SetFilePosition(file, indexEnd) && platform::SetEndOfFile(file));
}

bool ArchiveEditor::WriteCommittedHeader(ArchiveHeader& header) {
    std::uint64_t same = 0;
    if (HoldsAlready(archive.GetFileHandle(), 0, &header, sizeof header, &same)) return true;
    // The new header keeps the edit's mark until the journal is gone: the mark goes on first.
    if (!Protect(0, sizeof header)) return false;
    journal->MarkHeader(reinterpret_cast<unsigned char*>(&header));
    return WriteRange(0, &header, sizeof header);
}

bool ArchiveEditor::WriteHeldBack() {
    if (journal == nullptr || journal->WritePending()) return true;
    // A write that had been reported done failed: only the last commit is sure to be whole.
    RollBack();
    return false;
}

bool ArchiveEditor::JournalFull() const { return journal != nullptr && journal->SavedBytes() >= JournalBatchLimit(); }

bool ArchiveEditor::CommitIfJournalFull() { return !JournalFull() || Commit(false); }

void ArchiveEditor::RollBack() {
    writeFailed = true;
    if (journal == nullptr) return;
    if (!journal->RollBack(&Archive::OpensAsArchive))
        std::fprintf(stderr, "%s: an edit could not be rolled back; it will be at the next open.\n",
                     archive.GetFileName().c_str());
    journal.reset();
}

std::vector<ByteRange> ArchiveEditor::CommittedRanges(std::uint64_t fileLength) const {
    // What the state on disk reads: the header, every in-use run and the index behind the data.
    std::vector<ByteRange> ranges;
    if (fileLength == 0) return ranges;
    // The runs lie in ascending order, most of them back to back: each one that meets the range
    // before it joins it, so that the list stays as short as the holes are few.
    auto add = [&ranges](std::uint64_t begin, std::uint64_t end) {
        if (!ranges.empty() && ranges.back().begin <= begin && begin <= ranges.back().end) {
            if (end > ranges.back().end) ranges.back().end = end;
        } else {
            ranges.push_back({begin, end});
        }
    };
    add(0, sizeof(ArchiveHeader));
    for (const Archive::FileEntry& entry : archive.Records())
        if ((entry.flags & Archive::fileFlagInUse) && entry.size != 0)
            add(entry.offset, std::uint64_t(entry.offset) + entry.size);
    add(archive.AppendPoint(), fileLength);
    return ranges;
}

bool ArchiveEditor::Protect(std::uint64_t offset, std::uint64_t length) {
    if (journal == nullptr) return false;
    if (journal->Protect(offset, length)) return true;
    writeFailed = true;
    return false;
}

bool ArchiveEditor::WriteWhenSaved(std::uint64_t offset, std::vector<std::vector<char>>&& blocks) {
    if (journal != nullptr && journal->WriteWhenSaved(offset, std::move(blocks))) return true;
    // Writes held back before this one may be lost with it: the edit goes back to its last commit.
    RollBack();
    return false;
}

bool ArchiveEditor::WriteRange(std::uint64_t offset, const void* bytes, std::uint64_t length) {
    // What the file holds already is neither saved nor written again, so that a range that came
    // out the same writes nothing, and one that changed towards its end writes only from there.
    const platform::FileHandle file = archive.GetFileHandle();
    std::uint64_t same = 0;
    if (HoldsAlready(file, offset, bytes, length, &same)) return true;
    offset += same;
    length -= same;
    return Protect(offset, length) && platform::SetFilePosition(file, offset) &&
           platform::WriteAll(file, static_cast<const char*>(bytes) + same, length);
}

bool ArchiveEditor::WriteIndex(ArchiveHeader& header) {
    const mem::vector<Archive::FileEntry>& fileArray = archive.Records();
    // The block table, the name table and the entry table lie back to back: they are laid out in
    // one buffer and written in one piece, and only when the file does not hold them already, so
    // that closing an archive whose index came out the same writes nothing.
    const std::size_t numFiles = fileArray.size();
    ArchiveHeader sizes = header;
    DiskFileEntry disk;
    for (const Archive::FileEntry& entry : fileArray) PlaceEntry(entry, disk, sizes);
    const std::uint64_t blockBytes = std::uint64_t(sizes.numBlocks) * sizeof(FileBlock);
    const std::uint64_t indexBytes = blockBytes + sizes.nameTableSize + std::uint64_t(numFiles) * sizeof(DiskFileEntry);
    if (!GAME_CHECK(indexBytes <= SIZE_MAX)) return false;
    const std::unique_ptr<char[]> index = mem::TryNewArray<char>(indexBytes != 0 ? indexBytes : 1);
    if (!GAME_CHECK(index)) return false;

    char* blocks = index.get();
    char* names = blocks + blockBytes;
    char* entries = names + sizes.nameTableSize;
    for (std::size_t i = 0; i < numFiles; ++i) {
        const Archive::FileEntry& entry = fileArray[i];
        PlaceEntry(entry, disk, header);
        std::memcpy(entries + i * sizeof(DiskFileEntry), &disk, sizeof disk);
        if (disk.numBlocks != 0)
            std::memcpy(blocks + std::size_t(disk.firstBlock) * sizeof(FileBlock), entry.blocks,
                        std::size_t(disk.numBlocks) * sizeof(FileBlock));
        if (entry.name != nullptr) {
            std::memcpy(names + disk.nameOffset, entry.name, entry.nameLength);
            names[disk.nameOffset + entry.nameLength] = '\0';
        } else if (entry.flags & Archive::fileFlagInUse) {
            names[disk.nameOffset] = '\0';
        }
    }
    GAME_ASSERT(std::memcmp(&sizes, &header, sizeof header) == 0);
    // A full disk is no failed check: the caller rolls the edit back and says so.
    return WriteRange(header.indexOffset, index.get(), indexBytes);
}

}  // namespace GAME
