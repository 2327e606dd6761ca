// list_archive <archive>: prints the name of every file in the archive.
#include <cstdio>

#include "Engine/Archive.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    GAME::Archive archive;
    if (!archive.OpenRead(argv[1])) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    mem::vector<int> files;
    archive.FindMatchingFiles(files, "");
    for (int index : files) std::printf("%s\n", archive.GetFileEntry(index).name);
    std::printf("%u records\n", archive.GetNumFiles());
    archive.Close(false);
    return 0;
}
