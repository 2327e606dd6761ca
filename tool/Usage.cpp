#include "tool/Usage.h"

#include <cstdio>

namespace tool {

void PrintUsage() {
    std::fputs("Usage: brannock <file> <command> [command arguments]\n"
               "commands: \n"
               "    -add <directory> <base> [compression (0-9)]: add a file/directory\n"
               "    -replace <directory> <base> [compression (0-9)]: replace a file/directory\n"
               "    -update <directory> <base> [compression (0-9)]: update a file/directory\n"
               "    -remove <file> : remove a file from the archive\n"
               "    -extract <location> [file] : extract files\n"
               "    -database <location> [file] : extract database files\n"
               "    -removeMissing <file> <base> : remove files not in the specified directory\n"
               "    -compact : compact the archive removing unused files\n"
               "    -list : list the files in the archive\n"
               "    -stats : display the archive statistics\n",
               stdout);
}

}  // namespace tool
