// Reading a folder's entries over POSIX calls. Only generic POSIX code here.
#include "platform/FolderListing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "platform/FileSystem.h"
#include "platform/posix/Descriptor.h"
#include "platform/posix/RetryOnInterrupt.h"

namespace platform {
namespace {

// Reads every entry of `dir` into `*listing` and closes it.
bool ReadEntries(DIR* dir, FolderListing* listing) {
    if (dir == nullptr) return false;
    bool ok = true;
    for (;;) {
        errno = 0;
        const struct dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            ok = errno == 0;
            break;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st;
            isFolder = ::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        listing->Add(name, isFolder);
    }
    const int saved = errno;
    ::closedir(dir);
    errno = saved;
    return ok;
}

}  // namespace

bool ListFolder(const char* path, FolderListing* listing) {
    const std::string native = path == nullptr || *path == '\0' ? std::string(".") : ToNativePath(path);
    return ReadEntries(::opendir(native.c_str()), listing);
}

bool ListOpenFolder(FileHandle folder, FolderListing* listing) {
    // The folder may be open only as a place on the way (O_PATH), which cannot be read; "."
    // inside it is that same folder, opened for reading by no path that could lead elsewhere.
    const int fd = posix::RetryOnInterrupt(
        [&] { return ::openat(posix::Descriptor(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return false;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return false;
    }
    return ReadEntries(dir, listing);
}

}  // namespace platform
