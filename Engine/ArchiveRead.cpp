// Reading a file's expanded contents out of its stored run or its blocks.
#include <cstring>

#include <lz4.h>

#include "Engine/Archive.h"
#include "Engine/ArchiveFormat.h"
#include "Engine/MemGrowth.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"

namespace GAME {

// The working state of one block read: both halves of one 2 * blockSize allocation.
struct Archive::BlockBuffer {
    int currentBlock;      // the block now held expanded, or -1
    char* compressedData;  // the block as stored
    char* expandedData;    // the block expanded
};

bool Archive::ReadFileData(int fileIndex, void* dest, unsigned int start, unsigned int count, unsigned int* delivered) {
    unsigned int unused = 0;
    unsigned int& got = delivered != nullptr ? *delivered : unused;
    got = 0;
    if (!GAME_CHECK(dest)) return false;
    if (!GAME_CHECK(fileIndex >= 0)) return false;
    if (!GAME_CHECK(fileIndex < (int)fileArray.size())) return false;

    // Data held back for one flush of the journal is written before anything reads it.
    if (!WriteHeldBackData()) return false;
    const FileEntry& entry = fileArray[fileIndex];
    // Taken in 64 bits so that a huge request cannot wrap around past the check.
    const std::uint64_t offset = start;
    std::uint64_t size = count;
    if (!GAME_CHECK(offset <= entry.expandedSize)) return false;
    if (!GAME_CHECK((offset + size) <= entry.expandedSize)) size = entry.expandedSize - offset;
    if (size == 0) return true;

    if (entry.flags & fileFlagCompressed)
        return ReadBlocks(fileIndex, dest, start, static_cast<unsigned int>(size), &got);

    std::uint32_t bytesRead = 0;
    // A run cut short (the file changed under us, a failing disk) has not delivered the bytes.
    // Read at its offset, not from a shared position, so that threads may read side by side.
    const bool read = platform::ReadFileAt(archiveFile.Get(), dest, static_cast<std::uint32_t>(size),
                                           std::uint64_t(entry.offset) + start, &bytesRead);
    got = bytesRead;
    return read && bytesRead == size;
}

bool Archive::ReadBlocks(int fileIndex, void* dest, unsigned int offset, unsigned int size, unsigned int* delivered) {
    const std::unique_ptr<char[]> dataBuffer = mem::TryNewArray<char>(2 * std::uint64_t(blockSize));
    if (!GAME_CHECK(dataBuffer)) return false;
    BlockBuffer buffer{-1, dataBuffer.get(), dataBuffer.get() + blockSize};

    const FileEntry& entry = fileArray[fileIndex];
    char* out = static_cast<char*>(dest);
    unsigned int position = offset;
    unsigned int remaining = size;
    bool ok = true;
    while (remaining > 0) {
        const unsigned int blockIndex = position / blockSize;
        const unsigned int withinBlock = position % blockSize;
        const unsigned int chunk = blockSize - withinBlock < remaining ? blockSize - withinBlock : remaining;
        if (static_cast<int>(blockIndex) != buffer.currentBlock &&
            !ReadBlock(fileIndex, static_cast<int>(blockIndex), buffer)) {
            ok = false;
            break;
        }
        // A damaged block may expand to fewer bytes than the file's layout puts in it.
        if (withinBlock + chunk > entry.blocks[blockIndex].expandedSize) {
            ok = false;
            break;
        }
        std::memcpy(out, buffer.expandedData + withinBlock, chunk);
        out += chunk;
        position += chunk;
        remaining -= chunk;
    }
    *delivered = position - offset;
    return ok;
}

bool Archive::ReadBlock(int fileIndex, int blockIndex, BlockBuffer& buffer) {
    const FileEntry& entry = fileArray[fileIndex];
    if (blockIndex < 0 || static_cast<unsigned int>(blockIndex) >= entry.numBlocks || entry.blocks == nullptr)
        return false;
    const FileBlock* block = &entry.blocks[blockIndex];
    if (block->compressedSize > blockSize || block->expandedSize > blockSize) return false;

    std::uint32_t bytesRead = 0;
    if (!platform::ReadFileAt(archiveFile.Get(), buffer.compressedData, block->compressedSize, block->offset,
                              &bytesRead))
        return false;
    if (!GAME_CHECK_MSG(block->compressedSize == bytesRead, "Error reading archive file.")) {
        // Go on with what arrived; the missing tail reads as zeros, not as an earlier block.
        std::memset(buffer.compressedData + bytesRead, 0, block->compressedSize - bytesRead);
    }

    if (block->compressedSize < block->expandedSize) {
        const int expanded = LZ4_decompress_safe(buffer.compressedData, buffer.expandedData,
                                                 static_cast<int>(block->compressedSize), static_cast<int>(blockSize));
        if (expanded != static_cast<int>(block->expandedSize)) return false;
    } else {
        GAME_ASSERT(block->compressedSize == block->expandedSize);
        std::memcpy(buffer.expandedData, buffer.compressedData, block->expandedSize);
    }
    buffer.currentBlock = blockIndex;
    return true;
}

}  // namespace GAME
