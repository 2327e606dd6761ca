// The spelling of output locations and progress lines.
#pragma once

#include <string>

namespace tool {

/// Turns every '\' into '/' and ASCII upper case into lower case; strips nothing. The rule for
/// an output location typed on the command line: unlike a stored name it keeps a leading '/'
/// (an absolute location stays absolute) and a leading "." or "..". Lower case costs nothing for
/// folders that exist: they are found whatever their case (platform::OutputFolder), and only
/// those made anew are spelt in lower case.
void NormalizePath(std::string& path);

}  // namespace tool
