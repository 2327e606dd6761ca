// A scratch folder for one fuzzing process, emptied between inputs.
#pragma once

#include <filesystem>
#include <string>

namespace fuzz {

/// The process's scratch folder, created on first use and emptied by each call.
const std::filesystem::path& FreshScratch();

}  // namespace fuzz
