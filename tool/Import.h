// Importing loose files and directory trees: the work of -add, -replace and -update.
#pragma once

namespace GAME {
class Archive;
}

namespace tool {

/// What happens to a file whose name is already in the archive.
enum ImportMode {
    importModeAdd = 1,      // leave the stored file alone
    importModeReplace = 2,  // always replace it
    importModeUpdate = 3,   // replace it when the loose file is strictly newer
};

/// Imports `path` (a file, a directory, or a directory followed by a wildcard pattern),
/// relative to `basePath`, which is the current directory meanwhile. Names in the archive are
/// relative to `basePath`. Prints "added: <name>" for each file added. Anything that is not a
/// regular file (a FIFO, a socket, a device) is not opened: "<name>: not added, it is not a
/// regular file." goes to standard error. A `basePath` that is not a directory, or a missing path
/// without a usable separator, prints "Invalid path" and gives false; so does a run in which a
/// loose file could not be added (its "not added" line says why); otherwise it gives true. A
/// loose file left out because another one of the same run has its stored name (they differ only
/// in case or separators) gets a line naming both.
bool ImportPath(GAME::Archive& archive, const char* path, const char* basePath, int compressionLevel, int importMode);

/// Sets the worker threads that pack compressed additions ahead of the thread that adds them:
/// 0 (the default) one per processor core, 1 none (every file is packed where it is added). The
/// archive is the same, byte for byte, whatever the number.
void SetPackingThreads(unsigned int threads);

/// Imports the files of every subdirectory of `directory` (depth first, names starting with
/// "." not entered), then its own files that match `pattern` (every file when null).
void ImportDirectory(GAME::Archive& archive, const char* directory, bool recursive, int compressionLevel,
                     int importMode, const char* pattern);

/// Imports one loose file under `fileName` as `importMode` says.
void ImportFile(GAME::Archive& archive, const char* fileName, int compressionLevel, int importMode);

}  // namespace tool
