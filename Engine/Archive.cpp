// Opening and closing an archive and loading its index.
#include "Engine/Archive.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "Engine/ArchiveEntryCodec.h"
#include "Engine/ArchiveFormat.h"
#include "Engine/ArchiveIndexLayout.h"
#include "Engine/ArchiveJournal.h"
#include "Engine/ArchiveRecovery.h"
#include "Engine/ArchiveValidation.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"
#include "platform/FileSystem.h"

namespace GAME {
namespace {

// Entry-table records read and checked at a time while an index loads: 360 KB, reused for
// every piece.
constexpr std::uint64_t entriesPerPiece = 1u << 13;

// Reserves room for `count` items, or gives false, and leaves `items` as they were, when memory
// runs out.
template <typename Vector>
bool ReserveWithoutThrowing(Vector& items, std::uint64_t count) {
    try {
        items.reserve(count);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

// Appends `item` to `items`, or gives false when memory runs out.
template <typename Vector>
bool AppendWithoutThrowing(Vector& items, const typename Vector::value_type& item) {
    try {
        items.push_back(item);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace
Archive::Archive()
    : allowReopen(false),
      archiveFileTime(0),
      archiveFileHandle(platform::invalidFileHandle),
      archiveFileMode(fileModeNone),
      blockSize(archiveBlockSize),
      blockArray(nullptr),
      nameTable(nullptr),
      blockTableCount(0),
      nameTableBytes(0),
      tableSize(0),
      hashTable(nullptr),
      writeFailed(false),
      reservedEnd(0),
      indexBound(0),
      indexOnDisk(false),
      sharedLock(false),
      openFailure(static_cast<int>(OpenFailure::none)),
      journal(nullptr),
      blockCompressor(nullptr) {}

Archive::~Archive() { Close(false); }

bool Archive::OpenRead(const char* fileName) {
    openFailure = static_cast<int>(OpenFailure::none);
    if (!GAME_CHECK(fileName)) return false;
    if (*fileName == '\0') return false;

    // Readers share the lock, so that none of them ever sees an edit half made.
    archiveFileHandle = OpenLocked(fileName, false, false);
    if (archiveFileHandle == platform::invalidFileHandle) return false;
    platform::FileAttributes attributes;
    archiveFileTime = platform::GetFileAttributes(fileName, &attributes) ? attributes.lastWriteTime : 0;

    archiveFileMode = fileModeRead;
    archiveFileName = fileName;

    std::uint64_t fileSize = 0;
    // Loading an index chains its records; an empty archive has only the buckets to make.
    if (platform::GetFileSize(archiveFileHandle, &fileSize) && (fileSize != 0 ? ReadHeader() : BuildHashTable()))
        return true;
    // The file and its lock go at once, so that a failed open holds no edit off; Close releases
    // the rest.
    platform::CloseFile(archiveFileHandle);
    archiveFileHandle = platform::invalidFileHandle;
    openFailure = static_cast<int>(OpenFailure::damaged);
    return false;
}

platform::FileHandle Archive::OpenLocked(const char* fileName, bool forEdit, bool exclusive) {
    const platform::LockMode mode = exclusive ? platform::LockMode::exclusive : platform::LockMode::shared;
    auto fail = [this](OpenFailure why) {
        openFailure = static_cast<int>(why);
        return platform::invalidFileHandle;
    };
    // A reader that must roll an interrupted edit back does so through a handle of its own and
    // then opens again, once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        platform::UniqueFile file(forEdit ? platform::OpenFileForEdit(fileName) : platform::OpenFileForRead(fileName));
        if (!file) return fail(OpenFailure::cannotOpen);
        if (!platform::LockFile(file.Get(), mode)) return fail(OpenFailure::busy);
        int error = 0;
        const JournalFinding finding = InspectJournal(fileName, file.Get(), &error);
        if (finding == JournalFinding::none) return file.Release();
        // With the lock alone, the journal is dealt with here and now.
        if (exclusive || (forEdit && platform::LockFile(file.Get(), platform::LockMode::exclusive))) {
            if (!ReportRecovery(fileName, RecoverArchive(fileName, file.Get(), &Archive::OpensAsArchive)))
                return fail(OpenFailure::journal);
            if (!exclusive && !platform::LockFile(file.Get(), platform::LockMode::shared))
                return fail(OpenFailure::busy);
            return file.Release();
        }
        // Other readers may share the lock, but no edit can start while it is held: a journal
        // that changes nothing goes (or stays, where this user may not delete it).
        if (finding == JournalFinding::harmless) {
            DeleteJournal(JournalPath(fileName));
            return file.Release();
        }
        if (finding != JournalFinding::interrupted) {
            ReportRecovery(fileName, RecoveryResult{Recovery::refused, finding, error});
            return fail(OpenFailure::journal);
        }
        // Another reader holds the lock too, or this handle may only read: the lock is let go and
        // taken alone through a handle that may write, which one of two such readers gets.
        file.Reset();
        platform::UniqueFile editor(platform::OpenFileForEdit(fileName));
        if (!editor) {
            ReportRecovery(fileName, RecoveryResult{Recovery::failed, finding, platform::GetLastErrorValue()});
            return fail(OpenFailure::journal);
        }
        if (!platform::LockFile(editor.Get(), platform::LockMode::exclusive)) return fail(OpenFailure::busy);
        if (!ReportRecovery(fileName, RecoverArchive(fileName, editor.Get(), &Archive::OpensAsArchive)))
            return fail(OpenFailure::journal);
    }
    return fail(OpenFailure::busy);
}

bool Archive::OpensAsArchive(platform::FileHandle file) {
    std::uint64_t size = 0;
    if (!platform::GetFileSize(file, &size) || !platform::SetFilePosition(file, 0)) return false;
    if (size == 0) return true;
    Archive probe;
    probe.archiveFileHandle = file;
    probe.archiveFileMode = fileModeRead;
    const bool opens = probe.ReadHeader();
    probe.archiveFileHandle = platform::invalidFileHandle;  // the caller's to close
    probe.Close(false);
    return opens && platform::SetFilePosition(file, 0);
}

bool Archive::ReadHeader() {
    const platform::FileHandle INVALID_HANDLE_VALUE = platform::invalidFileHandle;
    if (!GAME_CHECK(archiveFileHandle != INVALID_HANDLE_VALUE)) return false;

    ArchiveHeader archiveHeader;
    std::uint32_t bytesRead = 0;
    platform::ReadFile(archiveFileHandle, &archiveHeader, sizeof(archiveHeader), &bytesRead);
    if (!GAME_CHECK(bytesRead == sizeof(archiveHeader))) return false;
    if (std::memcmp(archiveHeader.magic, "ARC", 4) != 0) {
        GAME_ASSERT_MSG(0, "Invalid archive file.");
        return false;
    }
    if (!GAME_CHECK(archiveHeader.version == ARCHIVE_VERSION)) return false;
    return ReadIndex(archiveHeader);
}

bool Archive::ReadIndex(const ArchiveHeader& header) {
    // The entry table is read twice, a piece at a time through one small buffer: first to see
    // that the records point inside the tables and use every byte of them, before either table
    // is read at the size the header claims; then, with the tables loaded, to check each record
    // again against what they hold and to take it in. The second pass repeats the placement
    // checks, so that it trusts nothing of what the first one read.
    const std::unique_ptr<DiskFileEntry[]> piece(new (std::nothrow) DiskFileEntry[entriesPerPiece]);
    if (!GAME_CHECK(piece) || !LoadIndexTables(header, piece.get())) return false;

    // Every record passed its placement check, so the count is the file's own, not a claim.
    const bool editing = archiveFileMode == fileModeEdit;
    // The records are chained by name as they come in: the room reserved for them all keeps
    // each one where the chains point.
    fileArray.clear();
    if (!GAME_CHECK(ReserveWithoutThrowing(fileArray, header.numFiles)) || !NewHashTable(header.numFiles)) return false;
    freeEntries.clear();
    EntryChecker checker(header);
    // Whether each record lies in the tables where Close would put it.
    ArchiveHeader laidOut = NewIndexHeader(header.numFiles, 0);
    bool sameLayout = editing;
    for (std::uint64_t done = 0; done < header.numFiles;) {
        const std::uint64_t count = PieceAt(header, done, piece.get());
        if (count == 0) return false;
        for (std::uint64_t i = 0; i < count; ++i) {
            const DiskFileEntry& disk = piece[i];
            // Keep no record that points through a damaged entry.
            if (!checker.CheckPlacement(disk) || !checker.CheckContents(disk, nameTable, blockArray)) return false;
            FileEntry entry{};
            DecodeEntry(disk, entry);
            if (!(entry.flags & fileFlagInUse)) {
                if (editing && !GAME_CHECK(AppendWithoutThrowing(freeEntries, static_cast<int>(done + i))))
                    return false;
            } else {
                AttachNameAndBlocks(entry, disk, editing);
            }
            fileArray.push_back(entry);
            ChainRecord(fileArray.back());
            if (sameLayout) {
                DiskFileEntry placed;
                PlaceEntry(entry, placed, laidOut);
                sameLayout = std::memcmp(&placed, &disk, sizeof placed) == 0;
            }
        }
        done += count;
    }
    if (!checker.CheckTablesUsed()) return false;
    // An edit that changes nothing need not write anything back when the file holds the index
    // exactly as Close would write it: the records where it puts them (so the tables match too,
    // each record's blocks and name being where it puts them), the header and the length.
    laidOut.indexOffset = AppendPoint();
    std::uint64_t fileSize = 0;
    indexOnDisk = sameLayout && std::memcmp(&laidOut, &header, sizeof header) == 0 &&
                  platform::GetFileSize(archiveFileHandle, &fileSize) && fileSize == IndexEnd(header);
    return true;
}

std::uint64_t Archive::PieceAt(const ArchiveHeader& header, std::uint64_t first, DiskFileEntry* piece) {
    const std::uint64_t left = header.numFiles - first;
    const std::uint64_t count = left < entriesPerPiece ? left : entriesPerPiece;
    const std::uint64_t at = std::uint64_t(header.indexOffset) + std::uint64_t(header.numBlocks) * sizeof(FileBlock) +
                             header.nameTableSize + first * sizeof(DiskFileEntry);
    const std::uint64_t bytes = count * sizeof(DiskFileEntry);
    if (!platform::SetFilePosition(archiveFileHandle, at)) return 0;
    return GAME_CHECK(platform::ReadUpTo(archiveFileHandle, piece, bytes) == bytes) ? count : 0;
}

bool Archive::LoadIndexTables(const ArchiveHeader& header, DiskFileEntry* piece) {
    std::uint64_t fileSize = 0;
    if (!platform::GetFileSize(archiveFileHandle, &fileSize)) return false;
    if (!CheckIndexFitsFile(header, fileSize)) return false;

    // The entry table first, a piece at a time, and each piece checked before the next is read:
    // a count that fits only because the file is long (a sparse one, say) costs one piece to
    // refuse, not a table of its size. Neither of the other tables is read before the records
    // have shown that they use every byte of it.
    EntryChecker checker(header);
    for (std::uint64_t done = 0; done < header.numFiles;) {
        const std::uint64_t count = PieceAt(header, done, piece);
        if (count == 0) return false;
        for (std::uint64_t i = 0; i < count; ++i)
            if (!checker.CheckPlacement(piece[i])) return false;
        done += count;
    }
    if (!checker.CheckTablesUsed()) return false;

    const std::uint64_t blockTableBytes = std::uint64_t(header.numBlocks) * sizeof(FileBlock);
    if (!platform::SetFilePosition(archiveFileHandle, header.indexOffset)) return false;
    std::uint64_t bytesRead = 0;
    if (header.numBlocks != 0) {
        blockArray = static_cast<FileBlock*>(std::malloc(blockTableBytes));
        if (!GAME_CHECK(blockArray)) return false;
        blockTableCount = header.numBlocks;
        bytesRead = platform::ReadUpTo(archiveFileHandle, blockArray, blockTableBytes);
        if (!GAME_CHECK(bytesRead == blockTableBytes)) return false;
    }
    if (header.nameTableSize != 0) {
        nameTable = static_cast<char*>(std::malloc(header.nameTableSize));
        if (!GAME_CHECK(nameTable)) return false;
        nameTableBytes = header.nameTableSize;
        bytesRead = platform::ReadUpTo(archiveFileHandle, nameTable, header.nameTableSize);
        if (!GAME_CHECK(bytesRead == header.nameTableSize)) return false;
    }
    return true;
}

void Archive::AttachNameAndBlocks(FileEntry& entry, const DiskFileEntry& disk, bool editing) {
    // The record points into the tables the archive keeps, in either mode: an edit that removes
    // or replaces it drops the references, and a record it adds brings copies of its own.
    entry.name = nameTable + disk.nameOffset;
    if (!editing)
        entry.blocks = blockArray != nullptr ? blockArray + disk.firstBlock : nullptr;
    else
        entry.blocks = disk.numBlocks != 0 ? blockArray + disk.firstBlock : nullptr;
}

bool Archive::SetFilePosition(unsigned int position) { return platform::SetFilePosition(archiveFileHandle, position); }

unsigned int Archive::AppendPoint() const {
    return fileArray.empty() ? static_cast<unsigned int>(sizeof(ArchiveHeader))
                             : fileArray.back().offset + fileArray.back().size;
}

void Archive::Close(bool reopen) {
    if (archiveFileMode == fileModeEdit && archiveFileHandle != platform::invalidFileHandle) {
        if (!GAME_CHECK(reopen == false)) reopen = false;
        if (!WriteHeader()) writeFailed = true;
        delete journal;
        journal = nullptr;
        ReleaseRecordCopies();
        diag::RemoveAssertExitHandler(&Archive::CloseOnExit, this);
    }
    if (archiveFileHandle != platform::invalidFileHandle) {
        platform::CloseFile(archiveFileHandle);
        archiveFileHandle = platform::invalidFileHandle;
    }
    if (reopen && archiveFileMode == fileModeRead) {
        allowReopen = true;
        return;
    }
    ReleaseTables();
    delete[] hashTable;
    hashTable = nullptr;
    // The records' names pointed into the released tables; drop them rather than leave them
    // dangling, so that a later open starts from an empty index.
    tableSize = 0;
    fileArray.clear();
    freeEntries.clear();
    archiveFileName.clear();
    indexOnDisk = false;
}

void Archive::CloseOnExit(void* archive) { static_cast<Archive*>(archive)->Close(false); }

void Archive::ReleaseTables() {
    std::free(blockArray);
    blockArray = nullptr;
    blockTableCount = 0;
    std::free(nameTable);
    nameTable = nullptr;
    nameTableBytes = 0;
}

void Archive::ReleaseRecordCopies() {
    // Records own copies only once the edit has changed the index: until then every one of them
    // points into the loaded tables.
    if (indexOnDisk) return;
    for (FileEntry& entry : fileArray) ReleaseRecord(entry);
}

void Archive::ReleaseRecord(FileEntry& entry) {
    // Only a record made during the edit has copies of its own; a loaded one points into the
    // tables. std::less orders any two pointers, of one allocation or not.
    const std::less<const void*> before;
    const bool loadedName =
        nameTable != nullptr && !before(entry.name, nameTable) && before(entry.name, nameTable + nameTableBytes);
    const bool loadedBlocks = blockArray != nullptr && !before(entry.blocks, blockArray) &&
                              before(entry.blocks, blockArray + blockTableCount);
    if (!loadedName) std::free(entry.name);
    if (!loadedBlocks) std::free(entry.blocks);
    entry.name = nullptr;
    entry.blocks = nullptr;
}

unsigned int Archive::GetNumFiles() const { return static_cast<unsigned int>(fileArray.size()); }

const Archive::FileEntry& Archive::GetFileEntry(int index) const { return fileArray[index]; }

}  // namespace GAME
