#include "tool/Import.h"

#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Engine/Archive.h"
#include "Engine/ArchiveFormat.h"
#include "platform/FileSystem.h"
#include "platform/Signals.h"
#include "tool/CommittedReport.h"
#include "tool/NormalizePath.h"
#include "tool/editor/BlockCompressor.h"
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

// The "added:" lines of the run, released as their files are committed; null outside a run.
CommittedReport* report = nullptr;

// Worker threads that pack compressed additions ahead (0: one per core, 1: none, all inline).
unsigned int packingThreads = 0;

// Files announced to the packing workers ahead of the one being added.
constexpr std::size_t announceAhead = 4096;

// A loose file found by the walk.
struct LooseFile {
    std::string name;
    platform::FileAttributes attributes;
};

// The files of `directory` in import order: those of every subdirectory first (depth first,
// names starting with "." not entered), then its own that match `pattern`.
void FindLooseFiles(const char* directory, bool recursive, const char* pattern, std::vector<LooseFile>& files) {
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
            FindLooseFiles((prefix + entry.name).c_str(), recursive, pattern, files);
        }
    }
    found.clear();
    if (!platform::FindFiles((prefix + (pattern != nullptr ? pattern : "*")).c_str(), &found)) return;
    for (const platform::FoundFile& entry : found)
        if (!entry.attributes.isDirectory) files.push_back(LooseFile{prefix + entry.name, entry.attributes});
}

// Whether ImportFile will add `file`, as far as the archive tells now; a guess that turns out
// wrong costs only the packing done ahead.
bool WillBeAdded(GAME::Archive& archive, const LooseFile& file, int importMode) {
    if (!file.attributes.isRegularFile) return false;
    if (importMode == importModeReplace) return true;
    const int index = archive.FindFile(file.name.c_str());
    if (index < 0) return true;
    return importMode == importModeUpdate && file.attributes.lastWriteTime > archive.GetFileEntry(index).fileTime;
}

// Imports `files` in order. Worker threads read them ahead (and pack them, for compressed
// additions), the archive receiving the same bytes as from one thread.
void ImportFiles(GAME::Archive& archive, const std::vector<LooseFile>& files, int compressionLevel, int importMode) {
    std::unique_ptr<GAME::BlockCompressor> compressor;
    if (!files.empty() && packingThreads != 1) {
        compressor =
            std::make_unique<GAME::BlockCompressor>(packingThreads, GAME::archiveBlockSize, compressionLevel != 0);
        if (compressor->Threads() > 1 || packingThreads > 1) archive.UseBlockCompressor(compressor.get());
    }
    std::size_t announced = 0;
    for (std::size_t i = 0; i < files.size() && platform::StopSignal() == 0; ++i) {
        for (; compressor != nullptr && announced < files.size() && announced < i + announceAhead; ++announced)
            if (WillBeAdded(archive, files[announced], importMode)) compressor->Expect(files[announced].name);
        if (IsImportable(files[i].name.c_str(), files[i].attributes))
            ImportFile(archive, files[i].name.c_str(), compressionLevel, importMode);
        if (report != nullptr && !report->Release(false)) ++additionsFailed;
    }
    archive.UseBlockCompressor(nullptr);
}

}  // namespace

void SetPackingThreads(unsigned int threads) { packingThreads = threads; }

namespace {
bool ImportPathReported(GAME::Archive& archive, const char* path, const char* basePath, int compressionLevel,
                        int importMode);
}  // namespace

bool ImportPath(GAME::Archive& archive, const char* path, const char* basePath, int compressionLevel, int importMode) {
    CommittedReport runReport(archive);
    report = &runReport;
    const bool imported = ImportPathReported(archive, path, basePath, compressionLevel, importMode);
    // Whatever stopped the run, what it added is committed before it is told.
    const bool committed = runReport.Release(true);
    report = nullptr;
    return imported && committed;
}

namespace {

bool ImportPathReported(GAME::Archive& archive, const char* path, const char* basePath, int compressionLevel,
                        int importMode) {
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
    } else {
        ImportFiles(archive, {LooseFile{path, attributes}}, compressionLevel, importMode);
    }
    platform::SetCurrentDirectory(savedDirectory.c_str());
    return valid && additionsFailed == 0;
}

}  // namespace

void ImportDirectory(GAME::Archive& archive, const char* directory, bool recursive, int compressionLevel,
                     int importMode, const char* pattern) {
    std::vector<LooseFile> files;
    FindLooseFiles(directory, recursive, pattern, files);
    ImportFiles(archive, files, compressionLevel, importMode);
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
    const std::string line = "added: " + shown + "\n";
    if (report != nullptr) {
        report->Hold(line, shown + ": not added, the archive could not be written.\n");
    } else {
        std::fputs(line.c_str(), stdout);
        std::fflush(nullptr);
    }
    if (sameNameEarlier)
        std::fprintf(stderr, "%s: replaced by %s, which has the same name in the archive.\n", earlier->second.c_str(),
                     fileName);
    addedThisRun[stored] = fileName;
}

}  // namespace tool
