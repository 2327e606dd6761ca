// Paths, directories and directory enumeration over POSIX calls. Only generic POSIX code here.
#include "platform/FileSystem.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>

namespace platform {
namespace {

void FillAttributes(const struct stat& st, FileAttributes* attributes) {
    attributes->isDirectory = S_ISDIR(st.st_mode);
    attributes->isRegularFile = S_ISREG(st.st_mode);
    attributes->size = static_cast<std::uint64_t>(st.st_size);
    attributes->lastWriteTime = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    attributes->volume = static_cast<std::uint64_t>(st.st_dev);
    attributes->fileId = static_cast<std::uint64_t>(st.st_ino);
}

}  // namespace

bool GetFileAttributes(const char* path, FileAttributes* attributes) {
    if (path == nullptr || *path == '\0') {
        errno = ENOENT;
        return false;
    }
    struct stat st;
    if (::stat(ToNativePath(path).c_str(), &st) != 0) return false;
    FillAttributes(st, attributes);
    return true;
}

bool IsSymbolicLink(const char* path) {
    struct stat st;
    return path != nullptr && *path != '\0' && ::lstat(ToNativePath(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool CanWriteFile(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    return ::access(ToNativePath(path).c_str(), W_OK) == 0;
}

bool CreateDirectory(const char* path) {
    if (path == nullptr || *path == '\0') {
        errno = ENOENT;
        return false;
    }
    const std::string native = ToNativePath(path);
    if (::mkdir(native.c_str(), 0777) == 0) return true;
    const int saved = errno;
    struct stat st;
    if (saved == EEXIST && ::stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    errno = saved;
    return false;
}

bool GetCurrentDirectory(std::string* path) {
    std::string buffer(256, '\0');
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            buffer.resize(buffer.find('\0'));
            *path = buffer;
            return true;
        }
        if (errno != ERANGE) return false;
        buffer.resize(buffer.size() * 2);
    }
}

bool SetCurrentDirectory(const char* path) {
    if (path == nullptr) {
        errno = ENOENT;
        return false;
    }
    return ::chdir(ToNativePath(path).c_str()) == 0;
}

bool FindFiles(const char* pattern, std::vector<FoundFile>* found) {
    const std::string native = ToNativePath(pattern);
    const std::size_t slash = native.rfind('/');
    std::string directory = slash == std::string::npos ? "." : native.substr(0, slash + 1);
    const std::string namePattern = slash == std::string::npos ? native : native.substr(slash + 1);

    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return false;
    if (directory.back() != '/') directory += '/';
    std::vector<FoundFile> entries;
    while (const struct dirent* entry = ::readdir(dir)) {
        if (!MatchWildcard(namePattern.c_str(), entry->d_name)) continue;
        FoundFile file;
        file.name = entry->d_name;
        struct stat st;
        const std::string full = directory + file.name;
        // A dangling link has no target to describe; list it as an empty file that is not regular.
        if (::stat(full.c_str(), &st) == 0 || ::lstat(full.c_str(), &st) == 0) FillAttributes(st, &file.attributes);
        entries.push_back(std::move(file));
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const FoundFile& a, const FoundFile& b) { return CompareFoundNames(a.name, b.name) < 0; });
    found->insert(found->end(), entries.begin(), entries.end());
    return true;
}

}  // namespace platform
