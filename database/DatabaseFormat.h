// The bytes of a compiled game database.
//
// Little-endian, nothing aligned or padded. In file order:
//
//   header        at 0, 24 bytes (DatabaseHeader)
//   record data   from 24 up to recordIndexOffset: each record's stored bytes, at
//                 24 + dataOffset; one raw LZ4 block per record when the file is compressed
//   record index  recordIndexSize bytes at recordIndexOffset: recordCount entries of
//                 nameId, length L, L bytes of record type, dataOffset, storedSize,
//                 expandedSize, spare1, spare2 (28 + L bytes)
//   string table  stringTableSize bytes at stringTableOffset: a signed count, then that many
//                 texts, each a 4-byte length and its bytes; a text's id is its position
//   checksums     the last 16 bytes, four Adler-32 values, when databaseFlagChecksums is set
//
// A record's payload is a run of fields: a 16-bit value type, a 16-bit value count, the name's
// string id, and one 4-byte cell per value.
#pragma once

#include <bit>
#include <cstdint>

namespace GAME {

static_assert(std::endian::native == std::endian::little, "database fields are read as they lie in memory");

struct DatabaseHeader {
    std::uint16_t version;            // accepted from 2 on
    std::uint16_t flags;              // databaseFlagCompressed, databaseFlagChecksums
    std::uint32_t recordIndexOffset;  // where the record data ends and the index begins
    std::uint32_t recordIndexSize;
    std::uint32_t recordCount;
    std::uint32_t stringTableOffset;
    std::uint32_t stringTableSize;
};

static_assert(sizeof(DatabaseHeader) == 24, "database header is 24 bytes");

enum DatabaseFlags : std::uint16_t {
    databaseFlagCompressed = 1,
    databaseFlagChecksums = 2,
};

enum ValueType : std::uint16_t {
    valueTypeInt = 0,
    valueTypeFloat = 1,
    valueTypeString = 2,
    valueTypeBool = 3,
};

// Offset of the record data region; a record's dataOffset counts from here.
constexpr std::uint32_t recordDataStart = 24;

// The longest text (record type or string) that is taken from the file.
constexpr std::uint32_t maxTextLength = 1048576;

// The fixed part of a record index entry, without its record type text.
constexpr std::uint32_t recordIndexEntryFixedSize = 28;

}  // namespace GAME
