// POSIX file descriptors as the file handles of platform/File.h.
#include "platform/posix/Descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace platform::posix {

FileHandle CheckedFileHandle(int fd, bool forRead, std::uint64_t* size) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return invalidFileHandle;
    }
    if (size != nullptr) *size = static_cast<std::uint64_t>(st.st_size);
    return CheckedFileHandle(fd, forRead, st);
}

FileHandle CheckedFileHandle(int fd, bool forRead, const struct stat& st) {
    int refusal = 0;
    if (S_ISDIR(st.st_mode))
        refusal = EISDIR;
    else if (forRead && !S_ISREG(st.st_mode))
        refusal = EINVAL;
    // O_NONBLOCK does nothing to a regular file: only another kind is made to block again.
    else if (!S_ISREG(st.st_mode) && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        refusal = errno;
    if (refusal != 0) {
        ::close(fd);
        errno = refusal;
        return invalidFileHandle;
    }
    return fd;
}

}  // namespace platform::posix
