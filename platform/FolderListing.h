// Finding existing files and folders by names compared with ASCII case ignored, as file-name
// look-ups on Windows find them, also on systems whose file names tell case apart. A folder is
// listed once and its names kept, so that looking up many names below it costs a hash look-up
// per path component, not a scan of the folder per name.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/FileHandle.h"

namespace platform {

/// The entries of one folder, found again by name with ASCII case ignored.
class FolderListing {
public:
    /// Adds an entry: `isFolder` when it is a folder itself (a link to one is not). An entry of
    /// exactly that name already there is kept as it is.
    void Add(const std::string& name, bool isFolder);

    /// The entry to use for `name`: the one named exactly so when there is one; else the only
    /// one whose name equals `name` with ASCII case ignored; else, of several such, the first in
    /// byte order among those that are folders when `wantFolder` (that are not, when not), or
    /// the first in byte order when none is of that kind. Null when no entry's name folds to
    /// `name`. The text stays valid until the next Add.
    const std::string* Match(const std::string& name, bool wantFolder) const;

    /// Every entry whose name equals `name` with ASCII case ignored: `name` itself first when it
    /// is there, then the others in byte order.
    std::vector<std::string> Spellings(const std::string& name) const;

    /// The number of entries.
    std::size_t Size() const { return count; }

private:
    struct Entry {
        std::string name;
        bool isFolder;
    };
    // By the name with ASCII upper case lowered; the entries of one key in byte order.
    std::unordered_map<std::string, std::vector<Entry>> entries;
    std::size_t count = 0;
};

/// The components of a relative path ('/' or '\\' separated), empty ones and "." left out.
std::vector<std::string> PathComponents(const std::string& path);

/// Reads the entries of the folder at `path` (links followed; null or empty for the current
/// directory) into `*listing`, "." and ".." left out. Gives false when it cannot be read.
bool ListFolder(const char* path, FolderListing* listing);

/// The same for a folder open as `folder` (platform::OutputFolder holds its folders so): the
/// entries come from that folder itself, not from a path to it that a link could redirect.
bool ListOpenFolder(FileHandle folder, FolderListing* listing);

/// The existing files and folders below a root folder, looked up by relative paths whose
/// components are compared with ASCII case ignored: what a path would find on Windows. Each
/// folder is listed at most once per object.
class CaseInsensitivePaths {
public:
    /// `root` is taken as given (null or empty: the current directory). Nothing is read yet.
    explicit CaseInsensitivePaths(const char* root);

    /// True when something exists, links followed (as GetFileAttributes finds it), at a path
    /// below the root whose components equal those of `relativePath` ('/' or '\' separated;
    /// empty and "." components passed over) with ASCII case ignored. The path as given is
    /// tried first; when several folders on the way fold to the same name, the entry is looked
    /// for in each of them. A path with a ".." component is found only as given. `*found`, when
    /// not null, gets the root joined with the real path.
    bool Find(const std::string& relativePath, std::string* found = nullptr);

    /// How many folders this object has listed.
    std::size_t FoldersListed() const { return foldersListed; }

private:
    const FolderListing& ListingOf(const std::string& folder);

    std::string root;
    // The listings read, by the folder's path (root joined with real names).
    std::unordered_map<std::string, FolderListing> listings;
    // The real folders a relative folder path stands for, by that path folded to lower case:
    // "" is the root itself.
    std::unordered_map<std::string, std::vector<std::string>> folders;
    std::size_t foldersListed = 0;
};

}  // namespace platform
