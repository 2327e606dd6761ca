#include "tool/RemoveMissing.h"

#include <cstdio>
#include <string>

#include "Engine/Archive.h"
#include "platform/FileSystem.h"
#include "platform/Signals.h"
#include "tool/editor/ArchiveStatistics.h"

namespace tool {
namespace {

// More free records than this fraction makes -removeMissing compact.
constexpr float compactionThreshold = 0.25f;

}  // namespace

bool RemoveMissingFiles(GAME::Archive& archive, const char* directory) {
    // A mistyped folder would make every file look missing: remove nothing then.
    platform::FileAttributes folder;
    if (!platform::GetFileAttributes(directory, &folder) || !folder.isDirectory) {
        std::fprintf(stderr, "Invalid path %s\n", directory);
        return false;
    }
    const unsigned int count = archive.GetNumFiles();
    for (unsigned int i = 0; i < count && platform::StopSignal() == 0; ++i) {
        const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
        if (!(entry.flags & GAME::Archive::fileFlagInUse) || entry.name == nullptr) continue;
        // The directory as typed, then always one '/': the printed path shows exactly what was
        // looked for.
        const std::string path = std::string(directory) + "/" + entry.name;
        platform::FileAttributes attributes;
        if (platform::GetFileAttributes(path.c_str(), &attributes)) continue;
        std::printf("removing file: %s\n", path.c_str());
        archive.RemoveFile(static_cast<int>(i));
    }
    if (platform::StopSignal() != 0) return true;
    GAME::ArchiveStatistics stats;
    archive.GetStatistics(stats);
    if (stats.numEntries == 0) return true;
    const float freeFraction =
        static_cast<float>(stats.numEntries - stats.numActiveFiles) / static_cast<float>(stats.numEntries);
    if (freeFraction > compactionThreshold) archive.Compact();
    return true;
}

}  // namespace tool
