// Surveying the index and the hash table of an open archive.
#include "Engine/ArchiveStatistics.h"

#include <vector>

#include "Engine/Archive.h"

namespace GAME {

void Archive::GetStatistics(ArchiveStatistics& stats) const {
    stats = ArchiveStatistics{};
    stats.numEntries = static_cast<unsigned int>(fileArray.size());
    stats.tableSize = tableSize;
    for (const FileEntry& entry : fileArray) {
        if (entry.flags & fileFlagInUse) ++stats.numActiveFiles;
        if (entry.nameLength > stats.longestFileName) stats.longestFileName = entry.nameLength;
        stats.indexSize += 49 + entry.nameLength + 12 * entry.numBlocks;
    }
    // Each chain holds the named in-use records whose names hash to its bucket, so the records
    // are counted per bucket in their own order: following the chains would jump about the
    // whole record array, a cache miss a record.
    std::vector<unsigned int> depths(hashTable != nullptr ? tableSize : 0);
    for (const FileEntry& entry : fileArray)
        if (!depths.empty() && (entry.flags & fileFlagInUse) && entry.name != nullptr)
            ++depths[HashFileName(entry.name, entry.nameLength)];
    unsigned int occupied = 0;
    for (unsigned int depth : depths) {
        if (depth > stats.maxTableDepth) stats.maxTableDepth = depth;
        if (depth != 0) ++occupied;
    }
    // With no occupied bucket the quotient would be 0/0; the average depth is then 0.
    stats.averageTableDepth =
        occupied != 0 ? static_cast<float>(stats.numActiveFiles) / static_cast<float>(occupied) : 0.0f;
}

}  // namespace GAME
