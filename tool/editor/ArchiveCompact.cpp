// Removing files from an archive open for edit, and compacting its data.
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "Engine/Archive.h"
#include "Engine/ArchiveFormat.h"
#include "Engine/ArchiveJournal.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"
#include "platform/Signals.h"

namespace GAME {

void Archive::RemoveFile(int fileIndex) {
    if (!GAME_CHECK(archiveFileMode == fileModeEdit)) return;
    if (!GAME_CHECK(fileIndex < (int)fileArray.size())) return;
    if (!GAME_CHECK(fileIndex >= 0)) return;
    FileEntry& fileEntry = fileArray[fileIndex];
    // Freeing a free record would list it twice for reuse.
    if (!GAME_CHECK(fileEntry.flags & fileFlagInUse)) return;

    const unsigned int bucket = HashFileName(fileEntry.name, fileEntry.nameLength);
    if (hashTable != nullptr && bucket < tableSize) {
        if (hashTable[bucket] == &fileEntry) {
            hashTable[bucket] = fileEntry.next;
        } else {
            // A chain cannot be longer than the records; a damaged one must not loop forever.
            FileEntry* pTableEntry = hashTable[bucket];
            for (std::size_t steps = 0;
                 pTableEntry != nullptr && pTableEntry->next != &fileEntry && steps < fileArray.size(); ++steps)
                pTableEntry = pTableEntry->next;
            if (pTableEntry != nullptr && pTableEntry->next == &fileEntry) {
                GAME_ASSERT(pTableEntry != fileEntry.next);
                pTableEntry->next = fileEntry.next;
            }
        }
    }
    std::free(fileEntry.name);
    std::free(fileEntry.blocks);
    const unsigned int offset = fileEntry.offset, size = fileEntry.size;
    fileEntry = FileEntry{};
    fileEntry.offset = offset;
    fileEntry.size = size;
    freeEntries.push_back(fileIndex);
}

// The bytes of the record being moved; it grows to the largest record moved and is kept.
struct Archive::MoveBuffer {
    std::unique_ptr<char[]> bytes;
    unsigned int capacity = 0;
};

void Archive::Compact() {
    if (archiveFileMode != fileModeEdit) return;
    // Moves read file data: what is held back is written first.
    if (!WriteHeldBackData()) return;

    // The snapshot shares names and block lists with the live records; it owns nothing.
    const std::vector<FileEntry> originalEntries(fileArray.begin(), fileArray.end());
    unsigned int currentOffset = sizeof(ArchiveHeader);
    std::size_t n = 0;
    MoveBuffer buffer;
    std::size_t stoppedAt = originalEntries.size();

    for (std::size_t i = 0; i < originalEntries.size(); ++i) {
        const FileEntry& originalEntry = originalEntries[i];
        if (!(originalEntry.flags & fileFlagInUse)) continue;
        // A stop request ends the moves between files, as a failed move does.
        if (platform::StopSignal() != 0) {
            stoppedAt = i;
            break;
        }
        FileEntry newEntry = originalEntry;
        if (newEntry.offset != currentOffset) {
            GAME_ASSERT(newEntry.offset > currentOffset);
            if (!MoveRecord(originalEntry, currentOffset, buffer)) {
                stoppedAt = i;
                break;
            }
            newEntry.offset = currentOffset;
            unsigned int blockOffset = newEntry.offset;
            for (unsigned int b = 0; newEntry.blocks != nullptr && b < newEntry.numBlocks; ++b) {
                newEntry.blocks[b].offset = blockOffset;
                blockOffset += newEntry.blocks[b].compressedSize;
            }
        }
        fileArray[n] = newEntry;
        currentOffset += newEntry.size;
        GAME_ASSERT(newEntry.offset + newEntry.size == currentOffset);
        ++n;
        // Moves are committed in batches, so that the journal of what they overwrite stays
        // bounded and a crash loses at most the moves since the last batch.
        if (!CommitCompactionBatch(originalEntries, i + 1, n)) {
            stoppedAt = i + 1;
            break;
        }
    }

    // A compaction that stopped keeps the records it did not reach, free ones included, where
    // they were: the index stays true to the file, with a hole before the first of them.
    freeEntries.clear();
    for (std::size_t i = stoppedAt; i < originalEntries.size(); ++i) {
        if (!(originalEntries[i].flags & fileFlagInUse)) freeEntries.push_back(static_cast<int>(n));
        fileArray[n++] = originalEntries[i];
    }
    fileArray.resize(n);
    BuildHashTable();
}

bool Archive::MoveRecord(const FileEntry& originalEntry, unsigned int destination, MoveBuffer& moveBuffer) {
    if (moveBuffer.capacity < originalEntry.size) {
        moveBuffer.bytes.reset(new (std::nothrow) char[originalEntry.size]);
        const char* buffer = moveBuffer.bytes.get();
        moveBuffer.capacity = buffer != nullptr ? originalEntry.size : 0;
        if (!GAME_CHECK(buffer)) return false;
    }
    char* buffer = moveBuffer.bytes.get();
    std::uint32_t bytesRead = 0;
    if (SetFilePosition(originalEntry.offset))
        platform::ReadFile(archiveFileHandle, buffer, originalEntry.size, &bytesRead);
    // A file that cannot be read whole stays where it is rather than move damaged.
    if (!GAME_CHECK(bytesRead == originalEntry.size)) return false;

    FileEntry newEntry = originalEntry;
    newEntry.offset = destination;
    // What the move overwrites may still be needed by the committed state: saved first.
    if (!ProtectRange(newEntry.offset, newEntry.size)) return false;
    std::uint32_t bytesWritten = 0;
    const bool written = SetFilePosition(newEntry.offset) &&
                         platform::WriteFile(archiveFileHandle, buffer, newEntry.size, &bytesWritten);
    std::uint64_t position = 0;
    platform::GetFilePosition(archiveFileHandle, &position);
    GAME_ASSERT(position == (newEntry.offset + newEntry.size));
    GAME_ASSERT(bytesRead == bytesWritten);
    if (!written) {
        // Put the bytes back where the record still says they are, in case the move overlapped
        // them.
        writeFailed = true;
        if (SetFilePosition(originalEntry.offset))
            platform::WriteFile(archiveFileHandle, buffer, originalEntry.size, &bytesWritten);
        return false;
    }
    return true;
}

bool Archive::CommitCompactionBatch(const mem::vector<FileEntry>& originals, std::size_t next, std::size_t placed) {
    if (journal == nullptr) return false;
    if (journal->SavedBytes() < JournalBatchLimit()) return true;
    // The index of this point: the records moved so far, then the ones not reached, where they are.
    mem::vector<FileEntry> partial(fileArray.begin(), fileArray.begin() + static_cast<std::ptrdiff_t>(placed));
    partial.insert(partial.end(), originals.begin() + static_cast<std::ptrdiff_t>(next), originals.end());
    fileArray.swap(partial);
    const bool committed = CommitEdit(false);
    fileArray.swap(partial);
    return committed;
}

}  // namespace GAME
