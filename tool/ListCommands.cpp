#include "tool/ListCommands.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "Engine/Archive.h"
#include "Engine/ArchiveStatistics.h"

namespace tool {

void ListFiles(const GAME::Archive& archive) {
    // The lines are gathered and handed to standard output in large pieces: written line by
    // line, through its usual small buffer, a long listing costs a write call per few KiB.
    constexpr std::size_t piece = 1u << 16;
    std::string lines;
    lines.reserve(piece + 4096);
    for (unsigned int i = 0; i < archive.GetNumFiles(); ++i) {
        const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
        if (!(entry.flags & GAME::Archive::fileFlagInUse) || entry.name == nullptr) continue;
        // Up to the name's first zero byte, as printf's %s takes it.
        lines.append(entry.name, std::strlen(entry.name));
        lines.push_back('\n');
        if (lines.size() >= piece) {
            std::fwrite(lines.data(), 1, lines.size(), stdout);
            lines.clear();
        }
    }
    std::fwrite(lines.data(), 1, lines.size(), stdout);
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
