// Creating files below a destination folder without ever leaving it through a symbolic link
// that already lies inside. Paths may use '\' or '/' as the separator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/FileHandle.h"

namespace platform {

/// Why OutputFolder::Create gave no file.
enum class OutputRefusal {
    none,
    linkOnTheWay,  // a folder between the destination and the file is a symbolic link
    keptFile,      // the file is one the caller said must not be written (KeepUntouched)
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
///
/// Names are looked up on disk with ASCII case ignored, as on Windows: a folder of the
/// destination's path, a folder below it or the file itself that exists under another case is
/// used under its own name (FolderListing::Match picks it: the exact spelling first), and only
/// what does not exist is made, spelt as asked. The entry is picked from a listing of the folder
/// already open above it and then opened by that name with the same rules; each folder is listed
/// at most once per object, and what the object makes is added to the listing it keeps. Windows
/// looks names up so itself: there nothing is listed, and the folders on the way are held open
/// without the right to delete them, so that none can be renamed or replaced while it is used.
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

    /// Makes Create refuse, with OutputRefusal::keptFile and before cutting anything, the file
    /// whose identity (GetFileIdentity) is `volume` and `fileId`, whatever name or link leads to
    /// it: an extraction never writes over the archive it reads.
    void KeepUntouched(std::uint64_t volume, std::uint64_t fileId) {
        keptVolume = volume;
        keptFileId = fileId;
        keepingFile = true;
    }

    /// How many folders this object has listed to look names up in.
    std::size_t FoldersListed() const;

private:
    // What the system's own side keeps: the destination and the folders on the way held open
    // and, where names are looked up in listings, the listings. Each system's OutputFolder.cpp
    // defines it.
    struct State;

    // The system's own side, in its OutputFolder.cpp.

    // The system's error values for what the checks common to every system refuse.
    static const int invalidNameError;  // a component that names no place below the folder
    static const int noNameError;       // a path of no component
    static const int keptFileError;     // the file that must stay untouched
    // True when `component`, though not "..", names no place below the folder on this system.
    static bool LeadsElsewhere(const std::string& component);
    bool OpenRoot();
    // Create once the destination is open and the path checked: `components` are not empty.
    FileHandle CreateBelowRoot(const std::vector<std::string>& components, OutputRefusal* why);

    // Common to every system, in platform/OutputFolder.cpp.

    // False, with the reason in `*why` and the last-error value, when the open `file` must not
    // be written: it is the one to keep untouched, or its identity cannot be had to tell.
    bool MayWrite(FileHandle file, OutputRefusal* why) const;
    // The same for a file whose identity the caller has already taken.
    bool MayWrite(std::uint64_t volume, std::uint64_t fileId, OutputRefusal* why) const;

    std::unique_ptr<State> state;
    bool keepingFile = false;
    std::uint64_t keptVolume = 0;
    std::uint64_t keptFileId = 0;
};

/// One file below `root`, as OutputFolder::Create makes it.
FileHandle CreateFileBelow(const char* root, const std::string& relativePath, OutputRefusal* refusal = nullptr);

}  // namespace platform
