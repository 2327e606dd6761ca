// The report over many archives: brannock -totalStats <report> <pattern>...
#pragma once

namespace tool {

/// Writes, to `reportPath`, a table of the stored files of every archive that `patterns` find,
/// grouped by file type, and a table of the archives themselves. A pattern without "*" prints
/// "Invalid path: <pattern>" and leaves the report empty.
void WriteTotalStatistics(const char* reportPath, int numPatterns, char** patterns);

}  // namespace tool
