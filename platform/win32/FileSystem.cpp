// Paths, directories and directory enumeration over Win32 calls. Only Win32 code here.
#include "platform/FileSystem.h"

#include "platform/win32/WindowsHeaders.h"

#include <algorithm>

namespace platform {
namespace {

FileTime FromFileTime(const FILETIME& time) { return win32::Join(time.dwHighDateTime, time.dwLowDateTime); }

// What the open `file` is. A device or a pipe has no file information; it is there, but no
// regular file.
void FillAttributes(HANDLE file, FileAttributes* attributes) {
    *attributes = FileAttributes();
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info)) return;
    attributes->isDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    attributes->isRegularFile = !attributes->isDirectory;
    attributes->size = win32::Join(info.nFileSizeHigh, info.nFileSizeLow);
    attributes->lastWriteTime = FromFileTime(info.ftLastWriteTime);
    attributes->volume = info.dwVolumeSerialNumber;
    attributes->fileId = win32::Join(info.nFileIndexHigh, info.nFileIndexLow);
}

// What a directory entry tells of itself, when the file cannot be opened to ask.
void FillAttributes(const WIN32_FILE_ATTRIBUTE_DATA& data, FileAttributes* attributes) {
    *attributes = FileAttributes();
    attributes->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    attributes->isRegularFile = !attributes->isDirectory && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    attributes->size = win32::Join(data.nFileSizeHigh, data.nFileSizeLow);
    attributes->lastWriteTime = FromFileTime(data.ftLastWriteTime);
}

bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
           error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME || error == ERROR_CANT_RESOLVE_FILENAME ||
           error == ERROR_DIRECTORY || error == ERROR_NOT_READY;
}

}  // namespace

bool GetFileAttributes(const char* path, FileAttributes* attributes) {
    if (path == nullptr || *path == '\0') {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    const std::string native = ToNativePath(path);
    // Opened without any right to its contents, links followed, folders too: the handle tells
    // which file this is, and a link that leads nowhere fails as a missing file does.
    const HANDLE file = ::CreateFileA(native.c_str(), FILE_READ_ATTRIBUTES, win32::shareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        FillAttributes(file, attributes);
        win32::CloseKeepingError(file);
        return true;
    }
    const DWORD error = ::GetLastError();
    if (IsMissing(error)) return false;
    // Held by someone who shares nothing (a page file, a file open exclusively): it is there.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(native.c_str(), GetFileExInfoStandard, &data)) {
        ::SetLastError(error);
        return false;
    }
    FillAttributes(data, attributes);
    return true;
}

bool IsSymbolicLink(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    const DWORD attributes = ::GetFileAttributesA(ToNativePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool CanWriteFile(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    const std::string native = ToNativePath(path);
    const DWORD attributes = ::GetFileAttributesA(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    // The access rules and a read-only volume answer an open for writing; nothing is changed.
    const HANDLE file = ::CreateFileA(native.c_str(), GENERIC_WRITE, win32::shareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_SHARING_VIOLATION;  // busy, not barred
    ::CloseHandle(file);
    return true;
}

bool CreateDirectory(const char* path) {
    if (path == nullptr || *path == '\0') {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    const std::string native = ToNativePath(path);
    if (::CreateDirectoryA(native.c_str(), nullptr)) return true;
    const DWORD error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesA(native.c_str());
    if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return true;
    ::SetLastError(error);
    return false;
}

bool GetCurrentDirectory(std::string* path) {
    std::string buffer(MAX_PATH, '\0');
    for (;;) {
        const DWORD length = ::GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0) return false;
        if (length < buffer.size()) {
            buffer.resize(length);
            *path = buffer;
            return true;
        }
        buffer.resize(length);
    }
}

bool SetCurrentDirectory(const char* path) {
    if (path == nullptr) {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return ::SetCurrentDirectoryA(ToNativePath(path).c_str()) != 0;
}

bool FindFiles(const char* pattern, std::vector<FoundFile>* found) {
    const std::string native = ToNativePath(pattern);
    std::size_t slash = native.rfind('/');
    // "C:name" is a name in drive C's current directory.
    if (slash == std::string::npos && native.size() >= 2 && native[1] == ':') slash = 1;
    const std::string directory = slash == std::string::npos ? "" : native.substr(0, slash + 1);
    const std::string namePattern = slash == std::string::npos ? native : native.substr(slash + 1);

    // Every entry is listed and matched here: Windows would also match a pattern against the
    // short 8.3 names, so "*.arc" would find "data.arcx".
    WIN32_FIND_DATAA entry;
    const HANDLE search = ::FindFirstFileA((directory + "*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;  // a root without entries
    std::vector<FoundFile> entries;
    do {
        if (!MatchWildcard(namePattern.c_str(), entry.cFileName)) continue;
        FoundFile file;
        file.name = entry.cFileName;
        const bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        const bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        // Links are described by their targets, and folders by their identity too; a dangling
        // link as an empty file that is not regular.
        if ((!link && !folder) || !GetFileAttributes((directory + file.name).c_str(), &file.attributes)) {
            WIN32_FILE_ATTRIBUTE_DATA data{};
            data.dwFileAttributes = entry.dwFileAttributes;
            data.ftLastWriteTime = entry.ftLastWriteTime;
            data.nFileSizeHigh = link ? 0 : entry.nFileSizeHigh;
            data.nFileSizeLow = link ? 0 : entry.nFileSizeLow;
            FillAttributes(data, &file.attributes);
        }
        entries.push_back(std::move(file));
    } while (::FindNextFileA(search, &entry));
    const DWORD error = ::GetLastError();
    ::FindClose(search);
    if (error != ERROR_NO_MORE_FILES) {
        ::SetLastError(error);
        return false;
    }
    std::sort(entries.begin(), entries.end(),
              [](const FoundFile& a, const FoundFile& b) { return CompareFoundNames(a.name, b.name) < 0; });
    found->insert(found->end(), entries.begin(), entries.end());
    return true;
}

}  // namespace platform
