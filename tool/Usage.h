// The usage text of the command line.
#pragma once

namespace tool {

/// Writes the usage text to standard output.
void PrintUsage();

}  // namespace tool
