// The spelling of output locations and progress lines.
#pragma once

#include <string>

namespace tool {

/// Turns every '\' into '/' and ASCII upper case into lower case; strips nothing.
void NormalizePath(std::string& path);

}  // namespace tool
