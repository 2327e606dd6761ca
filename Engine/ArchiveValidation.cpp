// Checks of a loaded index against the file and its own tables. All sums are taken in 64 bits,
// so that no damaged size can wrap around into a small one.
#include "Engine/ArchiveValidation.h"

#include "diagnostics/Assert.h"

namespace GAME {

// A check reported as every failed check is, or only answered.
#define VALIDATE(condition) (report ? GAME_CHECK(condition) : static_cast<bool>(condition))

bool CheckIndexFitsFile(const ArchiveHeader& header, std::uint64_t fileSize, bool report) {
    if (!VALIDATE(header.indexOffset >= sizeof(ArchiveHeader))) return false;
    const std::uint64_t indexEnd = std::uint64_t(header.indexOffset) +
                                   std::uint64_t(header.numBlocks) * sizeof(FileBlock) + header.nameTableSize +
                                   std::uint64_t(header.numFiles) * sizeof(DiskFileEntry);
    return VALIDATE(indexEnd <= fileSize);
}

EntryChecker::EntryChecker(const ArchiveHeader& header, bool report)
    : header(header), report(report), dataEnd(sizeof(ArchiveHeader)), namesUsed(0), blocksUsed(0) {}

bool EntryChecker::CheckPlacement(const DiskFileEntry& entry) {
    if (entry.flags & Archive::fileFlagInUse) {
        const std::uint64_t nameEnd = std::uint64_t(entry.nameOffset) + entry.nameLength;
        if (!VALIDATE(nameEnd < header.nameTableSize)) return false;
        const std::uint64_t blockEnd = std::uint64_t(entry.firstBlock) + entry.numBlocks;
        if (!VALIDATE(blockEnd <= header.numBlocks)) return false;
        if (nameEnd + 1 > namesUsed) namesUsed = nameEnd + 1;
        if (blockEnd > blocksUsed) blocksUsed = blockEnd;
    }
    const std::uint64_t runEnd = std::uint64_t(entry.offset) + entry.size;
    if (!VALIDATE(entry.offset >= dataEnd)) return false;
    if (!VALIDATE(runEnd <= header.indexOffset)) return false;
    dataEnd = runEnd;
    return true;
}

bool EntryChecker::CheckTablesUsed() const {
    return VALIDATE(namesUsed == header.nameTableSize) && VALIDATE(blocksUsed == header.numBlocks);
}

bool EntryChecker::CheckContents(const DiskFileEntry& entry, const char* nameTable, const FileBlock* blockArray) const {
    if (!(entry.flags & Archive::fileFlagInUse)) return true;
    return CheckOwnContents(entry, nameTable + entry.nameOffset,
                            blockArray != nullptr ? blockArray + entry.firstBlock : nullptr);
}

bool EntryChecker::CheckOwnContents(const DiskFileEntry& entry, const char* name, const FileBlock* blocks) const {
    if (!(entry.flags & Archive::fileFlagInUse)) return true;
    // Named as in the table the name comes from, for the report.
    const char* nameTable = name;
    const std::uint64_t nameEnd = entry.nameLength;
    if (!VALIDATE(nameTable[nameEnd] == '\0')) return false;
    if (!(entry.flags & Archive::fileFlagCompressed) && !VALIDATE(entry.size == entry.expandedSize)) return false;
    if (entry.flags & Archive::fileFlagCompressed) {
        std::uint64_t compressedSum = 0, expandedSum = 0;
        bool blocksFit = true;
        for (unsigned int b = 0; b < entry.numBlocks; ++b) {
            const FileBlock& block = blocks[b];
            compressedSum += block.compressedSize;
            expandedSum += block.expandedSize;
            blocksFit = blocksFit && block.expandedSize <= archiveBlockSize && block.compressedSize <= archiveBlockSize;
        }
        if (!VALIDATE(blocksFit)) return false;
        if (!VALIDATE(compressedSum == entry.size && expandedSum == entry.expandedSize)) return false;
    }
    return true;
}

}  // namespace GAME
