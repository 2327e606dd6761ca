// The assertion report line and the exit handlers.
#include "diagnostics/Assert.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

namespace diag {
namespace {

// The reports held on this thread, while a HeldAssertReports lives on it.
thread_local std::vector<HeldAssertReport>* heldReports = nullptr;

std::vector<std::pair<AssertExitHandler, void*>>& ExitHandlers() {
    static std::vector<std::pair<AssertExitHandler, void*>> handlers;
    return handlers;
}

}  // namespace

bool AssertReport(const char* expression, const char* message, const char* file, int line, bool* ignoreAlways) {
    const int lastError = platform::GetLastErrorValue();
    char buffer[1024];
    std::snprintf(buffer, sizeof buffer, "%s(%i) : [Assert] (%s) %s\n", file, line, expression,
                  message != nullptr ? message : "");
    platform::DebugOutput(buffer);
    const bool breakIntoDebugger = ShowAssertDialog(expression, message, file, line, ignoreAlways);
    platform::SetLastErrorValue(lastError);
    return breakIntoDebugger;
}

bool AssertReport(const char* expression, const char* message, const char* file, int line,
                  std::atomic<bool>* ignoreAlways) {
    if (heldReports != nullptr) {
        heldReports->push_back(
            {expression, message != nullptr ? message : "", message != nullptr, file, line, ignoreAlways});
        return false;
    }
    bool ignore = false;
    const bool breakIntoDebugger = AssertReport(expression, message, file, line, &ignore);
    if (ignore) ignoreAlways->store(true);
    return breakIntoDebugger;
}

HeldAssertReports::HeldAssertReports() { heldReports = &reports; }

HeldAssertReports::~HeldAssertReports() { heldReports = nullptr; }

std::vector<HeldAssertReport> HeldAssertReports::Take() { return std::exchange(reports, {}); }

void HeldAssertReports::Show(const std::vector<HeldAssertReport>& reports) {
    for (const HeldAssertReport& report : reports) {
        if (report.ignoreAlways->load()) continue;
        if (AssertReport(report.expression, report.hasMessage ? report.message.c_str() : nullptr, report.file,
                         report.line, report.ignoreAlways))
            platform::DebugBreak();
    }
}

void AddAssertExitHandler(AssertExitHandler handler, void* context) { ExitHandlers().emplace_back(handler, context); }

void RemoveAssertExitHandler(AssertExitHandler handler, void* context) {
    auto& handlers = ExitHandlers();
    handlers.erase(std::remove(handlers.begin(), handlers.end(), std::make_pair(handler, context)), handlers.end());
}

void RunAssertExitHandlers() {
    auto& handlers = ExitHandlers();
    while (!handlers.empty()) {
        const auto handler = handlers.back();
        handlers.pop_back();
        handler.first(handler.second);
    }
}

}  // namespace diag
