#include "FuzzTargets.h"
#include "Scratch.h"
#include "database/Database.h"

namespace fuzz {

void RunDatabaseTarget(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path& scratch = FreshScratch();
    GAME::Database database;
    if (!database.Load(data, size)) return;
    GAME::ExportAllRecords(database, scratch.string() + "/");
    for (const std::string& name : database.GetRecordNames()) {
        database.WriteRecordText((scratch / "one.txt").string(), name);
        break;
    }
}

}  // namespace fuzz
