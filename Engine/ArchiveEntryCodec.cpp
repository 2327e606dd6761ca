#include "Engine/ArchiveEntryCodec.h"

namespace GAME {

void DecodeEntry(const DiskFileEntry& disk, Archive::FileEntry& entry) {
    entry.flags = disk.flags;
    entry.offset = disk.offset;
    entry.size = disk.size;
    entry.expandedSize = disk.expandedSize;
    entry.checksum = disk.checksum;
    entry.fileTime = (std::uint64_t(disk.fileTimeHigh) << 32) | disk.fileTimeLow;
    entry.numBlocks = disk.numBlocks;
    entry.nameLength = disk.nameLength;
}

void EncodeEntry(const Archive::FileEntry& entry, DiskFileEntry& disk) {
    disk.flags = entry.flags;
    disk.offset = entry.offset;
    disk.size = entry.size;
    disk.expandedSize = entry.expandedSize;
    disk.checksum = entry.checksum;
    disk.fileTimeLow = static_cast<unsigned int>(entry.fileTime);
    disk.fileTimeHigh = static_cast<unsigned int>(entry.fileTime >> 32);
    disk.numBlocks = entry.blocks != nullptr ? entry.numBlocks : 0;
    disk.nameLength = entry.name != nullptr ? entry.nameLength : 0;
}

}  // namespace GAME
