// The process and its surroundings: the clock, the error value, the terminal, the debugger.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

/// A millisecond count from a steady clock, wrapping at 2^32. Only differences mean anything.
std::uint32_t MillisecondTimer();

/// The calling thread's last-error value, as set by the failing platform call.
int GetLastErrorValue();

/// Sets the calling thread's last-error value.
void SetLastErrorValue(int value);

/// The system's short text for a last-error value, such as "Permission denied", without a
/// trailing full stop or line feed.
std::string ErrorText(int value);

/// True when the last-error value `value` says that a path names nothing.
bool ErrorIsMissingFile(int value);

/// True when the last-error value `value` says that the file may not be opened as asked: no
/// permission, or a volume that may only be read.
bool ErrorIsAccessDenied(int value);

/// Writes one debugger-output line. Here it goes to standard error.
void DebugOutput(const char* text);

/// True when standard input and standard error are both terminals, so that a question can be
/// asked and answered.
bool IsInteractive();

/// True when standard error is a terminal (on Windows, a console): a line there may rewrite itself.
bool StandardErrorIsTerminal();

/// True when a debugger is attached to the process.
bool IsDebuggerAttached();

/// Stops in the attached debugger.
void DebugBreak();

/// Gives the path of the running program in `*path`.
bool GetProgramPath(std::string* path);

/// The operating system's number for the calling process; a forked child has its own.
long ProcessId();

/// Sets an environment variable of the process, or removes it when `value` is null.
void SetEnvironmentVariable(const char* name, const char* value);

}  // namespace platform
