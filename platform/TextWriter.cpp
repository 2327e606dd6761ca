// Buffered text output over the file layer; portable code.
#include "platform/TextWriter.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/File.h"

namespace platform {
namespace {

// Text is held until this much has gathered, then written in one call.
constexpr std::size_t flushThreshold = 1u << 20;

}  // namespace

bool TextWriter::Open(const char* path) {
    Close();
    failed = false;
    file.Reset(OpenOutputFile(path));
    return static_cast<bool>(file);
}

bool TextWriter::Adopt(FileHandle handle) {
    Close();
    failed = false;
    file.Reset(handle);
    return static_cast<bool>(file);
}

void TextWriter::Write(const char* text, std::size_t length) {
    pending.append(text, length);
    if (pending.size() >= flushThreshold) Flush();
}

void TextWriter::Write(const char* text) { Write(text, std::strlen(text)); }

void TextWriter::Print(const char* format, ...) {
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length < 0) {
        failed = true;
        return;
    }
    if (static_cast<std::size_t>(length) < sizeof line) {
        Write(line, static_cast<std::size_t>(length));
        return;
    }
    // A longer text is formatted again into room of its own size.
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    va_start(arguments, format);
    std::vsnprintf(text.data(), text.size(), format, arguments);
    va_end(arguments);
    Write(text.data(), static_cast<std::size_t>(length));
}

void TextWriter::Flush() {
    if (!pending.empty() && !(file && WriteAll(file.Get(), pending.data(), pending.size()))) failed = true;
    pending.clear();
}

bool TextWriter::Close() {
    if (!file) {
        pending.clear();
        return false;
    }
    Flush();
    file.Reset();
    return !failed;
}

}  // namespace platform
