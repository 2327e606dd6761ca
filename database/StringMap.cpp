#include "database/StringMap.h"

#include "database/ByteReader.h"
#include "database/DatabaseFormat.h"

namespace GAME {

void StringMap::Load(const unsigned char* region, std::uint32_t size) {
    stringIds.clear();
    strings.clear();
    ByteReader reader(region, size);
    std::uint32_t word = 0;
    const std::int32_t count = reader.ReadU32(word) ? static_cast<std::int32_t>(word) : 0;
    // Each text takes at least its length word, so a damaged count cannot ask the cache for
    // more slots than the region could describe.
    const std::int64_t possible = static_cast<std::int64_t>(reader.Remaining() / 4);
    literalCache.Reset(count < possible ? count : possible);

    std::string current;
    for (std::int32_t i = 0; i < count; ++i) {
        std::uint32_t length = 0;
        if (!reader.ReadU32(length)) break;
        if (length <= maxTextLength) reader.ReadText(length, current);
        GetStringId(current);
    }
}

int StringMap::FindStringId(const std::string& text) const {
    const auto found = stringIds.find(text);
    return found != stringIds.end() ? found->second : -1;
}

int StringMap::GetStringId(const std::string& text) {
    const int id = FindStringId(text);
    if (id >= 0) return id;
    const int next = static_cast<int>(strings.size());
    stringIds.emplace(text, next);
    strings.push_back(text);
    return next;
}

const std::string* StringMap::GetString(int id) const {
    if (id < 0 || static_cast<std::size_t>(id) >= strings.size()) return nullptr;
    return &strings[static_cast<std::size_t>(id)];
}

int StringMap::GetLiteralId(const char* constantText) {
    if (int* cached = literalCache.Find(constantText)) {
        const std::string* text = GetString(*cached);
        if (text != nullptr && *text == constantText) return *cached;
        const int id = FindStringId(constantText);
        if (id >= 0) *cached = id;
        return id;
    }
    const int id = FindStringId(constantText);
    if (id >= 0) literalCache.Add(constantText, id);
    return id;
}

}  // namespace GAME
