// Opening and closing an archive and loading its index.
#include "Engine/Archive.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Engine/ArchiveEntryCodec.h"
#include "Engine/ArchiveFormat.h"
#include "Engine/ArchiveJournal.h"
#include "Engine/ArchiveValidation.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"
#include "platform/FileSystem.h"

namespace GAME {
namespace {

// An edit that was interrupted left its journal: roll the archive back before reading it. An
// edit still running holds the lock; the archive is then busy, not damaged.
bool RollBackBeforeReading(const char* fileName) {
    const platform::UniqueFile archive(platform::OpenFileForEdit(fileName));
    if (!archive) {
        std::fprintf(stderr, "%s: an interrupted edit could not be rolled back.\n", fileName);
        return false;
    }
    if (!platform::LockFileForEdit(archive.Get())) {
        std::fprintf(stderr, "%s: busy, another program is editing it.\n", fileName);
        return false;
    }
    return RecoverInterruptedEdit(fileName, archive.Get());
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
      tableSize(0),
      hashTable(nullptr),
      writeFailed(false),
      reservedEnd(0),
      indexBound(0),
      journal(nullptr) {}

Archive::~Archive() { Close(false); }

bool Archive::OpenRead(const char* fileName) {
    if (!GAME_CHECK(fileName)) return false;
    if (*fileName == '\0') return false;

    platform::FileAttributes attributes;
    if (platform::GetFileAttributes(JournalPath(fileName).c_str(), &attributes) &&
        platform::GetFileAttributes(fileName, &attributes) && !RollBackBeforeReading(fileName))
        return false;
    archiveFileTime = platform::GetFileAttributes(fileName, &attributes) ? attributes.lastWriteTime : 0;
    archiveFileHandle = platform::OpenFileForRead(fileName);
    if (archiveFileHandle == platform::invalidFileHandle) return false;

    archiveFileMode = fileModeRead;
    archiveFileName = fileName;

    std::uint64_t fileSize = 0;
    if (!platform::GetFileSize(archiveFileHandle, &fileSize)) return false;
    if (fileSize != 0 && !ReadHeader()) return false;
    return BuildHashTable();
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
    mem::vector<DiskFileEntry> diskEntries;
    if (!LoadIndexTables(header, diskEntries)) return false;

    const bool editing = archiveFileMode == fileModeEdit;
    fileArray.resize(header.numFiles);
    freeEntries.clear();
    EntryChecker checker(header, nameTable, blockArray);
    for (unsigned int i = 0; i < header.numFiles; ++i) {
        const DiskFileEntry& disk = diskEntries[i];
        FileEntry& entry = fileArray[i];
        entry = FileEntry{};
        if (!checker.Check(disk)) {
            // Keep no record that points through a damaged entry.
            fileArray.resize(i);
            if (editing) ReleaseRecordCopies();
            return false;
        }
        DecodeEntry(disk, entry);
        if (!(entry.flags & fileFlagInUse)) {
            if (editing) freeEntries.push_back(static_cast<int>(i));
        } else if (!AttachNameAndBlocks(entry, disk, editing)) {
            // A record without its copies could not be written back whole: refuse the open.
            ReleaseRecordCopies();
            return false;
        }
    }
    if (editing) ReleaseTables();
    return true;
}

bool Archive::LoadIndexTables(const ArchiveHeader& header, mem::vector<DiskFileEntry>& diskEntries) {
    std::uint64_t fileSize = 0;
    if (!platform::GetFileSize(archiveFileHandle, &fileSize)) return false;
    if (!CheckIndexFitsFile(header, fileSize)) return false;

    if (!SetFilePosition(header.indexOffset)) return false;
    std::uint64_t bytesRead = 0;
    if (header.numBlocks != 0) {
        const std::uint64_t blockTableBytes = std::uint64_t(header.numBlocks) * sizeof(FileBlock);
        blockArray = static_cast<FileBlock*>(std::malloc(blockTableBytes));
        if (!GAME_CHECK(blockArray)) return false;
        bytesRead = platform::ReadUpTo(archiveFileHandle, blockArray, blockTableBytes);
        if (!GAME_CHECK(bytesRead == blockTableBytes)) return false;
    }
    if (header.nameTableSize != 0) {
        nameTable = static_cast<char*>(std::malloc(header.nameTableSize));
        if (!GAME_CHECK(nameTable)) return false;
        bytesRead = platform::ReadUpTo(archiveFileHandle, nameTable, header.nameTableSize);
        if (!GAME_CHECK(bytesRead == header.nameTableSize)) return false;
    }
    // The whole entry table in one read rather than one read per record.
    diskEntries.resize(header.numFiles);
    const std::uint64_t entryTableBytes = std::uint64_t(header.numFiles) * sizeof(DiskFileEntry);
    bytesRead = platform::ReadUpTo(archiveFileHandle, diskEntries.data(), entryTableBytes);
    return GAME_CHECK(bytesRead == entryTableBytes);
}

bool Archive::AttachNameAndBlocks(FileEntry& entry, const DiskFileEntry& disk, bool editing) {
    if (!editing) {
        // Read mode points into the tables the archive keeps.
        entry.name = nameTable + disk.nameOffset;
        entry.blocks = blockArray != nullptr ? blockArray + disk.firstBlock : nullptr;
        return true;
    }
    // Edit mode gives each record copies of its own, which additions and removals change.
    entry.name = static_cast<char*>(std::malloc(std::size_t(disk.nameLength) + 1));
    if (!GAME_CHECK(entry.name)) return false;
    std::memcpy(entry.name, nameTable + disk.nameOffset, std::size_t(disk.nameLength) + 1);
    if (disk.numBlocks != 0) {
        entry.blocks = static_cast<FileBlock*>(std::malloc(std::size_t(disk.numBlocks) * sizeof(FileBlock)));
        if (!GAME_CHECK(entry.blocks)) return false;
        std::memcpy(entry.blocks, blockArray + disk.firstBlock, std::size_t(disk.numBlocks) * sizeof(FileBlock));
    }
    return true;
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
}

void Archive::CloseOnExit(void* archive) { static_cast<Archive*>(archive)->Close(false); }

void Archive::ReleaseTables() {
    std::free(blockArray);
    blockArray = nullptr;
    std::free(nameTable);
    nameTable = nullptr;
}

void Archive::ReleaseRecordCopies() {
    for (FileEntry& entry : fileArray) {
        std::free(entry.name);
        entry.name = nullptr;
        std::free(entry.blocks);
        entry.blocks = nullptr;
    }
}

unsigned int Archive::GetNumFiles() const { return static_cast<unsigned int>(fileArray.size()); }

const Archive::FileEntry& Archive::GetFileEntry(int index) const { return fileArray[index]; }

}  // namespace GAME
