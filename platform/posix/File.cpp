// File handles over POSIX file descriptors. Only generic POSIX code belongs here; the
// fault-injection seam lives in the portable front (platform/File.cpp).
#include "platform/File.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "platform/FileSystem.h"
#include "platform/NativeFile.h"
#include "platform/Signals.h"

namespace platform {
namespace {

int Descriptor(FileHandle file) { return static_cast<int>(file); }

// Opening for read refuses everything that is not a regular file. Every open is made without
// blocking, so that a FIFO without a partner cannot hold the run (one to write then fails at
// once), and the handle blocks again once the kind is known.
FileHandle Open(const char* path, int flags) {
    if (path == nullptr || *path == '\0') {
        errno = ENOENT;
        return invalidFileHandle;
    }
    const std::string native = ToNativePath(path);
    const bool forRead = (flags & O_ACCMODE) == O_RDONLY;
    int fd;
    do {
        fd = ::open(native.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
        // An open that a signal broke off is tried again, unless the signal asked the run to stop.
    } while (fd < 0 && errno == EINTR && StopSignal() == 0);
    if (fd < 0) return invalidFileHandle;
    // Directories open for reading on POSIX; a file API must refuse them.
    struct stat st;
    int refusal = 0;
    if (::fstat(fd, &st) != 0)
        refusal = errno;
    else if (S_ISDIR(st.st_mode))
        refusal = EISDIR;
    else if (forRead && !S_ISREG(st.st_mode))
        refusal = EINVAL;
    else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        refusal = errno;
    if (refusal != 0) {
        ::close(fd);
        errno = refusal;
        return invalidFileHandle;
    }
    return fd;
}

bool WriteFully(int fd, const void* buffer, std::uint32_t count, std::uint32_t* written) {
    const char* in = static_cast<const char*>(buffer);
    std::uint32_t done = 0;
    bool ok = true;
    while (done < count) {
        const ssize_t n = ::write(fd, in + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (n == 0) {
            errno = ENOSPC;
            ok = false;
            break;
        }
        done += static_cast<std::uint32_t>(n);
    }
    *written = done;
    return ok;
}

}  // namespace

FileHandle OpenFileForRead(const char* path) { return Open(path, O_RDONLY); }

FileHandle OpenFileForEdit(const char* path) { return Open(path, O_RDWR | O_CREAT); }

FileHandle OpenOutputFile(const char* path) { return Open(path, O_WRONLY | O_CREAT | O_TRUNC); }

bool LockFileForEdit(FileHandle file) {
    int result;
    do {
        result = ::flock(Descriptor(file), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

namespace native {

void CloseFile(FileHandle file) {
    if (file == invalidFileHandle) return;
    const int saved = errno;
    ::close(Descriptor(file));
    errno = saved;
}

bool FlushFile(FileHandle file) {
    int result;
    do {
        result = ::fsync(Descriptor(file));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

void StartWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t length) {
#if defined(__linux__)
    ::sync_file_range(Descriptor(file), static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
#else
    (void)file;
    (void)offset;
    (void)length;
#endif
}

bool DeleteFile(const char* path) {
    if (path == nullptr || *path == '\0') {
        errno = ENOENT;
        return false;
    }
    return ::unlink(ToNativePath(path).c_str()) == 0;
}

bool FlushDirectory(const char* path) {
    const std::string native = ToNativePath(path != nullptr && *path != '\0' ? path : ".");
    int fd;
    do {
        fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    int result;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return result == 0;
}

void SetInjectedError(bool diskFull) { errno = diskFull ? ENOSPC : EIO; }

bool ReadFile(FileHandle file, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) {
    std::uint32_t done = 0;
    char* out = static_cast<char*>(buffer);
    bool ok = true;
    while (done < count) {
        const ssize_t n = ::read(Descriptor(file), out + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (n == 0) break;
        done += static_cast<std::uint32_t>(n);
    }
    *bytesRead = done;
    return ok;
}

bool WriteFile(FileHandle file, const void* buffer, std::uint32_t count, std::uint32_t* bytesWritten) {
    return WriteFully(Descriptor(file), buffer, count, bytesWritten);
}

bool SetFilePosition(FileHandle file, std::uint64_t position) {
    if (position > static_cast<std::uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return false;
    }
    return ::lseek(Descriptor(file), static_cast<off_t>(position), SEEK_SET) >= 0;
}

}  // namespace native

bool GetFilePosition(FileHandle file, std::uint64_t* position) {
    const off_t at = ::lseek(Descriptor(file), 0, SEEK_CUR);
    if (at < 0) return false;
    *position = static_cast<std::uint64_t>(at);
    return true;
}

bool GetFileSize(FileHandle file, std::uint64_t* size) {
    struct stat st;
    if (::fstat(Descriptor(file), &st) != 0) return false;
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

namespace native {

bool SetEndOfFile(FileHandle file) {
    const off_t at = ::lseek(Descriptor(file), 0, SEEK_CUR);
    if (at < 0) return false;
    int result;
    do {
        result = ::ftruncate(Descriptor(file), at);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool ReserveFileSpace(FileHandle file, std::uint64_t end) {
    struct stat st;
    if (::fstat(Descriptor(file), &st) != 0) return false;
    if (static_cast<std::uint64_t>(st.st_size) >= end) return true;
    // Allocates the blocks (or writes zeros where the file system cannot), so that a full disk
    // or a file-size limit shows here and not in a later write.
    int result;
    do {
        result = ::posix_fallocate(Descriptor(file), st.st_size, static_cast<off_t>(end) - st.st_size);
    } while (result == EINTR);
    if (result != 0) {
        // The reservation is all or nothing: take back what part of it was made.
        while (::ftruncate(Descriptor(file), st.st_size) != 0 && errno == EINTR) {}
        errno = result;
        return false;
    }
    return true;
}

}  // namespace native
}  // namespace platform
