#include "tool/DatabaseCommands.h"

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

void ExportDatabase(GAME::Database& database, const char* location, const char* recordName) {
    if (recordName != nullptr) {
        database.WriteRecordText(location, recordName);
        return;
    }
    std::string folder = location != nullptr ? location : "";
    NormalizePath(folder);
    GAME::ExportAllRecords(database, platform::JoinPath(folder, ""));
}

}  // namespace tool
