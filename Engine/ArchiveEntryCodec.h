// One record of the entry table, between its form on disk and its form in memory. Where the
// record's name and blocks lie in the tables is the index's business, not the record's.
#pragma once

#include "Engine/Archive.h"
#include "Engine/ArchiveFormat.h"

namespace GAME {

/// Fills every field of `entry` from `disk` but the name, the block list and the chain.
void DecodeEntry(const DiskFileEntry& disk, Archive::FileEntry& entry);

/// Fills every field of `disk` from `entry` but the table positions (firstBlock, nameOffset).
/// A record without its block list or its name describes none, so that the counts match the
/// tables written.
void EncodeEntry(const Archive::FileEntry& entry, DiskFileEntry& disk);

}  // namespace GAME
