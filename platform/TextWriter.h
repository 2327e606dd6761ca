// Writing a text file through the file layer, so that fault injection covers it as it covers
// the archive.
#pragma once

#include <cstddef>
#include <string>

#include "platform/UniqueFile.h"

namespace platform {

/// Collects text and writes it to one output file in large pieces. A failed write is
/// remembered; Close tells whether every byte reached the file.
class TextWriter {
public:
    /// Creates the file at `path`, or cuts it to nothing when it exists. Gives false when it
    /// cannot be opened.
    bool Open(const char* path);

    /// Takes `file`, open for writing and from now on owned here. Gives false when it is
    /// invalidFileHandle.
    bool Adopt(FileHandle file);

    void Write(const char* text, std::size_t length);
    void Write(const std::string& text) { Write(text.data(), text.size()); }
    void Write(const char* text);

    /// Writes as printf does.
    void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));

    /// Writes what is still held and closes the file. Gives false when the file never opened
    /// or any write failed.
    bool Close();

    ~TextWriter() { Close(); }

private:
    void Flush();

    UniqueFile file;
    std::string pending;
    bool failed = false;
};

}  // namespace platform
