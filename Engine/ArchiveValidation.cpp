// Checks of a loaded index against the file and its own tables. All sums are taken in 64 bits,
// so that no damaged size can wrap around into a small one.
#include "Engine/ArchiveValidation.h"

#include "diagnostics/Assert.h"

namespace GAME {

bool CheckIndexFitsFile(const ArchiveHeader& header, std::uint64_t fileSize) {
    if (!GAME_CHECK(header.indexOffset >= sizeof(ArchiveHeader))) return false;
    const std::uint64_t indexEnd = std::uint64_t(header.indexOffset) +
                                   std::uint64_t(header.numBlocks) * sizeof(FileBlock) + header.nameTableSize +
                                   std::uint64_t(header.numFiles) * sizeof(DiskFileEntry);
    return GAME_CHECK(indexEnd <= fileSize);
}

EntryChecker::EntryChecker(const ArchiveHeader& header)
    : header(header), dataEnd(sizeof(ArchiveHeader)), namesUsed(0), blocksUsed(0) {}

bool EntryChecker::CheckPlacement(const DiskFileEntry& entry) {
    if (entry.flags & Archive::fileFlagInUse) {
        const std::uint64_t nameEnd = std::uint64_t(entry.nameOffset) + entry.nameLength;
        if (!GAME_CHECK(nameEnd < header.nameTableSize)) return false;
        const std::uint64_t blockEnd = std::uint64_t(entry.firstBlock) + entry.numBlocks;
        if (!GAME_CHECK(blockEnd <= header.numBlocks)) return false;
        if (nameEnd + 1 > namesUsed) namesUsed = nameEnd + 1;
        if (blockEnd > blocksUsed) blocksUsed = blockEnd;
    }
    const std::uint64_t runEnd = std::uint64_t(entry.offset) + entry.size;
    if (!GAME_CHECK(entry.offset >= dataEnd)) return false;
    if (!GAME_CHECK(runEnd <= header.indexOffset)) return false;
    dataEnd = runEnd;
    return true;
}

bool EntryChecker::CheckTablesUsed() const {
    return GAME_CHECK(namesUsed == header.nameTableSize) && GAME_CHECK(blocksUsed == header.numBlocks);
}

bool EntryChecker::CheckContents(const DiskFileEntry& entry, const char* nameTable, const FileBlock* blockArray) const {
    if (!(entry.flags & Archive::fileFlagInUse)) return true;
    const std::uint64_t nameEnd = std::uint64_t(entry.nameOffset) + entry.nameLength;
    if (!GAME_CHECK(nameTable[nameEnd] == '\0')) return false;
    if (!(entry.flags & Archive::fileFlagCompressed) && !GAME_CHECK(entry.size == entry.expandedSize)) return false;
    if (entry.flags & Archive::fileFlagCompressed) {
        std::uint64_t compressedSum = 0, expandedSum = 0;
        bool blocksFit = true;
        for (unsigned int b = 0; b < entry.numBlocks; ++b) {
            const FileBlock& block = blockArray[entry.firstBlock + b];
            compressedSum += block.compressedSize;
            expandedSum += block.expandedSize;
            blocksFit = blocksFit && block.expandedSize <= archiveBlockSize && block.compressedSize <= archiveBlockSize;
        }
        if (!GAME_CHECK(blocksFit)) return false;
        if (!GAME_CHECK(compressedSum == entry.size && expandedSum == entry.expandedSize)) return false;
    }
    return true;
}

}  // namespace GAME
