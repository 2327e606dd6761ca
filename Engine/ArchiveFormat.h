// The bytes of an archive file.
//
// All integers are unsigned 32-bit little-endian; every offset is absolute from the start of
// the file, so an archive is at most 4 GiB. In file order:
//
//   header       at 0, 2048 bytes (ArchiveHeader)
//   file data    from 2048 up to indexOffset: one run per record, ascending, not overlapping.
//                A stored file's run is its bytes. A compressed file's run is its blocks in
//                order; each block covers 262144 expanded bytes (the last one the rest) and is
//                either raw LZ4 (compressedSize < expandedSize) or the raw bytes
//                (compressedSize == expandedSize). A free record keeps its hole's offset/size.
//   block table  at indexOffset, numBlocks FileBlock records of 12 bytes, grouped per file in
//                entry-table order
//   name table   nameTableSize bytes: each in-use record's name and a zero byte
//   entry table  numFiles DiskFileEntry records of 44 bytes; the file ends after it
//
// A file of length 0 is an empty archive.
#pragma once

#include <bit>
#include <cstdint>

#include "Engine/Archive.h"

namespace GAME {

static_assert(std::endian::native == std::endian::little, "archive records are read and written as they lie in memory");

constexpr unsigned int ARCHIVE_VERSION = 3;

// Expanded bytes per block of a compressed file.
constexpr unsigned int archiveBlockSize = 0x40000;

struct ArchiveHeader {
    char magic[4];                 // 'A' 'R' 'C' 0
    unsigned int version;          // ARCHIVE_VERSION
    unsigned int numFiles;         // entry-table records, free ones included
    unsigned int numBlocks;        // block-table records
    unsigned int blockTableSize;   // numBlocks * 12; readers go by numBlocks
    unsigned int nameTableSize;    // bytes of the name table
    unsigned int indexOffset;      // where the block table starts
    unsigned char reserved[2020];  // zero when written, not examined when read
};

struct DiskFileEntry {
    unsigned int flags;
    unsigned int offset;
    unsigned int size;
    unsigned int expandedSize;
    unsigned int checksum;
    unsigned int fileTimeLow;
    unsigned int fileTimeHigh;
    unsigned int numBlocks;
    unsigned int firstBlock;  // index of the record's first block in the block table
    unsigned int nameLength;
    unsigned int nameOffset;  // position of the name in the name table
};

static_assert(sizeof(ArchiveHeader) == 2048, "header is 2048 bytes");
static_assert(sizeof(FileBlock) == 12, "block record is 12 bytes");
static_assert(sizeof(DiskFileEntry) == 44, "entry record is 44 bytes");

// Bucket counts of the hash table; the first at least a quarter of the record count is taken.
constexpr unsigned int hashTableSizes[] = {31,   73,   127,  283,  419,  739,  1019, 1453, 2063,
                                           3001, 4001, 5009, 6067, 7001, 8009, 9011, 10007};

}  // namespace GAME
