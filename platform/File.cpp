// The portable front of the file layer: the fault-injection seam over the OS calls, and the
// whole-buffer helpers built on them.
#include "platform/File.h"

#include <new>
#include <stdexcept>

#include "platform/FaultInjection.h"
#include "platform/NativeFile.h"
#include "platform/PowerLoss.h"

namespace platform {
namespace {

// The most one OS call is asked to move; larger transfers go in pieces of this size.
constexpr std::uint64_t largestPiece = 0x40000000u;

std::uint32_t Piece(std::uint64_t left) {
    return static_cast<std::uint32_t>(left < largestPiece ? left : largestPiece);
}

}  // namespace

bool ReadFile(FileHandle file, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) {
    if (InjectFault(FileOperation::read)) {
        if (bytesRead != nullptr) *bytesRead = 0;
        native::SetInjectedError(false);
        return false;
    }
    std::uint32_t done = 0;
    const bool ok = native::ReadFile(file, buffer, count, &done);
    if (bytesRead != nullptr) *bytesRead = done;
    return ok;
}

bool WriteFile(FileHandle file, const void* buffer, std::uint32_t count, std::uint32_t* bytesWritten) {
    std::uint32_t done = 0;
    bool ok;
    if (InjectFault(FileOperation::write)) {
        // A short write puts down half of the bytes before the disk gives out.
        if (detail::ShortWriteArmed()) native::WriteFile(file, buffer, count / 2, &done);
        native::SetInjectedError(true);
        ok = false;
    } else if (detail::powerLossActive && detail::PowerLossBeforeWrite(file, buffer, count)) {
        native::SetInjectedError(false);
        ok = false;
    } else {
        ok = native::WriteFile(file, buffer, count, &done);
    }
    if (bytesWritten != nullptr) *bytesWritten = done;
    return ok;
}

bool WriteFileAt(FileHandle file, const void* buffer, std::uint32_t count, std::uint64_t offset,
                 std::uint32_t* bytesWritten) {
    std::uint32_t done = 0;
    bool ok;
    if (InjectFault(FileOperation::write)) {
        if (detail::ShortWriteArmed()) native::WriteFileAt(file, buffer, count / 2, offset, &done);
        native::SetInjectedError(true);
        ok = false;
    } else if (detail::powerLossActive && detail::PowerLossBeforeWriteAt(file, buffer, count, offset)) {
        native::SetInjectedError(false);
        ok = false;
    } else {
        ok = native::WriteFileAt(file, buffer, count, offset, &done);
    }
    if (bytesWritten != nullptr) *bytesWritten = done;
    return ok;
}

bool SetFilePosition(FileHandle file, std::uint64_t position) {
    if (InjectFault(FileOperation::seek)) {
        native::SetInjectedError(false);
        return false;
    }
    return native::SetFilePosition(file, position);
}

bool SetEndOfFile(FileHandle file) {
    if (InjectFault(FileOperation::truncate) || (detail::powerLossActive && detail::PowerLossBeforeCut(file))) {
        native::SetInjectedError(false);
        return false;
    }
    return native::SetEndOfFile(file);
}

bool ReserveFileSpace(FileHandle file, std::uint64_t end) {
    if (InjectFault(FileOperation::reserve)) {
        native::SetInjectedError(true);
        return false;
    }
    if (detail::powerLossActive && detail::PowerLossBeforeReserve(file, end)) {
        native::SetInjectedError(false);
        return false;
    }
    return native::ReserveFileSpace(file, end);
}

bool FlushFile(FileHandle file) {
    if (InjectFault(FileOperation::flush) || (detail::powerLossActive && detail::PowerLossBeforeFlush(file))) {
        native::SetInjectedError(false);
        return false;
    }
    return native::FlushFile(file);
}

void StartWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t length) {
    native::StartWriteBack(file, offset, length);
}

void CloseFile(FileHandle file) {
    if (file == invalidFileHandle) return;
    if (detail::powerLossActive && detail::PowerLossKeepsOpen(file)) return;
    native::CloseFile(file);
}

bool DeleteFile(const char* path) {
    if (InjectFault(FileOperation::remove) || (detail::powerLossActive && detail::PowerLossBeforeDelete(path))) {
        native::SetInjectedError(false);
        return false;
    }
    return native::DeleteFile(path);
}

bool FlushDirectory(const char* path) {
    if (detail::powerLossActive && detail::PowerLossBeforeFolderFlush(path)) {
        native::SetInjectedError(false);
        return false;
    }
    return native::FlushDirectory(path);
}

FileHandle OpenFileForEdit(const char* path) {
    if (!detail::powerLossActive) return native::OpenFileForEdit(path);
    const bool existed = detail::PowerLossPathExists(path);
    if (detail::PowerLossBeforeCreate(path)) {
        native::SetInjectedError(false);
        return invalidFileHandle;
    }
    const FileHandle file = native::OpenFileForEdit(path);
    if (file != invalidFileHandle && !existed) detail::PowerLossCreated(path, file);
    return file;
}

FileHandle CreateNewFile(const char* path) {
    if (detail::powerLossActive && detail::PowerLossBeforeCreate(path)) {
        native::SetInjectedError(false);
        return invalidFileHandle;
    }
    const FileHandle file = native::CreateNewFile(path);
    if (detail::powerLossActive && file != invalidFileHandle) detail::PowerLossCreated(path, file);
    return file;
}

std::uint64_t ReadUpTo(FileHandle file, void* buffer, std::uint64_t count) {
    std::uint64_t done = 0;
    while (done < count) {
        const std::uint32_t piece = Piece(count - done);
        std::uint32_t bytesRead = 0;
        const bool ok = ReadFile(file, static_cast<char*>(buffer) + done, piece, &bytesRead);
        done += bytesRead;
        if (!ok || bytesRead < piece) break;
    }
    return done;
}

bool ReadExactly(FileHandle file, void* buffer, std::uint64_t count) { return ReadUpTo(file, buffer, count) == count; }

bool WriteAll(FileHandle file, const void* buffer, std::uint64_t count) {
    for (std::uint64_t done = 0; done < count;) {
        std::uint32_t bytesWritten = 0;
        if (!WriteFile(file, static_cast<const char*>(buffer) + done, Piece(count - done), &bytesWritten)) return false;
        done += bytesWritten;
    }
    return true;
}

bool WriteAllAt(FileHandle file, const void* buffer, std::uint64_t count, std::uint64_t offset) {
    for (std::uint64_t done = 0; done < count;) {
        std::uint32_t bytesWritten = 0;
        if (!WriteFileAt(file, static_cast<const char*>(buffer) + done, Piece(count - done), offset + done,
                         &bytesWritten))
            return false;
        done += bytesWritten;
    }
    return true;
}

bool ReadWholeFile(const char* path, std::vector<unsigned char>* contents, std::uint64_t sizeLimit) {
    contents->clear();
    const UniqueFile file(OpenFileForRead(path));
    std::uint64_t size = 0;
    if (!file || !GetFileSize(file.Get(), &size) || size > sizeLimit) return false;
    try {
        contents->resize(size);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    const std::uint64_t arrived = ReadUpTo(file.Get(), contents->data(), size);
    // A file that shrank since its size was taken gives what it still has.
    contents->resize(arrived);
    return true;
}

}  // namespace platform
