// Loading a database image and expanding record payloads.
#include "database/Database.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include <lz4.h>

#include "Engine/MemGrowth.h"
#include "database/ByteReader.h"

namespace GAME {
namespace {

constexpr std::uint32_t initialDecompressionCapacity = 10240;

// True when [offset, offset + length) lies inside a region of `size` bytes; no wrap-around.
bool InsideRegion(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
    return offset <= size && length <= size - offset;
}

}  // namespace

Database::Database()
    : minVersion(2),
      checksums{0, 0, 0, 0},
      header{},
      decompressionBuffer(new unsigned char[initialDecompressionCapacity]),
      decompressionCapacity(initialDecompressionCapacity),
      decompressedSize(0),
      decompressionMessage{} {}

bool Database::Load(const unsigned char* image, std::uint64_t size) {
    // Every table kept is sized by what the image holds, never by a count it claims; an image
    // too large for the memory left is refused rather than thrown out of.
    try {
        return LoadImage(image, size);
    } catch (const std::bad_alloc&) {
        recordData.clear();
        records.clear();
        return false;
    }
}

bool Database::LoadImage(const unsigned char* image, std::uint64_t size) {
    if (image == nullptr || size < sizeof(DatabaseHeader)) return false;
    std::memcpy(&header, image, sizeof header);
    if (header.version < minVersion) return false;

    if (header.recordIndexOffset <= recordDataStart) return true;
    // Only the record data that the image holds is kept: a record whose stored bytes lie past
    // the end of the file is then a failed payload rather than a run of invented zeros.
    const std::uint64_t dataEnd = header.recordIndexOffset < size ? header.recordIndexOffset : size;
    recordData.assign(image + recordDataStart, image + dataEnd);

    if (header.stringTableSize != 0 && InsideRegion(header.stringTableOffset, header.stringTableSize, size)) {
        strings.Load(image + header.stringTableOffset, header.stringTableSize);
        static const char emptyText[] = "";
        if (strings.GetLiteralId(emptyText) < 0) strings.GetStringId(emptyText);
        strings.GetLiteralId(emptyText);
    }

    if (header.recordIndexSize != 0 && header.recordCount > 0 &&
        InsideRegion(header.recordIndexOffset, header.recordIndexSize, size)) {
        ByteReader reader(image + header.recordIndexOffset, header.recordIndexSize);
        for (std::uint32_t i = 0; i < header.recordCount; ++i) {
            RecordEntry entry{};
            std::uint32_t typeLength = 0;
            if (!reader.ReadU32(entry.nameId) || !reader.ReadU32(typeLength)) break;
            if (typeLength <= maxTextLength) reader.ReadText(typeLength, entry.recordType);
            if (!reader.ReadU32(entry.dataOffset) || !reader.ReadU32(entry.storedSize) ||
                !reader.ReadU32(entry.expandedSize) || !reader.ReadU32(entry.spare1) || !reader.ReadU32(entry.spare2))
                break;
            records.insert_or_assign(entry.nameId, std::move(entry));
        }
    }

    if (size >= 16 && (header.flags & databaseFlagChecksums)) std::memcpy(checksums, image + size - 16, 16);
    return true;
}

std::vector<std::string> Database::GetRecordNames() const {
    std::vector<std::string> names;
    names.reserve(records.size());
    for (const auto& [nameId, entry] : records)
        if (const std::string* name = strings.GetString(static_cast<int>(nameId))) names.push_back(*name);
    return names;
}

const unsigned char* Database::GetRecordPayload(std::uint32_t nameId, std::uint32_t* length) {
    *length = 0;
    const auto found = records.find(nameId);
    if (found == records.end() || recordData.empty()) return nullptr;
    const RecordEntry& entry = found->second;
    if (!InsideRegion(entry.dataOffset, entry.storedSize, recordData.size())) return nullptr;
    const unsigned char* stored = recordData.data() + entry.dataOffset;
    if (!(header.flags & databaseFlagCompressed)) {
        *length = entry.storedSize;
        return stored;
    }
    if (!DecompressRecord(stored, entry.storedSize, entry.expandedSize)) return nullptr;
    decompressedSize = entry.expandedSize;
    *length = entry.expandedSize;
    return decompressionBuffer.get();
}

bool Database::DecompressRecord(const unsigned char* source, std::uint32_t storedSize, std::uint32_t expandedSize) {
    if (expandedSize == 0) return true;  // an empty payload needs no block
    // One LZ4 block cannot expand more than about 255-fold; a larger claim is damage, and must
    // not size the buffer.
    const bool plausible = std::uint64_t(expandedSize) <= 255 * std::uint64_t(storedSize) + 255 &&
                           expandedSize <= static_cast<std::uint32_t>(INT32_MAX) &&
                           storedSize <= static_cast<std::uint32_t>(INT32_MAX);
    if (plausible && decompressionCapacity < expandedSize) {
        std::uint64_t capacity = 3 * std::uint64_t(expandedSize);
        if (capacity < 1024) capacity = 1024;
        capacity = (capacity + 1023) / 1024 * 1024;
        std::unique_ptr<unsigned char[]> grown = mem::TryNewArray<unsigned char>(capacity);
        if (grown != nullptr) {
            decompressionBuffer = std::move(grown);
            decompressionCapacity = static_cast<std::uint32_t>(capacity > UINT32_MAX ? UINT32_MAX : capacity);
        }
    }
    int result = -1;
    if (plausible && decompressionCapacity >= expandedSize) {
        // Bounded on both sides: the stored bytes as input, the payload's length as the output.
        result = LZ4_decompress_safe(reinterpret_cast<const char*>(source),
                                     reinterpret_cast<char*>(decompressionBuffer.get()), static_cast<int>(storedSize),
                                     static_cast<int>(expandedSize));
    }
    if (result != static_cast<int>(expandedSize) || result < 0) {
        std::snprintf(decompressionMessage, sizeof decompressionMessage, "Error decompressing database record: %d",
                      result);
        return false;
    }
    return true;
}

}  // namespace GAME
