#include "tool/ExtractCommands.h"

#include <cstdio>

#include "Engine/Archive.h"
#include "platform/FileSystem.h"
#include "platform/Signals.h"
#include "tool/ArchiveStatistics.h"
#include "tool/NormalizePath.h"

namespace {

// More free records than this fraction makes -removeMissing compact.
constexpr float compactionThreshold = 0.25f;

}  // namespace

void ExtractFiles(GAME::Archive& archive, const char* location, const char* fileName) {
    if (fileName == nullptr) {
        archive.ExtractAllFiles(location);
        return;
    }
    const int index = archive.FindFile(fileName);
    if (index < 0) {
        std::fprintf(stderr, "file: %s not found in archive.\n", fileName);
        return;
    }
    archive.ExtractFile(index, location);
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
    if (!destination.empty() && destination.back() != '/') destination += '/';
    return destination + ArchiveBaseName(archivePath);
}

void RemoveMissingFiles(GAME::Archive& archive, const char* directory) {
    const unsigned int count = archive.GetNumFiles();
    for (unsigned int i = 0; i < count && platform::StopSignal() == 0; ++i) {
        const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
        if (!(entry.flags & GAME::Archive::fileFlagInUse) || entry.name == nullptr) continue;
        const std::string path = std::string(directory) + "/" + entry.name;
        platform::FileAttributes attributes;
        if (platform::GetFileAttributes(path.c_str(), &attributes)) continue;
        std::printf("removing file: %s\n", path.c_str());
        archive.RemoveFile(static_cast<int>(i));
    }
    if (platform::StopSignal() != 0) return;
    GAME::ArchiveStatistics stats;
    archive.GetStatistics(stats);
    if (stats.numEntries == 0) return;
    const float freeFraction = static_cast<float>(stats.numEntries - stats.numActiveFiles) / static_cast<float>(stats.numEntries);
    if (freeFraction > compactionThreshold) archive.Compact();
}
