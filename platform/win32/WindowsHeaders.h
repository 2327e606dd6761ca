// <windows.h> for the Win32 implementation of the platform layer, with the macros that would
// rename the layer's own functions (DeleteFile to DeleteFileA, ...) taken away again. The Win32
// calls are made by their "A" names.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>

#undef CreateDirectory
#undef DeleteFile
#undef GetCurrentDirectory
#undef GetFileAttributes
#undef SetCurrentDirectory
#undef SetEnvironmentVariable

namespace platform::win32 {

inline HANDLE Native(std::intptr_t file) { return reinterpret_cast<HANDLE>(file); }
inline std::intptr_t Handle(HANDLE file) { return reinterpret_cast<std::intptr_t>(file); }

// Every open shares reading, writing and deleting: readers run beside an edit, and a file that
// another handle still holds can be deleted or replaced. The one-editor rule is a lock of its own.
constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

inline std::uint64_t Join(DWORD high, DWORD low) { return (std::uint64_t(high) << 32) | low; }

// Closes `file` without changing the last-error value.
inline void CloseKeepingError(HANDLE file) {
    const DWORD saved = ::GetLastError();
    ::CloseHandle(file);
    ::SetLastError(saved);
}

}  // namespace platform::win32
