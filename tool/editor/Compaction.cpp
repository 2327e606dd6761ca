// Compacting an archive open for edit: every file's data moved down over the holes.
#include "tool/editor/Compaction.h"

#include <vector>

#include "Engine/ArchiveFormat.h"
#include "Engine/MemGrowth.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"
#include "platform/Signals.h"
#include "tool/ProgressLine.h"
#include "tool/editor/ArchiveEditor.h"

namespace GAME {
namespace {

using FileEntry = Archive::FileEntry;

// One compaction, from the first record to the last or to a stop.
class Compaction {
public:
    explicit Compaction(ArchiveEditor& editor)
        : editor(editor), archive(editor.GetArchive()), fileArray(archive.Records()) {}

    void Run();

private:
    bool MoveRecord(const FileEntry& record, unsigned int destination);
    bool CommitBatch(const mem::vector<FileEntry>& originals, std::size_t next, std::size_t placed);

    ArchiveEditor& editor;
    Archive& archive;
    mem::vector<FileEntry>& fileArray;
};

void Compaction::Run() {
    // Moves read file data: what is held back is written first.
    if (!editor.WriteHeldBack()) return;
    editor.IndexChanged();

    // The snapshot shares names and block lists with the live records; it owns nothing.
    const std::vector<FileEntry> originalEntries(fileArray.begin(), fileArray.end());
    unsigned int currentOffset = sizeof(ArchiveHeader);
    std::size_t n = 0;
    std::size_t stoppedAt = originalEntries.size();
    std::uint64_t total = 0, done = 0;
    for (const FileEntry& entry : originalEntries)
        if (entry.flags & Archive::fileFlagInUse) total += entry.size;
    tool::ProgressLine progress("compacting", total);

    for (std::size_t i = 0; i < originalEntries.size(); ++i) {
        const FileEntry& originalEntry = originalEntries[i];
        if (!(originalEntry.flags & Archive::fileFlagInUse)) continue;
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
        progress.Update(done += newEntry.size);
        GAME_ASSERT(newEntry.offset + newEntry.size == currentOffset);
        ++n;
        // Moves are committed in batches, so that the journal of what they overwrite stays
        // bounded and a crash loses at most the moves since the last batch.
        if (!CommitBatch(originalEntries, i + 1, n)) {
            stoppedAt = i + 1;
            break;
        }
    }

    // A compaction that stopped keeps the records it did not reach, free ones included, where
    // they were: the index stays true to the file, with a hole before the first of them.
    for (std::size_t i = stoppedAt; i < originalEntries.size(); ++i) fileArray[n++] = originalEntries[i];
    fileArray.resize(n);
    editor.RelistFreeRecords();
    archive.BuildHashTable();
}

bool Compaction::MoveRecord(const FileEntry& originalEntry, unsigned int destination) {
    std::vector<std::vector<char>> blocks;
    if (!GAME_CHECK(mem::TryResize(blocks, 1) && mem::TryResize(blocks[0], originalEntry.size))) return false;
    std::vector<char>& buffer = blocks[0];
    std::uint32_t bytesRead = 0;
    if (platform::SetFilePosition(archive.GetFileHandle(), originalEntry.offset))
        platform::ReadFile(archive.GetFileHandle(), buffer.data(), originalEntry.size, &bytesRead);
    // A file that cannot be read whole stays where it is rather than move damaged.
    if (!GAME_CHECK(bytesRead == originalEntry.size)) return false;

    // What the move overwrites may still be needed by the committed state: it is saved first,
    // and the moves of a batch share one flush of the journal. A destination never meets the
    // source of a later move, which lies higher up.
    // A move already counted as done may be lost with a failed one: the edit then goes back to its
    // last commit.
    return editor.WriteWhenSaved(destination, std::move(blocks));
}

bool Compaction::CommitBatch(const mem::vector<FileEntry>& originals, std::size_t next, std::size_t placed) {
    if (!editor.CanWrite()) return false;
    if (!editor.JournalFull()) return true;
    // The index of this point: the records moved so far, then the ones not reached, where they are.
    mem::vector<FileEntry> partial(fileArray.begin(), fileArray.begin() + static_cast<std::ptrdiff_t>(placed));
    partial.insert(partial.end(), originals.begin() + static_cast<std::ptrdiff_t>(next), originals.end());
    fileArray.swap(partial);
    const bool committed = editor.Commit(false);
    fileArray.swap(partial);
    return committed;
}

}  // namespace

void CompactArchive(ArchiveEditor& editor) { Compaction(editor).Run(); }

}  // namespace GAME
