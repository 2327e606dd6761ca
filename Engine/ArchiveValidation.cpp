// Checks of a loaded index against the file and its own tables. All sums are taken in 64 bits,
// so that no damaged size can wrap around into a small one.
#include "Engine/ArchiveValidation.h"

#include "diagnostics/Assert.h"

namespace GAME {

bool CheckIndexFitsFile(const ArchiveHeader& header, std::uint64_t fileSize) {
    if (!GAME_CHECK(header.indexOffset >= sizeof(ArchiveHeader))) return false;
    const std::uint64_t indexEnd = std::uint64_t(header.indexOffset) + std::uint64_t(header.numBlocks) * sizeof(FileBlock) +
                                   header.nameTableSize + std::uint64_t(header.numFiles) * sizeof(DiskFileEntry);
    return GAME_CHECK(indexEnd <= fileSize);
}

EntryChecker::EntryChecker(const ArchiveHeader& header, const char* nameTable)
    : header(header), nameTable(nameTable), dataEnd(sizeof(ArchiveHeader)) {}

bool EntryChecker::Check(const DiskFileEntry& entry) {
    if (entry.flags & Archive::fileFlagInUse) {
        const std::uint64_t nameEnd = std::uint64_t(entry.nameOffset) + entry.nameLength;
        if (!GAME_CHECK(nameEnd < header.nameTableSize)) return false;
        if (!GAME_CHECK(nameTable[nameEnd] == '\0')) return false;
        const std::uint64_t blockEnd = std::uint64_t(entry.firstBlock) + entry.numBlocks;
        if (!GAME_CHECK(blockEnd <= header.numBlocks)) return false;
        if (!(entry.flags & Archive::fileFlagCompressed) && !GAME_CHECK(entry.size == entry.expandedSize)) return false;
    }
    const std::uint64_t runEnd = std::uint64_t(entry.offset) + entry.size;
    if (!GAME_CHECK(entry.offset >= dataEnd)) return false;
    if (!GAME_CHECK(runEnd <= header.indexOffset)) return false;
    dataEnd = runEnd;
    return true;
}

}  // namespace GAME
