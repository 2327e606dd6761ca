// Creating files below a destination folder without ever leaving it through a symbolic link
// that already lies inside. Paths may use '\' or '/' as the separator.
#pragma once

#include <string>
#include <vector>

#include "platform/FileHandle.h"

namespace platform {

/// Why OutputFolder::Create gave no file.
enum class OutputRefusal {
    none,
    linkOnTheWay,  // a folder between the destination and the file is a symbolic link
    failed,        // anything else; the last-error value (platform/Process.h) tells what
};

/// The destination of a run of output files: extraction and the record export. The destination
/// itself is taken as given (it may be a link the user chose) and created when missing; below
/// it nothing is followed. A folder on the way that is a symbolic link refuses the file, and a
/// symbolic link (dangling or not) where the file goes is removed and a regular file made in
/// its place, so that its target is never written. The folders below are opened one level at a
/// time from the one above, never by a path checked beforehand, so a link swapped in meanwhile
/// cannot redirect the file either. The folders of the previous file stay open, which saves
/// reopening them for the next file in the same folder.
class OutputFolder {
public:
    /// `root` null or empty means the current directory. Nothing is created or opened yet.
    explicit OutputFolder(const char* root);
    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    /// Creates the file at `relativePath` below the destination, with the folders missing on the
    /// way, or cuts an existing regular file to length 0; opened for writing, as OpenOutputFile
    /// opens. Empty components of the path are passed over. Gives invalidFileHandle on failure,
    /// with the reason in `*refusal` when that is not null.
    FileHandle Create(const std::string& relativePath, OutputRefusal* refusal = nullptr);

private:
    bool OpenRoot();
    void CloseFoldersFrom(std::size_t level);

    std::string root;
    FileHandle rootHandle = invalidFileHandle;
    std::vector<std::string> folderNames;  // the folders below the root that are open, outermost first
    std::vector<FileHandle> folderHandles;
};

/// One file below `root`, as OutputFolder::Create makes it.
FileHandle CreateFileBelow(const char* root, const std::string& relativePath, OutputRefusal* refusal = nullptr);

}  // namespace platform
