// Opening, reading, writing and positioning files. Paths may use '\' or '/' as the separator.
//
// The reads, writes, seeks, cuts and reservations pass through the fault-injection seam
// (platform/FaultInjection.h), and so does every helper built on them here.
//
// Every function sets the last-error value (platform/Process.h) when it fails, so that a caller
// can examine why after an assertion report.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/FileHandle.h"
#include "platform/UniqueFile.h"

namespace platform {

/// Opens an existing file for reading; other readers may open it too. Gives invalidFileHandle
/// when the file is missing or cannot be opened, and for anything that is not a regular file (a
/// directory, a FIFO, a device), without waiting for a FIFO's writer.
FileHandle OpenFileForRead(const char* path);

/// The same, giving the file's length in `*size` as it was when it opened.
FileHandle OpenFileForRead(const char* path, std::uint64_t* size);

/// Opens a file for reading and writing, creating it (empty) when it is missing. The file is
/// not truncated. Gives invalidFileHandle on failure.
FileHandle OpenFileForEdit(const char* path);

/// Opens a file for writing, creating it when it is missing and cutting it to length 0 when it
/// exists, so that what is written is exactly what the file holds. Gives invalidFileHandle on
/// failure.
FileHandle OpenOutputFile(const char* path);

/// Creates a new, empty file at `path`, open for reading and writing. Gives invalidFileHandle
/// when anything exists there already, a symbolic link (dangling or not) included, so that the
/// file written is always the one made here and never what a link points to.
FileHandle CreateNewFile(const char* path);

/// Opens the existing regular file at `path` for reading without following a symbolic link:
/// a link, a directory, a FIFO or a device there gives invalidFileHandle, as a missing file
/// does. The last-error value tells the two apart (ErrorIsMissingFile, platform/Process.h).
FileHandle OpenRegularFileForRead(const char* path);

/// The two kinds of lock on an archive: readers share theirs; an edit takes one of its own.
enum class LockMode {
    shared,
    exclusive,
};

/// Takes the lock of an open file in `mode`, without waiting. Gives false when another handle
/// (in this or another process) holds a lock that cannot go with it. A handle that holds the
/// other mode converts its lock, at once or not at all: when the conversion cannot be had, it
/// keeps the lock it held, and no other handle can take a lock in between. A shared lock needs
/// only read access. The lock ends when the handle is closed.
bool LockFile(FileHandle file, LockMode mode);

/// Which file an open handle reads: the volume and file id that FileAttributes gives for it.
bool GetFileIdentity(FileHandle file, std::uint64_t* volume, std::uint64_t* fileId);

/// Closes the handle. Closing invalidFileHandle does nothing.
void CloseFile(FileHandle file);

/// Reads up to `count` bytes at the current position. `*bytesRead` receives the count that
/// arrived; fewer than `count` only at the end of the file. Gives false on a read error; the
/// position then lies somewhere after the bytes that were counted.
bool ReadFile(FileHandle file, void* buffer, std::uint32_t count, std::uint32_t* bytesRead);

/// Reads up to `count` bytes at `offset` without using or moving the file position, so that
/// several threads may read one handle at once. `*bytesRead` receives the count that arrived;
/// fewer than `count` only at the end of the file, learnt without a second call. It bypasses the
/// fault-injection seam, whose counts belong to one thread. On Windows the position still moves
/// somewhere: a handle read this way is read no other way.
bool ReadFileAt(FileHandle file, void* buffer, std::uint32_t count, std::uint64_t offset, std::uint32_t* bytesRead);

/// Writes `count` bytes at the current position. `*bytesWritten` receives the count written,
/// which is below `count` only when the call gives false (a full disk, a size limit, an error).
bool WriteFile(FileHandle file, const void* buffer, std::uint32_t count, std::uint32_t* bytesWritten);

/// Writes `count` bytes at `offset`, in one call where the system has one, as WriteFile writes
/// them at the current position. The position afterwards is unspecified.
bool WriteFileAt(FileHandle file, const void* buffer, std::uint32_t count, std::uint64_t offset,
                 std::uint32_t* bytesWritten);

/// Moves the position to `position` bytes from the start. A position past the end is allowed.
bool SetFilePosition(FileHandle file, std::uint64_t position);

/// Gives the current position in `*position`.
bool GetFilePosition(FileHandle file, std::uint64_t* position);

/// Gives the file's length in `*size`.
bool GetFileSize(FileHandle file, std::uint64_t* size);

/// Cuts (or extends) the file at the current position.
bool SetEndOfFile(FileHandle file);

/// Makes every byte written to the file so far durable: on the disk, not only in the operating
/// system's cache, so that a power cut cannot lose or reorder it.
bool FlushFile(FileHandle file);

/// Asks the operating system to start writing the given bytes of the file to disk now, without
/// waiting for it, so that a later FlushFile has little left to wait for. Only a hint: where
/// there is no such call it does nothing.
void StartWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t length);

/// Makes sure the disk holds room for the file up to `end` bytes, extending it with zeros where
/// it is shorter. Gives false, leaving the file's length as it was, when the disk is full or a
/// file-size limit is in the way. The position does not move.
bool ReserveFileSpace(FileHandle file, std::uint64_t end);

/// Deletes the file at `path`. Gives false when it cannot be deleted (a missing file included).
bool DeleteFile(const char* path);

/// Makes the directory `path` durable as it stands: files created in it or deleted from it stay
/// so after a power cut.
bool FlushDirectory(const char* path);

// Whole-buffer helpers. They take any length, in as many calls as a 32-bit count needs.

/// Reads up to `count` bytes at the current position and gives the count that arrived; fewer
/// at the end of the file or on a read error.
std::uint64_t ReadUpTo(FileHandle file, void* buffer, std::uint64_t count);

/// Reads exactly `count` bytes at the current position. Gives false when fewer arrive.
bool ReadExactly(FileHandle file, void* buffer, std::uint64_t count);

/// Writes all `count` bytes at the current position. Gives false when any of them could not be
/// written.
bool WriteAll(FileHandle file, const void* buffer, std::uint64_t count);

/// Writes all `count` bytes at `offset`; the position afterwards is unspecified.
bool WriteAllAt(FileHandle file, const void* buffer, std::uint64_t count, std::uint64_t offset);

/// Reads the whole file at `path` into `*contents`. Gives false, with `*contents` empty, when
/// the file cannot be opened or its size taken, when it is longer than `sizeLimit` bytes, or
/// when there is no memory for it.
bool ReadWholeFile(const char* path, std::vector<unsigned char>* contents, std::uint64_t sizeLimit = UINT64_MAX);

}  // namespace platform
