// The commands that describe an archive: -list and -stats.
#pragma once

namespace GAME {
class Archive;
}

namespace tool {

/// Prints the name of every in-use record, in record order.
void ListFiles(const GAME::Archive& archive);

/// Prints the archive's counts and hash-chain figures.
void PrintStatistics(const GAME::Archive& archive);

}  // namespace tool
