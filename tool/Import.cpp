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
#include "tool/editor/ArchiveEditor.h"
#include "tool/editor/BlockCompressor.h"
#include "tool/editor/FileAddition.h"

namespace tool {
namespace {

// Files announced to the packing workers ahead of the one being added, and how many go at once.
constexpr std::size_t announceAhead = 4096;
constexpr std::size_t announceBatch = 64;

// A loose file found by the walk, with the name it is stored under.
struct LooseFile {
    std::string name;
    platform::FileAttributes attributes;
    GAME::StoredName stored;
};

LooseFile FoundLooseFile(std::string name, const platform::FileAttributes& attributes) {
    GAME::StoredName stored = GAME::Archive::MakeStoredName(name.c_str());
    return LooseFile{std::move(name), attributes, std::move(stored)};
}

// One run of an import: what it has added, entered and failed so far, and the lines it holds
// until their files are committed.
class Importer {
public:
    Importer(GAME::Archive& archive, GAME::ArchiveEditor& editor, const ImportOptions& options)
        : archive(archive), editor(editor), options(options), report(archive) {}

    bool Run(const char* path, const char* basePath);

    /// Commits what the run added and releases its lines. False when that commit failed.
    bool Finish() { return report.Release(true); }

private:
    void ImportDirectory(const char* directory, const char* pattern);
    void FindLooseFiles(const char* directory, const char* pattern, std::vector<LooseFile>& files);
    void ImportFiles(const std::vector<LooseFile>& files);
    bool WillBeAdded(const LooseFile& file) const;
    bool IsImportable(const LooseFile& file);
    void ImportFile(const LooseFile& file);

    GAME::Archive& archive;
    GAME::ArchiveEditor& editor;
    const ImportOptions options;
    // The "added:" lines of the run, released as their files are committed.
    CommittedReport report;
    // The loose file each stored name was added from in this run, as it was found: loose names
    // that differ only in case or separators become one stored name.
    std::map<std::string, std::string> addedThisRun;
    // The folders entered in this run, by volume and file id: a folder reached again through a
    // link (a loop such as loop -> .) is not entered twice.
    std::set<std::pair<std::uint64_t, std::uint64_t>> foldersEntered;
    // Loose files of this run that could not be added (each told by its own line).
    unsigned int additionsFailed = 0;
};

bool Importer::Run(const char* path, const char* basePath) {
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
            ImportDirectory(directory.c_str(), pattern.c_str());
        }
    } else if (attributes.isDirectory) {
        ImportDirectory(path, nullptr);
    } else {
        ImportFiles({FoundLooseFile(path, attributes)});
    }
    platform::SetCurrentDirectory(savedDirectory.c_str());
    return valid && additionsFailed == 0;
}

// Imports the files of every subdirectory of `directory` (depth first, names starting with "."
// not entered), then its own files that match `pattern` (every file when null).
void Importer::ImportDirectory(const char* directory, const char* pattern) {
    std::vector<LooseFile> files;
    FindLooseFiles(directory, pattern, files);
    ImportFiles(files);
}

// The files of `directory` in import order: those of every subdirectory first, then its own that
// match `pattern`.
void Importer::FindLooseFiles(const char* directory, const char* pattern, std::vector<LooseFile>& files) {
    platform::FileAttributes folder;
    if (platform::GetFileAttributes(directory, &folder) &&
        !foldersEntered.insert({folder.volume, folder.fileId}).second)
        return;
    // One listing serves both: the folders to enter, then the files that match.
    const std::string prefix = std::string(directory) + "/";
    std::vector<platform::FoundFile> found;
    if (!platform::FindFiles((prefix + "*").c_str(), &found)) return;
    for (const platform::FoundFile& entry : found) {
        if (platform::StopSignal() != 0) return;
        if (!entry.attributes.isDirectory || entry.name[0] == '.') continue;
        FindLooseFiles((prefix + entry.name).c_str(), pattern, files);
    }
    for (const platform::FoundFile& entry : found)
        if (!entry.attributes.isDirectory &&
            (pattern == nullptr || platform::MatchWildcard(pattern, entry.name.c_str())))
            files.push_back(FoundLooseFile(prefix + entry.name, entry.attributes));
}

