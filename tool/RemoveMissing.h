// The command that prunes an archive: -removeMissing.
#pragma once

namespace GAME {
class Archive;
}

namespace tool {

/// Removes every in-use record whose loose file is missing under `directory`, printing
/// "removing file: <directory>/<stored name>" for each; then compacts when more than a quarter
/// of the records are free. The loose file is looked for with ASCII case ignored below the
/// directory as typed (platform::CaseInsensitivePaths), so a tree spelt in mixed case keeps its
/// records. A `directory` that does not exist prints "Invalid path <directory>", removes nothing and
/// gives false.
bool RemoveMissingFiles(GAME::Archive& archive, const char* directory);

}  // namespace tool
