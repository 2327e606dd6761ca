// How the records of an index are laid out in its tables when it is written: in entry-table
// order, each record's blocks behind the blocks of the records before it, and its name behind
// their names. The writer lays an index out this way, and a load recognises a file whose index
// already is, so that an edit that changes nothing need not write it again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Engine/Archive.h"
#include "Engine/ArchiveFormat.h"

namespace GAME {

/// The header of an index of `numFiles` records behind data that ends at `indexOffset`, with its
/// tables still empty: PlaceEntry counts them up.
ArchiveHeader NewIndexHeader(std::size_t numFiles, unsigned int indexOffset);

/// Encodes `entry` as the next record of the entry table, its blocks and its name placed where
/// `header` counts the tables to end, and counts them in. An in-use record without its name
/// keeps a name slot all the same: an empty one.
void PlaceEntry(const Archive::FileEntry& entry, DiskFileEntry& disk, ArchiveHeader& header);

/// Where the index of `header` ends: the end of the archive file.
std::uint64_t IndexEnd(const ArchiveHeader& header);

}  // namespace GAME
