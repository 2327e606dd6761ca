#include "tool/RemoveMissing.h"

#include <cstdio>
#include <string>

#include "Engine/Archive.h"
#include "Engine/ArchiveStatistics.h"
#include "platform/FileSystem.h"
#include "platform/FolderListing.h"
#include "platform/Signals.h"
#include "tool/CommittedReport.h"

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
    // Stored names are lower case; the loose files keep whatever case they were made with. As
    // on Windows, a file is there when its path below the directory matches the stored name
    // with ASCII case ignored.
    platform::CaseInsensitivePaths disk(directory);
    // Each line is told once the removal is committed.
    CommittedReport report(archive);
    const unsigned int count = archive.GetNumFiles();
    for (unsigned int i = 0; i < count && platform::StopSignal() == 0; ++i) {
        const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
        if (!(entry.flags & GAME::Archive::fileFlagInUse) || entry.name == nullptr) continue;
        if (disk.Find(entry.name)) continue;
        // The directory as typed, then always one '/', then the stored name.
        const std::string path = std::string(directory) + "/" + entry.name;
        archive.RemoveFile(static_cast<int>(i));
        report.Hold("removing file: " + path + "\n", path + ": not removed, the archive could not be written.\n");
        if (!report.Release(false)) return false;
    }
    if (!report.Release(true)) return false;
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
