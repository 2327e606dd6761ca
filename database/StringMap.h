// The database's texts: each stored once and known by its string id, dense from 0 in order of
// first appearance.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "database/LiteralIdCache.h"

namespace GAME {

class StringMap {
public:
    /// Replaces the contents with the texts of one string-table region. A text that repeats an
    /// earlier one gets no id; a length that is too long or runs past the region takes no
    /// bytes and repeats the text before it. Nothing outside the region is read.
    void Load(const unsigned char* region, std::uint32_t size);

    /// The id of `text`, or -1.
    int FindStringId(const std::string& text) const;

    /// The id of `text`; a text not yet known is added with the next free id.
    int GetStringId(const std::string& text);

    /// The text with id `id`, or null when there is none.
    const std::string* GetString(int id) const;

    /// The id of a constant text of the program, looked up through the literal cache, or -1.
    int GetLiteralId(const char* constantText);

    std::size_t Size() const { return strings.size(); }
    const LiteralIdCache& Cache() const { return literalCache; }

private:
    std::unordered_map<std::string, int> stringIds;
    std::vector<std::string> strings;
    LiteralIdCache literalCache;
};

}  // namespace GAME
