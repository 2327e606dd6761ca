// The same header under the spelling the engine's own code uses.
#include "records.h"

#include <cstdio>

#include "Engine/Archive.h"

void PrintNames(GAME::Archive& archive) {
    mem::vector<int> files;
    archive.FindMatchingFiles(files, "");
    for (int index : files) std::printf("%s\n", archive.GetFileEntry(index).name);
}
