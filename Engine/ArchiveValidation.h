// Checks that an archive's index describes bytes that lie where the format promises, before
// anything reads through it. Each failed check is reported by the expression that failed.
#pragma once

#include <cstdint>

#include "Engine/ArchiveFormat.h"

namespace GAME {

/// The three tables lie behind the header and inside a file of `fileSize` bytes. With `report`
/// false a failed check is not reported: for a look that a full load repeats when it fails.
bool CheckIndexFitsFile(const ArchiveHeader& header, std::uint64_t fileSize, bool report = true);

/// Checks the entry-table records one after the other, in table order. The first pass, over
/// the records alone, needs neither the name table nor the block table, so that a damaged
/// index is refused before either is read; the second looks through both.
class EntryChecker {
public:
    /// With `report` false, a failed check gives false without a report.
    explicit EntryChecker(const ArchiveHeader& header, bool report = true);

    /// An in-use record's name lies inside the name table and its block range inside the block
    /// table. Every record's run lies inside the data region and starts at or after the end of
    /// the previous record's run.
    bool CheckPlacement(const DiskFileEntry& entry);

    /// After every record passed CheckPlacement: the in-use records' names fill the name table
    /// and their blocks the block table, as the writer leaves them, so that neither table
    /// holds bytes that no record uses.
    bool CheckTablesUsed() const;

    /// For a record that passed CheckPlacement, with `nameTable` holding the header's
    /// nameTableSize bytes and `blockArray` its numBlocks records (each null when empty): an
    /// in-use record's name ends in its zero byte, a stored file's run is as long as its
    /// contents, and a compressed file's blocks add up to its run and its contents, none larger
    /// than a block.
    bool CheckContents(const DiskFileEntry& entry, const char* nameTable, const FileBlock* blockArray) const;

    /// The same, given the record's own name (its nameLength bytes and the zero after them) and
    /// its numBlocks block records.
    bool CheckOwnContents(const DiskFileEntry& entry, const char* name, const FileBlock* blocks) const;

private:
    const ArchiveHeader& header;
    const bool report;
    std::uint64_t dataEnd;
    std::uint64_t namesUsed;
    std::uint64_t blocksUsed;
};

}  // namespace GAME
