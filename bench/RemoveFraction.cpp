// remove_fraction <archive> <percent>: removes that share of the archive's files, spread evenly
// over the records, to prepare the compaction benchmark.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "Engine/Archive.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: remove_fraction <archive> <percent>\n", stderr);
        return 1;
    }
    const int percent = std::atoi(argv[2]);
    GAME::Archive archive;
    if (!archive.OpenEdit(argv[1])) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    int removed = 0;
    for (unsigned i = 0; i < archive.GetNumFiles(); ++i) {
        if (!(archive.GetFileEntry(static_cast<int>(i)).flags & GAME::Archive::fileFlagInUse)) continue;
        // Record i goes when the running share of removals would otherwise fall behind.
        if ((std::uint64_t(i) + 1) * percent / 100 != std::uint64_t(i) * percent / 100) {
            archive.RemoveFile(static_cast<int>(i));
            ++removed;
        }
    }
    const unsigned records = archive.GetNumFiles();
    archive.Close(false);
    std::printf("removed %d of %u records\n", removed, records);
    return archive.HasWriteFailed() ? 1 : 0;
}
