// The command that takes files out of an archive: -extract.
#pragma once

#include <string>

namespace GAME {
class Archive;
}

namespace tool {

/// With `fileName`, extracts that one stored file under `location` or, when no stored name is
/// `fileName` and it holds a wildcard, every file whose name matches it (MatchesNamePattern),
/// each with a "(k / m) name" line ("file: ... not found in archive." when nothing is there);
/// without, extracts every file under `location` + "/" +
/// `folder`. The location is normalised as NormalizePath says (an absolute one stays absolute),
/// and folders and files that exist under another case are used as they are spelt on disk.
/// Links below `location` are never followed (GAME::Archive::ExtractFile). Gives true when every
/// file asked for was extracted whole; each one that was not has a line saying why.
bool ExtractFiles(GAME::Archive& archive, const char* location, const char* fileName,
                  const std::string& folder = std::string());

/// The archive's base name: the normalised path's last component up to its first dot, or the
/// whole last component when the first dot of the path lies in a directory name.
std::string ArchiveBaseName(const char* archivePath);

/// Where -extract without a file name writes: the normalised location, a "/" unless it is empty
/// or ends in one, then the archive's base name. (The run itself is given the location and the
/// base name apart, as the base-name folder is checked for links and the location is not.)
std::string ExtractionDestination(const char* location, const char* archivePath);

}  // namespace tool
