#include "tool/NamePattern.h"

#include <cstring>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/FolderListing.h"

namespace tool {

bool IsNamePattern(const char* argument) { return std::strpbrk(argument, "*?") != nullptr; }

bool MatchesNamePattern(const std::string& pattern, const std::string& name) {
    const std::vector<std::string> wanted = platform::PathComponents(pattern);
    const std::vector<std::string> parts = platform::PathComponents(name);
    // reaches[j]: the components of the pattern matched so far can end just before part j.
    std::vector<char> reaches(parts.size() + 1, 0);
    reaches[0] = 1;
    for (const std::string& component : wanted) {
        std::vector<char> next(parts.size() + 1, 0);
        for (std::size_t j = 0; j <= parts.size(); ++j) {
            if (component == "**") {
                next[j] = reaches[j] || (j > 0 && next[j - 1]);
            } else if (j > 0 && reaches[j - 1]) {
                next[j] = platform::MatchWildcard(component.c_str(), parts[j - 1].c_str());
            }
        }
        reaches.swap(next);
    }
    return reaches[parts.size()] != 0;
}

}  // namespace tool
