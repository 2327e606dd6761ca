#include <fstream>
#include <string>
#include <vector>

#include "Engine/Archive.h"
#include "FuzzTargets.h"
#include "Scratch.h"

namespace fuzz {
namespace {

// Makes a folder the current directory for the object's lifetime.
class InFolder {
public:
    explicit InFolder(const std::filesystem::path& folder) : saved(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~InFolder() { std::filesystem::current_path(saved); }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

private:
    std::filesystem::path saved;
};

}  // namespace

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
            // The output folder is taken as a name inside the archive's world: a leading '/' is
            // dropped and upper case is folded. Extract from inside the scratch folder to a
            // relative "out", or the files would land under the current directory.
            const InFolder inScratch(scratch);
            archive.ExtractAllFiles("out");
        }
    }
    GAME::Archive edit;
    if (edit.OpenEdit(path.c_str())) edit.Close(false);
}

}  // namespace fuzz
