// Whether the files of an extraction can be written in any order.
#pragma once

#include <string>
#include <vector>

#include "Engine/Archive.h"

namespace GAME {

/// True when every in-use record of `records` whose name stays below the output folder, written
/// to `folder` + "/" + its name, lands on a file of its own: no two on one file, none on a folder
/// another one goes through, and each folder spelt alike by every record that goes through it.
/// Names are compared as the output folder finds them on disk, with ASCII case ignored, and as
/// Windows finds them, trailing dots and spaces ignored. A name with a byte outside ASCII, a '~'
/// or a ':', which Windows may take for another spelling, counts as shared. Then the files may
/// be written side by side, in any order, and the result is the one of writing them in order.
bool OutputsAreIndependent(const Archive& archive, const std::vector<int>& records, const std::string& folder);

}  // namespace GAME
