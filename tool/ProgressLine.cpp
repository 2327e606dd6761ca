#include "tool/ProgressLine.h"

#include <cstdio>

#include "platform/Process.h"

namespace tool {
namespace {

constexpr std::uint32_t redrawInterval = 200;  // milliseconds
constexpr double mebibyte = 1024.0 * 1024.0;

}  // namespace

std::string ProgressText(const char* what, std::uint64_t done, std::uint64_t total, std::uint32_t milliseconds) {
    char text[160];
    int length = std::snprintf(text, sizeof text, "%s: %.0f / %.0f MiB", what, done / mebibyte, total / mebibyte);
    if (milliseconds > 0 && done > 0 && length > 0) {
        const double rate = done / mebibyte / (milliseconds / 1000.0);
        const std::uint64_t secondsLeft =
            done < total ? static_cast<std::uint64_t>((total - done) / mebibyte / rate + 0.5) : 0;
        std::snprintf(text + length, sizeof text - length, ", %.0f MiB/s, %u:%02u left", rate,
                      static_cast<unsigned>(secondsLeft / 60), static_cast<unsigned>(secondsLeft % 60));
    }
    return text;
}

ProgressLine::ProgressLine(const char* what, std::uint64_t total)
    : what(what),
      total(total),
      shown(total > 0 && platform::StandardErrorIsTerminal()),
      start(platform::MillisecondTimer()),
      lastDrawn(start) {}

ProgressLine::~ProgressLine() { Finish(); }

void ProgressLine::Update(std::uint64_t done) {
    const std::uint32_t now = platform::MillisecondTimer();
    if (!shown || now - lastDrawn < redrawInterval) return;
    lastDrawn = now;
    const std::string text = ProgressText(what.c_str(), done, total, now - start);
    // Spaces over what a longer line before left, then back to the line's start.
    const std::size_t pad = width > text.size() ? width - text.size() : 0;
    std::fprintf(stderr, "\r%s%*s\r", text.c_str(), static_cast<int>(pad), "");
    std::fflush(stderr);
    width = text.size();
}

void ProgressLine::Finish() {
    if (width == 0) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(width), "");
    std::fflush(stderr);
    width = 0;
}

}  // namespace tool
