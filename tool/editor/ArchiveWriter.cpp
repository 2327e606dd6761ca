// Opening an archive for edit, making records for new files, and surveying the index.
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "Engine/Archive.h"
#include "Engine/ArchiveFormat.h"
#include "Engine/ArchiveJournal.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "tool/editor/ArchiveStatistics.h"
#include "tool/editor/NotAdded.h"

namespace GAME {

// The largest offset a record's data may end at: offsets are 32-bit.
constexpr std::uint64_t archiveOffsetLimit = 0xFFFFFFFFull;

bool Archive::OpenEdit(const char* fileName, EditLock lock) {
    openFailure = static_cast<int>(OpenFailure::none);
    if (!GAME_CHECK(fileName)) return false;
    if (*fileName == '\0') return false;

    platform::FileAttributes attributes;
    const bool existed = platform::GetFileAttributes(fileName, &attributes);
    archiveFileTime = existed ? attributes.lastWriteTime : 0;
    // One edit of an archive at a time, and no reader beside it; an edit that was interrupted
    // is undone before anything reads the file.
    archiveFileHandle = OpenLocked(fileName, true, lock == EditLock::exclusive);
    if (archiveFileHandle == platform::invalidFileHandle) {
        // A new archive refused for the journal in its place leaves nothing behind.
        if (!existed && openFailure == static_cast<int>(OpenFailure::journal) &&
            platform::GetFileAttributes(fileName, &attributes) && attributes.size == 0)
            platform::DeleteFile(fileName);
        return false;
    }
    sharedLock = lock == EditLock::shared;

    archiveFileMode = fileModeEdit;
    archiveFileName = fileName;
    freeEntries.clear();
    indexOnDisk = false;

    std::uint64_t fileSize = 0;
    // Loading an index chains its records; an empty archive has only the buckets to make.
    if (!platform::GetFileSize(archiveFileHandle, &fileSize) || !(fileSize != 0 ? ReadHeader() : BuildHashTable()) ||
        !StartJournal(fileSize)) {
        AbandonOpen();
        openFailure = static_cast<int>(OpenFailure::damaged);
        return false;
    }
    writeFailed = false;
    // The file as it is holds the index as it is; additions reserve room for what they add.
    reservedEnd = fileSize;
    indexBound = fileSize != 0 ? fileSize - AppendPoint() : 0;
    diag::AddAssertExitHandler(&Archive::CloseOnExit, this);
    return true;
}

void Archive::AbandonOpen() {
    // Nothing may be written into a file that did not open as a sound archive: drop the mode
    // before the handle, so that Close has nothing to write.
    delete journal;
    journal = nullptr;
    ReleaseRecordCopies();
    ReleaseTables();
    fileArray.clear();
    freeEntries.clear();
    indexOnDisk = false;
    archiveFileMode = fileModeNone;
    archiveFileName.clear();
    platform::CloseFile(archiveFileHandle);
    archiveFileHandle = platform::invalidFileHandle;
}

int Archive::AllocateFileEntry(const char* fileName, unsigned int size, unsigned int expandedSize, bool compressed) {
    if (FindFile(fileName) >= 0) return -1;

    std::string normalized;
    NormalizeFileName(fileName, normalized);
    if (normalized.empty()) return -1;  // "." or "/" names nothing
    FileEntry entry{};
    entry.flags = compressed ? (fileFlagInUse | fileFlagCompressed) : fileFlagInUse;
    entry.size = size;
    entry.expandedSize = expandedSize;
    entry.nameLength = static_cast<unsigned int>(normalized.size());

    unsigned int hashValue = HashFileName(normalized.data(), entry.nameLength);
    if (!GAME_CHECK(hashValue < tableSize)) return -1;

    int index = FindFreeEntry(size);
    const std::uint64_t appendPoint = AppendPoint();
    if (index < 0 && appendPoint + size > archiveOffsetLimit) {
        ReportNotAdded(fileName, "the archive would pass 4 GiB");
        return -1;
    }
    entry.name = static_cast<char*>(std::malloc(normalized.size() + 1));
    if (!GAME_CHECK(entry.name)) return -1;
    std::memcpy(entry.name, normalized.c_str(), normalized.size() + 1);
    indexOnDisk = false;

    if (index >= 0) {
        entry.offset = fileArray[index].offset;
        fileArray[index] = entry;
    } else {
        entry.offset = static_cast<unsigned int>(appendPoint);
        if (fileArray.size() == fileArray.capacity()) {
            // Growing moves the records, and the chains point at them: rebuild after it. The room
            // grows with the index, so that the rebuilds of a long import stay few.
            fileArray.reserve(fileArray.size() + (fileArray.size() / 2 > 256 ? fileArray.size() / 2 : 256));
            if (!BuildHashTable()) {
                std::free(entry.name);
                return -1;
            }
            hashValue = HashFileName(normalized.data(), entry.nameLength);
        }
        fileArray.push_back(entry);
        index = static_cast<int>(fileArray.size() - 1);
    }
    // What this record can add to the index at Close: an entry, its name and its blocks.
    const std::uint64_t blocks = compressed ? (std::uint64_t(expandedSize) + blockSize - 1) / blockSize : 0;
    indexBound += sizeof(DiskFileEntry) + entry.nameLength + 1 + blocks * sizeof(FileBlock);
    fileArray[index].next = hashTable[hashValue];
    hashTable[hashValue] = &fileArray[index];
    for (auto it = freeEntries.begin(); it != freeEntries.end();) it = *it == index ? freeEntries.erase(it) : it + 1;
    return index;
}

int Archive::FindFreeEntry(unsigned int size) {
    int best = -1;
    unsigned int bestSize = 0xFFFFFFFF;
    for (int index : freeEntries) {
        const FileEntry& file = fileArray[index];
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

void Archive::GetStatistics(ArchiveStatistics& stats) const {
    stats = ArchiveStatistics{};
    stats.numEntries = static_cast<unsigned int>(fileArray.size());
    stats.tableSize = tableSize;
    for (const FileEntry& entry : fileArray) {
        if (entry.flags & fileFlagInUse) ++stats.numActiveFiles;
        if (entry.nameLength > stats.longestFileName) stats.longestFileName = entry.nameLength;
        stats.indexSize += 49 + entry.nameLength + 12 * entry.numBlocks;
    }
    // Each chain holds the named in-use records whose names hash to its bucket, so the records
    // are counted per bucket in their own order: following the chains would jump about the
    // whole record array, a cache miss a record.
    std::vector<unsigned int> depths(hashTable != nullptr ? tableSize : 0);
    for (const FileEntry& entry : fileArray)
        if (!depths.empty() && (entry.flags & fileFlagInUse) && entry.name != nullptr)
            ++depths[HashFileName(entry.name, entry.nameLength)];
    unsigned int occupied = 0;
    for (unsigned int depth : depths) {
        if (depth > stats.maxTableDepth) stats.maxTableDepth = depth;
        if (depth != 0) ++occupied;
    }
    // With no occupied bucket the quotient would be 0/0; the average depth is then 0.
    stats.averageTableDepth =
        occupied != 0 ? static_cast<float>(stats.numActiveFiles) / static_cast<float>(occupied) : 0.0f;
}

}  // namespace GAME
