// One table of an archive's index read front to back in pieces, so that a pass over a large
// index holds only a piece of it in memory at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/FileHandle.h"

namespace GAME {

class TableStream {
public:
    /// The `length` bytes at `start` of the open `file`, read `pieceSize` bytes at a time.
    TableStream(platform::FileHandle file, std::uint64_t start, std::uint64_t length, std::size_t pieceSize);

    /// The next `count` bytes of the table, in one run, valid until the next call. Null when the
    /// table ends before them, a read fails, or memory for so long a run cannot be had.
    const char* Next(std::uint64_t count);

private:
    bool Fill(std::uint64_t count);

    platform::FileHandle file;
    std::uint64_t position;  // of the next byte to read from the file
    std::uint64_t left;      // bytes of the table not yet read
    std::size_t pieceSize;
    std::unique_ptr<char[]> buffer;
    std::size_t capacity = 0;
    std::size_t begin = 0;  // the bytes read and not yet given lie in [begin, end)
    std::size_t end = 0;
};

}  // namespace GAME
