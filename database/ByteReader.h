// Reads little-endian values from a region of memory without ever leaving it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace GAME {

class ByteReader {
public:
    ByteReader(const unsigned char* data, std::uint64_t size) : data(data), size(size) {}

    /// Reads the next 4-byte value; false (and nothing moves) when it would pass the end.
    bool ReadU32(std::uint32_t& value) {
        if (size - position < 4) return false;
        std::memcpy(&value, data + position, 4);
        position += 4;
        return true;
    }

    /// Takes the next `length` bytes as a text; false (and nothing moves) when they would pass
    /// the end.
    bool ReadText(std::uint32_t length, std::string& text) {
        if (size - position < length) return false;
        text.assign(reinterpret_cast<const char*>(data + position), length);
        position += length;
        return true;
    }

    std::uint64_t Remaining() const { return size - position; }

private:
    const unsigned char* data;
    std::uint64_t size;
    std::uint64_t position = 0;
};

}  // namespace GAME
