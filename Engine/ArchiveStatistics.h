// Counts and hash-chain figures of an open archive.
#pragma once

namespace GAME {

struct ArchiveStatistics {
    unsigned int numEntries;       // records, free ones included
    unsigned int numActiveFiles;   // in-use records
    unsigned int tableSize;        // hash buckets
    unsigned int maxTableDepth;    // records in the longest bucket chain
    unsigned int indexSize;        // sum over all records of 49 + nameLength + 12 * numBlocks
    unsigned int longestFileName;  // the largest nameLength
    float averageTableDepth;       // in-use records per occupied bucket; 0 with none occupied
};

}  // namespace GAME
