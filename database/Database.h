// A compiled game database loaded into memory: its record data, its records by name id and
// its texts. Payloads are expanded one at a time, on demand.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "database/DatabaseFormat.h"
#include "database/StringMap.h"

namespace platform {
class OutputFolder;
class TextWriter;
enum class OutputRefusal;
}  // namespace platform

namespace GAME {

/// What became of one record written as text.
enum class RecordTextResult {
    written,
    notFound,      // the database holds no record of that name
    unreadable,    // its payload could not be read or expanded
    notCreated,    // the output file could not be created
    linkOnTheWay,  // a folder on the way below the output folder is a symbolic link
    writeFailed,   // the file was created but not every byte reached it
};

/// One record of the index.
struct RecordEntry {
    std::uint32_t nameId;      // string id of the record's name
    std::string recordType;    // as stored; carried, not interpreted
    std::uint32_t dataOffset;  // of the stored bytes within recordData
    std::uint32_t storedSize;
    std::uint32_t expandedSize;  // of the payload, when the database is compressed
    std::uint32_t spare1;
    std::uint32_t spare2;
};

class Database {
public:
    Database();
    virtual ~Database() = default;

    /// Parses a file image. Gives false for an image shorter than the header or of a version
    /// below minVersion. Regions that do not lie inside the image are skipped, and the load
    /// still succeeds. Call it once, on a new Database.
    bool Load(const unsigned char* image, std::uint64_t size);

    /// The names of all records, in record order (ascending name id). Records whose name id has
    /// no text are left out.
    std::vector<std::string> GetRecordNames() const;

    /// The expanded payload of the record `nameId` and its length, or null. The payload of a
    /// compressed database lives in the shared decompression buffer: it stays valid until the
    /// next call. A record whose stored bytes do not lie inside the record data fails.
    const unsigned char* GetRecordPayload(std::uint32_t nameId, std::uint32_t* length);

    /// Expands one LZ4 block of `storedSize` bytes to exactly `expandedSize` bytes in the
    /// decompression buffer, growing it to 3 x the need (whole KiB) when it is too small.
    bool DecompressRecord(const unsigned char* source, std::uint32_t storedSize, std::uint32_t expandedSize);

    /// The id of `text`; a text not yet known is added in memory.
    int GetStringId(const std::string& text) { return strings.GetStringId(text); }

    /// Writes the record named exactly `recordName` as text to `outputPath`, one line per
    /// field. Gives false, writing nothing, when there is no such record, its payload is
    /// unavailable or the file cannot be created; false also when writing it failed.
    bool WriteRecordText(const std::string& outputPath, const std::string& recordName) {
        return WriteRecordFile(outputPath, recordName) == RecordTextResult::written;
    }

    /// WriteRecordText, telling what went wrong.
    RecordTextResult WriteRecordFile(const std::string& outputPath, const std::string& recordName);

    /// Writes the record to its own name below `output`, which follows no link (see
    /// platform::OutputFolder).
    RecordTextResult WriteRecordBelow(platform::OutputFolder& output, const std::string& recordName);

    const StringMap& Strings() const { return strings; }
    const DatabaseHeader& Header() const { return header; }
    const std::uint32_t* Checksums() const { return checksums; }
    std::uint32_t DecompressionCapacity() const { return decompressionCapacity; }
    /// The message of the last failed expansion; it is kept here and shown nowhere.
    const char* DecompressionMessage() const { return decompressionMessage; }

private:
    // Load, with the allocations free to throw.
    bool LoadImage(const unsigned char* image, std::uint64_t size);
    RecordTextResult FindRecordPayload(const std::string& recordName, const unsigned char** payload,
                                       std::uint32_t* length);
    RecordTextResult WriteFields(platform::TextWriter& file, const unsigned char* payload, std::uint32_t length);

    std::uint32_t minVersion;
    std::uint32_t checksums[4];
    std::vector<unsigned char> recordData;
    DatabaseHeader header;
    std::map<std::uint32_t, RecordEntry> records;
    StringMap strings;
    std::unique_ptr<unsigned char[]> decompressionBuffer;
    std::uint32_t decompressionCapacity;
    std::uint32_t decompressedSize;
    char decompressionMessage[128];
};

/// Writes every record below `location` (already normalised, "/"-terminated or empty) under its
/// own name, printing "(i/n) Extracting <name>" before each. A name that is absolute or has a
/// ".." component, or one with a folder on its way below `location` that is a symbolic link, is
/// refused with a line on standard error; a link where the file goes is replaced by the file.
/// Every record that is not written whole gets one line on standard error naming it and why.
/// Gives true when every record was written.
bool ExportAllRecords(Database& database, const std::string& location);

/// The words that follow "record: <name> " in the line for a record that was not written.
const char* RecordTextFailure(RecordTextResult result);

}  // namespace GAME
