#include "Engine/TableStream.h"

#include <cstring>

#include "Engine/MemGrowth.h"
#include "platform/File.h"

namespace GAME {
namespace {

// A run longer than this is no name or block list of a sound index a view is worth taking of.
constexpr std::uint64_t longestRun = 64u << 20;

}  // namespace

TableStream::TableStream(platform::FileHandle file, std::uint64_t start, std::uint64_t length, std::size_t pieceSize)
    : file(file), position(start), left(length), pieceSize(pieceSize) {}

const char* TableStream::Next(std::uint64_t count) {
    if (end - begin < count && !Fill(count)) return nullptr;
    const char* run = buffer.get() + begin;
    begin += static_cast<std::size_t>(count);
    return run;
}

bool TableStream::Fill(std::uint64_t count) {
    const std::size_t held = end - begin;
    if (count > held + left || count > longestRun) return false;
    // Room for the run and a piece more, the bytes held moved to the front.
    const std::size_t wanted =
        static_cast<std::size_t>(count) > pieceSize ? static_cast<std::size_t>(count) : pieceSize;
    if (capacity < wanted) {
        std::unique_ptr<char[]> grown = mem::TryNewArray<char>(wanted);
        if (grown == nullptr) return false;
        if (held != 0) std::memcpy(grown.get(), buffer.get() + begin, held);
        buffer = std::move(grown);
        capacity = wanted;
    } else if (held != 0) {
        std::memmove(buffer.get(), buffer.get() + begin, held);
    }
    begin = 0;
    end = held;
    while (end < count) {
        const std::uint64_t room = capacity - end;
        const std::uint32_t piece = static_cast<std::uint32_t>(room < left ? room : left);
        std::uint32_t bytesRead = 0;
        if (!platform::ReadFileAt(file, buffer.get() + end, piece, position, &bytesRead) || bytesRead != piece)
            return false;
        position += piece;
        left -= piece;
        end += piece;
    }
    return true;
}

}  // namespace GAME
