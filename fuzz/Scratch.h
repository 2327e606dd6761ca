// The scratch space of one fuzzing process: a folder under the system's temporary directory
// (TMPDIR when set), made on first use and removed with everything in it when the process ends
// through exit() or a return from main, as libFuzzer and the test runner end. A process that
// crashes leaves it behind, beside the input that made it crash.
#pragma once

#include <filesystem>
#include <string>

namespace fuzz {

/// The process's folder for one input, created on first use and emptied by each call.
const std::filesystem::path& FreshScratch();

/// The path of a file that lasts for the whole process: kept apart from the per-input folder,
/// so that FreshScratch leaves it alone, and removed with the rest when the process ends.
std::filesystem::path ProcessScratchFile(const std::string& name);

}  // namespace fuzz
