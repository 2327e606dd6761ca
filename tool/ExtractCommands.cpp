#include "tool/ExtractCommands.h"

#include <cstdio>
#include <vector>

#include "Engine/Archive.h"
#include "platform/Paths.h"
#include "tool/NamePattern.h"
#include "tool/NormalizePath.h"
#include "tool/editor/ArchiveExtractor.h"

namespace tool {

bool ExtractFiles(GAME::Archive& archive, const char* location, const char* fileName, const std::string& folder) {
    if (fileName == nullptr) return archive.ExtractAllFiles(location, folder);
    const int index = archive.FindFile(fileName);
    if (index >= 0) return archive.ExtractFile(index, location);
    // A stored name that is the argument itself was taken above, wildcards and all.
    if (IsNamePattern(fileName)) {
        std::string pattern;
        GAME::Archive::NormalizeFileName(fileName, pattern);
        std::vector<int> chosen;
        for (unsigned int i = 0; i < archive.GetNumFiles(); ++i) {
            const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
            if ((entry.flags & GAME::Archive::fileFlagInUse) && entry.name != nullptr &&
                MatchesNamePattern(pattern, entry.name))
                chosen.push_back(static_cast<int>(i));
        }
        if (!chosen.empty()) return GAME::ArchiveExtractor(archive, location).ExtractRecords(chosen, std::string());
    }
    std::fprintf(stderr, "file: %s not found in archive.\n", fileName);
    return false;
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
