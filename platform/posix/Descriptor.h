// POSIX file descriptors as the file handles of platform/File.h.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "platform/FileHandle.h"

namespace platform::posix {

inline int Descriptor(FileHandle file) { return static_cast<int>(file); }

/// The descriptor `fd`, just opened without blocking, as a file handle that blocks again. A
/// directory opens for reading on POSIX but is no file the file functions may use, and reading
/// wants a regular file (`forRead`): else `fd` is closed and invalidFileHandle given, with the
/// reason in errno. `*size`, when given, gets the file's length.
FileHandle CheckedFileHandle(int fd, bool forRead, std::uint64_t* size = nullptr);

/// The same for a descriptor whose `status` the caller has just taken.
FileHandle CheckedFileHandle(int fd, bool forRead, const struct stat& status);

}  // namespace platform::posix