// Imports `files` in order. Worker threads read them ahead (and pack them, for compressed
// additions), the archive receiving the same bytes as from one thread.
void Importer::ImportFiles(const std::vector<LooseFile>& files) {
    std::unique_ptr<GAME::BlockCompressor> compressor;
    if (!files.empty() && options.packingThreads != 1) {
        compressor = std::make_unique<GAME::BlockCompressor>(options.packingThreads, GAME::archiveBlockSize,
                                                             options.compressionLevel != 0);
        if (compressor->Threads() > 1 || options.packingThreads > 1) editor.UseBlockCompressor(compressor.get());
    }
    // Announced in batches, well ahead of their turn: one hand-over to the workers a batch.
    std::size_t announced = 0;
    std::vector<std::string> batch;
    for (std::size_t i = 0; i < files.size() && platform::StopSignal() == 0; ++i) {
        for (; compressor != nullptr && announced < files.size() && announced < i + announceAhead; ++announced)
            if (WillBeAdded(files[announced])) batch.push_back(files[announced].name);
        if (compressor != nullptr &&
            (batch.size() >= announceBatch || (!batch.empty() && (i == 0 || announced == files.size())))) {
            compressor->Expect(batch);
            batch.clear();
        }
        if (IsImportable(files[i])) ImportFile(files[i]);
        if (!report.Release(false)) ++additionsFailed;
    }
    editor.UseBlockCompressor(nullptr);
}

// Whether ImportFile will add `file`, as far as the archive tells now; a guess that turns out
// wrong costs only the packing done ahead.
bool Importer::WillBeAdded(const LooseFile& file) const {
    if (!file.attributes.isRegularFile) return false;
    if (options.mode == ImportMode::replace) return true;
    const int index = archive.FindStored(file.stored);
    if (index < 0) return true;
    return options.mode == ImportMode::update && file.attributes.lastWriteTime > archive.GetFileEntry(index).fileTime;
}

// Only regular files are read: a FIFO would wait for a writer and a device might never end.
// Anything else is skipped with a line naming it as the "added:" lines would.
bool Importer::IsImportable(const LooseFile& file) {
    if (file.attributes.isRegularFile) return true;
    std::string shown = file.name;
    NormalizePath(shown);
    GAME::ReportNotAdded(shown.c_str(), GAME::AddStatus::notRegular);
    return false;
}

void Importer::ImportFile(const LooseFile& file) {
    const char* fileName = file.name.c_str();
    const int index = archive.FindStored(file.stored);
    if (options.mode == ImportMode::update) {
        // The walk's status of the file tells its time, as it tells its kind.
        if (index >= 0 && file.attributes.lastWriteTime > archive.GetFileEntry(index).fileTime) editor.Remove(index);
    } else if (options.mode == ImportMode::replace && index >= 0) {
        editor.Remove(index);
    }
    std::string shown = fileName;
    NormalizePath(shown);
    const auto earlier = addedThisRun.find(file.stored.text);
    const bool sameNameEarlier = earlier != addedThisRun.end() && earlier->second != file.name;
    const GAME::Addition added =
        GAME::AddLooseFile(editor, fileName, file.stored, options.compressionLevel, &file.attributes.lastWriteTime);
    if (added.status != GAME::AddStatus::added) {
        // A name already stored is left alone by rule; anything else is a failure, told here.
        GAME::ReportNotAdded(fileName, added.status);
        if (added.status != GAME::AddStatus::alreadyStored) ++additionsFailed;
        // Another loose file of this run took the name first: say which, rather than drop this one.
        if (sameNameEarlier && archive.FindStored(file.stored) >= 0) {
            std::fflush(stdout);
            std::fprintf(stderr, "%s: not added, %s has the same name in the archive.\n", fileName,
                         earlier->second.c_str());
        }
        return;
    }
    report.Hold("added: " + shown + "\n", shown + ": not added, the archive could not be written.\n");
    if (sameNameEarlier)
        std::fprintf(stderr, "%s: replaced by %s, which has the same name in the archive.\n", earlier->second.c_str(),
                     fileName);
    addedThisRun[file.stored.text] = file.name;
}

}  // namespace

bool ImportPath(GAME::Archive& archive, const char* path, const char* basePath, const ImportOptions& options) {
    GAME::ArchiveEditor* editor = GAME::EditorOf(archive);
    if (editor == nullptr) return false;
    Importer importer(archive, *editor, options);
    const bool imported = importer.Run(path, basePath);
    // Whatever stopped the run, what it added is committed before it is told.
    const bool committed = importer.Finish();
    return imported && committed;
}

}  // namespace tool
