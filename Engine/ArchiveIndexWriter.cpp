// Writing the index and the header when an archive open for edit commits: at Close, and
// between the batches of a long edit.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "Engine/Archive.h"
#include "Engine/ArchiveFormat.h"
#include "Engine/ArchiveIndexLayout.h"
#include "Engine/ArchiveJournal.h"
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
    const std::unique_ptr<char[]> onDisk(new (std::nothrow) char[bufferSize]);
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

bool Archive::WriteHeader() {
    if (archiveFileMode != fileModeEdit) return false;
    return CommitEdit(true);
}

bool Archive::CommitEdit(bool final) {
    // An edit that had to be rolled back writes nothing more: the file holds its last commit.
    if (journal == nullptr || !WriteHeldBackData()) return false;
    // Nothing changed and nothing was written: the file holds this very index already.
    if (indexOnDisk && !journal->ArchiveWritten()) return true;
    // An open that only reads shares the lock with other readers. It writes the index back only
    // when it can have the lock alone; otherwise the file stays as it is, which is all that was
    // asked of it. The conversion is made at once or not at all, so nobody else wrote meanwhile.
    if (sharedLock) {
        if (!platform::LockFile(archiveFileHandle, platform::LockMode::exclusive)) return true;
        sharedLock = false;
    }

    ArchiveHeader header = NewIndexHeader(fileArray.size(), AppendPoint());

    // Until the index is on disk the old header must stay: it must never describe an index
    // that was not written. The data and the index are durable before the header points at
    // them, and the header before the journal goes. An edit that wrote nothing flushes nothing.
    bool committed = WriteIndex(header);
    committed = committed && (!journal->ArchiveWritten() || GAME_CHECK(platform::FlushFile(archiveFileHandle)));
    committed = committed && WriteCommittedHeader(header);
    committed = committed && (!journal->ArchiveWritten() || GAME_CHECK(platform::FlushFile(archiveFileHandle)));
    if (!committed) {
        RollBackEdit();
        return false;
    }
    std::uint64_t fileSize = 0;
    if (!GAME_CHECK(platform::GetFileSize(archiveFileHandle, &fileSize))) return false;
    // What the new state reads ends with its index: the room reserved behind it holds nothing
    // a later write must save.
    const std::uint64_t indexEnd = IndexEnd(header);
    if (!GAME_CHECK(journal->Commit(fileSize, CommittedRanges(indexEnd < fileSize ? indexEnd : fileSize)))) {
        // The journal could not be deleted, so the next open would roll this commit back: go no
        // further than the state that would then be found.
        delete journal;
        journal = nullptr;
        return false;
    }
    // Cut whatever followed: the old index, or data that compaction moved down. Only now, so that
    // a crash before the cut leaves a longer file that is whole.
    if (!final || fileSize == indexEnd) return true;
    return GAME_CHECK(platform::SetFilePosition(archiveFileHandle, indexEnd) &&
                      platform::SetEndOfFile(archiveFileHandle));
}

bool Archive::WriteCommittedHeader(ArchiveHeader& header) {
    std::uint64_t same = 0;
    if (HoldsAlready(archiveFileHandle, 0, &header, sizeof header, &same)) return true;
    // The new header keeps the edit's mark until the journal is gone: the mark goes on first.
    if (!ProtectRange(0, sizeof header)) return false;
    journal->MarkHeader(reinterpret_cast<unsigned char*>(&header));
    return WriteArchiveRange(0, &header, sizeof header);
}

bool Archive::CommitChanges() { return archiveFileMode == fileModeEdit && CommitEdit(false); }

bool Archive::WriteHeldBackData() {
    if (journal == nullptr || journal->WritePending()) return true;
    // A write that had been reported done failed: only the last commit is sure to be whole.
    RollBackEdit();
    return false;
}

bool Archive::CommitIfJournalFull() {
    if (journal == nullptr || journal->SavedBytes() < JournalBatchLimit()) return true;
    return CommitEdit(false);
}

