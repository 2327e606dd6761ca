// The report over many archives: brannock -totalStats <report> <pattern>...
#pragma once

namespace tool {

/// Writes, to `reportPath`, a table of the stored files of every archive that `patterns` find,
/// grouped by file type, and a table of the archives themselves. A pattern without "*" prints
/// "Invalid path: <pattern>" and leaves the report empty. Gives true when the report was written
/// whole over every archive found; each failure has its own line on standard error.
bool WriteTotalStatistics(const char* reportPath, int numPatterns, char** patterns);

}  // namespace tool
