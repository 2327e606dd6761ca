// The operating system's side of the file operations that the fault-injection seam (and the
// power-loss simulation built on it) covers.
// Each OS implementation (platform/posix/, ...) defines these; the portable front in
// platform/File.cpp wraps them with the seam, so no implementation repeats it. Nothing outside
// platform/ includes this header.
#pragma once

#include <cstdint>

#include "platform/FileHandle.h"

namespace platform::native {

bool ReadFile(FileHandle file, void* buffer, std::uint32_t count, std::uint32_t* bytesRead);
bool WriteFile(FileHandle file, const void* buffer, std::uint32_t count, std::uint32_t* bytesWritten);
bool WriteFileAt(FileHandle file, const void* buffer, std::uint32_t count, std::uint64_t offset,
                 std::uint32_t* bytesWritten);
bool SetFilePosition(FileHandle file, std::uint64_t position);
bool SetEndOfFile(FileHandle file);
bool ReserveFileSpace(FileHandle file, std::uint64_t end);
bool FlushFile(FileHandle file);
void StartWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t length);
void CloseFile(FileHandle file);
bool DeleteFile(const char* path);
bool FlushDirectory(const char* path);
FileHandle OpenFileForEdit(const char* path);
FileHandle CreateNewFile(const char* path);

/// Sets the last-error value to the OS's code for an I/O error (`diskFull` for a full disk),
/// as an injected fault reports it.
void SetInjectedError(bool diskFull);

}  // namespace platform::native
