#include "tool/ExtractCommands.h"

#include <cstdio>

#include "Engine/Archive.h"
#include "platform/Paths.h"
#include "tool/NormalizePath.h"

namespace tool {

bool ExtractFiles(GAME::Archive& archive, const char* location, const char* fileName, const std::string& folder) {
    if (fileName == nullptr) return archive.ExtractAllFiles(location, folder);
    const int index = archive.FindFile(fileName);
    if (index < 0) {
        std::fprintf(stderr, "file: %s not found in archive.\n", fileName);
        return false;
    }
    return archive.ExtractFile(index, location);
}

std::string ArchiveBaseName(const char* archivePath) {
    std::string path = archivePath;
    NormalizePath(path);
    const std::size_t firstDot = path.find('.');
    const std::size_t dot = firstDot == std::string::npos ? path.size() : firstDot;
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return path.substr(0, dot);
    if (dot > slash) return path.substr(slash + 1, dot - slash - 1);
    return path.substr(slash + 1);
}

std::string ExtractionDestination(const char* location, const char* archivePath) {
    std::string destination = location;
    NormalizePath(destination);
    return platform::JoinPath(destination, ArchiveBaseName(archivePath));
}

}  // namespace tool
