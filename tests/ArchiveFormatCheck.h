// Checks an archive file's bytes against the promises of the format, without the archive code:
// table sizes, the file length, runs that ascend without overlap, block and name offsets, and
// indexOffset at the end of the data. Failures are reported as test failures.
#pragma once

#include <cstdint>
#include <string>

namespace test {

void CheckArchiveFormat(const std::string& bytes);

/// Where the index that an archive's header describes ends; 0 for a file shorter than a header.
std::uint64_t IndexEnd(const std::string& bytes);

}  // namespace test
