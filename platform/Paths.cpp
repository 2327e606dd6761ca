// Path rules built on the file-system layer; portable code.
#include "platform/Paths.h"

#include "platform/FileSystem.h"

namespace platform {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

void CreateDirectories(const char* path) {
    if (path == nullptr) return;
    const std::string copy = path;
    for (std::size_t i = 1; i < copy.size(); ++i)
        if (IsSeparator(copy[i]) && !IsSeparator(copy[i - 1])) CreateDirectory(copy.substr(0, i).c_str());
    if (!copy.empty()) CreateDirectory(copy.c_str());
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + '/' + name;
}

std::string ParentFolder(const std::string& path) {
    const std::size_t separator = path.find_last_of("\\/");
    if (separator == std::string::npos) return ".";
    return separator == 0 ? path.substr(0, 1) : path.substr(0, separator);
}

bool IsContainedRelativePath(const std::string& name) {
    if (name.empty() || IsSeparator(name[0])) return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = start;
        while (end < name.size() && !IsSeparator(name[end])) ++end;
        if (name.compare(start, end - start, "..") == 0) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace platform
