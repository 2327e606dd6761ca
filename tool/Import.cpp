#include "tool/Import.h"

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Engine/Archive.h"
#include "platform/FileSystem.h"
#include "platform/Signals.h"
#include "tool/NormalizePath.h"
#include "tool/editor/NotAdded.h"

namespace tool {
namespace {

// Only regular files are read: a FIFO would wait for a writer and a device might never end.
// Anything else is skipped with a line naming it as the "added:" lines would.
bool IsImportable(const char* fileName, const platform::FileAttributes& attributes) {
    if (attributes.isRegularFile) return true;
    std::string shown = fileName;
    NormalizePath(shown);
    GAME::ReportNotAdded(shown.c_str(), "it is not a regular file");
    return false;
}

// The loose file each stored name was added from in this run, as it was found: loose names
// that differ only in case or separators become one stored name.
std::map<std::string, std::string> addedThisRun;

// The folders entered in this run, by volume and file id: a folder reached again through a
// link (a loop such as loop -> .) is not entered twice.
std::set<std::pair<std::uint64_t, std::uint64_t>> foldersEntered;

// Loose files of this run that could not be added (each told by its own line).
unsigned int additionsFailed = 0;

}  // namespace

bool ImportPath(GAME::Archive& archive, const char* path, const char* basePath, int compressionLevel, int importMode) {
    addedThisRun.clear();
    additionsFailed = 0;
    foldersEntered.clear();
    platform::FileAttributes attributes;
    std::string savedDirectory;
    if (!platform::GetFileAttributes(basePath, &attributes) || !attributes.isDirectory ||
        !platform::GetCurrentDirectory(&savedDirectory) || !platform::SetCurrentDirectory(basePath)) {
        // A mistyped base would otherwise import nothing without a word.
        std::fprintf(stderr, "Invalid path %s\n", basePath);
        return false;
    }

    bool valid = true;
    if (!platform::GetFileAttributes(path, &attributes)) {
        const std::string text = path;
        const std::size_t separator = text.find_last_of("\\/");
        if (separator == std::string::npos || separator + 1 == text.size()) {
            std::fprintf(stderr, "Invalid path %s\n", path);
            valid = false;
        } else {
            const std::string directory = text.substr(0, separator);
            const std::string pattern = text.substr(separator + 1);
            ImportDirectory(archive, directory.c_str(), true, compressionLevel, importMode, pattern.c_str());
        }
    } else if (attributes.isDirectory) {
        ImportDirectory(archive, path, true, compressionLevel, importMode, nullptr);
    } else if (IsImportable(path, attributes)) {
        ImportFile(archive, path, compressionLevel, importMode);
    }
    platform::SetCurrentDirectory(savedDirectory.c_str());
    return valid && additionsFailed == 0;
}

void ImportDirectory(GAME::Archive& archive, const char* directory, bool recursive, int compressionLevel,
                     int importMode, const char* pattern) {
    platform::FileAttributes folder;
    if (platform::GetFileAttributes(directory, &folder) &&
        !foldersEntered.insert({folder.volume, folder.fileId}).second)
        return;
    const std::string prefix = std::string(directory) + "/";
    std::vector<platform::FoundFile> found;
    if (recursive && platform::FindFiles((prefix + "*").c_str(), &found)) {
        for (const platform::FoundFile& entry : found) {
            if (platform::StopSignal() != 0) return;
            if (!entry.attributes.isDirectory || entry.name[0] == '.') continue;
            ImportDirectory(archive, (prefix + entry.name).c_str(), recursive, compressionLevel, importMode, pattern);
        }
    }
    found.clear();
    if (!platform::FindFiles((prefix + (pattern != nullptr ? pattern : "*")).c_str(), &found)) return;
    for (const platform::FoundFile& entry : found) {
        if (platform::StopSignal() != 0) return;
        if (entry.attributes.isDirectory) continue;
        const std::string fileName = prefix + entry.name;
        if (IsImportable(fileName.c_str(), entry.attributes))
            ImportFile(archive, fileName.c_str(), compressionLevel, importMode);
    }
}

void ImportFile(GAME::Archive& archive, const char* fileName, int compressionLevel, int importMode) {
    if (importMode == importModeUpdate) {
        const int index = archive.FindFile(fileName);
        platform::FileAttributes attributes;
        if (index >= 0 && platform::GetFileAttributes(fileName, &attributes) &&
            attributes.lastWriteTime > archive.GetFileEntry(index).fileTime)
            archive.RemoveFile(archive.FindFile(fileName));
    } else if (importMode == importModeReplace) {
        const int index = archive.FindFile(fileName);
        if (index >= 0) archive.RemoveFile(index);
    }
    std::string shown = fileName;
    NormalizePath(shown);
    std::string stored;
    GAME::Archive::NormalizeFileName(fileName, stored);
    const auto earlier = addedThisRun.find(stored);
    const bool sameNameEarlier = earlier != addedThisRun.end() && earlier->second != fileName;
    const bool nameStored = archive.FindFile(fileName) >= 0;
    if (archive.AddFile(fileName, compressionLevel) < 0) {
        // A name already stored is left alone by rule; anything else is a failure, told already.
        if (!nameStored) ++additionsFailed;
        // Another loose file of this run took the name first: say which, rather than drop this one.
        if (sameNameEarlier && archive.FindFile(fileName) >= 0) {
            std::fflush(stdout);
            std::fprintf(stderr, "%s: not added, %s has the same name in the archive.\n", fileName,
                         earlier->second.c_str());
        }
        return;
    }
    std::printf("added: %s\n", shown.c_str());
    std::fflush(nullptr);
    if (sameNameEarlier)
        std::fprintf(stderr, "%s: replaced by %s, which has the same name in the archive.\n", earlier->second.c_str(),
                     fileName);
    addedThisRun[stored] = fileName;
}

}  // namespace tool
