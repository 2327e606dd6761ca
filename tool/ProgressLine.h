// A line on standard error that tells how far long work has come, where a person watches.
#pragma once

#include <cstdint>
#include <string>

namespace tool {

/// "<what>: <done> / <total> MiB, <rate> MiB/s, <time> left": the text of a progress line after
/// `milliseconds` of work. The rate and the time left are left out until there is a rate.
std::string ProgressText(const char* what, std::uint64_t done, std::uint64_t total, std::uint32_t milliseconds);

/// A single file this large shows a progress line while it is added or extracted.
constexpr std::uint64_t largeFileBytes = 64u << 20;

/// One line on standard error that rewrites itself as work goes on, shown only when standard
/// error is a terminal: scripts and redirected output see nothing of it. The line is cleared when the work ends (Finish
/// or destruction), so that what the tool prints afterwards starts on a clean line.
class ProgressLine {
public:
    ProgressLine(const char* what, std::uint64_t total);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    /// Tells that `done` bytes are done; the line is redrawn at most five times a second.
    void Update(std::uint64_t done);

    /// Clears the line.
    void Finish();

private:
    const std::string what;
    const std::uint64_t total;
    const bool shown;
    const std::uint32_t start;
    std::uint32_t lastDrawn;
    std::size_t width = 0;  // of the line on the terminal, to clear it
};

}  // namespace tool
