// Clock, error value, terminal and debugger over POSIX calls. Only generic POSIX code here.
#include "platform/Process.h"

#include <time.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

std::uint32_t MillisecondTimer() {
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms =
        static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

int GetLastErrorValue() { return errno; }

void SetLastErrorValue(int value) { errno = value; }

std::string ErrorText(int value) { return std::strerror(value); }

bool ErrorIsMissingFile(int value) { return value == ENOENT || value == ENOTDIR; }

bool ErrorIsAccessDenied(int value) { return value == EACCES || value == EPERM || value == EROFS; }

void DebugOutput(const char* text) {
    std::fputs(text, stderr);
    std::fflush(stderr);
}

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

bool IsInteractive() { return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1; }

bool IsDebuggerAttached() {
    // Linux names the tracing process in /proc/self/status; elsewhere assume none.
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return false;
    char line[256];
    bool attached = false;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "TracerPid:", 10) == 0) {
            attached = std::strtol(line + 10, nullptr, 10) != 0;
            break;
        }
    }
    std::fclose(status);
    return attached;
}

void DebugBreak() { std::raise(SIGTRAP); }

bool GetProgramPath(std::string* path) {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return false;
    path->assign(buffer, static_cast<std::size_t>(n));
    return true;
}

long ProcessId() { return static_cast<long>(::getpid()); }

void SetEnvironmentVariable(const char* name, const char* value) {
    if (value != nullptr)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

}  // namespace platform
