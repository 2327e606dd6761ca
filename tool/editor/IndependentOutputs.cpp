#include "tool/editor/IndependentOutputs.h"

#include <unordered_map>
#include <unordered_set>

#include "platform/Ascii.h"
#include "platform/FolderListing.h"
#include "platform/Paths.h"

namespace GAME {
namespace {

// The component as the file system compares it, or empty when that cannot be told from ASCII.
std::string Folded(const std::string& component) {
    std::string folded;
    folded.reserve(component.size());
    for (const char c : component) {
        if (static_cast<unsigned char>(c) >= 0x80 || c == '~' || c == ':') return std::string();
        folded += platform::AsciiLower(c);
    }
    while (!folded.empty() && (folded.back() == '.' || folded.back() == ' ')) folded.pop_back();
    return folded;
}

}  // namespace

bool OutputsAreIndependent(const Archive& archive, const std::vector<int>& records, const std::string& folder) {
    std::unordered_map<std::string, std::string> folders;  // folded path -> its spelling
    std::unordered_set<std::string> files;                 // folded paths
    for (const int record : records) {
        const Archive::FileEntry& entry = archive.GetFileEntry(record);
        if (!(entry.flags & Archive::fileFlagInUse) || entry.name == nullptr) continue;
        if (!platform::IsContainedRelativePath(entry.name)) continue;  // refused, wherever it is
        const std::vector<std::string> components = platform::PathComponents(platform::JoinPath(folder, entry.name));
        std::string folded, spelt;
        for (std::size_t level = 0; level < components.size(); ++level) {
            const std::string component = Folded(components[level]);
            if (component.empty()) return false;
            folded += '/' + component;
            spelt += '/' + components[level];
            if (level + 1 < components.size()) {
                const auto known = folders.emplace(folded, spelt);
                if ((!known.second && known.first->second != spelt) || files.count(folded) != 0) return false;
            } else if (folders.count(folded) != 0 || !files.insert(folded).second) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace GAME
