#include "tool/Import.h"

#include <cstdio>
#include <string>
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

}  // namespace

void ImportPath(GAME::Archive& archive, const char* path, const char* basePath, int compressionLevel, int importMode) {
    platform::FileAttributes attributes;
    if (!platform::GetFileAttributes(basePath, &attributes) || !attributes.isDirectory) return;
    std::string savedDirectory;
    if (!platform::GetCurrentDirectory(&savedDirectory)) return;
    if (!platform::SetCurrentDirectory(basePath)) return;

    if (!platform::GetFileAttributes(path, &attributes)) {
        const std::string text = path;
        const std::size_t separator = text.find_last_of("\\/");
        if (separator == std::string::npos || separator + 1 == text.size()) {
            std::fprintf(stderr, "Invalid path %s\n", path);
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
}

void ImportDirectory(GAME::Archive& archive, const char* directory, bool recursive, int compressionLevel,
                     int importMode, const char* pattern) {
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
    if (archive.AddFile(fileName, compressionLevel) < 0) return;
    std::string shown = fileName;
    NormalizePath(shown);
    std::printf("added: %s\n", shown.c_str());
    std::fflush(nullptr);
}

}  // namespace tool
