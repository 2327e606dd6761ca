// The command that exports a compiled record database as text: -database.
#pragma once

#include <cstdint>

namespace GAME {
class Database;
}

namespace tool {

/// The longest database file the tool loads: it is read whole, and its records are kept beside
/// it, so a longer one (damaged, or a sparse file claiming a size it never held) is refused
/// rather than allowed to take the machine's memory.
constexpr std::uint64_t largestDatabaseBytes = std::uint64_t(1) << 30;

/// Loads the database file at `path` into `database`. Gives false when the file cannot be read,
/// is longer than largestDatabaseBytes, does not fit in memory, or is not a database.
bool LoadDatabase(const char* path, GAME::Database& database);

/// With `recordName`, writes that one record as text to the file `location` (as typed); without,
/// writes every record under the folder `location` (normalised as NormalizePath says, so an
/// absolute one stays absolute; empty for the current directory), using the folders that exist
/// under another case as they are spelt on disk.
/// Each record not written gets a line on standard error; gives true when none failed.
bool ExportDatabase(GAME::Database& database, const char* location, const char* recordName);

}  // namespace tool
