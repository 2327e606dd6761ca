// Reading a folder's entries over Win32 calls. Only Win32 code here.
#include "platform/FolderListing.h"

#include "platform/win32/WindowsHeaders.h"

#include <cstring>

#include "platform/FileSystem.h"

namespace platform {

bool ListFolder(const char* path, FolderListing* listing) {
    std::string pattern = path == nullptr || *path == '\0' ? std::string(".") : ToNativePath(path);
    pattern += pattern.back() == '/' || pattern.back() == '\\' ? "*" : "/*";
    WIN32_FIND_DATAA entry;
    const HANDLE search = ::FindFirstFileA(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;  // a root without entries
    do {
        const char* name = entry.cFileName;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        // A link to a folder is no folder of this one.
        const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                              (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        listing->Add(name, isFolder);
    } while (::FindNextFileA(search, &entry));
    const DWORD error = ::GetLastError();
    ::FindClose(search);
    ::SetLastError(error);
    return error == ERROR_NO_MORE_FILES;
}

bool ListOpenFolder(FileHandle folder, FolderListing* listing) {
    // Windows lists folders by path only; the path of the open folder is the one it is at now.
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleA(win32::Native(folder), path.data(),
                                                         static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
        if (length == 0) return false;
        if (length < path.size()) {
            path.resize(length);
            return ListFolder(path.c_str(), listing);
        }
        path.resize(length + 1);
    }
}

}  // namespace platform
