// Wildcard matching and the enumeration order; the same on every operating system.
#include "platform/FileSystem.h"

#include <cstring>

#include "platform/Ascii.h"

namespace platform {
namespace {

unsigned char Upper(char c) { return static_cast<unsigned char>(AsciiUpper(c)); }

}  // namespace

int CompareFoundNames(const std::string& a, const std::string& b) {
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < common; ++i) {
        const unsigned char x = Upper(a[i]);
        const unsigned char y = Upper(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

bool MatchWildcard(const char* pattern, const char* name) {
    if (pattern == nullptr || name == nullptr) return false;
    if (std::strcmp(pattern, "*.*") == 0) return true;
    // Greedy matching with one backtrack point: linear in practice, never exponential.
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?' || (*pattern != '\0' && AsciiUpper(*pattern) == AsciiUpper(*name))) {
            ++pattern;
            ++name;
        } else if (star != nullptr) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

}  // namespace platform
