// File handles over Win32 file handles. Only Win32 code belongs here; the fault-injection seam
// lives in the portable front (platform/File.cpp).
#include "platform/File.h"

#include "platform/win32/WindowsHeaders.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/FileSystem.h"
#include "platform/NativeFile.h"

namespace platform {
namespace {

using win32::Native;

// Bytes far past any archive's end stand for the lock: a range lock on Windows keeps other
// handles from reading and writing the range, and nothing ever reads or writes there. The lock
// byte is the lock itself; the gate byte is held for the moment it takes to change it.
constexpr DWORD lockOffsetHigh = 0x40000000u;
constexpr DWORD lockByte = 0;
constexpr DWORD gateByte = 1;

// Others hold the gate for a few calls; this is long enough to outlast any of them.
constexpr ULONGLONG gateWaitMilliseconds = 200;

FileHandle Open(const char* path, DWORD access, DWORD disposition, DWORD flags = 0) {
    if (path == nullptr || *path == '\0') {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return invalidFileHandle;
    }
    const HANDLE file = ::CreateFileA(ToNativePath(path).c_str(), access, win32::shareAll, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL | flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) return invalidFileHandle;
    // Directories do not open without asking for them; devices, consoles and pipes do, and a
    // reader wants a regular file, as a new file is one.
    if ((access == GENERIC_READ || disposition == CREATE_NEW) && ::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return invalidFileHandle;
    }
    return win32::Handle(file);
}

// What the open `file` is, asked on its own reparse point: a folder, a link (a symbolic link, a
// junction or another reparse point that stands for a name) or a file that a filter keeps
// behind a reparse point of its own (a deduplicated or cloud file).
enum class Kind {
    file,
    filteredFile,
    folder,
    link
};

bool GetKind(HANDLE file, Kind* kind) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) return false;
    *kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::folder : Kind::file;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
    // A reparse point of no known tag is taken for a link.
    FILE_ATTRIBUTE_TAG_INFO tag{};
    const bool known = ::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) != 0;
    if (!known || IsReparseTagNameSurrogate(tag.ReparseTag))
        *kind = Kind::link;
    else if (*kind == Kind::file)
        *kind = Kind::filteredFile;
    return true;
}

