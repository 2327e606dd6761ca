// File handles over POSIX file descriptors. Only generic POSIX code belongs here; the
// fault-injection seam lives in the portable front (platform/File.cpp).
#include "platform/File.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/FolderListing.h"
#include "platform/NativeFile.h"
#include "platform/OutputFolder.h"
#include "platform/Signals.h"

namespace platform {
namespace {

int Descriptor(FileHandle file) { return static_cast<int>(file); }

// Directories open for reading on POSIX; a file API must refuse them. Reading wants a regular
// file; the descriptor, opened without blocking, blocks again once the kind is known.
FileHandle Checked(int fd, bool forRead) {
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
    return Checked(fd, forRead);
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

bool ReadFileAt(FileHandle file, void* buffer, std::uint32_t count, std::uint64_t offset, std::uint32_t* bytesRead) {
    std::uint32_t done = 0;
    char* out = static_cast<char*>(buffer);
    bool ok = offset <= static_cast<std::uint64_t>(INT64_MAX) - count;
    while (ok && done < count) {
        const ssize_t n = ::pread(Descriptor(file), out + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
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

FileHandle CreateNewFile(const char* path) { return Open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW); }

FileHandle OpenRegularFileForRead(const char* path) { return Open(path, O_RDONLY | O_NOFOLLOW); }

bool LockFile(FileHandle file, LockMode mode) {
    int result;
#if defined(F_OFD_SETLK)
    // A lock of the open file itself, which a conversion replaces in one step and which no other
    // descriptor of this process on the same file can drop by closing.
    struct flock lock {};
    lock.l_type = mode == LockMode::shared ? F_RDLCK : F_WRLCK;
    lock.l_whence = SEEK_SET;
    do {
        result = ::fcntl(Descriptor(file), F_OFD_SETLK, &lock);
    } while (result != 0 && errno == EINTR);
    // A kernel without such locks takes the whole-file kind, which converts in two steps.
    if (result == 0 || errno != EINVAL) return result == 0;
    do {
        result = ::flock(Descriptor(file), (mode == LockMode::shared ? LOCK_SH : LOCK_EX) | LOCK_NB);
    } while (result != 0 && errno == EINTR);
#else
    do {
        result = ::flock(Descriptor(file), (mode == LockMode::shared ? LOCK_SH : LOCK_EX) | LOCK_NB);
    } while (result != 0 && errno == EINTR);
#endif
    return result == 0;
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

// Files below a destination folder.

namespace {

// Folders on the way are only passed through; where the system can, they open without the
// right to read them, as a path through them needs none.
#if defined(O_PATH)
constexpr int folderAccess = O_PATH;
#else
constexpr int folderAccess = O_RDONLY;
#endif

int OpenAt(int folder, const char* name, int flags) {
    int fd;
    do {
        fd = ::openat(folder, name, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR && StopSignal() == 0);
    return fd;
}

bool IsLinkAt(int folder, const char* name) {
    struct stat st;
    return ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

void CloseKeepingError(int fd) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

// Opens the folder `name` inside `above`, making it when it is missing, without following a
// link. Gives -1 with the reason in `*refusal`; `*made` tells whether this call made it.
int OpenFolderAt(int above, const char* name, OutputRefusal* refusal, bool* made) {
    *refusal = OutputRefusal::failed;
    *made = false;
    for (bool tried = false;; tried = true) {
        const int fd = OpenAt(above, name, folderAccess | O_DIRECTORY | O_NOFOLLOW);
        if (fd >= 0) {
            struct stat st;
            const bool known = ::fstat(fd, &st) == 0;
            if (known && S_ISDIR(st.st_mode)) return fd;
            // Some systems open the link itself when asked for no more than a path to it.
            if (known && S_ISLNK(st.st_mode)) *refusal = OutputRefusal::linkOnTheWay;
            CloseKeepingError(fd);
            errno = ENOTDIR;
            return -1;
        }
        if (errno == ENOENT && !tried) {
            // Made by someone else meanwhile is as good; a link made meanwhile is refused above.
            if (::mkdirat(above, name, 0777) == 0)
                *made = true;
            else if (errno != EEXIST)
                return -1;
            continue;
        }
        if (IsLinkAt(above, name)) {
            *refusal = OutputRefusal::linkOnTheWay;
            errno = ELOOP;
        }
        return -1;
    }
}

// Creates or opens the file `name` inside `folder`, not cut yet. A link in its place, dangling
// or not, is removed and a new file made there, which must not exist by then.
int OpenLeafAt(int folder, const char* name) {
    int fd = OpenAt(folder, name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK);
    if (fd >= 0 || !IsLinkAt(folder, name)) return fd;
    if (::unlinkat(folder, name, 0) != 0) return -1;
    fd = OpenAt(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK);
    return fd;
}

// Cuts the file just opened, unless it is the one file that must stay untouched.
bool CutUnlessKept(int fd, bool keeping, std::uint64_t volume, std::uint64_t fileId, OutputRefusal* why) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    if (keeping && static_cast<std::uint64_t>(st.st_dev) == volume && static_cast<std::uint64_t>(st.st_ino) == fileId) {
        *why = OutputRefusal::keptFile;
        errno = EBUSY;
        return false;
    }
    // Only a regular file is cut; Checked refuses what else opened.
    if (!S_ISREG(st.st_mode) || st.st_size == 0) return true;
    int result;
    do {
        result = ::ftruncate(fd, 0);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

}  // namespace

OutputFolder::OutputFolder(const char* root) : root(root != nullptr ? root : "") {}

OutputFolder::~OutputFolder() {
    CloseFoldersFrom(0);
    if (rootHandle != invalidFileHandle) CloseKeepingError(Descriptor(rootHandle));
}

void OutputFolder::CloseFoldersFrom(std::size_t level) {
    for (std::size_t i = level; i < folderHandles.size(); ++i) CloseKeepingError(Descriptor(folderHandles[i]));
    if (level < folderHandles.size()) {
        folderHandles.resize(level);
        folderNames.resize(level);
        folderListings.resize(level);
    }
}

FolderListing& OutputFolder::ListingOf(FileHandle folder, FolderListing** slot) {
    if (*slot != nullptr) return **slot;
    struct stat st;
    if (::fstat(Descriptor(folder), &st) != 0) {
        unidentified = FolderListing();
        ListOpenFolder(folder, &unidentified);
        ++foldersListed;
        return unidentified;
    }
    const auto key = std::make_pair(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
    auto known = listings.find(key);
    if (known == listings.end()) {
        known = listings.emplace(key, FolderListing()).first;
        // One that cannot be listed (no right to read it) finds only names spelt as asked.
        ListOpenFolder(folder, &known->second);
        ++foldersListed;
    }
    *slot = &known->second;
    return known->second;
}

FolderListing* OutputFolder::MadeEmpty(FileHandle folder) {
    struct stat st;
    if (::fstat(Descriptor(folder), &st) != 0) return nullptr;
    FolderListing& listing =
        listings[std::make_pair(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino))];
    listing = FolderListing();  // a folder removed meanwhile may have left its identity to this one
    return &listing;
}

// The destination is what the user chose: it is opened by its path, links and all, and made
// when missing. A folder of the path missing under its own spelling is looked for with ASCII case
// ignored (its spelling first, then the others in byte order, the first that opens as a folder),
// and made as spelt when none is there.
bool OutputFolder::OpenRoot() {
    if (rootHandle != invalidFileHandle) return true;
    const std::string native = root.empty() ? std::string(".") : ToNativePath(root.c_str());
    int fd = OpenAt(AT_FDCWD, native.c_str(), folderAccess | O_DIRECTORY);
    if (fd >= 0) {
        rootHandle = fd;
        return true;
    }
    if (errno != ENOENT) return false;

    int above = OpenAt(AT_FDCWD, native[0] == '/' ? "/" : ".", folderAccess | O_DIRECTORY);
    bool made = false;
    for (const std::string& component : PathComponents(native)) {
        if (above < 0) return false;
        made = false;
        fd = OpenAt(above, component.c_str(), folderAccess | O_DIRECTORY);
        if (fd < 0 && errno == ENOENT && component != "." && component != "..") {
            FolderListing listing;
            ListOpenFolder(above, &listing);
            ++foldersListed;
            for (const std::string& spelling : listing.Spellings(component)) {
                fd = OpenAt(above, spelling.c_str(), folderAccess | O_DIRECTORY);
                if (fd >= 0) break;
            }
            if (fd < 0) {
                // Made by someone else meanwhile is as good.
                if (::mkdirat(above, component.c_str(), 0777) == 0) made = true;
                if (made || errno == EEXIST) fd = OpenAt(above, component.c_str(), folderAccess | O_DIRECTORY);
            }
        }
        CloseKeepingError(above);
        above = fd;
    }
    if (above < 0) return false;
    rootHandle = above;
    if (made) rootListing = MadeEmpty(rootHandle);
    return true;
}

FileHandle OutputFolder::Create(const std::string& relativePath, OutputRefusal* refusal) {
    OutputRefusal unused;
    OutputRefusal& why = refusal != nullptr ? *refusal : unused;
    why = OutputRefusal::failed;
    const std::vector<std::string> components = PathComponents(relativePath);
    for (const std::string& component : components) {
        if (component == "..") {
            errno = EINVAL;
            return invalidFileHandle;
        }
    }
    if (components.empty()) {
        errno = ENOENT;
        return invalidFileHandle;
    }
    if (!OpenRoot()) return invalidFileHandle;

    // The folders this file shares with the previous one are open already.
    const std::size_t depth = components.size() - 1;
    std::size_t shared = 0;
    while (shared < depth && shared < folderNames.size() && folderNames[shared] == components[shared]) ++shared;
    CloseFoldersFrom(shared);
    for (std::size_t level = shared; level < depth; ++level) {
        const FileHandle above = level == 0 ? rootHandle : folderHandles.back();
        FolderListing& listing = ListingOf(above, level == 0 ? &rootListing : &folderListings.back());
        const std::string* existing = listing.Match(components[level], true);
        const std::string name = existing != nullptr ? *existing : components[level];
        bool made = false;
        const int fd = OpenFolderAt(Descriptor(above), name.c_str(), &why, &made);
        if (fd < 0) return invalidFileHandle;
        if (made) listing.Add(name, true);
        folderNames.push_back(components[level]);
        folderHandles.push_back(fd);
        folderListings.push_back(made ? MadeEmpty(fd) : nullptr);
    }
    const FileHandle folder = depth == 0 ? rootHandle : folderHandles.back();
    FolderListing& listing = ListingOf(folder, depth == 0 ? &rootListing : &folderListings.back());
    const std::string* existing = listing.Match(components.back(), false);
    const std::string name = existing != nullptr ? *existing : components.back();
    const int fd = OpenLeafAt(Descriptor(folder), name.c_str());
    if (fd < 0) return invalidFileHandle;
    listing.Add(name, false);
    if (!CutUnlessKept(fd, keepingFile, keptVolume, keptFileId, &why)) {
        CloseKeepingError(fd);
        return invalidFileHandle;
    }
    const FileHandle file = Checked(fd, false);
    if (file != invalidFileHandle) why = OutputRefusal::none;
    return file;
}

FileHandle CreateFileBelow(const char* root, const std::string& relativePath, OutputRefusal* refusal) {
    OutputFolder folder(root);
    return folder.Create(relativePath, refusal);
}

}  // namespace platform
