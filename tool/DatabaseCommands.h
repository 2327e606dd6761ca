// The command that exports a compiled record database as text: -database.
#pragma once

namespace GAME {
class Database;
}

namespace tool {

/// Loads the database file at `path` into `database`. Gives false when the file cannot be read
/// or is not a database.
bool LoadDatabase(const char* path, GAME::Database& database);

/// With `recordName`, writes that one record as text to the file `location`; without, writes
/// every record under the folder `location` (normalised; empty for the current directory).
void ExportDatabase(GAME::Database& database, const char* location, const char* recordName);

}  // namespace tool
