// Files below a destination folder over Win32 calls. Windows has no call that opens a name
// inside an open folder; instead every folder on the way is held open without sharing the right
// to delete it, so that nobody can rename it, remove it or put a link in its place while the
// path through it is used. Windows looks names up with case ignored itself, so no folder is
// listed to find an existing spelling.
#include "platform/OutputFolder.h"

#include "platform/win32/WindowsHeaders.h"

#include <memory>
#include <string>
#include <vector>

#include "platform/Ascii.h"
#include "platform/FileSystem.h"

namespace platform {
namespace {

using win32::Native;

// Folders are held so: others may read and write in them, but not rename or delete them.
constexpr DWORD shareFolder = FILE_SHARE_READ | FILE_SHARE_WRITE;

std::string Below(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    const char last = folder.back();
    return last == '\\' || last == '/' ? folder + name : folder + '\\' + name;
}

bool IsLinkTag(DWORD tag) { return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT; }

// True when the open `file` is itself a symbolic link or a junction (opened as such).
bool IsLink(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag))
        return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsLinkTag(tag.ReparseTag);
    BY_HANDLE_FILE_INFORMATION info{};
    return ::GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// True when the held folder `file` at `path` is a link that only its entry in the folder above
// tells of: the handle shows no reparse point where the entry does, as Wine shows a Unix link to
// a folder. Held, the entry cannot be swapped meanwhile.
bool IsLinkByEntry(HANDLE file, const std::string& path) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return false;
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IsFolder(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    return ::GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Removes the link (to a file or a folder, dangling or not) at `path`, its target untouched.
// Gives false when there is none. `*name` gets the link's own spelling, for the file made in
// its place.
bool RemoveLink(const std::string& path, std::string* name) {
    WIN32_FIND_DATAA entry;
    const HANDLE search = ::FindFirstFileA(path.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return false;
    ::FindClose(search);
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || !IsLinkTag(entry.dwReserved0)) return false;
    *name = entry.cFileName;
    const bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return folder ? ::RemoveDirectoryA(path.c_str()) != 0 : ::DeleteFileA(path.c_str()) != 0;
}

// Opens the folder at `path`, whose folder is held, making it when it is missing, without
// following a link. Gives INVALID_HANDLE_VALUE with the reason in `*refusal`.
HANDLE OpenFolderBelow(const std::string& path, OutputRefusal* refusal) {
    *refusal = OutputRefusal::failed;
    for (bool tried = false;; tried = true) {
        const HANDLE folder = ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, shareFolder, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (folder != INVALID_HANDLE_VALUE) {
            if (IsLink(folder) || IsLinkByEntry(folder, path)) {
                *refusal = OutputRefusal::linkOnTheWay;
                ::CloseHandle(folder);
                ::SetLastError(ERROR_CANT_RESOLVE_FILENAME);
                return INVALID_HANDLE_VALUE;
            }
            if (IsFolder(folder)) return folder;
            ::CloseHandle(folder);
            ::SetLastError(ERROR_DIRECTORY);
            return INVALID_HANDLE_VALUE;
        }
        // Made by someone else meanwhile is as good; a link made meanwhile is refused above.
        if (::GetLastError() != ERROR_FILE_NOT_FOUND || tried) return INVALID_HANDLE_VALUE;
        if (!::CreateDirectoryA(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            return INVALID_HANDLE_VALUE;
    }
}

// Reading its attributes tells whether the file is a link, and which file it is.
HANDLE OpenLeaf(const std::string& path, DWORD disposition) {
    return ::CreateFileA(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, win32::shareAll, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Creates or opens the file `name` in the held `folder`, not cut yet. A link in its place,
// dangling or not, is removed and a new file made there, which must not exist by then.
HANDLE CreateLeaf(const std::string& folder, const std::string& name) {
    const std::string path = Below(folder, name);
    HANDLE file = OpenLeaf(path, OPEN_ALWAYS);
    if (file != INVALID_HANDLE_VALUE && IsLink(file)) {
        ::CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
    } else if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_ACCESS_DENIED) {
        return file;  // a link to a folder opens as no file: access denied
    }
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        std::string spelling;
        if (!RemoveLink(path, &spelling)) {
            ::SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        return OpenLeaf(Below(folder, spelling), CREATE_NEW);
    }
    return file;
}

// Cuts the file just opened to length 0.
bool Cut(HANDLE file) {
    LARGE_INTEGER start{};
    return ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
}

// The path of the held folder `handle`, with links resolved; `given` where it cannot be had. It
// is given in the ordinary form, so that names below it are read as every other path is.
std::string RealPath(HANDLE handle, const std::string& given) {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD length =
            ::GetFinalPathNameByHandleA(handle, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
        if (length == 0) return given;
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(length + 1);
    }
    if (path.rfind("\\\\?\\UNC\\", 0) == 0) return "\\" + path.substr(7);
    if (path.rfind("\\\\?\\", 0) == 0 && path.size() > 6 && path[5] == ':') return path.substr(4);
    return given;
}

}  // namespace

struct OutputFolder::State {
    explicit State(const char* root) : root(root != nullptr ? root : "") {}
    ~State();

    void CloseFoldersFrom(std::size_t level);

    // As given, until the destination is held; from then on the path of the folder held.
    std::string root;
    FileHandle rootHandle = invalidFileHandle;
    std::vector<std::string> folderNames;  // the folders below the root that are held, outermost first
    std::vector<FileHandle> folderHandles;
};

OutputFolder::State::~State() {
    CloseFoldersFrom(0);
    if (rootHandle != invalidFileHandle) win32::CloseKeepingError(Native(rootHandle));
}

void OutputFolder::State::CloseFoldersFrom(std::size_t level) {
    for (std::size_t i = level; i < folderHandles.size(); ++i) win32::CloseKeepingError(Native(folderHandles[i]));
    if (level < folderHandles.size()) {
        folderHandles.resize(level);
        folderNames.resize(level);
    }
}

const int OutputFolder::invalidNameError = ERROR_INVALID_NAME;
const int OutputFolder::noNameError = ERROR_FILE_NOT_FOUND;
const int OutputFolder::keptFileError = ERROR_BUSY;

OutputFolder::OutputFolder(const char* root) : state(std::make_unique<State>(root)) {}

OutputFolder::~OutputFolder() = default;

// Windows finds names whatever their case itself: nothing is listed.
std::size_t OutputFolder::FoldersListed() const { return 0; }

// A ':' names a drive or another stream of a file: neither is a place below the folder.
bool OutputFolder::LeadsElsewhere(const std::string& component) { return component.find(':') != std::string::npos; }

// The destination is what the user chose: it is opened by its path, links and all, and made
// (with the folders missing on the way) when missing. From then on `root` is the path of the
// folder held, so that a link swapped in on the way to it cannot redirect the files.
bool OutputFolder::OpenRoot() {
    if (state->rootHandle != invalidFileHandle) return true;
    const std::string given = state->root.empty() ? std::string(".") : ToNativePath(state->root.c_str());
    const auto open = [&given] {
        return ::CreateFileA(given.c_str(), FILE_READ_ATTRIBUTES, shareFolder, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    };
    HANDLE folder = open();
    if (folder == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return false;
        for (std::size_t i = 1; i < given.size(); ++i)
            if (given[i] == '/' && given[i - 1] != '/' && given[i - 1] != ':')
                ::CreateDirectoryA(given.substr(0, i).c_str(), nullptr);
        ::CreateDirectoryA(given.c_str(), nullptr);
        folder = open();
        if (folder == INVALID_HANDLE_VALUE) return false;
    }
    if (!IsFolder(folder)) {
        ::CloseHandle(folder);
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    state->rootHandle = win32::Handle(folder);
    state->root = RealPath(folder, given);
    return true;
}

FileHandle OutputFolder::CreateBelowRoot(const std::vector<std::string>& components, OutputRefusal* why) {
    // The folders this file shares with the previous one are held already. Names that differ
    // in case only are the same folder here.
    const std::size_t depth = components.size() - 1;
    std::size_t shared = 0;
    while (shared < depth && shared < state->folderNames.size() &&
           EqualIgnoringAsciiCase(state->folderNames[shared].c_str(), components[shared].c_str()))
        ++shared;
    state->CloseFoldersFrom(shared);
    std::string path = state->root;
    for (std::size_t level = 0; level < depth; ++level) {
        path = Below(path, level < shared ? state->folderNames[level] : components[level]);
        if (level < shared) continue;
        const HANDLE folder = OpenFolderBelow(path, why);
        if (folder == INVALID_HANDLE_VALUE) return invalidFileHandle;
        state->folderNames.push_back(components[level]);
        state->folderHandles.push_back(win32::Handle(folder));
    }
    const HANDLE file = CreateLeaf(path, components.back());
    if (file == INVALID_HANDLE_VALUE) return invalidFileHandle;
    // Nothing is cut before it is known not to be the file to keep.
    if (!MayWrite(win32::Handle(file), why) || !Cut(file)) {
        win32::CloseKeepingError(file);
        return invalidFileHandle;
    }
    *why = OutputRefusal::none;
    return win32::Handle(file);
}

}  // namespace platform
