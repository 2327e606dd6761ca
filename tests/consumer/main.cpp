// list_archive <archive>: prints the name of every file in the archive. It calls every member
// that the installed header declares, so that a declared member the library does not export
// fails this build at link time.
#include <cstdio>

#include <brannock/Archive.h>

#include "records.h"

// The header gives the version the library was built as.
static_assert(sizeof(BRANNOCK_VERSION) > 1 && BRANNOCK_VERSION_MAJOR >= 0, "the installed header has the version");

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    GAME::Archive archive;
    if (!archive.OpenRead(argv[1])) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    PrintNames(archive);
    std::printf("%u records\n", archive.GetNumFiles());
    archive.Close(true);
    archive.Close(false);
    return 0;
}
