// Stopping a run cleanly on Ctrl+C, Ctrl+Break and a closed console, over the console's control
// handler. Only Win32 code here.
#include "platform/Signals.h"

#include <cstdio>

#include "platform/win32/WindowsHeaders.h"

namespace platform {
namespace {

// The numbers the run reports (exit status 128 + n), as the C library numbers the signals;
// Windows has no hang-up signal, so a closed console takes the number it has elsewhere.
constexpr LONG interrupt = 2;
constexpr LONG hangUp = 1;
constexpr LONG breakSignal = 21;
constexpr LONG brokenPipe = 13;

// How long a closed console waits for the run to write its index; Windows ends the process
// itself some seconds after the close.
constexpr DWORD closeGrace = 4000;

volatile LONG stopSignal = 0;

BOOL WINAPI RecordStop(DWORD event) {
    LONG signal;
    switch (event) {
        case CTRL_C_EVENT: signal = interrupt; break;
        case CTRL_BREAK_EVENT: signal = breakSignal; break;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: signal = hangUp; break;
        default: return FALSE;
    }
    ::InterlockedCompareExchange(&stopSignal, signal, 0);
    // Returning from a close ends the process; waiting here lets the work stop at the next file
    // and write its index first. The process ends with the run, this wait or not.
    if (signal == hangUp) ::Sleep(closeGrace);
    return TRUE;
}

// Faults are not ours to handle: they go on to the system's own report.
LONG WINAPI DeclineException(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

}  // namespace

void InstallStopSignalHandlers() {
    ::SetUnhandledExceptionFilter(DeclineException);
    ::SetConsoleCtrlHandler(RecordStop, TRUE);
}

namespace {

// Windows raises nothing when the reader of standard output goes away (`brannock ... | more`
// quit early): the writes there fail instead, and the stream keeps the error.
bool StandardOutputPipeClosed() {
    return std::ferror(stdout) != 0 && ::GetFileType(::GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_PIPE;
}

}  // namespace

int StopSignal() {
    if (::InterlockedCompareExchange(&stopSignal, 0, 0) == 0 && StandardOutputPipeClosed())
        ::InterlockedCompareExchange(&stopSignal, brokenPipe, 0);
    return static_cast<int>(::InterlockedCompareExchange(&stopSignal, 0, 0));
}

}  // namespace platform
