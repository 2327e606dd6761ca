#include <memory>
#include <string>
#include <vector>

#include "ArchiveFixture.h"
#include "Engine/Archive.h"
#include "FuzzTargets.h"
#include "Scratch.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "tool/ExtractCommands.h"
#include "tool/NormalizePath.h"

namespace fuzz {
namespace {

// An archive whose names the fuzzed ones are looked up among; it stays open for the process, so it
// lives beside the per-input folder rather than in it. Made after the scratch space, it is closed
// at exit before the space is removed: a folder holding an open file cannot be removed on
// Windows, where removing it would go on trying.
GAME::Archive& LookupArchive() {
    static const std::unique_ptr<GAME::Archive> archive = [] {
        test::ArchiveFixture fixture;
        for (const char* name : {"data/x.txt", "data/box.txt", "textures/wall.tex", "a", "\xE9t\xE9/\xC0\x62"})
            fixture.AddStored(name, name);
        const std::string path = ProcessScratchFile("names.arc").string();
        fixture.WriteTo(path);
        auto opened = std::make_unique<GAME::Archive>();
        opened->OpenRead(path.c_str());
        return opened;
    }();
    return *archive;
}

}  // namespace

void RunNamesTarget(const std::uint8_t* data, std::size_t size) {
    // Two texts: up to the first zero byte, and the rest.
    const std::string all(reinterpret_cast<const char*>(data), size);
    const std::size_t split = all.find('\0');
    const std::string first = all.substr(0, split);
    const std::string second = split == std::string::npos ? std::string() : all.substr(split + 1);

    GAME::Archive& archive = LookupArchive();
    std::string normalized;
    GAME::Archive::NormalizeFileName(first.c_str(), normalized);
    archive.HashFileName(normalized.data(), static_cast<unsigned>(normalized.size()));
    archive.HashFileName(all.data(), static_cast<unsigned>(all.size()));
    archive.FindFile(first.c_str());
    mem::vector<int> files;
    archive.FindMatchingFiles(files, second);

    platform::IsContainedRelativePath(all);
    platform::MatchWildcard(first.c_str(), second.c_str());
    platform::CompareFoundNames(first, second);
    std::string path = all;
    tool::NormalizePath(path);
    tool::ArchiveBaseName(first.c_str());
    tool::ExtractionDestination(second.c_str(), first.c_str());
}

}  // namespace fuzz
