// Compacting an archive open for edit.
#pragma once

namespace GAME {

class ArchiveEditor;

/// Moves every file's data down over the holes and drops the free records, in batches that each
/// commit once the journal is full. Record indices change. A stop signal or a failed move ends
/// it between files: the records not reached stay where they are, free ones included.
void CompactArchive(ArchiveEditor& editor);

}  // namespace GAME
