#include "tool/ListCommands.h"

#include <cstdio>

#include "Engine/Archive.h"
#include "tool/editor/ArchiveStatistics.h"

namespace tool {

void ListFiles(const GAME::Archive& archive) {
    for (unsigned int i = 0; i < archive.GetNumFiles(); ++i) {
        const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
        if ((entry.flags & GAME::Archive::fileFlagInUse) && entry.name != nullptr) std::printf("%s\n", entry.name);
    }
}

void PrintStatistics(const GAME::Archive& archive) {
    GAME::ArchiveStatistics stats;
    archive.GetStatistics(stats);
    std::printf("Archive statistics:\n");
    std::printf("    %u file entries\n", stats.numEntries);
    std::printf("    %u active files\n", stats.numActiveFiles);
    std::printf("    index size: %u bytes\n", stats.indexSize);
    std::printf("    longest filename: %u\n", stats.longestFileName);
    std::printf("    table size: %u\n", stats.tableSize);
    std::printf("    maximum table depth: %u\n", stats.maxTableDepth);
    std::printf("    average depth %.2f\n", static_cast<double>(stats.averageTableDepth));
}

}  // namespace tool
