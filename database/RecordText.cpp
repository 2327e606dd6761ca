// Writing database records as text files, one line per field.
#include <cstdio>
#include <cstring>

#include "database/ByteReader.h"
#include "database/Database.h"
#include "platform/FileSystem.h"
#include "platform/OutputFolder.h"
#include "platform/Paths.h"
#include "platform/Signals.h"
#include "platform/TextWriter.h"

namespace GAME {
namespace {

// Writes a text as its raw bytes; a text that is missing writes nothing.
void WriteText(platform::TextWriter& file, const std::string* text) {
    if (text != nullptr) file.Write(*text);
}

void WriteValue(platform::TextWriter& file, const StringMap& strings, std::uint16_t valueType, std::uint32_t cell) {
    switch (valueType) {
        case valueTypeInt: file.Print("%d", static_cast<std::int32_t>(cell)); break;
        case valueTypeFloat: {
            float value;
            std::memcpy(&value, &cell, sizeof value);
            file.Print("%f", static_cast<double>(value));
            break;
        }
        case valueTypeString: WriteText(file, strings.GetString(static_cast<int>(cell))); break;
        default: file.Write(cell != 0 ? "1" : "0"); break;
    }
}

}  // namespace

RecordTextResult Database::FindRecordPayload(const std::string& recordName, const unsigned char** payload,
                                             std::uint32_t* length) {
    *length = 0;
    const int nameId = GetStringId(recordName);
    if (records.find(static_cast<std::uint32_t>(nameId)) == records.end()) return RecordTextResult::notFound;
    *payload = GetRecordPayload(static_cast<std::uint32_t>(nameId), length);
    return *payload != nullptr ? RecordTextResult::written : RecordTextResult::unreadable;
}

RecordTextResult Database::WriteRecordFile(const std::string& outputPath, const std::string& recordName) {
    const unsigned char* payload = nullptr;
    std::uint32_t length = 0;
    const RecordTextResult found = FindRecordPayload(recordName, &payload, &length);
    if (found != RecordTextResult::written) return found;
    platform::TextWriter file;
    if (!file.Open(outputPath.c_str())) return RecordTextResult::notCreated;
    return WriteFields(file, payload, length);
}

RecordTextResult Database::WriteRecordBelow(platform::OutputFolder& output, const std::string& recordName) {
    const unsigned char* payload = nullptr;
    std::uint32_t length = 0;
    const RecordTextResult found = FindRecordPayload(recordName, &payload, &length);
    if (found != RecordTextResult::written) return found;
    platform::OutputRefusal refusal = platform::OutputRefusal::none;
    platform::TextWriter file;
    if (!file.Adopt(output.Create(recordName, &refusal)))
        return refusal == platform::OutputRefusal::linkOnTheWay ? RecordTextResult::linkOnTheWay
                                                                : RecordTextResult::notCreated;
    return WriteFields(file, payload, length);
}

RecordTextResult Database::WriteFields(platform::TextWriter& file, const unsigned char* payload, std::uint32_t length) {
    ByteReader reader(payload, length);
    while (reader.Remaining() > 0) {
        std::uint32_t fieldHeader = 0, fieldNameId = 0;
        // A field that is cut short, or of a type no writer makes, ends the record's text.
        if (!reader.ReadU32(fieldHeader) || !reader.ReadU32(fieldNameId)) break;
        const std::uint16_t valueType = static_cast<std::uint16_t>(fieldHeader & 0xFFFF);
        const std::uint32_t valueCount = fieldHeader >> 16;
        if (valueType > valueTypeBool || reader.Remaining() < std::uint64_t(valueCount) * 4) break;
        WriteText(file, strings.GetString(static_cast<int>(fieldNameId)));
        file.Write(",");
        for (std::uint32_t v = 0; v < valueCount; ++v) {
            std::uint32_t cell = 0;
            reader.ReadU32(cell);
            if (v != 0) file.Write(";");
            WriteValue(file, strings, valueType, cell);
        }
        file.Write(",\n");
    }
    return file.Close() ? RecordTextResult::written : RecordTextResult::writeFailed;
}

const char* RecordTextFailure(RecordTextResult result) {
    switch (result) {
        case RecordTextResult::written: return "written";
        case RecordTextResult::notFound: return "not found in database";
        case RecordTextResult::unreadable: return "not exported, its data could not be read";
        case RecordTextResult::notCreated: return "not exported, it cannot be created";
        case RecordTextResult::linkOnTheWay: return "not exported, a folder on its way is a symbolic link";
        case RecordTextResult::writeFailed: return "not exported whole, writing it failed";
    }
    return "not exported";
}

bool ExportAllRecords(Database& database, const std::string& location) {
    const std::vector<std::string> names = database.GetRecordNames();
    const unsigned int count = static_cast<unsigned int>(names.size());
    platform::OutputFolder output(location.c_str());
    bool allWritten = true;
    for (unsigned int i = 0; i < count && platform::StopSignal() == 0; ++i) {
        const std::string& name = names[i];
        std::printf("(%u/%u) Extracting %s\n", i + 1, count, name.c_str());
        // Record names come from the file: never write outside the location.
        const char* failure = nullptr;
        if (!platform::IsContainedRelativePath(name)) {
            failure = "not exported, its name leaves the output folder";
        } else {
            const RecordTextResult result = database.WriteRecordBelow(output, name);
            if (result != RecordTextResult::written) failure = RecordTextFailure(result);
        }
        if (failure == nullptr) continue;
        allWritten = false;
        std::fflush(stdout);
        std::fprintf(stderr, "record: %s %s.\n", name.c_str(), failure);
    }
    return allWritten;
}

}  // namespace GAME
