// Settings of the additions to an archive.
#pragma once

#include <cstdint>

namespace GAME {

/// Stored bytes of one compressed addition held in memory while its place is not yet chosen;
/// the rest waits past the end of the archive's data, where an appended file lies anyway.
std::uint64_t StagingLimit();

/// For tests: sets StagingLimit; 0 puts back the default.
void SetStagingLimit(std::uint64_t bytes);

}  // namespace GAME
