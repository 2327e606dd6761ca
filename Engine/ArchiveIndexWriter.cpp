// Writing the index and the header when an archive open for edit is closed.
#include <cstdlib>
#include <cstring>
#include <string>

#include "Engine/Archive.h"
#include "Engine/ArchiveEntryCodec.h"
#include "Engine/ArchiveFormat.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"

namespace GAME {

bool Archive::WriteHeader() {
    if (archiveFileMode != fileModeEdit) return false;

    ArchiveHeader header;
    std::memset(&header, 0, sizeof header);
    std::memcpy(header.magic, "ARC", 4);
    header.version = ARCHIVE_VERSION;
    header.numFiles = static_cast<unsigned int>(fileArray.size());
    header.indexOffset = AppendPoint();

    // Until the index is on disk the old header must stay: it must never describe an index
    // that was not written.
    if (!WriteIndex(header)) return false;

    std::uint32_t bytesWritten = 0;
    if (SetFilePosition(0)) platform::WriteFile(archiveFileHandle, &header, sizeof header, &bytesWritten);
    return GAME_CHECK(bytesWritten == sizeof(header));
}

bool Archive::WriteIndex(ArchiveHeader& header) {
    const std::size_t numFiles = fileArray.size();
    DiskFileEntry* diskFileEntryArray =
        static_cast<DiskFileEntry*>(std::malloc(numFiles != 0 ? numFiles * sizeof(DiskFileEntry) : 1));
    if (!GAME_CHECK(diskFileEntryArray)) return false;

    // The block and name tables are gathered in memory and written in one piece each, rather
    // than one small write per record.
    std::string blockTable, names;
    for (std::size_t i = 0; i < numFiles; ++i) {
        const FileEntry& entry = fileArray[i];
        DiskFileEntry& disk = diskFileEntryArray[i];
        EncodeEntry(entry, disk);
        disk.firstBlock = header.numBlocks;
        if (disk.numBlocks != 0) {
            blockTable.append(reinterpret_cast<const char*>(entry.blocks),
                              std::size_t(disk.numBlocks) * sizeof(FileBlock));
            header.blockTableSize += disk.numBlocks * static_cast<unsigned int>(sizeof(FileBlock));
        }
        header.numBlocks += disk.numBlocks;
        disk.nameOffset = header.nameTableSize;
        if (entry.name != nullptr) {
            names.append(entry.name, entry.nameLength);
            names.push_back('\0');
            header.nameTableSize += entry.nameLength + 1;
        } else if (entry.flags & fileFlagInUse) {
            // An in-use record keeps a name slot even without its name: an empty one.
            names.push_back('\0');
            header.nameTableSize += 1;
        }
    }

    bool written = SetFilePosition(header.indexOffset) &&
                   platform::WriteAll(archiveFileHandle, blockTable.data(), blockTable.size()) &&
                   platform::WriteAll(archiveFileHandle, names.data(), names.size());
    std::uint64_t currentLocation = 0;
    platform::GetFilePosition(archiveFileHandle, &currentLocation);
    if (written) GAME_ASSERT(currentLocation == (header.indexOffset + header.nameTableSize + header.blockTableSize));
    written = written && platform::WriteAll(archiveFileHandle, diskFileEntryArray,
                                            std::uint64_t(numFiles) * sizeof(DiskFileEntry));
    std::free(diskFileEntryArray);
    if (!GAME_CHECK(written)) return false;
    // Cuts whatever followed: the old index, or data that compaction moved down.
    return GAME_CHECK(platform::SetEndOfFile(archiveFileHandle));
}

}  // namespace GAME
