// The command that takes files out of an archive: -extract.
#pragma once

#include <string>

namespace GAME {
class Archive;
}

namespace tool {

/// With `fileName`, extracts that one stored file under `location` ("file: ... not found in
/// archive." when it is not there); without, extracts every file under `location`.
void ExtractFiles(GAME::Archive& archive, const char* location, const char* fileName);

/// The archive's base name: the normalised path's last component up to its first dot, or the
/// whole last component when the first dot of the path lies in a directory name.
std::string ArchiveBaseName(const char* archivePath);

/// Where -extract without a file name writes: the normalised location, a "/" unless it is empty
/// or ends in one, then the archive's base name.
std::string ExtractionDestination(const char* location, const char* archivePath);

}  // namespace tool
