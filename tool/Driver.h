// The brannock command line: brannock <archive> <command> [arguments].
#pragma once

#include <cstdint>
#include <string>

namespace tool {

/// Runs one command as the words after the program name say, and gives the process's exit
/// status: 0 when a command ran, 255 when the archive could not be opened or the command was
/// unknown or short of arguments, 1 when the archive could not be written back, and 128 + the
/// signal when a stop signal ended the work.
int RunCommandLine(int argc, char** argv);

/// The "Operation completed in mm:ss" line for a run of `milliseconds`, or "" under a second.
/// Minutes are not limited to two digits.
std::string ElapsedTimeLine(std::uint32_t milliseconds);

}  // namespace tool
