// Clock, error value, console and debugger over Win32 calls. Only Win32 code here.
#include "platform/Process.h"

#include "platform/win32/WindowsHeaders.h"

#include <mmsystem.h>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

bool IsConsole(DWORD which) {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}

}  // namespace

std::uint32_t MillisecondTimer() { return ::timeGetTime(); }

int GetLastErrorValue() { return static_cast<int>(::GetLastError()); }

void SetLastErrorValue(int value) { ::SetLastError(static_cast<DWORD>(value)); }

std::string ErrorText(int value) {
    // Asking for the text leaves the last-error value as it was, often the one asked about.
    const DWORD saved = ::GetLastError();
    char buffer[512];
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                    static_cast<DWORD>(value), 0, buffer, sizeof buffer, nullptr);
    ::SetLastError(saved);
    if (length == 0) {
        std::snprintf(buffer, sizeof buffer, "Error %lu", static_cast<unsigned long>(static_cast<DWORD>(value)));
        return buffer;
    }
    // The system's texts end in a full stop and a line break.
    const auto trim = [&] {
        while (length > 0 && std::isspace(static_cast<unsigned char>(buffer[length - 1]))) --length;
    };
    trim();
    if (length > 0 && buffer[length - 1] == '.') --length;
    trim();
    return std::string(buffer, length);
}

bool ErrorIsMissingFile(int value) { return value == ERROR_FILE_NOT_FOUND || value == ERROR_PATH_NOT_FOUND; }

bool ErrorIsAccessDenied(int value) { return value == ERROR_ACCESS_DENIED || value == ERROR_WRITE_PROTECT; }

void DebugOutput(const char* text) {
    ::OutputDebugStringA(text);
    // Without a debugger the line is still seen.
    std::fputs(text, stderr);
    std::fflush(stderr);
}

// A console, not only a character device: NUL is one too, and answers nothing.
bool StandardErrorIsTerminal() { return IsConsole(STD_ERROR_HANDLE); }

bool IsInteractive() { return IsConsole(STD_INPUT_HANDLE) && IsConsole(STD_ERROR_HANDLE); }

bool IsDebuggerAttached() { return ::IsDebuggerPresent() != 0; }

void DebugBreak() { ::DebugBreak(); }

bool GetProgramPath(std::string* path) {
    std::string buffer(MAX_PATH, '\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return false;
        // A path that did not fit comes back cut to the buffer's size.
        if (length < buffer.size()) {
            buffer.resize(length);
            *path = buffer;
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

long ProcessId() { return static_cast<long>(::GetCurrentProcessId()); }

void SetEnvironmentVariable(const char* name, const char* value) {
    // The C library keeps its own copy, which getenv reads; the process's own is what programs
    // started from here inherit. An empty value removes the variable from the C library's copy.
    ::_putenv_s(name, value != nullptr ? value : "");
    ::SetEnvironmentVariableA(name, value);
}

}  // namespace platform
