// Removing files from an archive open for edit, and compacting its data.
#include <cstdlib>
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
    ReleaseRecord(fileEntry);
    indexOnDisk = false;
    const unsigned int offset = fileEntry.offset, size = fileEntry.size;
    fileEntry = FileEntry{};
    fileEntry.offset = offset;
    fileEntry.size = size;
    freeEntries.push_back(fileIndex);
}

void Archive::Compact() {
    if (archiveFileMode != fileModeEdit) return;
    // Moves read file data: what is held back is written first.
    if (!WriteHeldBackData()) return;
    indexOnDisk = false;

    // The snapshot shares names and block lists with the live records; it owns nothing.
    const std::vector<FileEntry> originalEntries(fileArray.begin(), fileArray.end());
    unsigned int currentOffset = sizeof(ArchiveHeader);
    std::size_t n = 0;
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
            if (!MoveRecord(originalEntry, currentOffset)) {
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

bool Archive::MoveRecord(const FileEntry& originalEntry, unsigned int destination) {
    std::vector<std::vector<char>> blocks(1);
    std::vector<char>& buffer = blocks[0];
    bool allocated = true;
    try {
        buffer.resize(originalEntry.size);
    } catch (const std::bad_alloc&) {
        allocated = false;
    }
    if (!GAME_CHECK(allocated)) return false;
    std::uint32_t bytesRead = 0;
    if (SetFilePosition(originalEntry.offset))
        platform::ReadFile(archiveFileHandle, buffer.data(), originalEntry.size, &bytesRead);
    // A file that cannot be read whole stays where it is rather than move damaged.
    if (!GAME_CHECK(bytesRead == originalEntry.size)) return false;

    // What the move overwrites may still be needed by the committed state: it is saved first,
    // and the moves of a batch share one flush of the journal. A destination never meets the
    // source of a later move, which lies higher up.
    if (journal != nullptr && journal->WriteWhenSaved(destination, std::move(blocks))) return true;
    // A move already counted as done may be lost with this one: back to the last commit.
    RollBackEdit();
    return false;
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
