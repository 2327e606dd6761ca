// Importing loose files and directory trees: the work of -add, -replace and -update.
#pragma once

namespace GAME {
class Archive;
}

namespace tool {

/// What happens to a file whose name is already in the archive.
enum class ImportMode {
    add,      // leave the stored file alone
    replace,  // always replace it
    update,   // replace it when the loose file is strictly newer
};

struct ImportOptions {
    int compressionLevel = 0;  // 0 stores the files, 1 to 9 packs them as LZ4 blocks
    ImportMode mode = ImportMode::add;
    // Worker threads that pack compressed additions ahead of the thread that adds them: 0 one per
    // processor core, 1 none (every file is packed where it is added). The archive is the same,
    // byte for byte, whatever the number.
    unsigned int packingThreads = 0;
};

/// Imports `path` (a file, a directory, or a directory followed by a wildcard pattern),
/// relative to `basePath`, which is the current directory meanwhile, into `archive`, open for
/// edit. Names in the archive are relative to `basePath`. Prints "added: <name>" for each file
/// added, once it is committed. Anything that is not a regular file (a FIFO, a socket, a
/// device) is not opened: "<name>: not added, it is not a regular file." goes to standard
/// error. A `basePath` that is not a directory, or a missing path without a usable separator,
/// prints "Invalid path" and gives false; so does a run in which a loose file could not be added
/// (its "not added" line says why); otherwise it gives true. A loose file left out because
/// another one of the same run has its stored name (they differ only in case or separators) gets
/// a line naming both.
bool ImportPath(GAME::Archive& archive, const char* path, const char* basePath, const ImportOptions& options);

}  // namespace tool
