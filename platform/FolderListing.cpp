// Names compared with ASCII case ignored, and the paths found through them; portable code. The
// folders are read by platform/<os>/FolderListing.cpp.
#include "platform/FolderListing.h"

#include <algorithm>

#include "platform/Ascii.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"

namespace platform {
namespace {

std::string Folded(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) c = AsciiLower(c);
    return folded;
}

}  // namespace

void FolderListing::Add(const std::string& name, bool isFolder) {
    std::vector<Entry>& same = entries[Folded(name)];
    const auto at = std::lower_bound(same.begin(), same.end(), name,
                                     [](const Entry& entry, const std::string& wanted) { return entry.name < wanted; });
    if (at != same.end() && at->name == name) return;
    same.insert(at, Entry{name, isFolder});
    ++count;
}

const std::string* FolderListing::Match(const std::string& name, bool wantFolder) const {
    const auto found = entries.find(Folded(name));
    if (found == entries.end() || found->second.empty()) return nullptr;
    const Entry* ofTheKind = nullptr;
    for (const Entry& entry : found->second) {
        if (entry.name == name) return &entry.name;
        if (ofTheKind == nullptr && entry.isFolder == wantFolder) ofTheKind = &entry;
    }
    return ofTheKind != nullptr ? &ofTheKind->name : &found->second.front().name;
}

std::vector<std::string> FolderListing::Spellings(const std::string& name) const {
    std::vector<std::string> spellings;
    const auto found = entries.find(Folded(name));
    if (found == entries.end()) return spellings;
    for (const Entry& entry : found->second)
        if (entry.name == name) spellings.push_back(entry.name);
    for (const Entry& entry : found->second)
        if (entry.name != name) spellings.push_back(entry.name);
    return spellings;
}

CaseInsensitivePaths::CaseInsensitivePaths(const char* root) : root(root != nullptr ? root : "") {
    folders[""].push_back(this->root);
}

const FolderListing& CaseInsensitivePaths::ListingOf(const std::string& folder) {
    const auto known = listings.find(folder);
    if (known != listings.end()) return known->second;
    // One that cannot be read (a file, a folder without the right to list it) lists as empty.
    FolderListing& listing = listings[folder];
    ListFolder(folder.c_str(), &listing);
    ++foldersListed;
    return listing;
}

bool CaseInsensitivePaths::Find(const std::string& relativePath, std::string* found) {
    // A tree spelt as the names are costs one look-up a name.
    const std::string given = JoinPath(root, relativePath);
    FileAttributes attributes;
    if (GetFileAttributes(given.c_str(), &attributes)) {
        if (found != nullptr) *found = given;
        return true;
    }
    const std::vector<std::string> components = PathComponents(relativePath);
    if (components.empty()) return false;
    for (const std::string& component : components)
        if (component == "..") return false;

    // The folders on the way, one level at a time; every real folder that folds to the same
    // path is kept, so that an entry is found whichever of them holds it.
    const std::vector<std::string>* level = &folders[""];
    std::string key;
    for (std::size_t i = 0; i + 1 < components.size() && !level->empty(); ++i) {
        key += '/';
        key += Folded(components[i]);
        auto below = folders.find(key);
        if (below == folders.end()) {
            std::vector<std::string> real;
            for (const std::string& folder : *level)
                for (const std::string& spelling : ListingOf(folder).Spellings(components[i]))
                    real.push_back(JoinPath(folder, spelling));
            below = folders.emplace(key, std::move(real)).first;
        }
        level = &below->second;
    }
    for (const std::string& folder : *level) {
        for (const std::string& spelling : ListingOf(folder).Spellings(components.back())) {
            const std::string path = JoinPath(folder, spelling);
            if (!GetFileAttributes(path.c_str(), &attributes)) continue;
            if (found != nullptr) *found = path;
            return true;
        }
    }
    return false;
}

std::vector<std::string> PathComponents(const std::string& path) {
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && path[end] != '/' && path[end] != '\\') ++end;
        if (end > start && path.compare(start, end - start, ".") != 0)
            components.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

}  // namespace platform
