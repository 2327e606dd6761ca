// An open file that closes itself: the owner of a FileHandle.
#pragma once

#include <utility>

#include "platform/FileHandle.h"

namespace platform {

void CloseFile(FileHandle file);

/// Owns one handle (or none) and closes it when it goes, so that no path out of a function can
/// leave a file open. Moves, never copies.
class UniqueFile {
public:
    UniqueFile() = default;
    explicit UniqueFile(FileHandle file) : handle(file) {}
    UniqueFile(UniqueFile&& other) noexcept : handle(other.Release()) {}
    UniqueFile& operator=(UniqueFile&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;
    ~UniqueFile() { CloseFile(handle); }

    /// The handle, still owned.
    FileHandle Get() const { return handle; }
    /// True when a file is open.
    explicit operator bool() const { return handle != invalidFileHandle; }
    /// Gives up the handle without closing it.
    FileHandle Release() { return std::exchange(handle, invalidFileHandle); }
    /// Closes the file now (when one is open) and takes `file` instead.
    void Reset(FileHandle file = invalidFileHandle) { CloseFile(std::exchange(handle, file)); }

private:
    FileHandle handle = invalidFileHandle;
};

}  // namespace platform
