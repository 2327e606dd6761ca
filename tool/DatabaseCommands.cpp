#include "tool/DatabaseCommands.h"

#include <cstdio>
#include <string>
#include <vector>

#include "database/Database.h"
#include "platform/File.h"
#include "platform/Paths.h"
#include "tool/NormalizePath.h"

namespace tool {

bool LoadDatabase(const char* path, GAME::Database& database) {
    std::vector<unsigned char> image;
    return platform::ReadWholeFile(path, &image, largestDatabaseBytes) && database.Load(image.data(), image.size());
}

bool ExportDatabase(GAME::Database& database, const char* location, const char* recordName) {
    if (recordName != nullptr) {
        const GAME::RecordTextResult result = database.WriteRecordFile(location, recordName);
        if (result == GAME::RecordTextResult::notCreated)
            std::fprintf(stderr, "record: %s not exported, %s cannot be created.\n", recordName, location);
        else if (result != GAME::RecordTextResult::written)
            std::fprintf(stderr, "record: %s %s.\n", recordName, GAME::RecordTextFailure(result));
        return result == GAME::RecordTextResult::written;
    }
    std::string folder = location != nullptr ? location : "";
    NormalizePath(folder);
    return GAME::ExportAllRecords(database, platform::JoinPath(folder, ""));
}

}  // namespace tool
