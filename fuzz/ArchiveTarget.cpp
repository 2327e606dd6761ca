#include <fstream>
#include <string>
#include <vector>

#include "CurrentDirectory.h"
#include "Engine/Archive.h"
#include "FuzzTargets.h"
#include "Scratch.h"

namespace fuzz {
void RunArchiveTarget(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path& scratch = FreshScratch();
    const std::string path = (scratch / "input.arc").string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

    {
        GAME::Archive archive;
        if (archive.OpenRead(path.c_str())) {
            mem::vector<int> files;
            archive.FindMatchingFiles(files, "");
            for (unsigned i = 0; i < archive.GetNumFiles(); ++i) {
                const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
                if (entry.name != nullptr) archive.FindFile(entry.name);
                // Enough room for any file the index can describe in a small input.
                std::vector<char> contents(entry.expandedSize < (64u << 20) ? entry.expandedSize : (64u << 20));
                archive.ReadFileData(static_cast<int>(i), contents.data(), 0, static_cast<unsigned>(contents.size()));
            }
            // Extract from inside the scratch folder to a relative "out", so that the files land
            // in the scratch folder whatever the case of its path.
            const test::CurrentDirectory inScratch(scratch);
            archive.ExtractAllFiles("out");
        }
    }
    GAME::Archive edit;
    if (edit.OpenEdit(path.c_str())) edit.Close(false);
    // Records loaded for edit point into the tables the archive loaded: removing one and
    // compacting must drop those references without freeing them.
    if (edit.OpenEdit(path.c_str())) {
        for (unsigned i = 0; i < edit.GetNumFiles(); ++i) {
            if (edit.GetFileEntry(static_cast<int>(i)).flags & GAME::Archive::fileFlagInUse) {
                edit.RemoveFile(static_cast<int>(i));
                break;
            }
        }
        edit.Compact();
        edit.Close(false);
    }
}

}  // namespace fuzz
