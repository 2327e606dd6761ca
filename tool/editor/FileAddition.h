// Adding one loose file to an archive open for edit, stored or as LZ4 blocks.
#pragma once

#include <cstdint>

#include "Engine/Archive.h"
#include "tool/editor/Addition.h"

namespace GAME {

class ArchiveEditor;

/// Adds the loose file `fileName` under `name` (its stored form), stored when
/// `compressionLevel` is 0 and as LZ4 blocks otherwise, taking blocks the editor's block
/// compressor packed ahead when it has one. The archive changes only when the file is added
/// whole; a write into the archive that failed is noted on the editor. The record keeps
/// `*lastWriteTime` as the file's time when the caller knows it (from the walk that found the
/// file), else the time the file has now.
Addition AddLooseFile(ArchiveEditor& editor, const char* fileName, const StoredName& name, int compressionLevel,
                      const std::uint64_t* lastWriteTime = nullptr);

}  // namespace GAME
