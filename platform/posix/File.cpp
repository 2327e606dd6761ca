// File handles over POSIX file descriptors. Only generic POSIX code belongs here; the
// fault-injection seam lives in the portable front (platform/File.cpp).
#include "platform/File.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <string>

#include "platform/FileSystem.h"
#include "platform/NativeFile.h"
#include "platform/posix/Descriptor.h"
#include "platform/posix/RetryOnInterrupt.h"

namespace platform {
namespace {

using posix::Descriptor;
using posix::RetryOnInterrupt;

// Opening for read refuses everything that is not a regular file. Every open is made without
// blocking, so that a FIFO without a partner cannot hold the run (one to write then fails at
// once), and the handle blocks again once the kind is known.
FileHandle Open(const char* path, int flags, std::uint64_t* size = nullptr) {
    if (path == nullptr || *path == '\0') {
        errno = ENOENT;
        return invalidFileHandle;
    }
    const std::string native = ToNativePath(path);
    const bool forRead = (flags & O_ACCMODE) == O_RDONLY;
    const int fd = posix::RetryOnInterruptUnlessStopping(
        [&] { return ::open(native.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666); });
    if (fd < 0) return invalidFileHandle;
    return posix::CheckedFileHandle(fd, forRead, size);
}

// Writes all `count` bytes, at the position or, given `at`, from that offset.
bool WriteFully(int fd, const void* buffer, std::uint32_t count, std::uint32_t* written,
                const std::uint64_t* at = nullptr) {
    const char* in = static_cast<const char*>(buffer);
    std::uint32_t done = 0;
    bool ok = at == nullptr || *at <= static_cast<std::uint64_t>(INT64_MAX) - count;
    if (!ok) errno = EINVAL;
    while (ok && done < count) {
        const ssize_t n = RetryOnInterrupt([&] {
            return at != nullptr ? ::pwrite(fd, in + done, count - done, static_cast<off_t>(*at + done))
                                 : ::write(fd, in + done, count - done);
        });
        if (n < 0) {
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

FileHandle OpenFileForRead(const char* path, std::uint64_t* size) { return Open(path, O_RDONLY, size); }

FileHandle native::OpenFileForEdit(const char* path) { return Open(path, O_RDWR | O_CREAT); }

FileHandle OpenOutputFile(const char* path) { return Open(path, O_WRONLY | O_CREAT | O_TRUNC); }

bool ReadFileAt(FileHandle file, void* buffer, std::uint32_t count, std::uint64_t offset, std::uint32_t* bytesRead) {
    std::uint32_t done = 0;
    char* out = static_cast<char*>(buffer);
    bool ok = offset <= static_cast<std::uint64_t>(INT64_MAX) - count;
    while (ok && done < count) {
        const ssize_t n = RetryOnInterrupt(
            [&] { return ::pread(Descriptor(file), out + done, count - done, static_cast<off_t>(offset + done)); });
        if (n < 0) {
            ok = false;
            break;
        }
        done += static_cast<std::uint32_t>(n);
        // A regular file reads short only at its end: no second call to learn that.
        if (n == 0 || done < count) break;
    }
    *bytesRead = done;
    return ok;
}

FileHandle native::CreateNewFile(const char* path) { return Open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW); }

FileHandle OpenRegularFileForRead(const char* path) { return Open(path, O_RDONLY | O_NOFOLLOW); }

bool LockFile(FileHandle file, LockMode mode) {
#if defined(F_OFD_SETLK)
    // A lock of the open file itself, which a conversion replaces in one step and which no other
    // descriptor of this process on the same file can drop by closing.
    struct flock lock {};
    lock.l_type = mode == LockMode::shared ? F_RDLCK : F_WRLCK;
    lock.l_whence = SEEK_SET;
    const int result = RetryOnInterrupt([&] { return ::fcntl(Descriptor(file), F_OFD_SETLK, &lock); });
    // A kernel without such locks takes the whole-file kind, which converts in two steps.
    if (result == 0 || errno != EINVAL) return result == 0;
#endif
    const int operation = (mode == LockMode::shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    return RetryOnInterrupt([&] { return ::flock(Descriptor(file), operation); }) == 0;
}

bool GetFileIdentity(FileHandle file, std::uint64_t* volume, std::uint64_t* fileId) {
    struct stat st;
    if (::fstat(Descriptor(file), &st) != 0) return false;
    *volume = static_cast<std::uint64_t>(st.st_dev);
    *fileId = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

namespace native {

void CloseFile(FileHandle file) {
    if (file == invalidFileHandle) return;
    const int saved = errno;
    ::close(Descriptor(file));
    errno = saved;
}

bool FlushFile(FileHandle file) {
    return RetryOnInterrupt([&] { return ::fsync(Descriptor(file)); }) == 0;
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
    const int fd = RetryOnInterrupt([&] { return ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return false;
    const int result = RetryOnInterrupt([&] { return ::fsync(fd); });
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
        const ssize_t n = RetryOnInterrupt([&] { return ::read(Descriptor(file), out + done, count - done); });
        if (n < 0) {
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

bool WriteFileAt(FileHandle file, const void* buffer, std::uint32_t count, std::uint64_t offset,
                 std::uint32_t* bytesWritten) {
    return WriteFully(Descriptor(file), buffer, count, bytesWritten, &offset);
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
    return RetryOnInterrupt([&] { return ::ftruncate(Descriptor(file), at); }) == 0;
}

bool ReserveFileSpace(FileHandle file, std::uint64_t end) {
    struct stat st;
    if (::fstat(Descriptor(file), &st) != 0) return false;
    if (static_cast<std::uint64_t>(st.st_size) >= end) return true;
    // Allocates the blocks (or writes zeros where the file system cannot), so that a full disk
    // or a file-size limit shows here and not in a later write.
    const int result = posix::RetryOnReturnedInterrupt(
        [&] { return ::posix_fallocate(Descriptor(file), st.st_size, static_cast<off_t>(end) - st.st_size); });
    if (result != 0) {
        // The reservation is all or nothing: take back what part of it was made.
        RetryOnInterrupt([&] { return ::ftruncate(Descriptor(file), st.st_size); });
        errno = result;
        return false;
    }
    return true;
}

}  // namespace native

}  // namespace platform