bool SameFile(HANDLE first, HANDLE second) {
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    return ::GetFileInformationByHandle(first, &a) && ::GetFileInformationByHandle(second, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

bool LockByte(HANDLE file, DWORD byte, LockMode mode) {
    OVERLAPPED at{};
    at.Offset = byte;
    at.OffsetHigh = lockOffsetHigh;
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (mode == LockMode::exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    return ::LockFileEx(file, flags, 0, 1, 0, &at) != 0;
}

bool UnlockByte(HANDLE file, DWORD byte) {
    OVERLAPPED at{};
    at.Offset = byte;
    at.OffsetHigh = lockOffsetHigh;
    return ::UnlockFileEx(file, 0, 1, 0, &at) != 0;
}

// Takes the gate, waiting the little while another handle may hold it.
bool TakeGate(HANDLE file) {
    const ULONGLONG start = ::GetTickCount64();
    while (!LockByte(file, gateByte, LockMode::exclusive)) {
        if (::GetLastError() != ERROR_LOCK_VIOLATION || ::GetTickCount64() - start >= gateWaitMilliseconds)
            return false;
        ::Sleep(1);
    }
    return true;
}

}  // namespace

FileHandle OpenFileForRead(const char* path) { return Open(path, GENERIC_READ, OPEN_EXISTING); }

FileHandle OpenFileForRead(const char* path, std::uint64_t* size) {
    const FileHandle file = OpenFileForRead(path);
    if (file == invalidFileHandle || GetFileSize(file, size)) return file;
    win32::CloseKeepingError(Native(file));
    return invalidFileHandle;
}

FileHandle native::OpenFileForEdit(const char* path) { return Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS); }

FileHandle native::CreateNewFile(const char* path) {
    // On its reparse point, a link in the place, dangling or not, is a name that exists.
    return Open(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT);
}

FileHandle OpenRegularFileForRead(const char* path) {
    const FileHandle file = Open(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    if (file == invalidFileHandle) return file;
    Kind kind = Kind::link;
    const bool known = GetKind(Native(file), &kind);
    if (known && kind == Kind::file) return file;
    if (!known || kind != Kind::filteredFile) {
        win32::CloseKeepingError(Native(file));
        if (known) ::SetLastError(kind == Kind::folder ? ERROR_DIRECTORY : ERROR_CANT_RESOLVE_FILENAME);
        return invalidFileHandle;
    }
    // The filter gives the data only to a handle opened the ordinary way. While the handle on the
    // reparse point is held, its file id tells whether the name still led to the same file.
    const FileHandle data = Open(path, GENERIC_READ, OPEN_EXISTING);
    const bool same = data != invalidFileHandle && SameFile(Native(file), Native(data));
    win32::CloseKeepingError(Native(file));
    if (same || data == invalidFileHandle) return data;
    ::CloseHandle(Native(data));
    ::SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return invalidFileHandle;
}

FileHandle OpenOutputFile(const char* path) {
    // Opened as it is and cut, rather than replaced: a replaced file would lose its attributes,
    // and one that is hidden could not be replaced at all. Reading its attributes tells which
    // file it is.
    const FileHandle file = Open(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, OPEN_ALWAYS);
    if (file == invalidFileHandle || ::GetFileType(Native(file)) != FILE_TYPE_DISK) return file;
    LARGE_INTEGER start{};
    if (::SetFilePointerEx(Native(file), start, nullptr, FILE_BEGIN) && ::SetEndOfFile(Native(file))) return file;
    win32::CloseKeepingError(Native(file));
    return invalidFileHandle;
}

bool ReadFileAt(FileHandle file, void* buffer, std::uint32_t count, std::uint64_t offset, std::uint32_t* bytesRead) {
    std::uint32_t done = 0;
    char* out = static_cast<char*>(buffer);
    bool ok = offset <= static_cast<std::uint64_t>(INT64_MAX) - count;
    while (ok && done < count) {
        // The offset travels with the call, so that threads sharing the handle do not race for
        // its position (which the call still moves on a handle opened for synchronous use).
        OVERLAPPED at{};
        const std::uint64_t where = offset + done;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        DWORD n = 0;
        if (!::ReadFile(Native(file), out + done, count - done, &n, &at)) {
            ok = ::GetLastError() == ERROR_HANDLE_EOF;
            break;
        }
        done += n;
        // A regular file reads short only at its end: no second call to learn that.
        if (n == 0 || done < count) break;
    }
    *bytesRead = done;
    return ok;
}

// A range lock on Windows cannot change its mode: it is let go and taken again. Whoever takes
// or changes the lock holds the gate meanwhile, so no other handle takes the lock in between,
// and whether this handle held it shows in letting it go. Only a shared holder can fail to get
// the mode it asks for (an exclusive one has the file to itself), so the lock it gets back is
// a shared one, which cannot fail while the gate holds the others to the shared locks they have.
bool LockFile(FileHandle file, LockMode mode) {
    const HANDLE handle = Native(file);
    if (!TakeGate(handle)) return false;
    const bool held = UnlockByte(handle, lockByte);
    if (LockByte(handle, lockByte, mode)) {
        UnlockByte(handle, gateByte);
        return true;
    }
    const DWORD error = ::GetLastError();
    if (held) LockByte(handle, lockByte, LockMode::shared);
    UnlockByte(handle, gateByte);
    ::SetLastError(error);
    return false;
}

bool GetFileIdentity(FileHandle file, std::uint64_t* volume, std::uint64_t* fileId) {
    // The values GetFileAttributes gives for the file at a path.
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(Native(file), &info)) return false;
    *volume = info.dwVolumeSerialNumber;
    *fileId = win32::Join(info.nFileIndexHigh, info.nFileIndexLow);
    return true;
}

bool GetFilePosition(FileHandle file, std::uint64_t* position) {
    LARGE_INTEGER zero{}, at{};
    if (!::SetFilePointerEx(Native(file), zero, &at, FILE_CURRENT)) return false;
    *position = static_cast<std::uint64_t>(at.QuadPart);
    return true;
}

bool GetFileSize(FileHandle file, std::uint64_t* size) {
    LARGE_INTEGER length{};
    if (!::GetFileSizeEx(Native(file), &length)) return false;
    *size = static_cast<std::uint64_t>(length.QuadPart);
    return true;
}

namespace native {

void CloseFile(FileHandle file) {
    if (file == invalidFileHandle) return;
    win32::CloseKeepingError(Native(file));
}

bool FlushFile(FileHandle file) { return ::FlushFileBuffers(Native(file)) != 0; }

// Windows writes back on its own and has no call that only starts it.
void StartWriteBack(FileHandle, std::uint64_t, std::uint64_t) {}

bool DeleteFile(const char* path) {
    if (path == nullptr || *path == '\0') {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    const std::string native = ToNativePath(path);
    // Opened alone, the file is gone when this handle closes; a link goes, not its target.
    const HANDLE alone =
        ::CreateFileA(native.c_str(), DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (alone != INVALID_HANDLE_VALUE) {
        FILE_DISPOSITION_INFO disposition{TRUE};  // its one member's name is a macro's
        const bool deleted =
            ::SetFileInformationByHandle(alone, FileDispositionInfo, &disposition, sizeof disposition) != 0;
        win32::CloseKeepingError(alone);
        return deleted;
    }
    if (::GetLastError() != ERROR_SHARING_VIOLATION) return false;
    // Another handle holds the file: deleted, it would keep its name until that handle closes
    // and stop a new file of the name being made. It leaves its name first.
    static std::atomic<unsigned> serial{0};
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".deleted-%lu-%u", static_cast<unsigned long>(::GetCurrentProcessId()),
                  serial.fetch_add(1));
    const std::string away = native + suffix;
    if (!::MoveFileExA(native.c_str(), away.c_str(), 0)) return ::DeleteFileA(native.c_str()) != 0;
    if (::DeleteFileA(away.c_str())) return true;
    // Not deletable after all: the file keeps its own name.
    const DWORD saved = ::GetLastError();
    ::MoveFileExA(away.c_str(), native.c_str(), 0);
    ::SetLastError(saved);
    return false;
}

// A folder's entries are durable with the files' metadata on Windows; there is nothing to
// flush, only to find.
bool FlushDirectory(const char* path) {
    const DWORD attributes = ::GetFileAttributesA(ToNativePath(path != nullptr && *path != '\0' ? path : ".").c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
    ::SetLastError(ERROR_DIRECTORY);
    return false;
}

void SetInjectedError(bool diskFull) { ::SetLastError(diskFull ? ERROR_DISK_FULL : ERROR_IO_DEVICE); }

bool ReadFile(FileHandle file, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) {
    std::uint32_t done = 0;
    char* out = static_cast<char*>(buffer);
    bool ok = true;
    while (done < count) {
        DWORD n = 0;
        if (!::ReadFile(Native(file), out + done, count - done, &n, nullptr)) {
            ok = false;
            break;
        }
        if (n == 0) break;
        done += n;
    }
    *bytesRead = done;
    return ok;
}

namespace {

// Writes all `count` bytes, at the position or, given `at`, from that offset. The offset travels
// with the call; on a handle opened for synchronous use the position still moves, which the
// contract of WriteFileAt leaves unspecified.
bool WriteFully(FileHandle file, const void* buffer, std::uint32_t count, std::uint32_t* bytesWritten,
                const std::uint64_t* at = nullptr) {
    const char* in = static_cast<const char*>(buffer);
    std::uint32_t done = 0;
    bool ok = true;
    while (done < count) {
        OVERLAPPED where{};
        if (at != nullptr) {
            where.Offset = static_cast<DWORD>(*at + done);
            where.OffsetHigh = static_cast<DWORD>((*at + done) >> 32);
        }
        DWORD n = 0;
        if (!::WriteFile(Native(file), in + done, count - done, &n, at != nullptr ? &where : nullptr)) {
            ok = false;
            break;
        }
        if (n == 0) {
            ::SetLastError(ERROR_DISK_FULL);
            ok = false;
            break;
        }
        done += n;
    }
    *bytesWritten = done;
    return ok;
}

}  // namespace

bool WriteFileAt(FileHandle file, const void* buffer, std::uint32_t count, std::uint64_t offset,
                 std::uint32_t* bytesWritten) {
    return WriteFully(file, buffer, count, bytesWritten, &offset);
}

bool WriteFile(FileHandle file, const void* buffer, std::uint32_t count, std::uint32_t* bytesWritten) {
    return WriteFully(file, buffer, count, bytesWritten);
}

bool SetFilePosition(FileHandle file, std::uint64_t position) {
    if (position > static_cast<std::uint64_t>(INT64_MAX)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(position);
    return ::SetFilePointerEx(Native(file), to, nullptr, FILE_BEGIN) != 0;
}

bool SetEndOfFile(FileHandle file) { return ::SetEndOfFile(Native(file)) != 0; }

bool ReserveFileSpace(FileHandle file, std::uint64_t end) {
    std::uint64_t size = 0, position = 0;
    if (!GetFileSize(file, &size) || !GetFilePosition(file, &position)) return false;
    if (size >= end) return true;
    if (end > static_cast<std::uint64_t>(INT64_MAX)) {
        ::SetLastError(ERROR_DISK_FULL);
        return false;
    }
    // Setting the end allocates the clusters on Windows, so that a full disk shows here and not
    // in a later write. The reservation is all or nothing: a failure takes the length back.
    bool ok = SetFilePosition(file, end) && ::SetEndOfFile(Native(file));
    const DWORD error = ::GetLastError();
    if (!ok && SetFilePosition(file, size)) ::SetEndOfFile(Native(file));
    if (!SetFilePosition(file, position)) ok = false;
    if (!ok) ::SetLastError(error);
    return ok;
}

}  // namespace native
}  // namespace platform
