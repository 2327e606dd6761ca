// Writing the index and the header when an archive open for edit commits: at Close, and
// between the batches of a long edit.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "Engine/Archive.h"
#include "Engine/ArchiveEntryCodec.h"
#include "Engine/ArchiveFormat.h"
#include "Engine/ArchiveJournal.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"

namespace GAME {

namespace {

// Where an index of `header` ends: the end of the archive file.
std::uint64_t IndexEnd(const ArchiveHeader& header) {
    return std::uint64_t(header.indexOffset) + std::uint64_t(header.numBlocks) * sizeof(FileBlock) +
           header.nameTableSize + std::uint64_t(header.numFiles) * sizeof(DiskFileEntry);
}

// True when the file already holds `bytes` at `offset`: writing them would change nothing.
bool SameAsOnDisk(platform::FileHandle file, std::uint64_t offset, const void* bytes, std::uint64_t length) {
    std::uint64_t size = 0;
    if (!platform::GetFileSize(file, &size) || offset > size || length > size - offset) return false;
    if (length == 0) return true;
    std::string onDisk(length < (1u << 20) ? length : (1u << 20), '\0');
    if (!platform::SetFilePosition(file, offset)) return false;
    for (std::uint64_t done = 0; done < length;) {
        const std::uint64_t piece = length - done < onDisk.size() ? length - done : onDisk.size();
        if (!platform::ReadExactly(file, onDisk.data(), piece) ||
            std::memcmp(onDisk.data(), static_cast<const char*>(bytes) + done, piece) != 0)
            return false;
        done += piece;
    }
    return true;
}

}  // namespace

bool Archive::WriteHeader() {
    if (archiveFileMode != fileModeEdit) return false;
    return CommitEdit(true);
}

bool Archive::CommitEdit(bool final) {
    // An edit that had to be rolled back writes nothing more: the file holds its last commit.
    if (journal == nullptr || !WriteHeldBackData()) return false;

    ArchiveHeader header;
    std::memset(&header, 0, sizeof header);
    std::memcpy(header.magic, "ARC", 4);
    header.version = ARCHIVE_VERSION;
    header.numFiles = static_cast<unsigned int>(fileArray.size());
    header.indexOffset = AppendPoint();

    // Until the index is on disk the old header must stay: it must never describe an index
    // that was not written. The data and the index are durable before the header points at
    // them, and the header before the journal goes. An edit that wrote nothing flushes nothing.
    bool committed = WriteIndex(header);
    committed = committed && (!journal->ArchiveWritten() || GAME_CHECK(platform::FlushFile(archiveFileHandle)));
    committed = committed && WriteArchiveRange(0, &header, sizeof header);
    committed = committed && (!journal->ArchiveWritten() || GAME_CHECK(platform::FlushFile(archiveFileHandle)));
    if (!committed) {
        RollBackEdit();
        return false;
    }
    std::uint64_t fileSize = 0;
    if (!GAME_CHECK(platform::GetFileSize(archiveFileHandle, &fileSize))) return false;
    if (!GAME_CHECK(journal->Commit(fileSize, CommittedRanges(fileSize)))) {
        // The journal could not be deleted, so the next open would roll this commit back: go no
        // further than the state that would then be found.
        delete journal;
        journal = nullptr;
        return false;
    }
    // Cut whatever followed: the old index, or data that compaction moved down. Only now, so that
    // a crash before the cut leaves a longer file that is whole.
    const std::uint64_t end = IndexEnd(header);
    if (!final || fileSize == end) return true;
    return GAME_CHECK(platform::SetFilePosition(archiveFileHandle, end) && platform::SetEndOfFile(archiveFileHandle));
}

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
    if (!journal->RollBack())
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
    ranges.push_back({0, sizeof(ArchiveHeader)});
    for (const FileEntry& entry : fileArray)
        if ((entry.flags & fileFlagInUse) && entry.size != 0)
            ranges.push_back({entry.offset, std::uint64_t(entry.offset) + entry.size});
    ranges.push_back({AppendPoint(), fileLength});
    return ranges;
}

bool Archive::ProtectRange(std::uint64_t offset, std::uint64_t length) {
    if (journal == nullptr) return false;
    if (journal->Protect(offset, length)) return true;
    writeFailed = true;
    return false;
}

bool Archive::WriteArchiveRange(std::uint64_t offset, const void* bytes, std::uint64_t length) {
    if (SameAsOnDisk(archiveFileHandle, offset, bytes, length)) return true;
    return ProtectRange(offset, length) && platform::SetFilePosition(archiveFileHandle, offset) &&
           platform::WriteAll(archiveFileHandle, bytes, length);
}

bool Archive::WriteIndex(ArchiveHeader& header) {
    const std::size_t numFiles = fileArray.size();
    DiskFileEntry* diskFileEntryArray =
        static_cast<DiskFileEntry*>(std::malloc(numFiles != 0 ? numFiles * sizeof(DiskFileEntry) : 1));
    if (!GAME_CHECK(diskFileEntryArray)) return false;

    // The block and name tables are gathered in memory and written in one piece each, rather
    // than one small write per record.
    std::string blockTable, names;
    for (std::size_t i = 0; i < numFiles; ++i) {
        const FileEntry& entry = fileArray[i];
        DiskFileEntry& disk = diskFileEntryArray[i];
        EncodeEntry(entry, disk);
        disk.firstBlock = header.numBlocks;
        if (disk.numBlocks != 0) {
            blockTable.append(reinterpret_cast<const char*>(entry.blocks),
                              std::size_t(disk.numBlocks) * sizeof(FileBlock));
            header.blockTableSize += disk.numBlocks * static_cast<unsigned int>(sizeof(FileBlock));
        }
        header.numBlocks += disk.numBlocks;
        disk.nameOffset = header.nameTableSize;
        if (entry.name != nullptr) {
            names.append(entry.name, entry.nameLength);
            names.push_back('\0');
            header.nameTableSize += entry.nameLength + 1;
        } else if (entry.flags & fileFlagInUse) {
            // An in-use record keeps a name slot even without its name: an empty one.
            names.push_back('\0');
            header.nameTableSize += 1;
        }
    }

    // Each table is written only where it differs from what the file holds, so that closing an
    // archive that did not change writes nothing.
    std::uint64_t currentLocation = header.indexOffset;
    bool written = WriteArchiveRange(currentLocation, blockTable.data(), blockTable.size());
    currentLocation += blockTable.size();
    written = written && WriteArchiveRange(currentLocation, names.data(), names.size());
    currentLocation += names.size();
    if (written) GAME_ASSERT(currentLocation == (header.indexOffset + header.nameTableSize + header.blockTableSize));
    written = written &&
              WriteArchiveRange(currentLocation, diskFileEntryArray, std::uint64_t(numFiles) * sizeof(DiskFileEntry));
    std::free(diskFileEntryArray);
    return GAME_CHECK(written);
}

}  // namespace GAME
