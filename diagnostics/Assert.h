// Assertion checks that stay active in the shipped tool.
//
// A failed check is not fatal by itself: it writes one report line, asks the user what to do
// (or ignores the failure when nobody can answer), and then the site carries on along its own
// failure path. Each site has its own ignore-always flag.
//
//     if (!GAME_CHECK(archiveHeader.version == ARCHIVE_VERSION)) return false;
//     GAME_ASSERT_MSG(block->compressedSize == bytesRead, "Error reading archive file.");
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/Process.h"

namespace diag {

/// Reports a failed check: formats "%s(%i) : [Assert] (%s) %s\n" (cut to 1024 characters) to
/// the debugger output, then runs ShowAssertDialog. The caller's last-error value is the same
/// afterwards as before. `message` may be null. Gives true when the site is to break into the
/// debugger.
bool AssertReport(const char* expression, const char* message, const char* file, int line, bool* ignoreAlways);

/// The same for a check site, whose ignore-always flag worker threads may read while the thread
/// that shows the dialog sets it. While a HeldAssertReports lives on the calling thread the
/// report is kept there instead, and the site carries on as after Ignore.
bool AssertReport(const char* expression, const char* message, const char* file, int line,
                  std::atomic<bool>* ignoreAlways);

/// A failed check whose report was held (see HeldAssertReports).
struct HeldAssertReport {
    const char* expression;
    std::string message;
    bool hasMessage;
    const char* file;
    int line;
    std::atomic<bool>* ignoreAlways;
};

/// Keeps the reports of the checks that fail on this thread while it lives, so that work done on
/// a worker thread can have its reports shown later, in the order the results are told, by the
/// thread that tells them. Scopes do not nest.
class HeldAssertReports {
public:
    HeldAssertReports();
    ~HeldAssertReports();
    HeldAssertReports(const HeldAssertReports&) = delete;
    HeldAssertReports& operator=(const HeldAssertReports&) = delete;

    /// Gives the reports held since the last call, oldest first, and forgets them.
    std::vector<HeldAssertReport> Take();

    /// Shows `reports` as their checks would have, on the calling thread: a site set to be
    /// ignored always meanwhile is passed over, and Debug breaks here.
    static void Show(const std::vector<HeldAssertReport>& reports);

private:
    std::vector<HeldAssertReport> reports;
};

/// Asks what to do about a failed check: in the "Assert Failed!" dialog on Windows, at the
/// terminal elsewhere. When nobody can be asked (no desktop, no terminal on standard input and
/// standard error) the answer is Ignore. The user picks Debug, Ignore, Ignore Always or Exit;
/// Debug without an attached debugger acts as Ignore. Ignore Always sets `*ignoreAlways`. Exit
/// runs the exit handlers and ends the process with status 0.
bool ShowAssertDialog(const char* expression, const char* message, const char* file, int line, bool* ignoreAlways);

/// A function that Exit runs before it ends the process, with the context it was added with.
using AssertExitHandler = void (*)(void* context);

/// Adds a handler; the archive editor adds one per archive open for edit, so that Exit writes
/// its index first. Handlers run newest first.
void AddAssertExitHandler(AssertExitHandler handler, void* context);

/// Removes the handler added with the same pair; does nothing when there is none.
void RemoveAssertExitHandler(AssertExitHandler handler, void* context);

/// Runs and forgets every exit handler.
void RunAssertExitHandlers();

}  // namespace diag

// Evaluates `condition` once and gives its truth value; reports when it is false.
#define GAME_CHECK_MSG(condition, message)                                                                           \
    ([&]() -> bool {                                                                                                 \
        static std::atomic<bool> ignoreAlways{false};                                                                \
        const bool holds = static_cast<bool>(condition);                                                             \
        if (!holds && !ignoreAlways && ::diag::AssertReport(#condition, message, __FILE__, __LINE__, &ignoreAlways)) \
            ::platform::DebugBreak();                                                                                \
        return holds;                                                                                                \
    }())

#define GAME_CHECK(condition) GAME_CHECK_MSG(condition, nullptr)

#define GAME_ASSERT_MSG(condition, message)       \
    do {                                          \
        (void)GAME_CHECK_MSG(condition, message); \
    } while (0)

#define GAME_ASSERT(condition) GAME_ASSERT_MSG(condition, nullptr)