void Archive::RollBackEdit() {
    writeFailed = true;
    if (journal == nullptr) return;
    if (!journal->RollBack(&Archive::OpensAsArchive))
        std::fprintf(stderr, "%s: an edit could not be rolled back; it will be at the next open.\n",
                     archiveFileName.c_str());
    delete journal;
    journal = nullptr;
}

bool Archive::StartJournal(std::uint64_t fileLength) {
    delete journal;
    journal =
        new (std::nothrow) ArchiveJournal(archiveFileName, archiveFileHandle, fileLength, CommittedRanges(fileLength));
    return GAME_CHECK(journal);
}

std::vector<ByteRange> Archive::CommittedRanges(std::uint64_t fileLength) const {
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
    for (const FileEntry& entry : fileArray)
        if ((entry.flags & fileFlagInUse) && entry.size != 0)
            add(entry.offset, std::uint64_t(entry.offset) + entry.size);
    add(AppendPoint(), fileLength);
    return ranges;
}

bool Archive::ProtectRange(std::uint64_t offset, std::uint64_t length) {
    if (journal == nullptr) return false;
    if (journal->Protect(offset, length)) return true;
    writeFailed = true;
    return false;
}

bool Archive::WriteArchiveRange(std::uint64_t offset, const void* bytes, std::uint64_t length) {
    // What the file holds already is neither saved nor written again, so that a range that came
    // out the same writes nothing, and one that changed towards its end writes only from there.
    std::uint64_t same = 0;
    if (HoldsAlready(archiveFileHandle, offset, bytes, length, &same)) return true;
    offset += same;
    length -= same;
    return ProtectRange(offset, length) && platform::SetFilePosition(archiveFileHandle, offset) &&
           platform::WriteAll(archiveFileHandle, static_cast<const char*>(bytes) + same, length);
}

bool Archive::WriteIndex(ArchiveHeader& header) {
    // The block table, the name table and the entry table lie back to back: they are laid out in
    // one buffer and written in one piece, and only when the file does not hold them already, so
    // that closing an archive whose index came out the same writes nothing.
    const std::size_t numFiles = fileArray.size();
    ArchiveHeader sizes = header;
    DiskFileEntry disk;
    for (const FileEntry& entry : fileArray) PlaceEntry(entry, disk, sizes);
    const std::uint64_t blockBytes = std::uint64_t(sizes.numBlocks) * sizeof(FileBlock);
    const std::uint64_t indexBytes = blockBytes + sizes.nameTableSize + std::uint64_t(numFiles) * sizeof(DiskFileEntry);
    if (!GAME_CHECK(indexBytes <= SIZE_MAX)) return false;
    const std::unique_ptr<char[]> index(new (std::nothrow) char[indexBytes != 0 ? indexBytes : 1]);
    if (!GAME_CHECK(index)) return false;

    char* blocks = index.get();
    char* names = blocks + blockBytes;
    char* entries = names + sizes.nameTableSize;
    for (std::size_t i = 0; i < numFiles; ++i) {
        const FileEntry& entry = fileArray[i];
        PlaceEntry(entry, disk, header);
        std::memcpy(entries + i * sizeof(DiskFileEntry), &disk, sizeof disk);
        if (disk.numBlocks != 0)
            std::memcpy(blocks + std::size_t(disk.firstBlock) * sizeof(FileBlock), entry.blocks,
                        std::size_t(disk.numBlocks) * sizeof(FileBlock));
        if (entry.name != nullptr) {
            std::memcpy(names + disk.nameOffset, entry.name, entry.nameLength);
            names[disk.nameOffset + entry.nameLength] = '\0';
        } else if (entry.flags & fileFlagInUse) {
            names[disk.nameOffset] = '\0';
        }
    }
    GAME_ASSERT(std::memcmp(&sizes, &header, sizeof header) == 0);
    // A full disk is no failed check: the caller rolls the edit back and says so.
    return WriteArchiveRange(header.indexOffset, index.get(), indexBytes);
}

}  // namespace GAME
