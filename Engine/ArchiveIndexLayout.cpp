#include "Engine/ArchiveIndexLayout.h"

#include <cstring>

#include "Engine/ArchiveEntryCodec.h"

namespace GAME {

ArchiveHeader NewIndexHeader(std::size_t numFiles, unsigned int indexOffset) {
    ArchiveHeader header;
    std::memset(&header, 0, sizeof header);
    std::memcpy(header.magic, "ARC", 4);
    header.version = ARCHIVE_VERSION;
    header.numFiles = static_cast<unsigned int>(numFiles);
    header.indexOffset = indexOffset;
    return header;
}

void PlaceEntry(const Archive::FileEntry& entry, DiskFileEntry& disk, ArchiveHeader& header) {
    EncodeEntry(entry, disk);
    disk.firstBlock = header.numBlocks;
    disk.nameOffset = header.nameTableSize;
    header.numBlocks += disk.numBlocks;
    header.blockTableSize += disk.numBlocks * static_cast<unsigned int>(sizeof(FileBlock));
    if (entry.name != nullptr)
        header.nameTableSize += entry.nameLength + 1;
    else if (entry.flags & Archive::fileFlagInUse)
        header.nameTableSize += 1;
}

std::uint64_t IndexEnd(const ArchiveHeader& header) {
    return std::uint64_t(header.indexOffset) + std::uint64_t(header.numBlocks) * sizeof(FileBlock) +
           header.nameTableSize + std::uint64_t(header.numFiles) * sizeof(DiskFileEntry);
}

}  // namespace GAME
