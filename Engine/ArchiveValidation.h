// Checks that an archive's index describes bytes that lie where the format promises, before
// anything reads through it. Each failed check is reported by the expression that failed.
#pragma once

#include <cstdint>

#include "Engine/ArchiveFormat.h"

namespace GAME {

/// The three tables lie behind the header and inside a file of `fileSize` bytes.
bool CheckIndexFitsFile(const ArchiveHeader& header, std::uint64_t fileSize);

/// Checks the entry-table records one after the other, in table order.
class EntryChecker {
public:
    /// `nameTable` holds the header's nameTableSize bytes and `blockArray` its numBlocks
    /// records (each null when empty).
    EntryChecker(const ArchiveHeader& header, const char* nameTable, const FileBlock* blockArray);

    /// An in-use record's name lies inside the name table and ends in its zero byte, and its
    /// block range inside the block table, a stored file's run is as long as its contents, and a compressed file's
    /// blocks add up to its run and its contents, none larger than a block. Every record's run lies inside the data
    /// region and starts at or after the end of the previous record's run.
    bool Check(const DiskFileEntry& entry);

private:
    const ArchiveHeader& header;
    const char* nameTable;
    const FileBlock* blockArray;
    std::uint64_t dataEnd;
};

}  // namespace GAME
